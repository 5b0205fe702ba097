#pragma once
// One AC distribution panel of a PMBus power controller: decodes its share of
// the 0x40/0x41, 0x40/0x43 and 0x40/0x44 answers into the panel and channel
// records, serves values by key, restores itself from a stored snapshot and,
// once per polling cycle, publishes the snapshot and describes its alarm
// checks. The status table of the user-defined alarm bytes belongs to the
// model class (DoImpCheckAlert).

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/json.h>

#include "ac/channel_key.h"
#include "host/vdevice.h"

namespace ac_detail {

// A 4-byte wire value whose bytes are all equal and not zero means "absent".
inline bool is_absent(const unsigned char* p) {
    return p[0] != 0 && p[1] == p[0] && p[2] == p[0] && p[3] == p[0];
}

// What an absent value is stored as: 0.0 for channel measurements, -0.1
// (0xBDCCCCCD) for user-defined values and output currents.
inline constexpr unsigned char kAbsentZero[4] = {0x00, 0x00, 0x00, 0x00};
inline constexpr unsigned char kAbsentMinusTenth[4] = {0xCD, 0xCC, 0xCC, 0xBD};

inline void store_value(void* dst, const unsigned char* src, const unsigned char (&absent)[4]) {
    std::memcpy(dst, is_absent(src) ? absent : src, 4);
}

inline float load_float(const void* src) {
    float v;
    std::memcpy(&v, src, sizeof v);
    return v;
}

// Narrowing that stays defined for values beyond the float range.
inline float narrow(double v) {
    constexpr double max = std::numeric_limits<float>::max();
    if (v > max) return std::numeric_limits<float>::infinity();
    if (v < -max) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

enum Phase : uint8_t { kA, kB, kC, kF };

// Texts held as strings, so that a check of each channel copies them into
// its rule once and builds no temporaries: there are eleven a channel.
struct ChannelRule {
    std::string key;
    int level;
    std::string code;
    std::string name;
    std::string detail;  // follows the channel prefix
    Phase state;
    uint8_t value;
};

// Checked for every channel, in this order.
inline const ChannelRule kChannelRules[] = {
    {"AC_0", 3, "06015", "交流输入电压过低告警", "输入线/相电压AB/A", kA, 1},
    {"AC_1", 3, "06015", "交流输入电压过低告警", "输入线/相电压BC/B", kB, 1},
    {"AC_2", 3, "06015", "交流输入电压过低告警", "输入线/相电压CA/C", kC, 1},
    {"AC_3", 3, "06019", "交流输入频率过低告警", "频率", kF, 1},
    {"AC_4", 2, "06014", "交流输入电压过高告警", "输入线/相电压AB/A", kA, 2},
    {"AC_5", 2, "06014", "交流输入电压过高告警", "输入线/相电压BC/B", kB, 2},
    {"AC_6", 2, "06014", "交流输入电压过高告警", "输入线/相电压CA/C", kC, 2},
    {"AC_7", 2, "06018", "交流输入频率过高告警", "频率", kF, 2},
    {"AC_8", 2, "06017", "交流输入缺相告警", "输入线/相电压AB/A", kA, 3},
    {"AC_9", 2, "06017", "交流输入缺相告警", "输入线/相电压BC/B", kB, 3},
    {"AC_10", 2, "06017", "交流输入缺相告警", "输入线/相电压CA/C", kC, 3},
};

struct PanelRule {
    const char* key;
    int level;
    const char* code;
    const char* name;  // the rule's own text stands in the name position here
    Phase alert;       // kA, kB, kC: ia_alert, ib_alert, ic_alert
    uint8_t value;
};

inline constexpr const char* kPanelRuleDetail = "其他告警";

// Checked once per cycle, after the channel rules, in this order.
inline constexpr PanelRule kPanelRules[] = {
    {"AC_12", 3, "06029", "A相输入电流低于下限", kA, 1},
    {"AC_13", 3, "06029", "B相输入电流低于下限", kB, 1},
    {"AC_14", 3, "06029", "C相输入电流低于下限", kC, 1},
    {"AC_15", 3, "06029", "A相输入电流高于上限", kA, 2},
    {"AC_16", 3, "06029", "B相输入电流高于上限", kB, 2},
    {"AC_17", 3, "06029", "C相输入电流高于上限", kC, 2},
    {"AC_18", 3, "06029", "A相输入电流缺项", kA, 3},
    {"AC_19", 3, "06029", "B相输入电流缺项", kB, 3},
    {"AC_20", 3, "06029", "C相输入电流缺项", kC, 3},
};

// Bounds of one parse: every field is checked against the bytes left before
// it is touched, in 64-bit arithmetic because the caller's count may already
// be negative.
struct Cursor {
    const unsigned char* data;
    int len;
    int64_t pos = 0;

    bool fits(int64_t n) const { return pos + n <= static_cast<int64_t>(len); }
    const unsigned char* here() const { return data + pos; }
};

}  // namespace ac_detail

template <class TeleAC, class TeleACChannel, int RT_AC>
class PMBusPowerAC : public SMDSPDevice {
public:
    PMBusPowerAC() { std::memset(&tele, 0, sizeof tele); }
    ~PMBusPowerAC() override = default;

    using VDeviceInterface::LoadFromCache;

    float Get_Value(unsigned int id, const std::string& key) const override;
    bool LoadFromCache(const unsigned char* data, int len) override;
    void RoundDone() override;
    bool InitV(SMDVDevice* parent, unsigned int id, const Json::Value& setting) override;

    // Each takes this unit's share of an answer's INFO and the bytes left from
    // there; returns the bytes the share occupies, or -1 when it is refused.
    // None reads at or beyond data + len.
    virtual int parse40_41(const unsigned char* data, int len);
    virtual int parse40_43(const unsigned char* data, int len);
    virtual int parse40_44(const unsigned char* data, int len);
    // The model's status alarm table; runs inside RoundDone after the unit's
    // own checks and continues their sequence numbers.
    virtual void DoImpCheckAlert() = 0;

protected:
    static constexpr int panelSize_ = static_cast<int>(sizeof(TeleAC));
    static constexpr int channelSize_ = static_cast<int>(sizeof(TeleACChannel));

    // When a portion turns out longer than len, the overflow message reports
    // the length the portion would have if every count not yet read carried
    // the value a well-formed answer has (user-defined counts equal to the
    // record's capacity, skipped counts 0). It is exact when only the tail is
    // missing and otherwise the least length the answer could have.
    int overflow(const char* which, int64_t described, int len) {
        InfoLog(std::string("PMBusPowerAC:ProcotolError {} read ") + which + " read overflow {} - {}",
                DataId(), static_cast<int32_t>(described), static_cast<int32_t>(len));
        return -1;
    }

    // Check sequence number for the next check.
    unsigned short next_seq() { return check_seq++; }

    TeleAC tele;
    std::vector<TeleACChannel> channels;
    float diff_v = 20.0f;
    float diff_i = 20.0f;
    int32_t snapshot_len = 0;
    std::unique_ptr<unsigned char[]> snapshot;
};

// --- parsing -----------------------------------------------------------------

template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_41(const unsigned char* data, int len) {
    using ac_detail::kAbsentMinusTenth;
    using ac_detail::kAbsentZero;
    constexpr int64_t kUser = TeleACChannel::P40_41_SIZE();
    constexpr int64_t kChannel = 17 + 4 * kUser;  // a, b, c, f, p and the user values
    constexpr int64_t kTail = 12;                 // ia, ib, ic
    ac_detail::Cursor cur{data, len};

    if (!cur.fits(1)) return overflow("40_41", 1 + tele.channel_count * kChannel + kTail, len);
    const uint8_t m = *cur.here();
    cur.pos += 1;
    if (channels.empty()) {
        tele.channel_count = m;
        channels.assign(m, TeleACChannel{});
    } else if (m != tele.channel_count) {
        return -1;
    }

    const int64_t count = tele.channel_count;
    for (int64_t k = 0; k < count; ++k) {
        TeleACChannel& ch = channels[static_cast<size_t>(k)];
        const int64_t rest = (count - k - 1) * kChannel + kTail;  // after this channel

        if (!cur.fits(16)) return overflow("40_41", cur.pos + kChannel + rest, len);
        ac_detail::store_value(&ch.a, cur.here(), kAbsentZero);
        ac_detail::store_value(&ch.b, cur.here() + 4, kAbsentZero);
        ac_detail::store_value(&ch.c, cur.here() + 8, kAbsentZero);
        ac_detail::store_value(&ch.f, cur.here() + 12, kAbsentZero);
        cur.pos += 16;
        std::cout << "a:" << ac_detail::load_float(&ch.a) << " b:" << ac_detail::load_float(&ch.b)
                  << " c:" << ac_detail::load_float(&ch.c) << " f:" << ac_detail::load_float(&ch.f)
                  << std::endl;

        if (!cur.fits(1)) return overflow("40_41", cur.pos + 1 + 4 * kUser + rest, len);
        const uint8_t p = *cur.here();
        cur.pos += 1;
        ch.p40_41_count = p;
        if (p != kUser) {
            InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", DataId(), p,
                    TeleACChannel::P40_41_SIZE());
            if (!cur.fits(4 * int64_t{p})) return overflow("40_41", cur.pos + 4 * p + rest, len);
            cur.pos += 4 * p;
        } else {
            if (!cur.fits(4 * kUser)) return overflow("40_41", cur.pos + 4 * kUser + rest, len);
            for (int64_t i = 0; i < kUser; ++i)
                ac_detail::store_value(reinterpret_cast<unsigned char*>(&ch.p40_41_value) + 4 * i,
                                       cur.here() + 4 * i, kAbsentMinusTenth);
            cur.pos += 4 * kUser;
        }
    }

    if (!cur.fits(kTail)) return overflow("40_41", cur.pos + kTail, len);
    ac_detail::store_value(&tele.ia, cur.here(), kAbsentMinusTenth);
    ac_detail::store_value(&tele.ib, cur.here() + 4, kAbsentMinusTenth);
    ac_detail::store_value(&tele.ic, cur.here() + 8, kAbsentMinusTenth);
    cur.pos += kTail;
    return static_cast<int>(cur.pos);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_43(const unsigned char* data, int len) {
    constexpr int64_t kUser = TeleAC::P40_43_SIZE();
    ac_detail::Cursor cur{data, len};

    if (!cur.fits(1)) return overflow("40_43", 1 + 1 + kUser, len);
    const uint8_t m = *cur.here();
    cur.pos += 1;
    tele.airlock_count = m;
    if (m > TeleAC::AIRLOCK_MAX()) {
        // This one message has always carried printf conversions; it goes out as it stands.
        InfoLog("ProcotolError %u read 40_43 m is %d max %d", DataId(), m, TeleAC::AIRLOCK_MAX());
        return -1;
    }

    if (!cur.fits(m)) return overflow("40_43", cur.pos + m + 1 + kUser, len);
    if constexpr (TeleAC::AIRLOCK_MAX() > 0) std::memcpy(tele.airlock_state, cur.here(), m);
    cur.pos += m;

    if (!cur.fits(1)) return overflow("40_43", cur.pos + 1 + kUser, len);
    const uint8_t p = *cur.here();
    cur.pos += 1;
    tele.p40_43_count = p;
    if (p != kUser) {
        InfoLog("PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}", DataId(), p,
                TeleAC::P40_43_SIZE());
        // The skipped bytes are not read, so the count may run past len; the
        // caller's walk compares the total with the answer's length.
        return static_cast<int>(cur.pos + p);
    }

    if (!cur.fits(kUser)) return overflow("40_43", cur.pos + kUser, len);
    if constexpr (kUser > 0) std::memcpy(tele.p40_43_state, cur.here(), kUser);
    cur.pos += kUser;
    return static_cast<int>(cur.pos);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_44(const unsigned char* data, int len) {
    constexpr int64_t kUser = TeleACChannel::p40_44_SIZE();
    constexpr int64_t kChannel = 6 + kUser;  // four states, n, p and the user states
    constexpr int64_t kTail = 3;             // ia_alert, ib_alert, ic_alert
    ac_detail::Cursor cur{data, len};
    const int64_t count = tele.channel_count;

    // The leading channel count is not trusted; the count fixed by 40/41 rules.
    if (!cur.fits(1)) return overflow("40_44", 1 + count * kChannel + kTail, len);
    cur.pos += 1;

    for (int64_t k = 0; k < count && k < static_cast<int64_t>(channels.size()); ++k) {
        TeleACChannel& ch = channels[static_cast<size_t>(k)];
        const int64_t rest = (count - k - 1) * kChannel + kTail;

        if (!cur.fits(4)) return overflow("40_44", cur.pos + kChannel + rest, len);
        ch.a_state = cur.here()[0];
        ch.b_state = cur.here()[1];
        ch.c_state = cur.here()[2];
        ch.f_state = cur.here()[3];
        cur.pos += 4;

        if (!cur.fits(1)) return overflow("40_44", cur.pos + 2 + kUser + rest, len);
        const uint8_t n = *cur.here();
        cur.pos += 1;
        if (n != 0) {
            InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 m is {}", DataId(), static_cast<int32_t>(n));
            if (!cur.fits(n)) return overflow("40_44", cur.pos + n + 1 + kUser + rest, len);
            cur.pos += n;
        }

        if (!cur.fits(1)) return overflow("40_44", cur.pos + 1 + kUser + rest, len);
        const uint8_t p = *cur.here();
        cur.pos += 1;
        ch.p40_44_count = p;
        if (p != kUser) {
            InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}", DataId(), p,
                    TeleACChannel::p40_44_SIZE());
            if (!cur.fits(p)) return overflow("40_44", cur.pos + p + rest, len);
            cur.pos += p;
        } else {
            if (!cur.fits(kUser)) return overflow("40_44", cur.pos + kUser + rest, len);
            if constexpr (kUser > 0) std::memcpy(ch.p40_44_state, cur.here(), kUser);
            cur.pos += kUser;
        }
    }

    if (!cur.fits(kTail)) return overflow("40_44", cur.pos + kTail, len);
    tele.ia_alert = cur.here()[0];
    tele.ib_alert = cur.here()[1];
    tele.ic_alert = cur.here()[2];
    cur.pos += kTail;
    return static_cast<int>(cur.pos);
}

// --- values and cache -----------------------------------------------------------

template <class TeleAC, class TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Get_Value(unsigned int, const std::string& key) const {
    if (!data_valid) throw std::out_of_range("数据未就绪");
    if (last_update.is_special()) throw std::out_of_range("数据已超时");
    const int64_t age = (boost::posix_time::second_clock::local_time() - last_update).total_seconds();
    if (age >= 61) throw std::out_of_range("数据已超时");

    if (key == "ia") return ac_detail::load_float(&tele.ia);
    if (key == "ib") return ac_detail::load_float(&tele.ib);
    if (key == "ic") return ac_detail::load_float(&tele.ic);
    if (key == "ia_alert") return static_cast<float>(tele.ia_alert);
    if (key == "ib_alert") return static_cast<float>(tele.ib_alert);
    if (key == "ic_alert") return static_cast<float>(tele.ic_alert);

    const auto named = ac_detail::find_channel_key(key);
    if (!named) throw std::out_of_range("数据未提供");

    // Digits that do not fit an int name no channel either.
    const std::string_view digits = named->digits;
    int index = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (ec != std::errc() || end != digits.data() + digits.size() || index < 0 ||
        static_cast<size_t>(index) >= channels.size())
        throw std::out_of_range("通道参数越界");

    const TeleACChannel& ch = channels[static_cast<size_t>(index)];
    switch (named->sub) {
        case 'a': return ac_detail::load_float(&ch.a);
        case 'b': return ac_detail::load_float(&ch.b);
        case 'c': return ac_detail::load_float(&ch.c);
        case 'f': return ac_detail::load_float(&ch.f);
        default: break;
    }
    throw std::out_of_range("数据未提供");
}

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::LoadFromCache(const unsigned char* data, int len) {
    if (data == nullptr || len <= panelSize_) return false;
    std::memcpy(&tele, data, panelSize_);
    channels.resize(tele.channel_count);
    if (static_cast<int64_t>(len) - panelSize_ != int64_t{channelSize_} * tele.channel_count) return false;
    for (size_t k = 0; k < channels.size(); ++k)
        std::memcpy(&channels[k], data + panelSize_ + k * channelSize_, channelSize_);
    data_valid = 1;
    last_update = boost::posix_time::second_clock::local_time();
    return true;
}

// --- configuration and round completion ------------------------------------------

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::InitV(SMDVDevice* parent_device, unsigned int id,
                                                      const Json::Value& setting) {
    const uint32_t stored = id;
    std::memcpy(&tele.data_id, &stored, sizeof stored);

    if (setting.isObject()) {
        const Json::Value& app = setting["appSetting"];
        if (app.isObject()) {
            // A setting that holds no text (an array or object) throws from
            // asString(), as a bad "data_id" does: the host refuses the config.
            auto take = [&app](const char* name, float& out) {
                const Json::Value& v = app[name];
                if (v.isNull()) return;
                out = ac_detail::narrow(std::atof(v.asString().c_str()));
            };
            take("diff_v", diff_v);
            take("diff_i", diff_i);
        }
    }
    return SMDVDevice::InitV(parent_device, id, setting);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::RoundDone() {
    last_update = boost::posix_time::second_clock::local_time();
    const auto stamp = get_ttime(boost::posix_time::second_clock::local_time());
    static_assert(sizeof tele.time_stamp == std::tuple_size_v<decltype(stamp)>);
    std::memcpy(tele.time_stamp, stamp.data(), stamp.size());

    // The buffer follows the channel count: a restore or a late first answer
    // may change the count after the buffer was made.
    const int32_t needed = panelSize_ + channelSize_ * static_cast<int32_t>(tele.channel_count);
    if (!snapshot || snapshot_len != needed) {
        snapshot.reset(new unsigned char[static_cast<size_t>(needed)]());
        snapshot_len = needed;
    }
    std::memcpy(snapshot.get(), &tele, panelSize_);
    for (size_t k = 0; k < channels.size() && k < tele.channel_count; ++k)
        std::memcpy(snapshot.get() + panelSize_ + k * channelSize_, &channels[k], channelSize_);

    if (!data_valid) data_valid = 1;
    SendSP(RT_AC, snapshot.get(), snapshot_len, false);

    check_seq = 1;
    std::string detail;
    for (size_t k = 0; k < channels.size(); ++k) {
        const TeleACChannel& ch = channels[k];
        const uint8_t states[] = {ch.a_state, ch.b_state, ch.c_state, ch.f_state};
        const std::string prefix = "交流屏" + std::to_string(k + 1);
        for (const auto& r : ac_detail::kChannelRules) {
            const bool condition = states[r.state] == r.value;
            const unsigned short seq = next_seq();
            detail.assign(prefix).append(r.detail);
            CheckThresholdBool(r.level, r.key, r.code, r.name, detail, condition, seq);
        }
    }
    const uint8_t alerts[] = {tele.ia_alert, tele.ib_alert, tele.ic_alert};
    for (const auto& r : ac_detail::kPanelRules) {
        const bool condition = alerts[r.alert] == r.value;
        const unsigned short seq = next_seq();
        CheckThresholdBool(r.level, r.key, r.code, r.name, ac_detail::kPanelRuleDetail, condition, seq);
    }

    DoImpCheckAlert();

    const size_t n = pending_rules.size();
    std::shared_ptr<SMDVDevice> self = shared_from_this();
    std::vector<rule_value> rules = std::move(pending_rules);
    pending_rules.clear();
    CheckThresholdWork([self, device = this, rules = std::move(rules)]() {
        device->batch_result = device->DoBatchCheckThreshold(rules) || device->batch_result;
        // The snapshot as it stands now, not as it stood when the item was queued.
        device->SaveDeviceHistory(device->snapshot.get(), device->snapshot_len);
    });
    pending_rules.reserve(n);
}
