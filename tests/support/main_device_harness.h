#pragma once
// The main device as a test drives it: requests written to the line are
// captured and decoded, answers are built with the codec and fed through
// process(), the frame layer's clock is under the test's control and the
// dispatch's pause is skipped.

#include <memory>
#include <string>
#include <vector>

#include "device/pmbus_power.h"
#include "host/frame.h"
#include "tests/support/recording_controller.h"

namespace testing_support {

inline const bool kNoDispatchPause = (host::set_sleep([](unsigned int) {}), true);

struct Request {
    uint8_t cid1;
    uint8_t cid2;
    std::vector<unsigned char> info;
    bool operator==(const Request& o) const { return cid1 == o.cid1 && cid2 == o.cid2 && info == o.info; }
};

inline std::string describe(const Request& r) {
    std::string s = fmt::format("{:02X}/{:02X}", r.cid1, r.cid2);
    for (unsigned char b : r.info) s += fmt::format(" {:02X}", b);
    return s;
}

template <class AC, class DC, class RC>
class MainDeviceHarness : public PMBusPower<AC, DC, RC> {
public:
    using Base = PMBusPower<AC, DC, RC>;
    using Base::ac_flag;
    using Base::ac_units;
    using Base::batch_result;
    using Base::check_seq;
    using Base::data_valid;
    using Base::dc_units;
    using Base::last_update;
    using Base::model;
    using Base::need_device_info;
    using Base::pending_rules;
    using Base::poll_state;
    using Base::process_payload;
    using Base::rc_flag;
    using Base::rc_unit;
    using Base::recv_frame;
    using Base::step;
    using Base::supported_models;
    using Base::version;

    explicit MainDeviceHarness(std::vector<std::string> models = {"M520S"}) : Base(std::move(models)) {
        this->device_type = "m520s";
        (void)kNoDispatchPause;
    }

    std::shared_ptr<RecordingController> attach(unsigned int id = 100) {
        auto c = std::make_shared<RecordingController>();
        this->Init(c, id);
        return c;
    }

    // --- line ---------------------------------------------------------------
    std::vector<std::vector<unsigned char>> wire;
    int SendData(const unsigned char* d, int n) override {
        wire.emplace_back(d, d + n);
        return n;
    }

    std::vector<Request> requests() const {
        std::vector<Request> out;
        frame::Receiver rx;
        for (const auto& w : wire)
            rx.feed(
                w.data(), w.size(),
                [&](const std::vector<unsigned char>& v) {
                    out.push_back({v[frame::kViewCid1], v[frame::kViewRtn],
                                   std::vector<unsigned char>(v.begin() + frame::kViewInfo, v.end())});
                },
                nullptr);
        return out;
    }
    std::vector<std::string> request_names() const {
        std::vector<std::string> out;
        for (const auto& r : requests()) out.push_back(describe(r));
        return out;
    }

    bool feed(const std::vector<unsigned char>& bytes) {
        std::vector<unsigned char> copy(bytes);
        return this->process(copy.data(), static_cast<unsigned int>(copy.size()));
    }
    // Feeds one well-formed answer built by the codec.
    void answer(uint8_t cid1, const std::vector<unsigned char>& info, uint8_t rtn = 0) {
        feed(frame::encode(this->version, this->address, cid1, rtn, info.data(), info.size()));
    }

    // Hands a view straight to the dispatch, bypassing the frame layer, and
    // returns its result. The view is sized exactly to the INFO given.
    bool dispatch(uint8_t cid1, const std::vector<unsigned char>& info) {
        std::vector<unsigned char> view(6 + info.size());
        view[0] = this->version;
        view[1] = this->address;
        view[2] = cid1;
        view[3] = 0;
        const unsigned lenid = static_cast<unsigned>(2 * info.size());
        view[4] = static_cast<unsigned char>(lenid & 0xFF);
        view[5] = static_cast<unsigned char>(lenid >> 8);
        std::copy(info.begin(), info.end(), view.begin() + 6);
        recv_frame = view.data();
        const bool r = process_payload();
        recv_frame = nullptr;
        return r;
    }

    // --- time ---------------------------------------------------------------
    typename Base::Clock::time_point now{};
    typename Base::Clock::time_point Now() const override { return now; }
    void advance_ms(int ms) { now += std::chrono::milliseconds(ms); }
    void age_last_update(int seconds) {
        last_update = boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(seconds);
    }
};

}  // namespace testing_support
