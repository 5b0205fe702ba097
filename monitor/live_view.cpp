#include "monitor/live_view.h"

#include "monitor/mqtt.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <fmt/format.h>

#include "monitor/host_controller.h"
#include "monitor/json_lines.h"
#include "monitor/snapshot_view.h"

namespace monitor {

namespace {

constexpr size_t kLogKeep = 200;

// Colours only where the text must stand out; a line's escape sequences do
// not count towards its width.
struct Style {
    bool on;
    std::string operator()(const char* code, const std::string& s) const {
        return on ? std::string("\x1b[") + code + "m" + s + "\x1b[0m" : s;
    }
};

uint32_t next_cp(const std::string& s, size_t& i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 0;
    uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    ++i;
    for (; extra > 0 && i < s.size(); --extra, ++i) cp = cp << 6 | (static_cast<unsigned char>(s[i]) & 0x3F);
    return cp;
}

size_t cp_width(uint32_t cp) {
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6);
    return wide ? 2 : 1;
}

// Width of a line that may hold escape sequences.
size_t visible_width(const std::string& s) {
    size_t w = 0;
    for (size_t i = 0; i < s.size();) {
        if (s[i] == '\x1b') {
            while (i < s.size() && s[i] != 'm') ++i;
            ++i;
            continue;
        }
        w += cp_width(next_cp(s, i));
    }
    return w;
}

// Cuts a styled line to width columns, keeping its escape sequences.
std::string fit_styled(const std::string& s, size_t width) {
    std::string out;
    size_t w = 0;
    bool styled = false;
    for (size_t i = 0; i < s.size();) {
        if (s[i] == '\x1b') {
            const size_t start = i;
            while (i < s.size() && s[i] != 'm') ++i;
            ++i;
            out += s.substr(start, i - start);
            styled = true;
            continue;
        }
        const size_t start = i;
        const size_t cw = cp_width(next_cp(s, i));
        if (w + cw > width) break;
        w += cw;
        out += s.substr(start, i - start);
    }
    if (styled) out += "\x1b[0m";
    return out;
}

std::string num(const Json::Value& v, int decimals = 1) {
    if (!v.isNumeric()) return "-";
    return fmt::format("{:.{}f}", v.asDouble(), decimals);
}

std::string pad(const std::string& s, size_t width) {
    const size_t w = DisplayWidth(s);
    return w >= width ? s : s + std::string(width - w, ' ');
}

std::string rpad(const std::string& s, size_t width) {
    const size_t w = DisplayWidth(s);
    return w >= width ? s : std::string(width - w, ' ') + s;
}

std::string states(const Json::Value& obj, std::initializer_list<const char*> names) {
    std::string s;
    for (const char* n : names) s += (s.empty() ? "" : " ") + std::to_string(obj[n].asInt());
    return s;
}

std::string clock_text(const std::string& iso) { return iso.size() >= 19 ? iso.substr(11, 8) : iso; }

}  // namespace

size_t DisplayWidth(const std::string& s) {
    size_t w = 0;
    for (size_t i = 0; i < s.size();) w += cp_width(next_cp(s, i));
    return w;
}

std::string FitWidth(const std::string& s, size_t width) {
    std::string out;
    size_t w = 0;
    for (size_t i = 0; i < s.size();) {
        const size_t start = i;
        const size_t cw = cp_width(next_cp(s, i));
        if (w + cw > width) break;
        w += cw;
        out += s.substr(start, i - start);
    }
    return out;
}

LiveView::LiveView(int f, const HostController& h, std::string p) : fd(f), host(h), port(std::move(p)) {
    // Alternate screen, cursor hidden: the shell's screen comes back at the end.
    WriteAll(fd, "\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J");
    open = true;
}

LiveView::~LiveView() { Close(); }

void LiveView::Close() {
    if (!open) return;
    open = false;
    WriteAll(fd, "\x1b[0m\x1b[?25h\x1b[?1049l");
    const auto s = host.Status();
    WriteAll(fd, fmt::format("m520s-monitor: stopped after {} cycles; {} active alarms\n", s.cycles, alarms.size()));
}

void LiveView::OnEvent(const Json::Value& e) {
    const std::string kind = e["event"].asString();
    std::string line;
    const char* style = "";
    if (kind == "log" && host.InDriverOutput()) {
        // The driver's own diagnostics: one line for all of them.
        ++driver_lines;
        last_driver_line = e["text"].asString();
        return;
    }
    if (kind == "log") {
        line = e["text"].asString();
        style = "33";
    } else if (kind == "alarm") {
        style = e["action"].asString() == "raise" ? "31" : "32";
        line = fmt::format("{} L{} {} {} {}{}", e["action"].asString() == "raise" ? "RAISE" : "clear",
                           e["level"].asInt(), e["device"].asUInt(), e["name"].asString(), e["detail"].asString(),
                           e["state_text"].asString().empty() ? "" : " (" + e["state_text"].asString() + ")");
    } else if (kind == "link") {
        line = "link " + e["state"].asString();
        style = e["state"].asString() == "up" ? "32" : "1;31";
    } else if (kind == "restore") {
        line = fmt::format("restore {} {}: {}", e["device_type"].asString(), e["device"].asUInt(),
                           e["ok"].asBool() ? "from the database" : "nothing stored");
    } else {
        last_draw = {};  // a cycle: redraw at the next tick
        return;
    }
    log.push_back({style, clock_text(e["time"].asString()) + " " + line});
    while (log.size() > kLogKeep) log.pop_front();
    last_draw = {};
}

void LiveView::OnActiveAlarms(const Json::Value& a) {
    alarms = a;
    last_draw = {};
}

void LiveView::OnModel(const std::string& m) { model = m; }

void LiveView::OnStop() { stopped = true; }

void LiveView::Tick() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_draw < std::chrono::milliseconds(200)) return;
    last_draw = now;
    draw();
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

std::vector<std::string> LiveView::Render(size_t width, size_t height, bool color) const {
    const Style st{color};
    const LinkStatus s = host.Status();
    const auto wall = boost::posix_time::second_clock::local_time();
    std::vector<std::string> top, body, tail;

    // Header, link and status line.
    top.push_back(st("1", "m520s-monitor") + "  port " + port + "  model " + (model.empty() ? "?" : model) +
                  "  " + NowText().substr(11));
    std::string link = !s.known ? st("33", "link ...") : s.up ? st("1;32", "link UP") : st("1;31", "link DOWN");
    // The totals always; a per-reason counter once it has something to say.
    static const std::set<std::string> totals{"answers", "error_answers", "rejected", "retransmits", "give_ups"};
    for (const auto& [name, n] : s.counter_items)
        if (n || totals.count(name)) link += fmt::format("  {} {}", name, n);
    top.push_back(link);
    if (mqtt) {
        const auto m = mqtt->counters();
        top.push_back(fmt::format("{}  sent {}  queued {}  dropped {}  reconnects {}",
                                  m.connected ? st("1;32", "mqtt UP") : st("1;31", "mqtt DOWN"), m.sent, m.queued,
                                  m.dropped, m.reconnects));
    }
    std::string status = fmt::format("cycles {}", s.cycles);
    if (s.last_duration_ms >= 0) status += fmt::format(" (last {} ms)", s.last_duration_ms);
    if (!s.request.empty()) {
        std::string bar;
        for (int i = 1; i <= HostController::kCycleSteps; ++i) bar += i <= s.step_index ? "#" : ".";
        status += fmt::format("  > {} {}  [{}] {:.1f} s", s.request, s.request_name, bar, s.request_age_s);
    } else if (s.since_last_cycle_s >= 0) {
        status += fmt::format("  line idle, last cycle {:.0f} s ago", s.since_last_cycle_s);
    } else {
        status += "  line idle";
    }
    if (s.in_cycle) status += fmt::format("  cycle {:.1f} s, {} requests", s.cycle_age_s, s.cycle_requests);
    if (stopped) status += "  stopping";
    top.push_back(status);
    top.push_back("");

    // The units.
    for (const auto& u : host.Units()) {
        const Json::Value& v = u.snapshot.values;
        const bool have = u.seen && u.snapshot.ok;
        const bool fresh = have && IsFresh(u.snapshot.stamp, wall);
        const std::string mark = !have ? st("33", "no data") : fresh ? st("32", "fresh") : st("1;33", "STALE");
        const std::string when = have && v["time_stamp"].isString() ? clock_text(v["time_stamp"].asString()) : "";
        auto dim = [&](const std::string& t) { return fresh ? t : st("2", t); };
        if (u.type == kSnapshotAC || u.device_type == "m520s-ac") {
            body.push_back(st("1", fmt::format("AC panel {}", u.device)) + "  " + mark + " " + when +
                           (have ? dim(fmt::format("   Ia {} A  Ib {} A  Ic {} A   alerts {}", num(v["ia"], 2),
                                                   num(v["ib"], 2), num(v["ic"], 2),
                                                   states(v, {"ia_alert", "ib_alert", "ic_alert"})))
                                 : ""));
            if (!have) continue;
            body.push_back(dim("   ch     Ua/V     Ub/V     Uc/V    f/Hz   states a b c f"));
            int k = 0;
            for (const auto& ch : v["channels"])
                body.push_back(dim(fmt::format("   {:>2} {} {} {} {}   {}", ++k, rpad(num(ch["a"]), 8),
                                               rpad(num(ch["b"]), 8), rpad(num(ch["c"]), 8), rpad(num(ch["f"], 2), 7),
                                               states(ch, {"a_state", "b_state", "c_state", "f_state"}))));
        } else if (u.type == kSnapshotDC || u.device_type == "m520s-dc") {
            std::string line = st("1", fmt::format("DC panel {}", u.device)) + "  " + mark + " " + when;
            if (have) {
                std::string batt;
                for (const auto& b : v["dc_m_value"]) batt += " " + num(b, 2);
                line += dim(fmt::format("   U {} V  I {} A  battery A{}  voltage state {}", num(v["v"], 2),
                                        num(v["i"], 2), batt, v["v_state"].asInt()));
            }
            body.push_back(line);
        } else {
            std::string line = st("1", fmt::format("Rectifiers {}", u.device)) + "  " + mark + " " + when;
            if (have)
                line += dim(fmt::format("   group {}  {} modules", num(v["group_value"], 2), v["module_count"].asInt()));
            body.push_back(line);
            if (!have) continue;
            // Modules side by side, as many as the width allows.
            const size_t cell = 18;
            const size_t per_line = std::max<size_t>(1, (width - 3) / cell);
            std::string row = "  ";
            size_t in_row = 0;
            int k = 0;
            for (const auto& m : v["modules"]) {
                ++k;
                const bool fault = m["fault_state"].asInt() == 1;
                const std::string text = pad(fmt::format(" #{:<2} {:>7} {}", k, num(m["module_value"], 2),
                                                         fault ? "FAULT" : "ok"),
                                             cell);
                row += fault ? st("31", text) : dim(text);
                if (++in_row == per_line) {
                    body.push_back(row);
                    row = "  ";
                    in_row = 0;
                }
            }
            if (in_row) body.push_back(row);
        }
    }
    body.push_back("");

    // Active alarms.
    body.push_back(st("1", fmt::format("Active alarms ({})", alarms.size())));
    if (alarms.empty()) body.push_back(st("32", "   none"));
    for (const auto& a : alarms) {
        const std::string text = fmt::format("   L{} {:>3} {}  {}{}  since {}", a["level"].asInt(), a["device"].asUInt(),
                                             a["name"].asString(), a["detail"].asString(),
                                             a["state_text"].asString().empty() ? "" : " (" + a["state_text"].asString() + ")",
                                             clock_text(a["since"].asString()));
        body.push_back(a["level"].asInt() <= 2 ? st("31", text) : st("33", text));
    }
    body.push_back("");

    // Log: whatever room is left, newest last.
    tail.push_back(st("1", "Log"));
    if (driver_lines)
        tail.push_back(st("2", fmt::format("   driver output: {} lines, latest: {}", driver_lines, last_driver_line)));
    const size_t used = top.size() + body.size() + tail.size();
    const size_t room = height > used ? height - used : 0;
    const size_t from = log.size() > room ? log.size() - room : 0;
    for (size_t i = from; i < log.size(); ++i)
        tail.push_back("   " + (*log[i].style ? st(log[i].style, log[i].text) : log[i].text));

    std::vector<std::string> out;
    for (auto* part : {&top, &body, &tail})
        for (auto& l : *part) {
            if (out.size() >= height) break;
            out.push_back(visible_width(l) > width ? fit_styled(l, width) : l);
        }
    return out;
}

}  // namespace monitor
