#include "monitor/sinks/live_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <set>

#include <fmt/format.h>

#include "monitor/clock_text.h"
#include "monitor/fd_io.h"
#include "monitor/sinks/unit_lines.h"

namespace monitor {

namespace {

constexpr size_t kLogKeep = 200;

std::string clock_text(const std::string& iso) { return iso.size() >= 19 ? iso.substr(11, 8) : iso; }

}  // namespace

LiveView::LiveView(int f, std::string p, LiveViewOptions o) : fd(f), port(std::move(p)), options(std::move(o)) {
    // Alternate screen, cursor hidden: the shell's screen comes back at the end.
    if (fd >= 0) WriteAll(fd, "\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J");
    open = fd >= 0;
}

LiveView::~LiveView() { close_screen(); }

void LiveView::Stop() {
    stopped = true;
    close_screen();
}

void LiveView::close_screen() {
    if (!open) return;
    open = false;
    WriteAll(fd, "\x1b[0m\x1b[?25h\x1b[?1049l");
    const uint64_t cycles = site ? site->link.cycles : 0;
    const size_t active = site ? site->alarms->size() : 0;
    WriteAll(fd, fmt::format("m520s-monitor: stopped after {} cycle{}; {} active alarm{}\n", cycles,
                             cycles == 1 ? "" : "s", active, active == 1 ? "" : "s"));
}

std::string LiveView::alarm_text(const Alarm& a) const {
    if (options.language == "zh")
        return fmt::format("{} {}  {}{}", a.device, a.name, a.detail, a.state_text.empty() ? "" : " (" + a.state_text + ")");
    return a.label.empty() ? a.name + " " + a.detail : a.label;
}

void LiveView::OnEvent(const Event& e, const SiteSnapshot&) {
    std::string line;
    const char* style = "";
    if (const auto* l = e.As<LogEvent>()) {
        if (l->source == LogSource::Stdout && !options.debug) return;
        line = l->text;
        style = l->source == LogSource::Stdout ? "2" : l->level >= Level::Warning ? "31" : "33";
    } else if (const auto* a = e.As<AlarmEvent>()) {
        const bool raise = a->action == "raise";
        style = raise ? "31" : "32";
        line = fmt::format("{} L{} {}", raise ? "RAISE" : "clear", a->alarm.level, alarm_text(a->alarm));
    } else if (const auto* k = e.As<LinkEvent>()) {
        line = std::string("link ") + (k->up ? "up" : "down");
        style = k->up ? "32" : "1;31";
    } else if (const auto* r = e.As<RestoreEvent>()) {
        line = fmt::format("restore {} {}: {}", r->device_type, r->device, r->ok ? "from the database" : "nothing stored");
    } else if (const auto* s = e.As<StorageEvent>()) {
        line = s->ok ? fmt::format("storage ok again, {} cycles dropped since start", s->dropped)
                     : fmt::format("storage failing: {} ({} cycles waiting)", s->reason, s->held);
        style = s->ok ? "32" : "1;31";
    } else if (const auto* h = e.As<HttpEvent>()) {
        line = "http " + h->url;
    } else {
        dirty = true;  // a cycle: redraw at the next tick
        return;
    }
    log.push_back({style, clock_text(e.time) + " " + line});
    while (log.size() > kLogKeep) log.pop_front();
    dirty = true;
}

void LiveView::OnSite(const std::shared_ptr<const SiteSnapshot>& s) { site = s; }

int LiveView::Tick(SteadyClock::time_point now) {
    // Redrawn at least every quarter of a second for the ages on the status line.
    if (now - last_draw >= std::chrono::milliseconds(dirty ? 200 : 250)) {
        last_draw = now;
        dirty = false;
        draw();
    }
    return 250;
}

void LiveView::draw() {
    if (!open) return;
    winsize ws{};
    size_t width = 100, height = 40;
    if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
        width = ws.ws_col;
        height = ws.ws_row;
    }
    const auto lines = Render(width, height, true);
    std::string out = "\x1b[H";
    for (size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        out += "\x1b[K";
        if (i + 1 < lines.size()) out += "\r\n";
    }
    out += "\x1b[J";
    WriteAll(fd, out);
}

void LiveView::header(std::vector<std::string>& top, const Style& st) const {
    const SiteSnapshot& s = *site;
    const LinkState& l = s.link;
    std::string head = st("1", "m520s-monitor") + "  port " + port + "  model " +
                       (s.model_text.empty() ? "?" : s.model_text) + "  " + NowText().substr(11);
    for (const auto& k : s.sinks)
        if (!k.detail.empty()) head += "  " + k.detail;
    top.push_back(head);
    std::string link = !l.known ? st("33", "link ...") : l.up ? st("1;32", "link UP") : st("1;31", "link DOWN");
    // The totals always; a per-reason counter once it has something to say.
    static const std::set<std::string> totals{"answers", "error_answers", "rejected", "retransmits", "give_ups"};
    for (const auto& [name, n] : l.counters.items())
        if (n || totals.count(name)) link += fmt::format("  {} {}", name, n);
    top.push_back(link);
    for (const auto& k : s.sinks) {
        if (k.counters.empty()) continue;
        std::string line = k.up ? st("1;32", k.name + " UP") : st("1;31", k.name + " DOWN");
        for (const auto& [name, n] : k.counters) line += fmt::format("  {} {}", name, n);
        top.push_back(line);
    }
    const auto now = SteadyClock::now();
    auto age = [&](SteadyClock::time_point t) { return std::chrono::duration<double>(now - t).count(); };
    std::string status = fmt::format("cycles {}", l.cycles);
    if (l.last_duration_ms >= 0) status += fmt::format(" (last {} ms)", l.last_duration_ms);
    if (l.in_flight) {
        std::string bar;
        const int steps = static_cast<int>(s.model->Cycle().size());
        for (int i = 1; i <= steps; ++i) bar += i <= l.in_flight->index ? "#" : ".";
        status += fmt::format("  > {:02X}/{:02X} {}  [{}] {:.1f} s", l.in_flight->cid1, l.in_flight->cid2,
                              s.model->RequestName(l.in_flight->cid1, l.in_flight->cid2), bar, age(l.in_flight->since));
    } else if (l.last_cycle_end) {
        status += fmt::format("  line idle, last cycle {:.0f} s ago", age(*l.last_cycle_end));
    } else {
        status += "  line idle";
    }
    if (l.in_cycle) status += fmt::format("  cycle {:.1f} s, {} requests", age(l.cycle_start), l.cycle_requests);
    if (!s.storage.ok) status += "  " + st("1;31", "storage: " + s.storage.reason);
    if (stopped) status += "  stopping";
    top.push_back(status);
    top.push_back("");
}

void LiveView::units(std::vector<std::string>& body, const Style& st, size_t width) const {
    const auto wall = boost::posix_time::second_clock::local_time();
    for (const auto& u : site->units) {
        UnitLines lines(u, st, options.language == "zh", width);
        lines.Append(body, wall);
    }
    body.push_back("");
}

void LiveView::alarms(std::vector<std::string>& body, const Style& st) const {
    const auto& list = *site->alarms;
    body.push_back(st("1", fmt::format("Active alarms ({})", list.size())));
    if (list.empty()) body.push_back(st("32", "   none"));
    for (const auto& a : list) {
        const std::string text = fmt::format("   L{} {}  since {}", a.level, alarm_text(a), clock_text(a.since));
        body.push_back(a.level <= 2 ? st("31", text) : st("33", text));
    }
    body.push_back("");
}

std::vector<std::string> LiveView::Render(size_t width, size_t height, bool color) const {
    const Style st{color};
    std::vector<std::string> top, body, tail;
    if (site) {
        header(top, st);
        units(body, st, width);
        alarms(body, st);
    }
    // Log: whatever room is left, newest last.
    tail.push_back(st("1", "Log"));
    const size_t used = top.size() + body.size() + tail.size();
    const size_t room = height > used ? height - used : 0;
    const size_t from = log.size() > room ? log.size() - room : 0;
    for (size_t i = from; i < log.size(); ++i)
        tail.push_back("   " + (*log[i].style ? st(log[i].style, log[i].text) : log[i].text));

    std::vector<std::string> out;
    for (auto* part : {&top, &body, &tail})
        for (auto& l : *part) {
            if (out.size() >= height) break;
            out.push_back(VisibleWidth(l) > width ? FitStyled(l, width) : l);
        }
    return out;
}

}  // namespace monitor
