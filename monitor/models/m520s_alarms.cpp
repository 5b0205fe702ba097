// Every alarm the M520S driver and its host raise, with the controller's own
// texts beside our English, and what each one judges.

#include "monitor/models/m520s_tables.h"

namespace monitor::model::m520s {

namespace {

constexpr AlarmKey Rule(const char* type, const char* key, int level, const char* code, const char* name,
                        const char* detail, const char* field, int element, int value, const char* label) {
    AlarmKey k{key, label};
    k.device_type = type;
    k.level = level;
    k.code = code;
    k.name = name;
    k.detail = detail;
    k.field = field;
    k.element = static_cast<int16_t>(element);
    k.value = static_cast<int16_t>(value);
    return k;
}

constexpr AlarmKey Ac(const char* key, int level, const char* code, const char* name, const char* detail,
                      const char* field, int element, int value, const char* label) {
    return Rule(kAcType, key, level, code, name, detail, field, element, value, label);
}

constexpr AlarmKey Dc(const char* key, int level, const char* code, const char* name, const char* detail,
                      const char* field, int element, int value, const char* label) {
    return Rule(kDcType, key, level, code, name, detail, field, element, value, label);
}

// One of the DC status rows: level 1, judging its own byte of alert_p_state.
constexpr AlarmKey DcRow(const char* key, int row, int value, const char* code, const char* name,
                         const char* detail, const char* label) {
    return Dc(key, 1, code, name, detail, "alert_p_state", row, value, label);
}

// A DC status row that hands its raw state over with a table naming it.
constexpr AlarmKey DcMap(const char* key, int row, std::span<const StateText> states, const char* code,
                         const char* name, const char* detail, const char* label) {
    AlarmKey k = DcRow(key, row, -1, code, name, detail, label);
    k.states = states;
    return k;
}

constexpr AlarmKey Rc(const char* key, int level, const char* code, const char* name, const char* detail,
                      const char* field, int element, int value, const char* label) {
    return Rule(kRcType, key, level, code, name, detail, field, element, value, label);
}

// The controller's tables; 0 is "正常" in each. Its overcurrent table gives
// the alarm state no text of its own.
constexpr StateText kOvercurrent[] = {{0, "normal", "正常"}, {2, "overcurrent", ""}};
constexpr StateText kBatteryVoltage[] = {{0, "normal", "正常"}, {1, "undervoltage", "欠压"}, {2, "overvoltage", "过压"}};

constexpr const char* kAcLow = "06015";  // codes and names shared by many rows are spelt once
constexpr const char* kOther = "06029";
constexpr const char* kOtherName = "其他告警";

// clang-format off
constexpr AlarmKey kAlarms[] = {
    Rule(kMainDeviceType, "device_model", 3, "70319", "设备配置检测", "本驱动类型:m520s 检测型号:{model}",
         nullptr, -1, -1, "unsupported controller model"),
    Rule(kMainDeviceType, "link_lost", 1, "00000", "communication lost", "", nullptr, -1, -1,
         "communication with the controller lost"),

    Ac("AC_0", 3, kAcLow, "交流输入电压过低告警", "交流屏{n}输入线/相电压AB/A", "a_state", -1, 1, "input voltage AB/A too low"),
    Ac("AC_1", 3, kAcLow, "交流输入电压过低告警", "交流屏{n}输入线/相电压BC/B", "b_state", -1, 1, "input voltage BC/B too low"),
    Ac("AC_2", 3, kAcLow, "交流输入电压过低告警", "交流屏{n}输入线/相电压CA/C", "c_state", -1, 1, "input voltage CA/C too low"),
    Ac("AC_3", 3, "06019", "交流输入频率过低告警", "交流屏{n}频率", "f_state", -1, 1, "input frequency too low"),
    Ac("AC_4", 2, "06014", "交流输入电压过高告警", "交流屏{n}输入线/相电压AB/A", "a_state", -1, 2, "input voltage AB/A too high"),
    Ac("AC_5", 2, "06014", "交流输入电压过高告警", "交流屏{n}输入线/相电压BC/B", "b_state", -1, 2, "input voltage BC/B too high"),
    Ac("AC_6", 2, "06014", "交流输入电压过高告警", "交流屏{n}输入线/相电压CA/C", "c_state", -1, 2, "input voltage CA/C too high"),
    Ac("AC_7", 2, "06018", "交流输入频率过高告警", "交流屏{n}频率", "f_state", -1, 2, "input frequency too high"),
    Ac("AC_8", 2, "06017", "交流输入缺相告警", "交流屏{n}输入线/相电压AB/A", "a_state", -1, 3, "input phase AB/A missing"),
    Ac("AC_9", 2, "06017", "交流输入缺相告警", "交流屏{n}输入线/相电压BC/B", "b_state", -1, 3, "input phase BC/B missing"),
    Ac("AC_10", 2, "06017", "交流输入缺相告警", "交流屏{n}输入线/相电压CA/C", "c_state", -1, 3, "input phase CA/C missing"),
    // The panel's current rules carry their own text as the name.
    Ac("AC_12", 3, kOther, "A相输入电流低于下限", kOtherName, "ia_alert", -1, 1, "phase A current below lower limit"),
    Ac("AC_13", 3, kOther, "B相输入电流低于下限", kOtherName, "ib_alert", -1, 1, "phase B current below lower limit"),
    Ac("AC_14", 3, kOther, "C相输入电流低于下限", kOtherName, "ic_alert", -1, 1, "phase C current below lower limit"),
    Ac("AC_15", 3, kOther, "A相输入电流高于上限", kOtherName, "ia_alert", -1, 2, "phase A current above upper limit"),
    Ac("AC_16", 3, kOther, "B相输入电流高于上限", kOtherName, "ib_alert", -1, 2, "phase B current above upper limit"),
    Ac("AC_17", 3, kOther, "C相输入电流高于上限", kOtherName, "ic_alert", -1, 2, "phase C current above upper limit"),
    Ac("AC_18", 3, kOther, "A相输入电流缺项", kOtherName, "ia_alert", -1, 3, "phase A current missing"),
    Ac("AC_19", 3, kOther, "B相输入电流缺项", kOtherName, "ib_alert", -1, 3, "phase B current missing"),
    Ac("AC_20", 3, kOther, "C相输入电流缺项", kOtherName, "ic_alert", -1, 3, "phase C current missing"),
    Ac("p40_44_0", 1, "06001", "模块告警", "第{n}路交流输入交流输入空开跳", "p40_44_state", 0, 0x05, "AC input breaker tripped"),
    Ac("p40_44_1", 1, "06001", "模块告警", "第{n}路交流输入交流输出空开跳", "p40_44_state", 1, 0x05, "AC output breaker tripped"),
    Ac("p40_44_2", 1, "06001", "模块告警", "第{n}路交流输入防雷器断", "p40_44_state", 2, 0x05, "surge protector failed"),
    Ac("p40_44_3", 1, "06001", "模块告警", "第{n}路交流输入交流输入1停电", "p40_44_state", 3, 0xE1, "AC input 1 power failure"),
    Ac("p40_44_4", 1, "06001", "模块告警", "第{n}路交流输入交流输入2停电", "p40_44_state", 4, 0xE1, "AC input 2 power failure"),
    Ac("p40_44_5", 1, "06001", "模块告警", "第{n}路交流输入交流输入3停电", "p40_44_state", 5, 0xE1, "AC input 3 power failure"),
    Ac("p40_44_6", 1, "06001", "模块告警", "第{n}路交流输入市电切换失败", "p40_44_state", 6, 0xE3, "mains changeover failed"),
    Ac("p40_44_7", 1, "06001", "模块告警", "第{n}路交流输入交流屏通讯中断", "p40_44_state", 7, 0xE2, "AC panel communication lost"),

    Dc("DC_0", 3, "06008", "输出电压过低告警", "输出电压过低告警", "v_state", -1, 1, "output voltage too low"),
    Dc("DC_1", 3, "06009", "输出电压过高告警", "输出电压过高告警", "v_state", -1, 2, "output voltage too high"),
    Dc("DC_3", 1, "06001", "电池熔丝故障告警", "直流{n}电池熔丝故障告警", "alert_m_state", -1, 3, "battery {n} fuse fault"),
    DcRow("M520S_DC_0", 0, 3, "06007", "负载熔丝故障告警", "负载1熔丝故障告警", "load fuse 1 fault"),
    DcRow("M520S_DC_1", 1, 3, "06007", "负载熔丝故障告警", "负载2熔丝故障告警", "load fuse 2 fault"),
    DcRow("M520S_DC_2", 2, 3, "06007", "负载熔丝故障告警", "负载3熔丝故障告警", "load fuse 3 fault"),
    DcRow("M520S_DC_3", 3, 3, "06007", "负载熔丝故障告警", "负载4熔丝故障告警", "load fuse 4 fault"),
    DcMap("M520S_DC_4", 4, kOvercurrent, "06002", "电池告警", "电池1充电过流告警", "battery 1 charging current"),
    DcMap("M520S_DC_5", 5, kOvercurrent, "06002", "电池告警", "电池2充电过流告警", "battery 2 charging current"),
    DcRow("M520S_DC_6", 6, 0xE4, kOther, kOtherName, "电池组1保护", "battery group 1 protection active"),
    DcRow("M520S_DC_7", 7, 0xE4, kOther, kOtherName, "电池组2保护", "battery group 2 protection active"),
    DcRow("M520S_DC_8", 8, 0xE3, kOther, kOtherName, "负载下电", "load power-down"),
    DcRow("M520S_DC_9", 9, 0xE4, kOther, kOtherName, "二次下电", "second power-down"),
    DcRow("M520S_DC_10", 10, 0xE1, kOther, kOtherName, "电池房1过温", "battery room 1 over temperature"),
    DcRow("M520S_DC_11", 11, 0xE1, kOther, kOtherName, "电池房2过温", "battery room 2 over temperature"),
    DcRow("M520S_DC_12", 12, 0xE1, kOther, kOtherName, "环境1过温", "ambient 1 over temperature"),
    DcRow("M520S_DC_13", 13, 0xE1, kOther, kOtherName, "环境2过温", "ambient 2 over temperature"),
    DcRow("M520S_DC_14", 14, 0xE2, "06011", "输出告警", "直流屏通讯中断告警", "DC panel communication lost"),
    DcMap("M520S_DC_15", 15, kBatteryVoltage, kOther, kOtherName, "电池组1电压异常", "battery group 1 voltage"),
    DcMap("M520S_DC_16", 16, kBatteryVoltage, kOther, kOtherName, "电池组2电压异常", "battery group 2 voltage"),
    DcRow("M520S_DC_17", 17, 0xF0, kOther, kOtherName, "DC/DC故障", "DC/DC converter fault"),
    DcRow("M520S_DC_18", 18, 0xE5, kOther, kOtherName, "电池放电", "battery discharging"),
    DcRow("M520S_DC_19", 19, 0xE6, "06004", "电池告警", "电池放电不平衡告警", "battery discharge imbalance"),
    DcRow("M520S_DC_20", 20, 0xE7, kOther, kOtherName, "电池短测试告警", "battery short test"),
    DcRow("M520S_DC_21", 21, 0xE8, kOther, kOtherName, "电池测试告警", "battery test"),
    DcRow("M520S_DC_22", 22, 0xE9, kOther, kOtherName, "直流电压差别大告警", "large DC voltage difference"),
    DcRow("M520S_DC_23", 23, 0xEA, kOther, kOtherName, "1路数字输入告警状态", "digital input 1 alarm"),
    DcRow("M520S_DC_24", 24, 0xEA, kOther, kOtherName, "2路数字输入告警状态", "digital input 2 alarm"),
    DcRow("M520S_DC_25", 25, 0xEA, kOther, kOtherName, "3路数字输入告警状态", "digital input 3 alarm"),
    DcRow("M520S_DC_26", 26, 0xEA, kOther, kOtherName, "4路数字输入告警状态", "digital input 4 alarm"),
    DcRow("M520S_DC_27", 27, 0xEA, kOther, kOtherName, "5路数字输入告警状态", "digital input 5 alarm"),
    DcRow("M520S_DC_28", 28, 0xEA, kOther, kOtherName, "6路数字输入告警状态", "digital input 6 alarm"),
    DcRow("M520S_DC_29", 29, 0xEA, kOther, kOtherName, "7路数字输入告警状态", "digital input 7 alarm"),
    DcRow("M520S_DC_30", 30, 0xEA, kOther, kOtherName, "8路数字输入告警状态", "digital input 8 alarm"),
    DcRow("M520S_DC_31", 31, 0xEB, kOther, kOtherName, "负载下电回采告警状态", "load power-down read-back alarm"),
    DcRow("M520S_DC_32", 32, 0xEB, kOther, kOtherName, "电池保护回采告警状态", "battery protection read-back alarm"),
    DcRow("M520S_DC_33", 33, 3, kOther, "电池告警", "电池5熔丝故障告警", "battery 5 fuse fault"),
    DcRow("M520S_DC_34", 34, 3, kOther, "电池告警", "电池6熔丝故障告警", "battery 6 fuse fault"),
    DcRow("M520S_DC_35", 35, 3, kOther, kOtherName, "扩展16路熔丝1告警状态", "extension fuse 1 fault"),
    DcRow("M520S_DC_36", 36, 3, kOther, kOtherName, "扩展16路熔丝2告警状态", "extension fuse 2 fault"),
    DcRow("M520S_DC_37", 37, 3, kOther, kOtherName, "扩展16路熔丝3告警状态", "extension fuse 3 fault"),
    DcRow("M520S_DC_38", 38, 3, kOther, kOtherName, "扩展16路熔丝4告警状态", "extension fuse 4 fault"),
    DcRow("M520S_DC_39", 39, 3, kOther, kOtherName, "扩展16路熔丝5告警状态", "extension fuse 5 fault"),
    DcRow("M520S_DC_40", 40, 3, kOther, kOtherName, "扩展16路熔丝6告警状态", "extension fuse 6 fault"),
    DcRow("M520S_DC_41", 41, 3, kOther, kOtherName, "扩展16路熔丝7告警状态", "extension fuse 7 fault"),
    DcRow("M520S_DC_42", 42, 3, kOther, kOtherName, "扩展16路熔丝8告警状态", "extension fuse 8 fault"),
    DcRow("M520S_DC_43", 43, 3, kOther, kOtherName, "扩展16路熔丝9告警状态", "extension fuse 9 fault"),
    DcRow("M520S_DC_44", 44, 3, kOther, kOtherName, "扩展16路熔丝10告警状态", "extension fuse 10 fault"),
    DcRow("M520S_DC_45", 45, 3, kOther, kOtherName, "扩展16路熔丝11告警状态", "extension fuse 11 fault"),
    DcRow("M520S_DC_46", 46, 3, kOther, kOtherName, "扩展16路熔丝12告警状态", "extension fuse 12 fault"),
    DcRow("M520S_DC_47", 47, 3, kOther, kOtherName, "扩展16路熔丝13告警状态", "extension fuse 13 fault"),
    DcRow("M520S_DC_48", 48, 3, kOther, kOtherName, "扩展16路熔丝14告警状态", "extension fuse 14 fault"),
    DcRow("M520S_DC_49", 49, 3, kOther, kOtherName, "扩展16路熔丝15告警状态", "extension fuse 15 fault"),
    DcRow("M520S_DC_50", 50, 3, kOther, kOtherName, "扩展16路熔丝16告警状态", "extension fuse 16 fault"),
    DcRow("M520S_DC_51", 51, 0xE3, kOther, kOtherName, "扩展2路LVD1告警状态", "extension LVD 1 power-down"),
    DcRow("M520S_DC_52", 52, 0xE3, kOther, kOtherName, "扩展2路LVD2告警状态", "extension LVD 2 power-down"),
    DcRow("M520S_DC_53", 53, 0xEB, kOther, kOtherName, "扩展2路LVD1回采告警状态", "extension LVD 1 read-back alarm"),
    DcRow("M520S_DC_54", 54, 0xEB, kOther, kOtherName, "扩展2路LVD2回采告警状态", "extension LVD 2 read-back alarm"),

    Rc("RC_0", 2, "06024", "整流模块故障告警", "模块{n}整流模块故障告警", "fault_state", -1, 1, "rectifier fault"),
    Rc("M520S_RC_0", 3, "06024", "整流模块告警", "整流模块{n}故障告警", "p41_44_state", 0, 1, "rectifier fault alarm"),
    Rc("M520S_RC_1", 4, "06025", "整流模块告警", "整流模块{n}风扇故障", "p41_44_state", 1, 1, "fan fault"),
    Rc("M520S_RC_2", 3, "06027", "整流模块告警", "整流模块{n}温度过高告警", "p41_44_state", 2, 1, "over temperature"),
    Rc("M520S_RC_3", 4, "06028", "整流模块告警", "整流模块{n}通信状态告警", "p41_44_state", 3, 0xE2, "communication fault"),
    Rc("M520S_RC_4", 3, kOther, kOtherName, "整流模块{n}模块限功率", "p41_44_state", 4, 1, "power limited"),
    Rc("M520S_RC_5", 2, "06016", "整流模块告警", "交流输入{n}停电告警", "p41_44_state", 5, 1, "AC input power failure"),
    Rc("M520S_RC_6", 4, kOther, kOtherName, "整流模块{n}模块不均流", "p41_44_state", 6, 1, "current sharing imbalance"),
    Rc("M520S_RC_7", 1, "06026", "整流模块告警", "整流模块{n}过压关机告警", "p41_44_state", 7, 1, "overvoltage shutdown"),
};
// clang-format on

}  // namespace

std::span<const AlarmKey> AlarmTable() { return kAlarms; }

}  // namespace monitor::model::m520s
