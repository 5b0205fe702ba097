#pragma once
// Rectifier unit: the rectifier group of the controller with one record per
// module, plus the AC and DC parameter answers that only this unit keeps.
//
// The main device hands each parser the INFO field of its answer and the byte
// count; a parser returns the bytes it consumed, 0, or -1. No parser reads at
// or beyond data + len: every step checks the bytes it needs before reading
// and, if they are not there, logs its overflow text with the count it needed.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/json.h>

#include "host/vdevice.h"

template <class TeleRC, class TeleRCChannel, int RT_RC>
class PMBusPowerRC : public SMDSPDevice {
public:
    PMBusPowerRC() : tele{}, channels{}, snapshot_len(0), snapshot{} {}
    ~PMBusPowerRC() override = default;

    using VDeviceInterface::LoadFromCache;

    // The unit has no value keys; only the freshness state decides the text.
    float Get_Value(unsigned int, const std::string&) const override {
        if (!data_valid) throw std::out_of_range("数据未就绪");
        const int64_t age =
            (boost::posix_time::second_clock::local_time() - last_update).total_seconds();
        if (age >= 61) throw std::out_of_range("数据已超时");
        throw std::out_of_range("数据未就绪");
    }

    bool LoadFromCache(const unsigned char* data, int len) override {
        constexpr int head = static_cast<int>(sizeof(TeleRC));
        constexpr int rec = static_cast<int>(sizeof(TeleRCChannel));
        std::cout << "rc data_len:" << len << " vs " << head << std::endl;
        if (len < head || data == nullptr) return false;
        std::memcpy(&tele, data, sizeof(TeleRC));
        channels.resize(tele.module_count);
        const int left = len - head;
        std::cout << "rc channelLen " << rec << " and " << static_cast<int>(tele.module_count)
                  << " left:" << left << std::endl;
        if (rec * static_cast<int>(tele.module_count) != left) return false;
        if (left > 0) std::memcpy(channels.data(), data + head, static_cast<size_t>(left));
        data_valid = 1;
        last_update = boost::posix_time::second_clock::local_time();
        return true;
    }

    void RoundDone() override {
        data_valid = 1;
        last_update = boost::posix_time::second_clock::local_time();
        const auto stamp = get_ttime(boost::posix_time::second_clock::local_time());
        std::memcpy(tele.time_stamp, stamp.data(), sizeof(tele.time_stamp));

        const uint32_t need = static_cast<uint32_t>(sizeof(TeleRC) +
                                                    sizeof(TeleRCChannel) * tele.module_count);
        if (!snapshot || snapshot_len != need) {
            snapshot_len = need;
            snapshot.reset(new unsigned char[need]());
        }
        std::memcpy(snapshot.get(), &tele, sizeof(TeleRC));
        const size_t records = std::min<size_t>(channels.size(), tele.module_count);
        if (records > 0)
            std::memcpy(snapshot.get() + sizeof(TeleRC), channels.data(),
                        records * sizeof(TeleRCChannel));
        SendSP(RT_RC, snapshot.get(), static_cast<int>(snapshot_len), false);

        check_seq = 1;
        // Built once: every module's check copies them.
        static const std::string key = "RC_0", code = "06024", name = "整流模块故障告警";
        std::string detail;
        for (size_t i = 0; i < channels.size(); ++i) {
            detail.assign("模块").append(std::to_string(i + 1)).append(name);
            CheckThresholdBool(2, key, code, name, detail, channels[i].fault_state == 1, check_seq++);
        }
        DoImpCheckAlert();

        // The queued item keeps the unit alive and stores the snapshot as it
        // stands when the item runs.
        const size_t n = pending_rules.size();
        std::shared_ptr<SMDVDevice> self = shared_from_this();
        PMBusPowerRC* unit = this;
        CheckThresholdWork([self, unit, rules = std::move(pending_rules)]() {
            unit->batch_result = unit->DoBatchCheckThreshold(rules) || unit->batch_result;
            unit->SaveDeviceHistory(unit->snapshot.get(), static_cast<int>(unit->snapshot_len));
        });
        pending_rules.clear();
        pending_rules.reserve(n);
    }

    bool InitV(SMDVDevice* parent_device, unsigned int id, const Json::Value& setting) override {
        const uint32_t v = id;
        std::memcpy(&tele.data_id, &v, sizeof(v));
        return SMDVDevice::InitV(parent_device, id, setting);
    }

    // 0x41/0x41: flag, group value, module count M, then per module a value,
    // a count P and P values.
    virtual int parse41_41(const unsigned char* data, int len) {
        static const char* const overflow =
            "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}";
        if (len < 5) return Overflow(overflow, 5, len);
        std::memcpy(&tele.group_value, data + 1, 4);
        if (len < 6) return Overflow(overflow, 6, len);
        const uint8_t m = data[5];
        if (channels.empty()) {
            tele.module_count = m;
            channels.assign(m, TeleRCChannel{});
        } else if (m != tele.module_count) {
            return -1;
        }

        constexpr uint8_t want = TeleRCChannel::P41_41_SIZE();
        int32_t pos = 6;
        for (size_t i = 0; i < tele.module_count; ++i) {
            TeleRCChannel& ch = channels[i];
            if (pos + 5 > len) return Overflow(overflow, pos + 5, len);
            std::memcpy(&ch.module_value, data + pos, 4);
            ch.p41_41_count = data[pos + 4];
            pos += 5;
            const uint8_t p = ch.p41_41_count;
            if (p != want) {
                InfoLog("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}",
                        DataId(), p, want);
                pos += 4 * p;  // skipped unread
                continue;
            }
            if (pos + 4 * want > len)
                return Overflow("PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}",
                                pos + 4 * want, len);
            for (size_t k = 0; k < want; ++k) {
                unsigned char v[4];
                std::memcpy(v, data + pos, 4);
                // The controller fills an absent value with one repeated byte.
                if (v[0] == v[1] && v[1] == v[2] && v[2] == v[3]) std::memset(v, 0, 4);
                std::memcpy(&ch.p41_41_value[k], v, 4);
                pos += 4;
            }
        }
        if (pos > len) return Overflow(overflow, pos, len);
        return pos;
    }

    // 0x41/0x43: flag, module count M, then per module three states, a count
    // P and P states.
    virtual int parse41_43(const unsigned char* data, int len) {
        static const char* const overflow =
            "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}";
        if (len < 2) return Overflow(overflow, 2, len);
        const uint8_t m = data[1];
        if (m > tele.module_count) return -1;

        constexpr uint8_t want = TeleRCChannel::P41_43_SIZE();
        int32_t pos = 2;
        for (size_t i = 0; i < m; ++i) {
            TeleRCChannel& ch = channels[i];
            if (pos + 4 > len) return Overflow(overflow, pos + 4, len);
            std::memcpy(ch.module_state, data + pos, 3);
            ch.p41_43_count = data[pos + 3];
            pos += 4;
            const uint8_t p = ch.p41_43_count;
            if (p != want) {
                InfoLog("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}",
                        DataId(), p, want);
                pos += p;
                continue;
            }
            if (pos + want > len) return Overflow(overflow, pos + want, len);
            std::memcpy(ch.p41_43_state, data + pos, want);
            pos += want;
        }
        if (pos > len) return Overflow(overflow, pos, len);
        return pos;
    }

    // 0x41/0x44: flag, module count M, then per module a fault byte, a count
    // P and P alarm states.
    virtual int parse41_44(const unsigned char* data, int len) {
        static const char* const overflow =
            "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}";
        if (len < 2) return Overflow(overflow, 2, len);
        const uint8_t m = data[1];
        if (m > tele.module_count) {
            InfoLog("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not equal {} != {} ",
                    DataId(), m, tele.module_count);
            return 0;
        }

        constexpr uint8_t want = TeleRCChannel::P41_44_SIZE();
        int32_t pos = 2;
        for (size_t i = 0; i < m; ++i) {
            TeleRCChannel& ch = channels[i];
            if (pos + 2 > len) return Overflow(overflow, pos + 2, len);
            ch.fault_state = data[pos];
            ch.p41_44_count = data[pos + 1];
            pos += 2;
            const uint8_t p = ch.p41_44_count;
            if (p != want) {
                InfoLog("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}",
                        DataId(), p, want);
                pos += p;
                continue;
            }
            if (pos + want > len) return Overflow(overflow, pos + want, len);
            std::memcpy(ch.p41_44_state, data + pos, want);
            pos += want;
        }
        if (pos > len) return Overflow(overflow, pos, len);
        return pos;
    }

    // 0x40/0x46: five values, a count n and n values. With n values present
    // the result names the whole answer; the main device judges it against len.
    virtual int parse40_46(const unsigned char* data, int len) {
        static const char* const overflow = "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}";
        // As in every parser, what fits is stored before a missing count is
        // found; the message names the bytes the failing step needed.
        constexpr int values = static_cast<int>(sizeof(tele.ac_param));
        if (len < values) return Overflow(overflow, values, len);
        std::memcpy(tele.ac_param, data, sizeof(tele.ac_param));
        if (len < values + 1) return Overflow(overflow, values + 1, len);
        const uint8_t n = data[20];
        if (n != 0) return 21 + 4 * n;
        return 21;
    }

    // 0x42/0x46: two values, a count n, then user-defined bytes.
    virtual int parse42_46(const unsigned char* data, int len) {
        static const char* const overflow =
            "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}";
        if (len < 9) return Overflow(overflow, 9, len);
        std::memcpy(tele.dc_param, data, sizeof(tele.dc_param));
        tele.dc_param_count = data[8];
        const uint8_t n = tele.dc_param_count;
        if (n != TeleRC::P42_46_NUMBER()) {
            InfoLog("QTR41K:ProcotolError parse42_46 {} p:{} != {}", DataId(), n,
                    TeleRC::P42_46_SIZE());
            return 9 + 4 * n;
        }
        const int32_t user = std::min<int32_t>(len - 9, TeleRC::P42_46_SIZE());
        if (user > 0) std::memcpy(tele.dc_param_user, data + 9, static_cast<size_t>(user));
        const int32_t pos = 9 + user;
        if (pos > len) return Overflow(overflow, pos, len);
        return pos;
    }

    // Status alarms of a model; runs inside RoundDone after the module checks.
    virtual void DoImpCheckAlert() {}

protected:
    int Overflow(const char* text, int32_t need, int32_t len) const {
        InfoLog(text, DataId(), need, len);
        return -1;
    }

    TeleRC tele;
    std::vector<TeleRCChannel> channels;
    uint32_t snapshot_len;
    std::unique_ptr<unsigned char[]> snapshot;
};
