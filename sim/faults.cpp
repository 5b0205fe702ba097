#include "sim/faults.h"

#include <algorithm>

namespace sim {

namespace {

// A uniform draw in [0, 1) that is the same on every platform, unlike
// std::uniform_real_distribution.
double unit(std::mt19937_64& g) { return static_cast<double>(g() >> 11) * 0x1.0p-53; }

bool has(const FaultSet& s, Fault f) { return s.test(static_cast<size_t>(f)); }
void clear(FaultSet& s, Fault f) { s.reset(static_cast<size_t>(f)); }

uint8_t other_group(uint8_t cid1) {
    switch (cid1) {
    case 0x40: return 0x41;
    case 0x41: return 0x42;
    case 0x42: return 0x40;
    default: return 0x40;
    }
}

}  // namespace

FaultPlan::FaultPlan(uint64_t seed) : draws(seed), details(seed ^ 0x9E3779B97F4A7C15ull) {}

void FaultPlan::set_probabilities(const std::map<Fault, double>& p) {
    probability.fill(0);
    for (const auto& [f, v] : p) probability[static_cast<size_t>(f)] = v;
}

void FaultPlan::schedule(const std::vector<Fault>& faults, uint64_t skip, uint64_t answers,
                         std::optional<double> until) {
    for (size_t i = 0; i < faults.size(); ++i) {
        if (until)
            scheduled.push_back({faults[i], skip, 0, until});
        else
            scheduled.push_back({faults[i], skip + i * answers, answers, std::nullopt});
    }
}

void FaultPlan::clear_schedule() { scheduled.clear(); }

FaultSet FaultPlan::draw(double now) {
    FaultSet s;
    for (size_t i = 0; i < kFaultKinds; ++i)
        if (unit(draws) < probability[i]) s.set(i);
    for (auto it = scheduled.begin(); it != scheduled.end();) {
        if (it->skip > 0) {
            --it->skip;
            ++it;
            continue;
        }
        if (it->until) {
            if (now >= *it->until) {
                it = scheduled.erase(it);
                continue;
            }
            s.set(static_cast<size_t>(it->fault));
            ++it;
            continue;
        }
        s.set(static_cast<size_t>(it->fault));
        if (--it->left == 0)
            it = scheduled.erase(it);
        else
            ++it;
    }
    return s;
}

uint32_t FaultPlan::detail() { return static_cast<uint32_t>(details() >> 32); }

std::vector<Chunk> shape(const Answer& a, FaultSet& faults, const FaultOptions& opt, FaultPlan& plan, double now) {
    if (has(faults, Fault::silence)) {
        faults.reset();
        faults.set(static_cast<size_t>(Fault::silence));
        return {};
    }
    uint8_t cid1 = a.cid1, rtn = a.rtn;
    Bytes info = a.info;
    if (has(faults, Fault::error_rtn) && rtn == kRtnOk) {
        rtn = opt.error_rtn;
        info.clear();
        clear(faults, Fault::count_mismatch);
        clear(faults, Fault::short_info);
    } else {
        clear(faults, Fault::error_rtn);
    }
    if (has(faults, Fault::wrong_cid1)) cid1 = other_group(cid1);
    if (has(faults, Fault::count_mismatch)) {
        if (a.count_at && *a.count_at < info.size())
            ++info[*a.count_at];
        else
            clear(faults, Fault::count_mismatch);
    }
    if (has(faults, Fault::short_info)) {
        if (!info.empty())
            info.pop_back();
        else
            clear(faults, Fault::short_info);
    }
    Damage damage;
    damage.chksum = has(faults, Fault::bad_chksum);
    damage.lchksum = has(faults, Fault::bad_lchksum);
    Bytes frame = encode_frame(a.ver, a.adr, cid1, rtn, info, damage);

    Bytes first;
    if (has(faults, Fault::garbage)) {
        const int n = 1 + static_cast<int>(plan.detail() % static_cast<uint32_t>(opt.garbage_max));
        for (int i = 0; i < n; ++i) {
            uint8_t b = static_cast<uint8_t>(plan.detail());
            if (b == kSoi) b = 0x00;  // stray bytes, not the start of another frame
            first.push_back(b);
        }
    }
    const size_t frame_at = first.size();
    first.insert(first.end(), frame.begin(), frame.end());
    if (has(faults, Fault::double_answer)) first.insert(first.end(), frame.begin(), frame.end());

    const double start = now + (has(faults, Fault::late) ? opt.late_ms / 1000.0 : 0.0);
    std::vector<Chunk> out;
    if (has(faults, Fault::split) && frame.size() >= 4) {
        // Two to four pieces, every cut inside the frame proper.
        const size_t pieces = 2 + plan.detail() % 3;
        std::vector<size_t> cuts;
        for (size_t i = 1; i < pieces; ++i) cuts.push_back(frame_at + 1 + plan.detail() % (frame.size() - 2));
        std::sort(cuts.begin(), cuts.end());
        cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
        size_t from = 0;
        double at = start;
        for (size_t c : cuts) {
            out.push_back({at, Bytes(first.begin() + static_cast<long>(from), first.begin() + static_cast<long>(c))});
            from = c;
            at += opt.split_gap_ms / 1000.0;
        }
        out.push_back({at, Bytes(first.begin() + static_cast<long>(from), first.end())});
    } else {
        clear(faults, Fault::split);
        out.push_back({start, std::move(first)});
    }
    return out;
}

}  // namespace sim
