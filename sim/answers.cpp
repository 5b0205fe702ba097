#include "sim/answers.h"

#include <fmt/format.h>

namespace sim {

namespace {

void put(Bytes& b, const std::array<uint8_t, 4>& v) { b.insert(b.end(), v.begin(), v.end()); }
void put(Bytes& b, const std::vector<uint8_t>& v) { b.insert(b.end(), v.begin(), v.end()); }
void put_count(Bytes& b, size_t n) { b.push_back(static_cast<uint8_t>(n)); }

void put_floats(Bytes& b, const std::vector<WireFloat>& list, double t) {
    put_count(b, list.size());
    for (const auto& w : list) put(b, w.bytes_at(t));
}

Bytes ac_analog(const Site& s, double t, uint8_t flag) {
    Bytes b{flag};
    put_count(b, s.ac.size());
    for (const auto& p : s.ac) {
        put_count(b, p.channels.size());
        for (const auto& c : p.channels) {
            put(b, c.a.bytes_at(t));
            put(b, c.b.bytes_at(t));
            put(b, c.c.bytes_at(t));
            put(b, c.f.bytes_at(t));
            put_floats(b, c.p40_41_value, t);
        }
        put(b, p.ia.bytes_at(t));
        put(b, p.ib.bytes_at(t));
        put(b, p.ic.bytes_at(t));
    }
    return b;
}

Bytes ac_switch(const Site& s, uint8_t flag) {
    Bytes b{flag};
    put_count(b, s.ac.size());
    for (const auto& p : s.ac) {
        put_count(b, p.airlock_state.size());
        put(b, p.airlock_state);
        put_count(b, p.p40_43_state.size());
        put(b, p.p40_43_state);
    }
    return b;
}

Bytes ac_alarm(const Site& s, uint8_t flag) {
    Bytes b{flag};
    put_count(b, s.ac.size());
    for (const auto& p : s.ac) {
        put_count(b, p.channels.size());
        for (const auto& c : p.channels) {
            put(b, std::vector<uint8_t>{c.a_state, c.b_state, c.c_state, c.f_state});
            put_count(b, c.p40_44_skipped.size());
            put(b, c.p40_44_skipped);
            put_count(b, c.p40_44_state.size());
            put(b, c.p40_44_state);
        }
        put(b, std::vector<uint8_t>{p.ia_alert, p.ib_alert, p.ic_alert});
    }
    return b;
}

Bytes rc_analog(const Site& s, double t, uint8_t flag) {
    Bytes b{flag};
    put(b, s.rectifier.group_value.bytes_at(t));
    put_count(b, s.rectifier.modules.size());
    for (const auto& m : s.rectifier.modules) {
        put(b, m.module_value.bytes_at(t));
        put_floats(b, m.p41_41_value, t);
    }
    return b;
}

Bytes rc_switch(const Site& s, uint8_t flag) {
    Bytes b{flag};
    put_count(b, s.rectifier.modules.size());
    for (const auto& m : s.rectifier.modules) {
        b.insert(b.end(), m.module_state.begin(), m.module_state.end());
        put_count(b, m.p41_43_state.size());
        put(b, m.p41_43_state);
    }
    return b;
}

Bytes rc_alarm(const Site& s, uint8_t flag) {
    Bytes b{flag};
    put_count(b, s.rectifier.modules.size());
    for (const auto& m : s.rectifier.modules) {
        b.push_back(m.fault_state);
        put_count(b, m.p41_44_state.size());
        put(b, m.p41_44_state);
    }
    return b;
}

Bytes dc_analog(const Site& s, double t, uint8_t flag) {
    Bytes b{flag};
    put_count(b, s.dc.size());
    for (const auto& p : s.dc) {
        put(b, p.v.bytes_at(t));
        put(b, p.i.bytes_at(t));
        put_floats(b, p.dc_m_value, t);
        put_floats(b, p.dc_n_value, t);
        put_floats(b, p.user_p, t);
    }
    return b;
}

Bytes dc_alarm(const Site& s, uint8_t flag) {
    Bytes b{flag};
    put_count(b, s.dc.size());
    for (const auto& p : s.dc) {
        b.push_back(p.v_state);
        put_count(b, p.alert_m_state.size());
        put(b, p.alert_m_state);
        put_count(b, p.alert_p_state.size());
        put(b, p.alert_p_state);
    }
    return b;
}

Bytes params(const WireFloat* fixed, size_t n, const std::vector<WireFloat>& user, double t) {
    Bytes b;
    for (size_t i = 0; i < n; ++i) put(b, fixed[i].bytes_at(t));
    put_floats(b, user, t);
    return b;
}

Bytes device_info(const Site& s) {
    // The model name padded with blanks to its 20 bytes.
    Bytes b(s.model.begin(), s.model.end());
    b.resize(20, ' ');
    return b;
}

}  // namespace

std::optional<Bytes> answer_info(const Site& s, uint8_t cid1, uint8_t cid2, double t, uint8_t flag) {
    switch (command(cid1, cid2)) {
    case command(0x40, 0x51): return device_info(s);
    case command(0x40, 0x41): return ac_analog(s, t, flag);
    case command(0x40, 0x43): return ac_switch(s, flag);
    case command(0x40, 0x44): return ac_alarm(s, flag);
    case command(0x41, 0x41): return rc_analog(s, t, flag);
    case command(0x41, 0x43): return rc_switch(s, flag);
    case command(0x41, 0x44): return rc_alarm(s, flag);
    case command(0x42, 0x41): return dc_analog(s, t, flag);
    case command(0x42, 0x44): return dc_alarm(s, flag);
    case command(0x40, 0x46): return params(s.ac_param.data(), s.ac_param.size(), s.ac_param_user, t);
    case command(0x42, 0x46): return params(s.dc_param.data(), s.dc_param.size(), s.dc_param_user, t);
    default: return std::nullopt;
    }
}

std::optional<size_t> count_offset(uint8_t cid1, uint8_t cid2) {
    switch (command(cid1, cid2)) {
    case command(0x40, 0x41):
    case command(0x40, 0x43):
    case command(0x40, 0x44):
    case command(0x41, 0x43):
    case command(0x41, 0x44):
    case command(0x42, 0x41):
    case command(0x42, 0x44): return 1;
    case command(0x41, 0x41): return 5;   // after the flag and the group value
    case command(0x40, 0x46): return 20;  // after five parameters
    case command(0x42, 0x46): return 8;   // after two parameters
    default: return std::nullopt;
    }
}

void check_answer_sizes(const Site& s, const std::string& source) {
    struct Cmd {
        uint8_t cid1, cid2;
        const char* key;
    };
    for (const Cmd& c : {Cmd{0x40, 0x41, "ac"}, Cmd{0x40, 0x43, "ac"}, Cmd{0x40, 0x44, "ac"},
                         Cmd{0x41, 0x41, "rectifier.modules"}, Cmd{0x41, 0x43, "rectifier.modules"},
                         Cmd{0x41, 0x44, "rectifier.modules"}, Cmd{0x42, 0x41, "dc"}, Cmd{0x42, 0x44, "dc"},
                         Cmd{0x40, 0x46, "ac_param_user"}, Cmd{0x42, 0x46, "dc_param_user"}}) {
        const size_t n = answer_info(s, c.cid1, c.cid2, 0, 0)->size();
        if (n > kMaxInfo)
            throw ScenarioError(source, c.key,
                                fmt::format("at most {} INFO bytes in the {:02X}/{:02X} answer", kMaxInfo, c.cid1,
                                            c.cid2),
                                fmt::format("{} bytes", n));
    }
}

}  // namespace sim
