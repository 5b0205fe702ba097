#include "monitor/models/m520s.h"

#include <array>

#include "ac/tele_ac.h"
#include "dc/tele_dc.h"
#include "monitor/models/m520s_view.h"
#include "rc/tele_rc.h"

namespace monitor::model {

namespace {

using P = tele_c_m520s_ac;
using C = tele_c_m520s_ac_channel;
using D = tele_c_m520s_dc;
using G = tele_c_m520s_rc;
using M = tele_c_m520s_rc_channel;

#define F(Rec, member) M520S_MODEL_FIELD(Rec, member)

constexpr Field kPanel[] = {
    F(P, data_id).As(Kind::Id, "device id"),
    F(P, ia).As(Kind::Measurement, "phase A current", "A", 2),
    F(P, ib).As(Kind::Measurement, "phase B current", "A", 2),
    F(P, ic).As(Kind::Measurement, "phase C current", "A", 2),
    F(P, channel_count).As(Kind::Count, "input channels"),
    F(P, airlock_count).As(Kind::Count, "air switches"),
    F(P, airlock_state).As(Kind::State, "air switch {n}").CountedBy("airlock_count"),
    F(P, p40_43_count).As(Kind::Count, "switch states"),
    F(P, p40_43_state).As(Kind::State, "switch state {n}").CountedBy("p40_43_count"),
    F(P, ia_alert).As(Kind::State, "phase A current alarm"),
    F(P, ib_alert).As(Kind::State, "phase B current alarm"),
    F(P, ic_alert).As(Kind::State, "phase C current alarm"),
    F(P, time_stamp).As(Kind::Time, "last cycle"),
};

constexpr Field kChannel[] = {
    F(C, a).As(Kind::Measurement, "phase A voltage", "V", 1),
    F(C, b).As(Kind::Measurement, "phase B voltage", "V", 1),
    F(C, c).As(Kind::Measurement, "phase C voltage", "V", 1),
    F(C, f).As(Kind::Measurement, "frequency", "Hz", 2),
    F(C, p40_41_count).As(Kind::Count, "user-defined values"),
    F(C, p40_41_value).As(Kind::Measurement, "user-defined value {n}").CountedBy("p40_41_count"),
    F(C, a_state).As(Kind::State, "phase A voltage state"),
    F(C, b_state).As(Kind::State, "phase B voltage state"),
    F(C, c_state).As(Kind::State, "phase C voltage state"),
    F(C, f_state).As(Kind::State, "frequency state"),
    F(C, p40_44_count).As(Kind::Count, "user-defined alarm states"),
    F(C, p40_44_state).As(Kind::State, "user-defined alarm state {n}").CountedBy("p40_44_count"),
};

constexpr Field kDc[] = {
    F(D, data_id).As(Kind::Id, "device id"),
    F(D, v).As(Kind::Measurement, "output voltage", "V", 2),
    F(D, i).As(Kind::Measurement, "load current", "A", 2),
    F(D, dc_m).As(Kind::Count, "battery currents"),
    F(D, dc_m_value).As(Kind::Measurement, "battery {n} current", "A", 2).CountedBy("dc_m"),
    F(D, dc_n).As(Kind::Count, "branch currents"),
    F(D, dc_n_value).As(Kind::Measurement, "branch {n} current", "A", 2).CountedBy("dc_n"),
    F(D, p_count).As(Kind::Count, "user-defined values"),
    F(D, user_p).As(Kind::Measurement, "user-defined value {n}").CountedBy("p_count"),
    F(D, v_state).As(Kind::State, "output voltage state"),
    F(D, alert_m).As(Kind::Count, "battery fuses"),
    F(D, alert_m_state).As(Kind::State, "battery fuse {n}").CountedBy("alert_m"),
    F(D, alert_p).As(Kind::Count, "user-defined alarm states"),
    F(D, alert_p_state).As(Kind::State, "user-defined alarm state {n}").CountedBy("alert_p"),
    F(D, time_stamp).As(Kind::Time, "last cycle"),
};

constexpr Field kGroup[] = {
    F(G, data_id).As(Kind::Id, "device id"),
    F(G, ac_param).As(Kind::Parameter, "AC parameter {n}"),
    F(G, dc_param).As(Kind::Parameter, "DC parameter {n}"),
    F(G, dc_param_count).As(Kind::Count, "user-defined DC parameters"),
    F(G, dc_param_user).As(Kind::Parameter, "user-defined DC parameter {n}").CountedBy("dc_param_count"),
    F(G, group_value).As(Kind::Measurement, "group value"),
    F(G, module_count).As(Kind::Count, "modules"),
    F(G, time_stamp).As(Kind::Time, "last cycle"),
};

constexpr Field kModule[] = {
    F(M, module_value).As(Kind::Measurement, "module value"),
    F(M, p41_41_count).As(Kind::Count, "user-defined values"),
    F(M, p41_41_value).As(Kind::Measurement, "user-defined value {n}").CountedBy("p41_41_count"),
    F(M, module_state).As(Kind::State, "switch state {n}"),
    F(M, p41_43_count).As(Kind::Count, "user-defined switch states"),
    F(M, p41_43_state).As(Kind::State, "user-defined switch state {n}").CountedBy("p41_43_count"),
    F(M, fault_state).As(Kind::State, "fault"),
    F(M, p41_44_count).As(Kind::Count, "user-defined alarm states"),
    F(M, p41_44_state).As(Kind::State, "user-defined alarm state {n}").CountedBy("p41_44_count"),
};

#undef F

constexpr Record kChannelRecord{"channel record", sizeof(C), kChannel};
constexpr Record kModuleRecord{"module record", sizeof(M), kModule};

const UnitKind kUnits[] = {
    {"m520s-ac", 5088, "AC", "AC panel {device}", "交流屏{device}", {"panel record", sizeof(P), kPanel},
     &kChannelRecord, "channels", "channel_count", "channel {n}", &kM520SAcView},
    {"m520s-dc", 5090, "DC", "DC panel {device}", "直流屏{device}", {"record", sizeof(D), kDc}, nullptr, nullptr,
     nullptr, nullptr, &kM520SDcView},
    {"m520s-rc", 5089, "rectifier", "Rectifiers {device}", "整流模块{device}", {"group record", sizeof(G), kGroup},
     &kModuleRecord, "modules", "module_count", "module {n}", &kM520SRcView},
};

constexpr Request kCycle[] = {
    {0x40, 0x51, "device information"},      {0x40, 0x41, "AC analog values"},
    {0x40, 0x43, "AC switch states"},        {0x40, 0x44, "AC alarm states"},
    {0x41, 0x41, "rectifier analog values"}, {0x41, 0x43, "rectifier switch states"},
    {0x41, 0x44, "rectifier alarm states"},  {0x42, 0x41, "DC analog values"},
    {0x42, 0x44, "DC alarm states"},         {0x40, 0x46, "AC parameters"},
    {0x42, 0x46, "DC parameters"},
};

constexpr AlarmKey kAlarms[] = {
    {"link_lost", "communication with the controller lost"},
    {"device_model", "the controller reports a model this driver does not support"},
};

class M520SModel : public Model {
public:
    std::string_view Name() const override { return "M520S"; }
    std::string_view MainDeviceType() const override { return "m520s"; }
    size_t MainProvider() const override { return 0; }
    std::span<const UnitKind> Units() const override { return kUnits; }
    std::span<const Request> Cycle() const override { return kCycle; }
    Request DeviceInfo() const override { return kCycle[0]; }
    // The controller pads its model name to 20 bytes with spaces or zero bytes.
    std::string ModelText(const unsigned char* info, size_t n) const override {
        std::string s(reinterpret_cast<const char*>(info), n < 20 ? n : 20);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
        return s;
    }
    std::span<const AlarmKey> AlarmKeys() const override { return kAlarms; }
    std::string AlarmLabel(const AlarmFacts& a) const override {
        for (const auto& k : kAlarms)
            if (a.key == k.key) return k.label;
        return std::string(a.key);
    }
};

}  // namespace

const Model& M520S() {
    static const M520SModel model;
    return model;
}

}  // namespace monitor::model
