#include "host/pmbus_protocol.h"

#include <unistd.h>

#include <algorithm>
#include <limits>
#include <utility>

namespace {
// The main device holds a new poll back for up to 2 s after each answer; a
// stall limit shorter than that plus one time-out would restart a cycle that
// is only waiting for the guard.
constexpr int kTimeGuardMs = 2000;

// Reads an optional integer setting within [lo, hi]. Returns false (after
// logging) when the key is present but unusable.
template <class Dev>
bool read_int(const Dev& dev, const Json::Value& setting, const char* key, int64_t lo, int64_t hi,
              int& out) {
    const Json::Value& v = setting[key];
    if (v.isNull()) return true;
    // isInt64 first: asInt64 throws on integers beyond its range.
    if (!v.isInt64() || v.asInt64() < lo || v.asInt64() > hi) {
        dev.InfoLog("PMBusProtocol:SettingError {} \"{}\" must be an integer from {} to {}", dev.DataId(),
                    key, lo, hi);
        return false;
    }
    out = static_cast<int>(v.asInt64());
    return true;
}
}  // namespace

PMBusProtocol::PMBusProtocol() = default;
PMBusProtocol::~PMBusProtocol() = default;

void PMBusProtocol::Reset() {
    step = 0;
    awaiting = false;
    failed_try = false;
    attempts = 0;
    stall_clock_running = false;
    idle_pass = false;
}

bool PMBusProtocol::InitSetting(const Json::Value& setting) {
    if (!SMDSPDevice::InitSetting(setting)) return false;
    if (!setting.isNull() && !setting.isObject()) {
        InfoLog("PMBusProtocol:SettingError {} settings must be a JSON object", DataId());
        return false;
    }
    // Settings refused as a whole leave the layer as it was.
    int adr = address;
    int timeout = timeout_ms;
    int tries = retries;
    int stall = -1;
    int gap = -1;
    const bool ok = read_int(*this, setting, "address", 0, 255, adr) &&
                    read_int(*this, setting, "timeout_ms", 1, 600000, timeout) &&
                    read_int(*this, setting, "retries", 0, 100, tries) &&
                    read_int(*this, setting, "stall_ms", 1, 3600000, stall) &&
                    read_int(*this, setting, "frame_gap_ms", 1, 600000, gap);
    if (!ok) return false;
    const int stall_floor = kTimeGuardMs + timeout;
    if (stall > 0 && stall < stall_floor) {
        InfoLog("PMBusProtocol:SettingError {} \"stall_ms\" {} is below the 2 s time guard plus \"timeout_ms\" "
                "({} ms)",
                DataId(), stall, stall_floor);
        return false;
    }
    address = static_cast<uint8_t>(adr);
    timeout_ms = timeout;
    retries = tries;
    stall_ms = stall > 0 ? stall : std::max(3 * timeout_ms, stall_floor);
    frame_gap_ms = gap > 0 ? gap : timeout_ms;
    return true;
}

bool PMBusProtocol::OpenPort(const std::string& path) {
    if (!SMDSPDevice::OpenPort(path)) return false;
    receiver.reset();
    echo_logged = false;
    return true;
}

std::vector<std::pair<std::string, uint64_t>> PMBusProtocol::Counters::items() const {
    return {
        {"answers", answers},
        {"error_answers", error_answers},
        {"rejected", rejected},
        {"non_hex", non_hex},
        {"odd_length", odd_length},
        {"too_short", too_short},
        {"too_long", too_long},
        {"truncated", truncated},
        {"bad_lchksum", bad_lchksum},
        {"lenid_mismatch", lenid_mismatch},
        {"bad_chksum", bad_chksum},
        {"unfinished", unfinished},
        {"wrong_version", wrong_version},
        {"wrong_address", wrong_address},
        {"echoes", echoes},
        {"stray_frames", stray_frames},
        {"stale", stale},
        {"wrong_group", wrong_group},
        {"garbage_bytes", garbage_bytes},
        {"timeouts", timeouts},
        {"retransmits", retransmits},
        {"give_ups", give_ups},
        {"stalls", stalls},
    };
}

PMBusProtocol::Clock::time_point PMBusProtocol::Now() const { return Clock::now(); }

bool PMBusProtocol::IsProcessing() const { return awaiting; }

bool PMBusProtocol::IsStalled() const {
    return !awaiting && step != 0 && idle_pass && stall_clock_running &&
           Now() - last_send >= std::chrono::milliseconds(stall_ms);
}

void PMBusProtocol::process_error() {}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
    return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* info,
                                   int len) {
    if (len < 0 || (len > 0 && info == nullptr) || static_cast<size_t>(len) > frame::kMaxInfoBytes) {
        InfoLog("PMBusProtocol:ProcotolError {} refused request {} {} with INFO length {}", DataId(), cid1,
                cid2, len);
        return -1;
    }
    request = frame::encode(version, address, cid1, cid2, info, static_cast<size_t>(len));
    request_cid1 = cid1;
    request_cid2 = cid2;
    awaiting = true;
    failed_try = false;
    attempts = 1;
    if (observer) observer->OnRequest(cid1, cid2, false);
    return transmit();
}

int PMBusProtocol::transmit() {
    const auto now = Now();
    deadline = now + std::chrono::milliseconds(timeout_ms);
    last_send = now;
    // A request written while an answer is handled: what is already waiting
    // on the line (the rest of a repeated answer, say) came before it, so it
    // is taken now and numbered before it, never taken for its answer.
    if (in_process && port_fd >= 0) drain_port();
    // Whatever has arrived up to now was sent before this went out.
    request_mark = rx_count;
    stall_clock_running = true;
    idle_pass = false;
    // A failed write is not special: the request stays in flight and times out.
    // Sent from a copy: a line that answers inside SendData may have the next
    // request written, replacing this one, before SendData returns.
    const std::vector<unsigned char> out = request;
    return SendData(out.data(), static_cast<int>(out.size()));
}

void PMBusProtocol::drain_port() {
    unsigned char buf[512];
    // Bounded: a line that never stops talking must not hold the request back.
    for (int k = 0; k < 16; ++k) {
        const ssize_t n = ::read(port_fd, buf, sizeof buf);
        // Nothing waiting, or a line that went away: the host's own read
        // finds out about the latter.
        if (n <= 0) return;
        if (line_tap) line_tap(false, buf, static_cast<size_t>(n));
        rx_count += static_cast<uint64_t>(n);
        deferred.insert(deferred.end(), buf, buf + n);
        if (static_cast<size_t>(n) < sizeof buf) return;
    }
}

bool PMBusProtocol::RefreshStatus() {
    just_retransmitted = false;
    if (!SMDSPDevice::RefreshStatus()) return false;
    const auto now = Now();
    // At the end of a burst no later byte would reveal a frame without EOI.
    expire_partial(now);
    if (awaiting) {
        if (now < deadline) return false;
        if (!failed_try) ++stats.timeouts;
        failed_try = false;
        if (attempts <= retries) {
            ++attempts;
            ++stats.retransmits;
            if (observer) observer->OnRequest(request_cid1, request_cid2, true);
            transmit();
            just_retransmitted = true;
            return false;
        }
        give_up("no answer after all retries", false);
        return false;
    }
    if (step != 0) {
        // Only a device that was already let through once and still sent
        // nothing is stuck; a host that polls rarely is not.
        if (idle_pass && stall_clock_running && now - last_send >= std::chrono::milliseconds(stall_ms)) {
            ++stats.stalls;
            give_up("no request sent within the stall limit", true);
            return false;
        }
        idle_pass = true;
    }
    return true;
}

void PMBusProtocol::give_up(const char* why, bool stall) {
    ++stats.give_ups;
    if (observer) observer->OnGiveUp(request_cid1, request_cid2, stall);
    InfoLog("PMBusProtocol:ProcotolError {} {} (step {}, last request {} {}), restarting the cycle",
            DataId(), why, step, request_cid1, request_cid2);
    awaiting = false;
    recv_frame = nullptr;
    process_error();
    Reset();
    step = 0;
    data_valid = 0;
}

bool PMBusProtocol::process(unsigned char* data, unsigned int len) {
    if (data == nullptr || len == 0) return true;
    // Every byte gets a number in the order it arrived, so a frame can be
    // placed before or after the request in flight was sent.
    rx_count += len;
    // Bytes arriving while an answer is being handled (a request written from
    // inside process_payload() answered at once) wait their turn.
    if (in_process) {
        deferred.insert(deferred.end(), data, data + len);
        return true;
    }
    in_process = true;
    try {
        const auto now = Now();
        expire_partial(now);
        last_rx = now;
        feed_receiver(data, len);
        while (!deferred.empty()) {
            waiting.swap(deferred);
            deferred.clear();
            feed_receiver(waiting.data(), waiting.size());
            waiting.clear();
        }
    } catch (...) {
        // The rest of this read is lost; without this every later read
        // would be deferred for ever.
        in_process = false;
        deferred.clear();
        waiting.clear();
        receiver.reset();
        rx_skew = rx_count - receiver.position();
        recv_frame = nullptr;
        throw;
    }
    in_process = false;
    return true;
}

void PMBusProtocol::feed_receiver(const unsigned char* data, size_t len) {
    const size_t garbage_before = receiver.garbage_bytes();
    receiver.feed(
        data, len, [this](const std::vector<unsigned char>& view) { handle_frame(view); },
        [this](frame::Reject r) { on_reject(r); });
    stats.garbage_bytes += receiver.garbage_bytes() - garbage_before;
}

void PMBusProtocol::on_reject(frame::Reject r) {
    ++stats.rejected;
    switch (r) {
        case frame::Reject::NonHex: ++stats.non_hex; break;
        case frame::Reject::OddLength: ++stats.odd_length; break;
        case frame::Reject::TooShort: ++stats.too_short; break;
        case frame::Reject::TooLong: ++stats.too_long; break;
        case frame::Reject::Truncated: ++stats.truncated; break;
        case frame::Reject::BadLchksum: ++stats.bad_lchksum; break;
        case frame::Reject::LenidMismatch: ++stats.lenid_mismatch; break;
        case frame::Reject::BadChksum: ++stats.bad_chksum; break;
        case frame::Reject::Unfinished:
            ++stats.unfinished;
            // Whatever was coming will not be finished: the answer is lost,
            // so retry now rather than at the time-out.
            if (awaiting) {
                deadline = std::min(deadline, Now());
                failed_try = true;
            }
            break;
    }
    InfoLog("PMBusProtocol:FrameError {} dropped frame: {}", DataId(), frame::reject_text(r));
}

void PMBusProtocol::expire_partial(Clock::time_point now) {
    if (receiver.partial() && now - last_rx >= std::chrono::milliseconds(frame_gap_ms))
        receiver.abandon([this](frame::Reject r) { on_reject(r); });
}

bool PMBusProtocol::is_echo() const {
    // Compared as characters: the echo is the request as sent, and no answer
    // can equal a request (an answer's RTN is never a request's CID2).
    const auto& chars = receiver.frame_chars();
    return request.size() >= 2 && chars.size() == request.size() - 2 &&
           std::equal(chars.begin(), chars.end(), request.begin() + 1);
}

bool PMBusProtocol::drop_unwanted(const std::vector<unsigned char>& view) {
    using Outcome = Observer::Outcome;
    auto tell = [&](Outcome o) {
        if (observer) observer->OnFrame(o, view);
    };
    const uint8_t cid1 = view[frame::kViewCid1], rtn = view[frame::kViewRtn];
    if (is_echo()) {
        ++stats.echoes;
        tell(Outcome::Echo);
        // An echoing adapter echoes every request: one line says so.
        if (!echo_logged) {
            echo_logged = true;
            InfoLog("PMBusProtocol:FrameError {} dropped the echo of request {} {}; echoes are dropped from now "
                    "on without a log line",
                    DataId(), request_cid1, request_cid2);
        }
        return true;
    }
    if (view[frame::kViewVer] != version || view[frame::kViewAdr] != address) {
        ++stats.rejected;
        const bool ver = view[frame::kViewVer] != version;
        ++(ver ? stats.wrong_version : stats.wrong_address);
        tell(ver ? Outcome::WrongVersion : Outcome::WrongAddress);
        InfoLog("PMBusProtocol:FrameError {} dropped frame: VER {} ADR {}, expected VER {} ADR {}", DataId(),
                view[frame::kViewVer], view[frame::kViewAdr], version, address);
        return true;
    }
    if (!awaiting) {
        ++stats.stray_frames;
        tell(Outcome::Stray);
        InfoLog("PMBusProtocol:FrameError {} dropped frame: CID1 {} RTN {} with no request in flight", DataId(),
                cid1, rtn);
        return true;
    }
    // Begun before the request in flight went out (a repeated answer, one
    // more copy in the same read): it answers something earlier.
    if (receiver.frame_start() + rx_skew < request_mark) {
        ++stats.stale;
        tell(Outcome::Stale);
        InfoLog("PMBusProtocol:FrameError {} dropped frame: CID1 {} RTN {} began before request {} {} was sent",
                DataId(), cid1, rtn, request_cid1, request_cid2);
        return true;
    }
    // Not the group asked: the answer to this request may still come, so the
    // request waits for it (or its time-out) rather than going out again now.
    if (cid1 != request_cid1) {
        ++stats.wrong_group;
        tell(Outcome::WrongGroup);
        InfoLog("PMBusProtocol:FrameError {} dropped frame: CID1 {} RTN {} is not the group of request {} {}",
                DataId(), cid1, rtn, request_cid1, request_cid2);
        return true;
    }
    return false;
}

void PMBusProtocol::handle_frame(const std::vector<unsigned char>& view) {
    using Outcome = Observer::Outcome;
    if (drop_unwanted(view)) return;
    const uint8_t rtn = view[frame::kViewRtn];
    if (rtn != frame::RTN_OK) {
        ++stats.error_answers;
        if (observer) observer->OnFrame(Outcome::ErrorReturn, view);
        InfoLog("PMBusProtocol:ProcotolError {} answer to {} {} returned RTN {} ({})", DataId(), request_cid1,
                request_cid2, rtn, frame::rtn_text(rtn));
        recv_frame = view.data();
        process_error();
        recv_frame = nullptr;
        // Counts as a failed try: the next RefreshStatus retransmits or gives up.
        deadline = Now();
        failed_try = true;
        return;
    }
    ++stats.answers;
    awaiting = false;
    if (observer) observer->OnFrame(Outcome::Accepted, view);
    last_update = boost::posix_time::second_clock::local_time();
    recv_frame = view.data();
    const int32_t before = step;
    const bool more = process_payload();
    recv_frame = nullptr;
    // Checks the device made about itself while handling the answer (the
    // controller model) have no cycle end of their own: evaluate them now.
    if (!pending_rules.empty()) {
        std::vector<rule_value> own;
        own.swap(pending_rules);
        batch_result = DoBatchCheckThreshold(own) || batch_result;
    }
    // The dispatch resets from step 0 only when it refuses the AC answer;
    // a reset from any other step ends a completed cycle.
    if (!more && before != 0) data_valid = 1;
}
