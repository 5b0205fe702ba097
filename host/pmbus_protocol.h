#pragma once
// Request/response frame layer between a serial device and its controller.
//
// One request is in flight at a time. RefreshStatus() returns false while it
// waits for the answer; when the time-out passes it retransmits the request
// itself, and after the last retry it gives up: process_error(), Reset()
// (polling step 0), data marked invalid, line idle. An answer carrying an
// error return code counts as a failed try of the same request. If a polling
// cycle is under way (step not 0) but no request has gone out for the stall
// limit although RefreshStatus() let the device send, the cycle is restarted
// the same way, so no sequence of answers can leave the poll waiting for ever.
//
// Host policy for the derived device: every valid answer handed to
// process_payload() sets the last-update time; a completed cycle (a reset from
// a step other than 0) sets the data-valid flag; giving up clears it. Alarm
// checks the device makes about itself while handling an answer are evaluated
// as one batch right after it.

#include <chrono>
#include <cstdint>
#include <vector>

#include "host/frame.h"
#include "host/vdevice.h"

class PMBusProtocol : public SMDSPDevice {
public:
    using Clock = std::chrono::steady_clock;

    PMBusProtocol();
    ~PMBusProtocol() override;

    void Reset() override;
    // Reads "address" (default 1), "timeout_ms" (1500), "retries" (2) and
    // "stall_ms" (three time-outs). A present key of the wrong type or range
    // is logged and makes the settings invalid.
    bool InitSetting(const Json::Value& setting) override;

    bool RefreshStatus() override;
    bool process(unsigned char* data, unsigned int len) override;
    bool IsProcessing() const override;
    bool IsStalled() const override;

    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* info, int len);

    struct Counters {
        uint64_t answers = 0;        // valid answers handed to process_payload()
        uint64_t error_answers = 0;  // answers with RTN other than 0
        uint64_t rejected = 0;       // frames dropped by the codec or for VER/ADR
        uint64_t retransmits = 0;
        uint64_t give_ups = 0;       // time-outs after the last retry, and stalls
    };
    const Counters& counters() const { return stats; }

protected:
    virtual bool process_payload() = 0;
    // Called for an answer with an error return code (recv_frame is that
    // answer) and when the layer gives up on a request (recv_frame is null).
    virtual void process_error();
    // Monotonic clock for time-outs; tests override it.
    virtual Clock::time_point Now() const;

    const unsigned char* recv_frame = nullptr;
    int32_t step = 0;
    uint8_t version = 0x20;

    uint8_t address = 1;
    int timeout_ms = 1500;
    int retries = 2;
    int stall_ms = 4500;

private:
    void handle_frame(const std::vector<unsigned char>& view);
    void give_up(const char* why);
    int transmit();

    frame::Receiver receiver;
    std::vector<unsigned char> request;  // the frame in flight, as sent
    unsigned char request_cid1 = 0, request_cid2 = 0;
    bool awaiting = false;
    int attempts = 0;
    Clock::time_point deadline{};
    Clock::time_point last_send{};
    bool stall_clock_running = false;
    bool idle_pass = false;  // let through since the last send, and sent nothing
    bool in_process = false;
    std::vector<unsigned char> deferred;
    Counters stats;
};
