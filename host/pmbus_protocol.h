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
// Line conditions: a frame identical to the request in flight is the echo of
// a half-duplex adapter and is dropped (logged once per line); a frame while
// nothing is in flight (a late answer after a give-up) is dropped and logged;
// a frame that began before the request in flight was last sent (a repeated
// answer: a second copy in the same read, or already waiting on the line when
// the request was written) is stale and dropped; an answer whose CID1 is not
// the request's group is dropped and the request waits for its answer or its
// time-out, as for a lost answer. A partial frame is dropped once the line
// has been silent for the frame gap, and if a request is in flight that
// counts as a failed try. Every reason is counted in Counters.
//
// Host policy for the derived device: every valid answer handed to
// process_payload() sets the last-update time; a completed cycle (a reset from
// a step other than 0) sets the data-valid flag; giving up clears it. Alarm
// checks the device makes about itself while handling an answer are evaluated
// as one batch right after it.

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/frame.h"
#include "host/vdevice.h"

class PMBusProtocol : public SMDSPDevice {
public:
    using Clock = std::chrono::steady_clock;

    PMBusProtocol();
    ~PMBusProtocol() override;

    void Reset() override;
    // Reads "address" (default 1), "timeout_ms" (1500), "retries" (2),
    // "stall_ms" (three time-outs, and never less than the main device's 2 s
    // time guard plus one time-out) and "frame_gap_ms" (one time-out). A
    // present key of the wrong type or range is logged and makes the settings
    // invalid; nothing of them is applied then.
    bool InitSetting(const Json::Value& setting) override;
    // A new line starts with an empty receiver and logs its first echo again.
    bool OpenPort(const std::string& path) override;

    bool RefreshStatus() override;
    bool process(unsigned char* data, unsigned int len) override;
    bool IsProcessing() const override;
    bool IsStalled() const override;

    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* info, int len);

    // What happens on the line, told to the host program as it happens, on
    // the thread that drives the device and inside the call that caused it,
    // so the program never decodes a frame a second time. An observer must
    // not call back into the device.
    class Observer {
    public:
        // How a well-formed frame was judged.
        enum class Outcome {
            Accepted,      // the answer to the request in flight, handed to process_payload()
            ErrorReturn,   // an answer with RTN other than 0: a failed try
            Echo,          // the request in flight coming back
            Stray,         // no request in flight
            Stale,         // received before the request in flight was sent
            WrongGroup,    // CID1 other than the request's group
            WrongVersion,  // other VER
            WrongAddress,  // other ADR
        };
        virtual ~Observer() = default;
        // A request went out: a new one, or the one in flight again.
        virtual void OnRequest(uint8_t cid1, uint8_t cid2, bool retransmission) = 0;
        // view: the received-frame view (VER, ADR, CID1, RTN, LENID, INFO),
        // valid during the call. Accepted is told before process_payload()
        // runs, so a request it sends comes after.
        virtual void OnFrame(Outcome outcome, const std::vector<unsigned char>& view) = 0;
        // The layer gave up on the request in flight, or on a cycle that sent
        // nothing for the stall limit (stall true).
        virtual void OnGiveUp(uint8_t cid1, uint8_t cid2, bool stall) = 0;
    };
    // null: no observer. The device does not own it.
    void SetObserver(Observer* o) { observer = o; }

    struct Counters {
        uint64_t answers = 0;        // valid answers handed to process_payload()
        uint64_t error_answers = 0;  // answers with RTN other than 0
        // Frames dropped by the codec or for VER/ADR. Well-formed frames that
        // are not the answer (echoes, stray, stale, wrong group) are not in it.
        uint64_t rejected = 0;
        // rejected, by reason
        uint64_t non_hex = 0;
        uint64_t odd_length = 0;
        uint64_t too_short = 0;
        uint64_t too_long = 0;
        uint64_t truncated = 0;     // cut short by a new SOI
        uint64_t bad_lchksum = 0;
        uint64_t lenid_mismatch = 0;
        uint64_t bad_chksum = 0;
        uint64_t unfinished = 0;    // no EOI within the frame gap
        uint64_t wrong_version = 0;
        uint64_t wrong_address = 0;
        // well-formed frames that are not the answer
        uint64_t echoes = 0;        // the request in flight coming back
        uint64_t stray_frames = 0;  // arrived with no request in flight
        uint64_t stale = 0;         // begun before the request in flight was (re)sent
        uint64_t wrong_group = 0;   // CID1 other than the request's
        uint64_t garbage_bytes = 0; // bytes between frames
        uint64_t timeouts = 0;      // answer time-outs, retried or not
        uint64_t retransmits = 0;
        uint64_t give_ups = 0;      // time-outs after the last retry, and stalls
        uint64_t stalls = 0;        // of give_ups: no request within the stall limit

        // Every counter under its snake_case name, always in this order.
        std::vector<std::pair<std::string, uint64_t>> items() const;
    };
    const Counters& counters() const { return stats; }

protected:
    virtual bool process_payload() = 0;
    // Called for an answer with an error return code (recv_frame is that
    // answer) and when the layer gives up on a request (recv_frame is null).
    virtual void process_error();
    // Monotonic clock for time-outs; tests override it.
    virtual Clock::time_point Now() const;
    // The last RefreshStatus() retransmitted the request in flight: it sent
    // something, although it refused to let the device send.
    bool retransmitted() const { return just_retransmitted; }

    const unsigned char* recv_frame = nullptr;
    int32_t step = 0;
    uint8_t version = 0x20;

    uint8_t address = 1;
    int timeout_ms = 1500;
    int retries = 2;
    int stall_ms = 4500;
    int frame_gap_ms = 1500;

private:
    void feed_receiver(const unsigned char* data, size_t len);
    void handle_frame(const std::vector<unsigned char>& view);
    bool drop_unwanted(const std::vector<unsigned char>& view);
    void on_reject(frame::Reject r);
    void expire_partial(Clock::time_point now);
    bool is_echo() const;
    void give_up(const char* why, bool stall);
    int transmit();
    void drain_port();

    frame::Receiver receiver;
    std::vector<unsigned char> request;  // the frame in flight, as sent
    unsigned char request_cid1 = 0, request_cid2 = 0;
    bool awaiting = false;
    bool failed_try = false;  // the try in flight ended early: not a time-out
    int attempts = 0;
    Clock::time_point deadline{};
    Clock::time_point last_send{};
    bool stall_clock_running = false;
    bool idle_pass = false;  // let through since the last send, and sent nothing
    bool in_process = false;
    bool just_retransmitted = false;
    bool echo_logged = false;
    Clock::time_point last_rx{};
    std::vector<unsigned char> deferred;
    std::vector<unsigned char> waiting;  // deferred bytes being fed
    // Bytes received since construction; the receiver's count plus rx_skew
    // (bytes dropped unfed) numbers them the same way.
    uint64_t rx_count = 0;
    uint64_t rx_skew = 0;
    uint64_t request_mark = 0;  // rx_count when the request in flight last went out
    Counters stats;
    Observer* observer = nullptr;
};
