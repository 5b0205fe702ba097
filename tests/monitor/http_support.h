#pragma once
// What the HTTP tests share: a site snapshot made from real records, and a
// few plain HTTP exchanges on a loopback socket.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>

#include <json/json.h>

#include "dc/tele_dc.h"
#include "monitor/models/m520s.h"
#include "monitor/site_state.h"

namespace monitor_test {

// A DC panel's snapshot stamped now, so it reads fresh.
inline std::shared_ptr<const monitor::UnitData> DcData(float v, uint8_t v_state = 0) {
    tele_c_m520s_dc rec{};
    rec.v = v;
    rec.v_state = v_state;
    rec.dc_m = 1;
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    const int year = tm.tm_year + 1900;
    const unsigned char stamp[7] = {static_cast<unsigned char>(year >> 8), static_cast<unsigned char>(year & 0xff),
                                    static_cast<unsigned char>(tm.tm_mon + 1), static_cast<unsigned char>(tm.tm_mday),
                                    static_cast<unsigned char>(tm.tm_hour), static_cast<unsigned char>(tm.tm_min),
                                    static_cast<unsigned char>(tm.tm_sec)};
    std::memcpy(rec.time_stamp, stamp, sizeof stamp);
    std::vector<unsigned char> bytes(sizeof rec);
    std::memcpy(bytes.data(), &rec, sizeof rec);
    std::string error;
    const auto* kind = monitor::model::M520S().Unit("m520s-dc");
    return monitor::UnitData::Decode(*kind, bytes.data(), bytes.size(), error);
}

// One DC panel (21) with data, one (22) without, an alarm whose texts hold
// everything a page or a label must escape.
inline std::shared_ptr<const monitor::SiteSnapshot> SmallSite(float v = 53.5f) {
    auto s = std::make_shared<monitor::SiteSnapshot>();
    s->version = 7;
    s->model = &monitor::model::M520S();
    s->model_text = "M520S <b>";
    const auto* kind = s->model->Unit("m520s-dc");
    s->units.push_back({21, "m520s-dc", kind, DcData(v), "", true});
    s->units.push_back({22, "m520s-dc", kind, nullptr, "", false});
    monitor::Alarm a;
    a.device = 21;
    a.key = "DC_0";
    a.detail = "电压\"过低\" \\ <script>x</script>\nnext";
    a.name = "直流电压告警";
    a.level = 2;
    a.state = 1;
    a.since = "2026-12-09T01:00:00";
    a.label = "DC panel 21: <output> voltage too low";
    s->alarms = std::make_shared<const std::vector<monitor::Alarm>>(std::vector<monitor::Alarm>{a});
    s->link.known = s->link.up = true;
    s->link.cycles = 3;
    s->link.last_duration_ms = 1234;
    s->link.last_cycle_wall = std::chrono::system_clock::now();
    return s;
}

inline Json::Value ParseJson(const std::string& text) {
    Json::Value v;
    std::istringstream in(text);
    in >> v;
    return v;
}

// A free loopback port (bound and released).
inline int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), n);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(s);
    return ntohs(a.sin_port);
}

// A connected socket to 127.0.0.1:port, or -1.
inline int Dial(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

}  // namespace monitor_test
