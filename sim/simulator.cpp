#include "sim/simulator.h"

#include <fmt/format.h>

#include "sim/answers.h"

namespace sim {

namespace {

constexpr uint8_t kSwitchBit = 0x10;
constexpr uint8_t kAlarmBit = 0x01;

// The switch and alarm answers behind each group's data flag.
struct FlagSource {
    uint8_t cid1;
    std::optional<uint16_t> switch_cmd, alarm_cmd;
};
FlagSource flag_source(uint8_t cid1) {
    switch (cid1) {
    case 0x40: return {0x40, command(0x40, 0x43), command(0x40, 0x44)};
    case 0x41: return {0x41, command(0x41, 0x43), command(0x41, 0x44)};
    default: return {0x42, std::nullopt, command(0x42, 0x44)};
    }
}

bool is_state_answer(uint16_t cmd) {
    return cmd == command(0x40, 0x43) || cmd == command(0x40, 0x44) || cmd == command(0x41, 0x43) ||
           cmd == command(0x41, 0x44) || cmd == command(0x42, 0x44);
}

}  // namespace

std::string Stats::line() const {
    std::string s = fmt::format(
        "requests={} answers={} cycles={} bad_requests={} other_address={} unknown_commands={} restarts={} "
        "restart_silent={} replayed={} replay_misses={} bytes_in={} bytes_out={}",
        requests, answers, cycles, bad_requests, other_address, unknown_commands, restarts, restart_silent, replayed,
        replay_misses, bytes_in, bytes_out);
    for (size_t i = 0; i < kFaultKinds; ++i) s += fmt::format(" {}={}", fault_name(static_cast<Fault>(i)), faults[i]);
    return s;
}

Simulator::Simulator(Scenario scenario, uint64_t seed) : sc(std::move(scenario)), plan(seed) {
    plan.set_probabilities(sc.probabilities);
    done.assign(sc.timeline.size(), false);
}

bool Simulator::opens_cycle(uint16_t cmd) const {
    if (!any_request) return true;
    // A repeat of a request whose answer was spoiled or withheld is the same cycle.
    if (cmd == last_cmd && last_spoiled) return false;
    if (cmd == command(0x40, 0x41)) return last_cmd != command(0x40, 0x51);
    // Without AC panels a cycle starts with the rectifier analog values.
    if (cmd == command(0x41, 0x41))
        return last_cmd != command(0x40, 0x51) && last_cmd != command(0x40, 0x41) && last_cmd != command(0x40, 0x43) &&
               last_cmd != command(0x40, 0x44);
    return false;
}

void Simulator::run_event(const TimelineEvent& e, size_t index, double now) {
    sc.apply_changes(e, index);
    // New probabilities, not changes to the old ones: a kind left out (or
    // an empty object) is 0 from now on.
    if (e.probabilities) {
        sc.probabilities = *e.probabilities;
        plan.set_probabilities(sc.probabilities);
    }
    if (!e.faults.empty()) {
        std::optional<double> until;
        if (e.for_s) until = now + *e.for_s;
        plan.schedule(e.faults, e.answer - 1, e.answers, until);
    }
    if (e.restart_s) {
        restart_until = now + (*e.restart_s < 0 ? sc.options.restart_s : *e.restart_s);
        ++counts.restarts;
        // A controller that comes back reports every state as changed.
        last_sent.clear();
    }
}

void Simulator::run_due_events(double now, bool cycle_started) {
    for (size_t i = 0; i < sc.timeline.size(); ++i) {
        if (done[i]) continue;
        const auto& e = sc.timeline[i];
        const bool due = e.at_cycle ? (cycle_started && *e.at_cycle <= counts.cycles) : (now >= *e.after_s);
        if (!due) continue;
        done[i] = true;
        run_event(e, i, now);
    }
}

uint8_t Simulator::flag_for(uint8_t cid1, double now) {
    const DataFlag& f = cid1 == 0x40 ? sc.site.ac_flag : cid1 == 0x41 ? sc.site.rc_flag : sc.site.dc_flag;
    if (!f.automatic) return f.value;
    const FlagSource src = flag_source(cid1);
    uint8_t flag = 0;
    auto changed = [&](uint16_t cmd) {
        auto it = last_sent.find(cmd);
        const Bytes now_info = *answer_info(sc.site, static_cast<uint8_t>(cmd >> 8), cmd & 0xFF, now, 0);
        return it == last_sent.end() || it->second != now_info;
    };
    if (src.switch_cmd && changed(*src.switch_cmd)) flag |= kSwitchBit;
    if (src.alarm_cmd && changed(*src.alarm_cmd)) flag |= kAlarmBit;
    return flag;
}

std::vector<Chunk> Simulator::on_request(const Request& q, double now) {
    const uint16_t cmd = command(q.cid1, q.cid2);
    if (q.adr != sc.site.address) {
        ++counts.other_address;
        return {};
    }
    ++counts.requests;
    const bool opens = opens_cycle(cmd);
    if (opens) ++counts.cycles;
    any_request = true;
    run_due_events(now, opens);
    last_cmd = cmd;
    if (now < restart_until) {
        ++counts.restart_silent;
        last_spoiled = true;
        return {};
    }

    Answer a;
    a.ver = sc.site.version;
    a.adr = sc.site.address;
    a.cid1 = q.cid1;
    if (q.ver != sc.site.version) {
        a.rtn = kRtnVer;
    } else if (auto info = answer_info(sc.site, q.cid1, q.cid2, now, flag_for(q.cid1, now))) {
        a.info = std::move(*info);
        a.count_at = count_offset(q.cid1, q.cid2);
        if (is_state_answer(cmd)) {
            Bytes plain = a.info;
            plain[0] = 0;
            last_sent[cmd] = std::move(plain);
        }
    } else {
        a.rtn = kRtnCid2;
        ++counts.unknown_commands;
    }
    FaultSet faults = plan.draw(now);
    auto chunks = shape(a, faults, sc.options, plan, now);
    for (size_t i = 0; i < kFaultKinds; ++i)
        if (faults.test(i)) ++counts.faults[i];
    last_spoiled = faults.any() || a.rtn != kRtnOk;
    if (!chunks.empty()) ++counts.answers;
    return chunks;
}

std::vector<Chunk> Simulator::on_bad_request(const BadRequest& bad, double now) {
    if (bad.adr && *bad.adr != sc.site.address) {
        ++counts.other_address;
        return {};
    }
    ++counts.bad_requests;
    if (!bad.adr || now < restart_until) return {};
    // Answered with the return code, CID1 echoed when it could be read.
    uint8_t cid1 = 0;
    if (bad.raw.size() >= 7)
        if (auto b = from_hex(std::string(bad.raw.begin() + 5, bad.raw.begin() + 7))) cid1 = (*b)[0];
    ++counts.answers;
    return {{now, encode_frame(sc.site.version, sc.site.address, cid1, bad.rtn, {})}};
}

void Simulator::replace(Scenario fresh, double now) {
    std::vector<bool> was_done(fresh.timeline.size(), false);
    // Changes already due in the new time line shape the new site at once;
    // one-off actions (faults, restarts) of the past are not repeated.
    for (size_t i = 0; i < fresh.timeline.size(); ++i) {
        const auto& e = fresh.timeline[i];
        const bool past = e.at_cycle ? *e.at_cycle <= counts.cycles : now >= *e.after_s;
        if (!past) continue;
        was_done[i] = true;
        fresh.apply_changes(e, i);
        if (e.probabilities) fresh.probabilities = *e.probabilities;
    }
    sc = std::move(fresh);
    done = std::move(was_done);
    plan.clear_schedule();
    plan.set_probabilities(sc.probabilities);
}

}  // namespace sim
