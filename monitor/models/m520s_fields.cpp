// What every byte of the M520S's snapshot records means. Names, offsets,
// scalar types and list room are read off the record declarations, so only
// the meaning is written here.

#include <array>

#include "ac/tele_ac.h"
#include "dc/tele_dc.h"
#include "monitor/models/m520s_tables.h"
#include "monitor/models/m520s_view.h"
#include "rc/tele_rc.h"

namespace monitor::model::m520s {

namespace {

using P = tele_c_m520s_ac;
using C = tele_c_m520s_ac_channel;
using D = tele_c_m520s_dc;
using G = tele_c_m520s_rc;
using M = tele_c_m520s_rc_channel;

// Why a number has no unit.
constexpr const char* kId = "an identifier, not a quantity";
constexpr const char* kCount = "a count";
constexpr const char* kStateByte = "a state byte";
constexpr const char* kUserState = "a user-defined state byte; the protocol does not say what it means";
constexpr const char* kUserValue =
    "the controller's user-defined value; the protocol does not say what it measures";
constexpr const char* kUnnamedValue = "the protocol does not say what this value measures";
constexpr const char* kParameter =
    "a parameter the controller reports back; the protocol does not say which one or in what unit";

// The controller's wording of a state comes from its own alarm names.
constexpr StateText kAcVoltageStates[] = {
    {1, "too low", "过低"}, {2, "too high", "过高"}, {3, "phase missing", "缺相"}};
constexpr StateText kFrequencyStates[] = {{1, "too low", "过低"}, {2, "too high", "过高"}};
constexpr StateText kCurrentStates[] = {
    {1, "below lower limit", "低于下限"}, {2, "above upper limit", "高于上限"}, {3, "missing", "缺项"}};
constexpr StateText kDcVoltageStates[] = {{1, "too low", "过低"}, {2, "too high", "过高"}};
constexpr StateText kFuseStates[] = {{3, "fuse fault", "熔丝故障"}};
constexpr StateText kModuleFaultStates[] = {{1, "module fault", "整流模块故障"}};

constexpr const char* kAcAlarmStates[] = {
    "AC input breaker state",  "AC output breaker state", "surge protector state",
    "AC input 1 supply state", "AC input 2 supply state", "AC input 3 supply state",
    "mains changeover state",  "AC panel communication state",
};
static_assert(std::size(kAcAlarmStates) == C::p40_44_SIZE());

// clang-format off
constexpr const char* kDcAlarmStates[] = {
    "load fuse 1 state", "load fuse 2 state", "load fuse 3 state", "load fuse 4 state",
    "battery 1 charging current state", "battery 2 charging current state",
    "battery group 1 protection state", "battery group 2 protection state",
    "load power-down state", "second power-down state",
    "battery room 1 temperature state", "battery room 2 temperature state",
    "ambient 1 temperature state", "ambient 2 temperature state",
    "DC panel communication state",
    "battery group 1 voltage state", "battery group 2 voltage state",
    "DC/DC converter state", "battery discharge state", "battery discharge balance state",
    "battery short test state", "battery test state", "DC voltage difference state",
    "digital input 1 state", "digital input 2 state", "digital input 3 state", "digital input 4 state",
    "digital input 5 state", "digital input 6 state", "digital input 7 state", "digital input 8 state",
    "load power-down read-back state", "battery protection read-back state",
    "battery 5 fuse state", "battery 6 fuse state",
    "extension fuse 1 state", "extension fuse 2 state", "extension fuse 3 state", "extension fuse 4 state",
    "extension fuse 5 state", "extension fuse 6 state", "extension fuse 7 state", "extension fuse 8 state",
    "extension fuse 9 state", "extension fuse 10 state", "extension fuse 11 state", "extension fuse 12 state",
    "extension fuse 13 state", "extension fuse 14 state", "extension fuse 15 state", "extension fuse 16 state",
    "extension LVD 1 state", "extension LVD 2 state",
    "extension LVD 1 read-back state", "extension LVD 2 read-back state",
    // Received and kept, judged by no alarm.
    "user-defined state 56", "user-defined state 57", "user-defined state 58", "user-defined state 59",
    "user-defined state 60", "user-defined state 61", "user-defined state 62", "user-defined state 63",
    "user-defined state 64", "user-defined state 65", "user-defined state 66", "user-defined state 67",
    "user-defined state 68", "user-defined state 69", "user-defined state 70", "user-defined state 71",
};
// clang-format on
static_assert(std::size(kDcAlarmStates) == D::ALERT_P_SIZE());

constexpr const char* kRcAlarmStates[] = {
    "fault alarm state",     "fan state",          "temperature state",     "communication state",
    "power limit state",     "AC input supply state", "current sharing state", "overvoltage shutdown state",
};
static_assert(std::size(kRcAlarmStates) == M::P41_44_SIZE());

#define F(Rec, member) M520S_MODEL_FIELD(Rec, member)

constexpr Field kPanel[] = {
    F(P, data_id).As(Kind::Id, "device id").NoUnit(kId),
    F(P, ia).As(Kind::Measurement, "phase A output current", "A", 2),
    F(P, ib).As(Kind::Measurement, "phase B output current", "A", 2),
    F(P, ic).As(Kind::Measurement, "phase C output current", "A", 2),
    F(P, channel_count).As(Kind::Count, "AC input channels").NoUnit(kCount),
    F(P, airlock_count).As(Kind::Count, "first-group switch states reported").NoUnit(kCount),
    F(P, airlock_state).As(Kind::State, "first-group switch state {n}").CountedBy("airlock_count").NoUnit(kUserState),
    F(P, p40_43_count).As(Kind::Count, "user-defined switch states reported").NoUnit(kCount),
    F(P, p40_43_state).As(Kind::State, "user-defined switch state {n}").CountedBy("p40_43_count").NoUnit(kUserState),
    F(P, ia_alert).As(Kind::State, "phase A output current state").States(kCurrentStates).NoUnit(kStateByte),
    F(P, ib_alert).As(Kind::State, "phase B output current state").States(kCurrentStates).NoUnit(kStateByte),
    F(P, ic_alert).As(Kind::State, "phase C output current state").States(kCurrentStates).NoUnit(kStateByte),
    F(P, time_stamp).As(Kind::Time, "last completed cycle"),
};

constexpr Field kChannel[] = {
    F(C, a).As(Kind::Measurement, "input voltage AB/A", "V", 1).Zh("输入线/相电压AB/A"),
    F(C, b).As(Kind::Measurement, "input voltage BC/B", "V", 1).Zh("输入线/相电压BC/B"),
    F(C, c).As(Kind::Measurement, "input voltage CA/C", "V", 1).Zh("输入线/相电压CA/C"),
    F(C, f).As(Kind::Measurement, "input frequency", "Hz", 2).Zh("频率"),
    F(C, p40_41_count).As(Kind::Count, "user-defined values reported").NoUnit(kCount),
    F(C, p40_41_value).As(Kind::Measurement, "user-defined value {n}", "", 2).CountedBy("p40_41_count").NoUnit(kUserValue),
    F(C, a_state).As(Kind::State, "input voltage AB/A state").States(kAcVoltageStates).NoUnit(kStateByte),
    F(C, b_state).As(Kind::State, "input voltage BC/B state").States(kAcVoltageStates).NoUnit(kStateByte),
    F(C, c_state).As(Kind::State, "input voltage CA/C state").States(kAcVoltageStates).NoUnit(kStateByte),
    F(C, f_state).As(Kind::State, "input frequency state").States(kFrequencyStates).NoUnit(kStateByte),
    F(C, p40_44_count).As(Kind::Count, "user-defined alarm states reported").NoUnit(kCount),
    F(C, p40_44_state).As(Kind::State, "user-defined alarm state {n}").CountedBy("p40_44_count")
        .Elements(kAcAlarmStates).NoUnit(kStateByte),
};

// The two lists after the current are counted on the wire like the others,
// but the protocol names neither what they hold nor their unit.
constexpr Field kDc[] = {
    F(D, data_id).As(Kind::Id, "device id").NoUnit(kId),
    F(D, v).As(Kind::Measurement, "output voltage", "V", 2).Zh("输出电压"),
    F(D, i).As(Kind::Measurement, "DC current", "A", 2),
    F(D, dc_m).As(Kind::Count, "first-list DC values reported").NoUnit(kCount),
    F(D, dc_m_value).As(Kind::Measurement, "first-list DC value {n}", "", 2).CountedBy("dc_m").NoUnit(kUnnamedValue),
    F(D, dc_n).As(Kind::Count, "second-list DC values reported").NoUnit(kCount),
    F(D, dc_n_value).As(Kind::Measurement, "second-list DC value {n}", "", 2).CountedBy("dc_n").NoUnit(kUnnamedValue),
    F(D, p_count).As(Kind::Count, "user-defined values reported").NoUnit(kCount),
    F(D, user_p).As(Kind::Measurement, "user-defined value {n}", "", 2).CountedBy("p_count").NoUnit(kUserValue),
    F(D, v_state).As(Kind::State, "output voltage state").States(kDcVoltageStates).NoUnit(kStateByte),
    F(D, alert_m).As(Kind::Count, "battery fuse states reported").NoUnit(kCount),
    F(D, alert_m_state).As(Kind::State, "battery {n} fuse state").CountedBy("alert_m").States(kFuseStates)
        .NoUnit(kStateByte),
    F(D, alert_p).As(Kind::Count, "user-defined alarm states reported").NoUnit(kCount),
    F(D, alert_p_state).As(Kind::State, "user-defined alarm state {n}").CountedBy("alert_p")
        .Elements(kDcAlarmStates).NoUnit(kStateByte),
    F(D, time_stamp).As(Kind::Time, "last completed cycle"),
};

constexpr Field kGroup[] = {
    F(G, data_id).As(Kind::Id, "device id").NoUnit(kId),
    F(G, ac_param).As(Kind::Parameter, "AC distribution parameter {n}", "", 2).NoUnit(kParameter),
    F(G, dc_param).As(Kind::Parameter, "DC distribution parameter {n}", "", 2).NoUnit(kParameter),
    F(G, dc_param_count).As(Kind::Count, "user-defined DC distribution parameters reported").NoUnit(kCount),
    F(G, dc_param_user).As(Kind::Parameter, "user-defined DC distribution parameter byte {n}")
        .CountedBy("dc_param_count").NoUnit(kParameter),
    F(G, group_value).As(Kind::Measurement, "rectifier group value", "", 2).NoUnit(kUnnamedValue),
    F(G, module_count).As(Kind::Count, "rectifier modules").NoUnit(kCount),
    F(G, time_stamp).As(Kind::Time, "last completed cycle"),
};

constexpr Field kModule[] = {
    F(M, module_value).As(Kind::Measurement, "module value", "", 2).NoUnit(kUnnamedValue),
    F(M, p41_41_count).As(Kind::Count, "user-defined values reported").NoUnit(kCount),
    F(M, p41_41_value).As(Kind::Measurement, "user-defined value {n}", "", 2).CountedBy("p41_41_count").NoUnit(kUserValue),
    F(M, module_state).As(Kind::State, "switch state {n}").NoUnit(kUserState),
    F(M, p41_43_count).As(Kind::Count, "user-defined switch states reported").NoUnit(kCount),
    F(M, p41_43_state).As(Kind::State, "user-defined switch state {n}").CountedBy("p41_43_count").NoUnit(kUserState),
    F(M, fault_state).As(Kind::State, "module fault state").States(kModuleFaultStates).NoUnit(kStateByte),
    F(M, p41_44_count).As(Kind::Count, "user-defined alarm states reported").NoUnit(kCount),
    F(M, p41_44_state).As(Kind::State, "user-defined alarm state {n}").CountedBy("p41_44_count")
        .Elements(kRcAlarmStates).NoUnit(kStateByte),
};

#undef F

constexpr Record kChannelRecord{"channel record", sizeof(C), kChannel};
constexpr Record kModuleRecord{"module record", sizeof(M), kModule};

constexpr UnitKind kUnits[] = {
    {kAcType, 5088, "AC", "AC panel {device}", "交流屏{device}", {"panel record", sizeof(P), kPanel},
     &kChannelRecord, "channels", "channel_count", "channel {n}", "第{n}路交流输入", &kM520SAcView},
    {kDcType, 5090, "DC", "DC panel {device}", "直流屏{device}", {"record", sizeof(D), kDc}, nullptr, nullptr,
     nullptr, nullptr, nullptr, &kM520SDcView},
    {kRcType, 5089, "rectifier", "Rectifiers {device}", "整流模块组{device}", {"group record", sizeof(G), kGroup},
     &kModuleRecord, "modules", "module_count", "module {n}", "整流模块{n}", &kM520SRcView},
};

}  // namespace

std::span<const UnitKind> UnitKinds() { return kUnits; }

}  // namespace monitor::model::m520s
