#pragma once
// Generic DC distribution unit: one DC panel of the power system. The main
// device hands it its stretch of the 0x42/0x41 and 0x42/0x44 answers; at the
// end of each polling cycle it publishes its record, describes its alarm
// checks (its own, then the model's table) and queues the batch with a history
// save. A model class supplies DoImpCheckAlert().

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/lexical_cast.hpp>
#include <json/json.h>

#include "host/vdevice.h"

template <class TeleDC, int RT_DC>
class PMBusPowerDC : public SMDSPDevice {
public:
    PMBusPowerDC() = default;
    explicit PMBusPowerDC(const std::string& model_text) : model(model_text) {}
    ~PMBusPowerDC() override = default;

    using VDeviceInterface::LoadFromCache;

    bool InitV(SMDVDevice* parent_device, unsigned int id, const Json::Value& setting) override {
        const uint32_t id32 = id;
        std::memcpy(record() + offsetof(TeleDC, data_id), &id32, sizeof id32);
        if (setting.isObject()) {
            const Json::Value& app = setting["appSetting"];
            if (!app.isNull() && app.isObject()) {
                if (!app["diff_v"].isNull()) diff_v = narrow(std::atof(app["diff_v"].asString().c_str()));
                if (!app["diff_i"].isNull()) diff_i = narrow(std::atof(app["diff_i"].asString().c_str()));
            }
        }
        return SMDSPDevice::InitV(parent_device, id, setting);
    }

    float Get_Value(unsigned int, const std::string& key) const override {
        if (!data_valid) throw std::out_of_range("数据未就绪");
        // A time stamp that was never set cannot vouch for the data.
        if (last_update.is_special()) throw std::out_of_range("数据已超时");
        const int64_t age =
            (boost::posix_time::second_clock::local_time() - last_update).total_seconds();
        if (age >= 61) throw std::out_of_range("数据已超时");
        if (key == "v") return read_float(offsetof(TeleDC, v));
        if (key == "i") return read_float(offsetof(TeleDC, i));
        throw std::out_of_range("数据未就绪");
    }

    bool LoadFromCache(const unsigned char* data, int len) override {
        if (len != static_cast<int>(sizeof(TeleDC)) || data == nullptr) return false;
        std::memcpy(record(), data, sizeof(TeleDC));
        data_valid = 1;
        last_update = boost::posix_time::second_clock::local_time();
        return true;
    }

    void RoundDone() override {
        last_update = boost::posix_time::second_clock::local_time();
        const auto stamp = get_ttime(boost::posix_time::second_clock::local_time());
        static_assert(sizeof(TeleDC::time_stamp) == std::tuple_size_v<decltype(stamp)>);
        std::memcpy(record() + offsetof(TeleDC, time_stamp), stamp.data(), stamp.size());
        data_valid = 1;
        last_v = read_float(offsetof(TeleDC, v));
        last_i = read_float(offsetof(TeleDC, i));
        SendSP(RT_DC, record(), static_cast<int>(sizeof(TeleDC)), false);

        check_seq = 1;
        {
            const bool low = tele.v_state == 1;
            CheckThresholdBool(3, "DC_0", "06008", "输出电压过低告警", "输出电压过低告警", low,
                               check_seq++);
            const bool high = tele.v_state == 2;
            CheckThresholdBool(3, "DC_1", "06009", "输出电压过高告警", "输出电压过高告警", high,
                               check_seq++);
        }
        if (tele.alert_m == TeleDC::ALERT_M_SIZE()) {
            for (unsigned k = 1; k <= TeleDC::ALERT_M_SIZE(); ++k) {
                const bool blown = tele.alert_m_state[k - 1] == 3;
                CheckThresholdBool(1, "DC_3", "06001", "电池熔丝故障告警",
                                   "直流" + boost::lexical_cast<std::string>(k) + "电池熔丝故障告警",
                                   blown, check_seq++);
            }
        }
        DoImpCheckAlert();

        const size_t n = pending_rules.size();
        std::shared_ptr<SMDVDevice> self = shared_from_this();
        const unsigned char* snapshot = record();
        CheckThresholdWork([self, this, rules = std::move(pending_rules), snapshot]() {
            batch_result = DoBatchCheckThreshold(rules) || batch_result;
            SaveDeviceHistory(snapshot, static_cast<int>(sizeof(TeleDC)));
        });
        pending_rules.clear();  // a moved-from vector is only "valid but unspecified"
        pending_rules.reserve(n);
    }

    virtual int parse42_41(const unsigned char* data, int len) {
        if (len >= 4)
            std::printf("parse 42 41: %x %x %x %x\n", static_cast<unsigned>(data[0]),
                        static_cast<unsigned>(data[1]), static_cast<unsigned>(data[2]),
                        static_cast<unsigned>(data[3]));
        int pos = 0;
        // Widths are at most 4 * 255, so pos + width never overflows an int.
        auto fits = [&](int width) { return len - pos >= width; };
        auto overflow = [&](int width) {
            InfoLog("PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}", DataId(),
                    static_cast<int32_t>(pos + width), static_cast<int32_t>(len));
            return -1;
        };

        if (!fits(4)) return overflow(4);
        std::memcpy(record() + offsetof(TeleDC, v), data + pos, 4);
        pos += 4;
        if (!fits(4)) return overflow(4);
        std::memcpy(record() + offsetof(TeleDC, i), data + pos, 4);
        pos += 4;

        if (!fits(1)) return overflow(1);
        const uint8_t m = data[pos++];
        tele.dc_m = m;
        if (m > TeleDC::M_SIZE()) {
            InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}",
                    DataId(), m, TeleDC::M_SIZE());
        } else {
            if (!fits(4 * m)) return overflow(4 * m);
            std::memcpy(record() + offsetof(TeleDC, dc_m_value), data + pos, 4u * m);
        }
        pos += 4 * m;

        if (!fits(1)) return overflow(1);
        const uint8_t n = data[pos++];
        tele.dc_n = n;
        if (n > TeleDC::N_SIZE()) {
            InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}",
                    DataId(), n, TeleDC::N_SIZE());
        } else {
            if (!fits(4 * n)) return overflow(4 * n);
            std::memcpy(record() + offsetof(TeleDC, dc_n_value), data + pos, 4u * n);
        }
        pos += 4 * n;

        if (!fits(1)) return overflow(1);
        const uint8_t p = data[pos++];
        tele.p_count = p;
        if (p > TeleDC::P_SIZE()) {
            InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}",
                    DataId(), p, TeleDC::P_SIZE());
            return len;
        }
        if (!fits(4 * p)) return overflow(4 * p);
        for (unsigned k = 0; k < p; ++k, pos += 4) {
            const unsigned char* b = data + pos;
            unsigned char* slot = record() + offsetof(TeleDC, user_p) + 4 * k;
            if (b[0] != 0 && b[1] == b[0] && b[2] == b[0] && b[3] == b[0]) {
                // The controller fills an absent user value with one repeated byte.
                static constexpr uint32_t kNoValue = 0xBDCCCCCDu;  // -0.1f
                std::memcpy(slot, &kNoValue, 4);
            } else {
                std::memcpy(slot, b, 4);
            }
        }
        return pos;
    }

    virtual int parse42_44(const unsigned char* data, int len) {
        int pos = 0;
        auto fits = [&](int width) { return len - pos >= width; };
        auto overflow = [&](int width) {
            InfoLog("PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}", DataId(),
                    static_cast<int32_t>(pos + width), static_cast<int32_t>(len));
            return -1;
        };

        if (!fits(1)) return overflow(1);
        tele.v_state = data[pos++];
        if (!fits(1)) return overflow(1);
        const uint8_t m = data[pos++];
        tele.alert_m = m;
        // Over capacity the surplus states are dropped without a message; the
        // battery checks already stand down unless the count is exact.
        if (!fits(m)) return overflow(m);
        const unsigned keep_m = m < TeleDC::ALERT_M_SIZE() ? m : TeleDC::ALERT_M_SIZE();
        std::memcpy(record() + offsetof(TeleDC, alert_m_state), data + pos, keep_m);
        pos += m;

        if (!fits(1)) return overflow(1);
        const uint8_t p = data[pos++];
        tele.alert_p = p;
        unsigned keep_p = p;
        if (p > TeleDC::ALERT_P_SIZE()) {
            InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}",
                    DataId(), p, TeleDC::ALERT_P_SIZE());
            keep_p = TeleDC::ALERT_P_SIZE();
        }
        if (!fits(p)) return overflow(p);
        std::memcpy(record() + offsetof(TeleDC, alert_p_state), data + pos, keep_p);
        pos += p;
        return pos;
    }

protected:
    // The model's status alarm table; its checks continue the sequence numbers.
    virtual void DoImpCheckAlert() = 0;

    unsigned char* record() { return reinterpret_cast<unsigned char*>(&tele); }
    const unsigned char* record() const { return reinterpret_cast<const unsigned char*>(&tele); }
    float read_float(size_t offset) const {
        float f;
        std::memcpy(&f, record() + offset, sizeof f);
        return f;
    }
    // A double beyond the float range would make the plain cast undefined.
    static float narrow(double v) {
        constexpr double max = std::numeric_limits<float>::max();
        if (v > max) return std::numeric_limits<float>::infinity();
        if (v < -max) return -std::numeric_limits<float>::infinity();
        return static_cast<float>(v);
    }

    TeleDC tele{};
    float last_v = 0.0f;
    float last_i = 0.0f;
    float diff_v = 0.1f;
    float diff_i = 20.0f;
    std::string model;  // the main device's model text at creation; kept, not read
};
