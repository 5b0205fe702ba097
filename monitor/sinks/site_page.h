#pragma once
// The site page, rendered on the server from a snapshot, so it reads
// without JavaScript: every unit with the catalogue's labels and units,
// stale values marked, the rectifier modules as a grid, the link, the
// cycle's progress and the active alarms. Every text from the site or the
// controller is escaped; site.js then keeps it current from /api/events.

#include <string>
#include <string_view>

#include "monitor/site_state.h"

namespace monitor {

std::string HtmlEscape(std::string_view text);

struct SitePageOptions {
    std::string language = "en";  // "zh": the controller's own texts first
};

std::string RenderSitePage(const SiteSnapshot& site, const SitePageOptions& options);

// The page head and navigation the dashboard's pages share.
std::string PageTop(const std::string& title, const std::string& current, const std::string& language);

}  // namespace monitor
