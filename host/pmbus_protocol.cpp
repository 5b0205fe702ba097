#include "host/pmbus_protocol.h"

#include <limits>
#include <utility>

namespace {
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
    const bool ok = read_int(*this, setting, "address", 0, 255, adr) &&
                    read_int(*this, setting, "timeout_ms", 1, 600000, timeout) &&
                    read_int(*this, setting, "retries", 0, 100, tries) &&
                    read_int(*this, setting, "stall_ms", 1, 3600000, stall);
    if (!ok) return false;
    address = static_cast<uint8_t>(adr);
    timeout_ms = timeout;
    retries = tries;
    stall_ms = stall > 0 ? stall : 3 * timeout_ms;
    return true;
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
    attempts = 1;
    return transmit();
}

int PMBusProtocol::transmit() {
    const auto now = Now();
    deadline = now + std::chrono::milliseconds(timeout_ms);
    last_send = now;
    stall_clock_running = true;
    idle_pass = false;
    // A failed write is not special: the request stays in flight and times out.
    // Sent from a copy: a line that answers inside SendData may have the next
    // request written, replacing this one, before SendData returns.
    const std::vector<unsigned char> out = request;
    return SendData(out.data(), static_cast<int>(out.size()));
}

bool PMBusProtocol::RefreshStatus() {
    if (!SMDSPDevice::RefreshStatus()) return false;
    const auto now = Now();
    if (awaiting) {
        if (now < deadline) return false;
        if (attempts <= retries) {
            ++attempts;
            ++stats.retransmits;
            transmit();
            return false;
        }
        give_up("no answer after all retries");
        return false;
    }
    if (step != 0) {
        // Only a device that was already let through once and still sent
        // nothing is stuck; a host that polls rarely is not.
        if (idle_pass && stall_clock_running && now - last_send >= std::chrono::milliseconds(stall_ms)) {
            give_up("no request sent within the stall limit");
            return false;
        }
        idle_pass = true;
    }
    return true;
}

void PMBusProtocol::give_up(const char* why) {
    ++stats.give_ups;
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
    // Bytes arriving while an answer is being handled (a request written from
    // inside process_payload() answered at once) wait their turn.
    if (in_process) {
        deferred.insert(deferred.end(), data, data + len);
        return true;
    }
    in_process = true;
    try {
        std::vector<unsigned char> input(data, data + len);
        while (!input.empty()) {
            receiver.feed(
                input.data(), input.size(),
                [this](const std::vector<unsigned char>& view) { handle_frame(view); },
                [this](frame::Reject r) {
                    ++stats.rejected;
                    InfoLog("PMBusProtocol:FrameError {} dropped frame: {}", DataId(), frame::reject_text(r));
                });
            input.swap(deferred);
            deferred.clear();
        }
    } catch (...) {
        // The rest of this read is lost; without this every later read
        // would be deferred for ever.
        in_process = false;
        deferred.clear();
        receiver.reset();
        recv_frame = nullptr;
        throw;
    }
    in_process = false;
    return true;
}

void PMBusProtocol::handle_frame(const std::vector<unsigned char>& view) {
    if (view[frame::kViewVer] != version || view[frame::kViewAdr] != address) {
        ++stats.rejected;
        InfoLog("PMBusProtocol:FrameError {} dropped frame: VER {} ADR {}, expected VER {} ADR {}", DataId(),
                view[frame::kViewVer], view[frame::kViewAdr], version, address);
        return;
    }
    const uint8_t rtn = view[frame::kViewRtn];
    if (rtn != frame::RTN_OK) {
        ++stats.error_answers;
        InfoLog("PMBusProtocol:ProcotolError {} answer to {} {} returned RTN {} ({})", DataId(), request_cid1,
                request_cid2, rtn, frame::rtn_text(rtn));
        recv_frame = view.data();
        process_error();
        recv_frame = nullptr;
        // Counts as a failed try: the next RefreshStatus retransmits or gives up.
        if (awaiting) deadline = Now();
        return;
    }
    ++stats.answers;
    awaiting = false;
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
