#pragma once
// The main serial device: owns the AC, DC and rectifier units, runs the
// polling cycle and routes every answer's INFO bytes to the unit that owns
// them.
//
// One cycle: device information (once), AC analog [switch, alarm], rectifier
// analog [switch, alarm], DC analog [alarm], AC parameters, DC parameters,
// then RoundDone on every unit. The bracketed requests go out when the data
// flag of the group asks for them or while the data is not valid yet.

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/pmbus_protocol.h"

template <class AC, class DC, class RC>
class PMBusPower : public PMBusProtocol {
public:
    explicit PMBusPower(std::vector<std::string> supported)
        : PMBusProtocol(), supported_models(std::move(supported)) {}
    ~PMBusPower() override = default;

    // The main device keeps no state of its own between runs.
    bool LoadFromCache(const unsigned char*, int) override { return true; }

    bool InitSetting(const Json::Value& setting) override {
        if (!PMBusProtocol::InitSetting(setting)) return false;

        const Json::Value& ac = setting["acSetting"];
        if (ac.isArray()) {
            for (Json::ArrayIndex i = 0; i < ac.size(); ++i) {
                auto unit = std::make_shared<AC>();
                unit->InitV(this, ac[i]["data_id"].asUInt(), ac[i]);
                ac_units.push_back(std::move(unit));
            }
        }
        const Json::Value& dc = setting["dcSetting"];
        if (dc.isArray()) {
            for (Json::ArrayIndex i = 0; i < dc.size(); ++i) {
                auto unit = std::make_shared<DC>(std::string(model));
                unit->InitV(this, dc[i]["data_id"].asUInt(), dc[i]);
                dc_units.push_back(std::move(unit));
            }
        }
        const Json::Value& rc = setting["rcSetting"];
        if (!rc.isNull()) {
            rc_unit = std::make_shared<RC>();
            rc_unit->InitV(this, DataId(), rc);
            return true;
        }
        return false;
    }

    std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int id) override {
        for (const auto& u : ac_units)
            if (u->DataId() == id) return u;
        for (const auto& u : dc_units)
            if (u->DataId() == id) return u;
        return {};
    }

    std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices() override {
        std::vector<std::shared_ptr<SMDVDevice>> all;
        all.reserve(ac_units.size() + dc_units.size() + 1);
        for (const auto& u : ac_units) all.push_back(u);
        for (const auto& u : dc_units) all.push_back(u);
        all.push_back(rc_unit);
        return all;
    }

    bool RefreshStatus() override {
        // The frame layer's own retransmission of the step's request counts
        // as sent, as it would if this device had sent it.
        if (!PMBusProtocol::RefreshStatus()) return retransmitted();

        // Keeps at least two seconds between the last answer and a new poll.
        const auto now = boost::posix_time::second_clock::local_time();
        const int64_t since = last_update.is_special()
                                  ? std::numeric_limits<int64_t>::max()
                                  : static_cast<int64_t>((now - last_update).total_seconds());
        if (since < 2 && !need_device_info) {
            poll_state = 0;
            return false;
        }
        if (need_device_info) {
            step = 14;
            write_pmbus_cmd(0x40, 0x51);
            return true;
        }
        switch (step) {
            case 0:
                if (ac_units.empty()) {
                    step = 4;
                    write_pmbus_cmd(0x41, 0x41);
                } else {
                    send_group(0x40, 0x41);
                }
                return true;
            case 1: send_group(0x40, 0x43); return true;
            case 2: send_group(0x40, 0x44); return true;
            case 4: write_pmbus_cmd(0x41, 0x41); return true;
            case 5: write_pmbus_cmd(0x41, 0x43); return true;
            case 6: write_pmbus_cmd(0x41, 0x44); return true;
            case 7: send_dc(0x41); return true;
            case 8: send_dc(0x44); return true;
            default: return true;  // 3 and 9 follow only an answer
        }
    }

protected:
    static constexpr unsigned char commandGroup_ = 0xFF;

    bool process_payload() override {
        host::sleep_us(20000);
        const unsigned char* view = recv_frame;
        const int n = static_cast<int>((static_cast<unsigned>(view[4]) | static_cast<unsigned>(view[5]) << 8) >> 1);
        const unsigned char* info = view + 6;
        const uint8_t cid1 = view[2];

        switch (step) {
            case 14: return on_device_info(cid1, info, n);
            case 0: return on_ac_analog(cid1, info, n);
            case 1: return on_ac_switch(cid1, info, n);
            case 2: return on_ac_alarm(cid1, info, n);
            case 4: return on_rc_analog(cid1, info, n);
            case 5: return on_rc_switch(cid1, info, n);
            case 6: return on_rc_alarm(cid1, info, n);
            case 7: return on_dc_analog(cid1, info, n);
            case 8: return on_dc_alarm(cid1, info, n);
            case 3: return on_ac_param(cid1, info, n);
            case 9: return on_dc_param(cid1, info, n);
            default: return true;
        }
    }

    std::vector<std::shared_ptr<AC>> ac_units;
    std::vector<std::shared_ptr<DC>> dc_units;
    std::shared_ptr<RC> rc_unit;
    uint8_t ac_flag = 0;
    uint8_t rc_flag = 0;
    bool need_device_info = true;
    std::string model;
    std::vector<std::string> supported_models;

private:
    bool valid() const { return data_valid == 1; }

    void send_group(unsigned char cid1, unsigned char cid2) { write_pmbus_cmd(cid1, cid2, &commandGroup_, 1); }

    void send_dc(unsigned char cid2) {
        if (version == 0x21)
            send_group(0x42, cid2);
        else
            write_pmbus_cmd(0x42, cid2);
    }

    // An answer too short for the leading bytes its step reads is dropped.
    bool too_short(int n, int needed) {
        if (n >= needed) return false;
        InfoLog("PMBusPower:ProcotolError {} step {} answer has {} INFO bytes, needs {}", DataId(), step, n,
                needed);
        return true;
    }

    // Hands each unit its stretch of INFO in list order. Returns false when a
    // unit refused its stretch; consumed is then meaningless.
    template <class Unit, class Parse>
    bool walk(const std::vector<std::shared_ptr<Unit>>& units, const unsigned char* info, int n, int start,
              Parse parse, int& consumed) {
        int offset = start;
        for (const auto& u : units) {
            // A unit that over-reports what it used moves the cursor past the
            // INFO end; the next one then gets a negative count and the end
            // pointer, so nothing outside the answer is ever formed or read.
            const unsigned char* at = info + (offset < n ? offset : n);
            const int r = parse(*u, at, n - offset);
            if (r == -1) return false;
            offset += r;
        }
        consumed = offset;
        return true;
    }

    void complete_cycle() {
        for (const auto& u : ac_units) u->RoundDone();
        for (const auto& u : dc_units) u->RoundDone();
        if (rc_unit) rc_unit->RoundDone();
        step = 0;
        Reset();
    }

    void to_rectifiers() {
        step = 4;
        write_pmbus_cmd(0x41, 0x41);
    }

    void to_parameters() {
        if (!ac_units.empty()) {
            step = 3;
            write_pmbus_cmd(0x40, 0x46);
        } else {
            step = 9;
            write_pmbus_cmd(0x42, 0x46);
        }
    }

    // After the rectifier answers: DC group, or the end of the cycle.
    bool after_rectifiers() {
        if (!dc_units.empty()) {
            step = 7;
            send_dc(0x41);
            return true;
        }
        complete_cycle();
        return false;
    }

    bool on_device_info(uint8_t cid1, const unsigned char* info, int n) {
        if (cid1 != 0x40) return true;
        model.assign(reinterpret_cast<const char*>(info), static_cast<size_t>(n < 20 ? (n > 0 ? n : 0) : 20));
        if (!model_supported()) {
            const std::string detail = "本驱动类型:" + DeviceType() + " 检测型号:" + model;
            CheckThresholdBool(3, "device_model", "70319", "设备配置检测", detail, true, 0);
        }
        need_device_info = false;
        if (ac_units.empty()) {
            step = 4;
            write_pmbus_cmd(0x41, 0x41);
        } else {
            step = 0;
            send_group(0x40, 0x41);
        }
        return true;
    }

    // The controller pads the model name to 20 bytes with spaces or zero bytes.
    bool model_supported() const {
        std::string name = model;
        while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) name.pop_back();
        for (const auto& m : supported_models)
            if (m == name) return true;
        return false;
    }

    bool on_ac_analog(uint8_t cid1, const unsigned char* info, int n) {
        if (cid1 != 0x40) {
            Reset();
            return false;
        }
        if (too_short(n, 2)) return true;
        ac_flag = info[0];
        if (info[1] != ac_units.size()) {
            InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}", DataId(), info[1],
                    ac_units.size());
            Reset();
            return false;
        }
        int consumed = 0;
        if (!walk(ac_units, info, n, 2, [](AC& u, const unsigned char* p, int l) { return u.parse40_41(p, l); },
                  consumed))
            return true;
        if (consumed != n) {
            InfoLog("PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", DataId());
            return true;
        }
        if (!valid() || (ac_flag & 0x10)) {
            step = 1;
            send_group(0x40, 0x43);
        } else if (ac_flag & 0x01) {
            step = 2;
            send_group(0x40, 0x44);
        } else {
            to_rectifiers();
        }
        return true;
    }

    bool on_ac_switch(uint8_t cid1, const unsigned char* info, int n) {
        if (cid1 != 0x40) return true;
        if (n - 2 > 0) {
            int consumed = 0;
            if (!walk(ac_units, info, n, 2,
                      [](AC& u, const unsigned char* p, int l) { return u.parse40_43(p, l); }, consumed))
                return true;
            if (consumed != n) {
                InfoLog("PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary", DataId());
                return true;
            }
        }
        if (!valid() || (ac_flag & 0x01)) {
            step = 2;
            send_group(0x40, 0x44);
        } else {
            to_rectifiers();
        }
        return true;
    }

    bool on_ac_alarm(uint8_t cid1, const unsigned char* info, int n) {
        if (cid1 != 0x40) return true;
        if (too_short(n, 2)) return true;
        int consumed = 0;
        if (!walk(ac_units, info, n, 2, [](AC& u, const unsigned char* p, int l) { return u.parse40_44(p, l); },
                  consumed))
            return true;
        if (consumed != n) return true;
        to_rectifiers();
        return true;
    }

    bool on_rc_analog(uint8_t cid1, const unsigned char* info, int n) {
        if (cid1 != 0x41) return true;
        if (too_short(n, 1)) return true;
        rc_flag = info[0];
        const int r = rc_unit ? rc_unit->parse41_41(info, n) : n;
        if (r != n) {
            InfoLog("PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary", DataId());
            return true;
        }
        if (!valid() || (rc_flag & 0x10)) {
            step = 5;
            write_pmbus_cmd(0x41, 0x43);
            return true;
        }
        if (rc_flag & 0x01) {
            step = 6;
            write_pmbus_cmd(0x41, 0x44);
            return true;
        }
        return after_rectifiers();
    }

    bool on_rc_switch(uint8_t cid1, const unsigned char* info, int n) {
        if (cid1 != 0x41) return true;
        const int r = rc_unit ? rc_unit->parse41_43(info, n) : n;
        if (r != n) {
            InfoLog("PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary", DataId());
            return true;
        }
        if (!valid() || (rc_flag & 0x01)) {
            step = 6;
            write_pmbus_cmd(0x41, 0x44);
            return true;
        }
        return after_rectifiers();
    }

    bool on_rc_alarm(uint8_t cid1, const unsigned char* info, int n) {
        if (cid1 != 0x41) return true;
        const int r = rc_unit ? rc_unit->parse41_44(info, n) : n;
        if (r != n) {
            InfoLog("PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary", DataId());
            return true;
        }
        return after_rectifiers();
    }

    bool on_dc_analog(uint8_t cid1, const unsigned char* info, int n) {
        if (cid1 != 0x42) return true;
        if (too_short(n, 2)) return true;
        const uint8_t dc_flag = info[0];
        if (info[1] != dc_units.size()) {
            InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}", DataId(), info[1],
                    dc_units.size());
            return true;
        }
        const int start = info[1] <= 3 ? 2 : 1;
        int consumed = 0;
        if (!walk(dc_units, info, n, start,
                  [](DC& u, const unsigned char* p, int l) { return u.parse42_41(p, l); }, consumed))
            return true;
        if (consumed > n) InfoLog("PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary", DataId());
        if (!valid() || (dc_flag & 0x11)) {
            step = 8;
            send_dc(0x44);
        } else {
            to_parameters();
        }
        return true;
    }

    bool on_dc_alarm(uint8_t cid1, const unsigned char* info, int n) {
        if (cid1 != 0x42) return true;
        if (too_short(n, 2)) return true;
        if (info[1] != dc_units.size()) {
            InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}", DataId(), info[1],
                    dc_units.size());
            return true;
        }
        int consumed = 0;
        if (!walk(dc_units, info, n, 2, [](DC& u, const unsigned char* p, int l) { return u.parse42_44(p, l); },
                  consumed))
            return true;
        if (consumed > n) InfoLog("PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary", DataId());
        to_parameters();
        return true;
    }

    bool on_ac_param(uint8_t cid1, const unsigned char* info, int n) {
        if (cid1 != 0x40) return true;
        const int r = rc_unit ? rc_unit->parse40_46(info, n) : n;
        if (r == -1) return true;
        if (r > n) InfoLog("PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary", DataId());
        step = 9;
        write_pmbus_cmd(0x42, 0x46);
        return true;
    }

    bool on_dc_param(uint8_t cid1, const unsigned char* info, int n) {
        if (cid1 != 0x42) return true;
        const int r = rc_unit ? rc_unit->parse42_46(info, n) : n;
        if (r == -1) return true;
        if (r > n) InfoLog("PMBusPower:ProcotolError {} parse 42_46 overflow memory boundary", DataId());
        complete_cycle();
        return false;
    }
};
