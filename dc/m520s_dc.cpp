#include "dc/m520s_dc.h"

#include <cstdint>
#include <map>

namespace {

using StateTable = std::map<unsigned char, std::string>;

// Built on first use; function-local statics make that safe when several
// units get there at once, and every unit shares the same tables.
const StateTable& overcurrent_states() {
    static const StateTable table{{0, "正常"}, {2, ""}};
    return table;
}

const StateTable& voltage_states() {
    static const StateTable table{{0, "正常"}, {1, "欠压"}, {2, "过压"}};
    return table;
}

// A row either compares its state byte with a constant (two-state check) or
// hands the raw state to the host with a table naming the states.
struct Test {
    uint8_t value;
    const StateTable& (*table)();
};
constexpr Test eq(uint8_t value) { return {value, nullptr}; }
constexpr Test map(const StateTable& (*table)()) { return {0, table}; }

struct StatusRow {
    const char* key;
    uint8_t state;  // index into alert_p_state
    Test test;
    const char* code;
    const char* name;
    const char* detail;
};

// Alarm level 1 throughout.
constexpr StatusRow kRows[] = {
    {"M520S_DC_0", 0, eq(3), "06007", "负载熔丝故障告警", "负载1熔丝故障告警"},
    {"M520S_DC_1", 1, eq(3), "06007", "负载熔丝故障告警", "负载2熔丝故障告警"},
    {"M520S_DC_2", 2, eq(3), "06007", "负载熔丝故障告警", "负载3熔丝故障告警"},
    {"M520S_DC_3", 3, eq(3), "06007", "负载熔丝故障告警", "负载4熔丝故障告警"},
    {"M520S_DC_4", 4, map(overcurrent_states), "06002", "电池告警", "电池1充电过流告警"},
    {"M520S_DC_5", 5, map(overcurrent_states), "06002", "电池告警", "电池2充电过流告警"},
    {"M520S_DC_6", 6, eq(228), "06029", "其他告警", "电池组1保护"},
    {"M520S_DC_7", 7, eq(228), "06029", "其他告警", "电池组2保护"},
    {"M520S_DC_8", 8, eq(227), "06029", "其他告警", "负载下电"},
    {"M520S_DC_9", 9, eq(228), "06029", "其他告警", "二次下电"},
    {"M520S_DC_10", 10, eq(225), "06029", "其他告警", "电池房1过温"},
    {"M520S_DC_11", 11, eq(225), "06029", "其他告警", "电池房2过温"},
    {"M520S_DC_12", 12, eq(225), "06029", "其他告警", "环境1过温"},
    {"M520S_DC_13", 13, eq(225), "06029", "其他告警", "环境2过温"},
    {"M520S_DC_14", 14, eq(226), "06011", "输出告警", "直流屏通讯中断告警"},
    {"M520S_DC_15", 15, map(voltage_states), "06029", "其他告警", "电池组1电压异常"},
    {"M520S_DC_16", 16, map(voltage_states), "06029", "其他告警", "电池组2电压异常"},
    {"M520S_DC_17", 17, eq(240), "06029", "其他告警", "DC/DC故障"},
    {"M520S_DC_18", 18, eq(229), "06029", "其他告警", "电池放电"},
    {"M520S_DC_19", 19, eq(230), "06004", "电池告警", "电池放电不平衡告警"},
    {"M520S_DC_20", 20, eq(231), "06029", "其他告警", "电池短测试告警"},
    {"M520S_DC_21", 21, eq(232), "06029", "其他告警", "电池测试告警"},
    {"M520S_DC_22", 22, eq(233), "06029", "其他告警", "直流电压差别大告警"},
    {"M520S_DC_23", 23, eq(234), "06029", "其他告警", "1路数字输入告警状态"},
    {"M520S_DC_24", 24, eq(234), "06029", "其他告警", "2路数字输入告警状态"},
    {"M520S_DC_25", 25, eq(234), "06029", "其他告警", "3路数字输入告警状态"},
    {"M520S_DC_26", 26, eq(234), "06029", "其他告警", "4路数字输入告警状态"},
    {"M520S_DC_27", 27, eq(234), "06029", "其他告警", "5路数字输入告警状态"},
    {"M520S_DC_28", 28, eq(234), "06029", "其他告警", "6路数字输入告警状态"},
    {"M520S_DC_29", 29, eq(234), "06029", "其他告警", "7路数字输入告警状态"},
    {"M520S_DC_30", 30, eq(234), "06029", "其他告警", "8路数字输入告警状态"},
    {"M520S_DC_31", 31, eq(235), "06029", "其他告警", "负载下电回采告警状态"},
    {"M520S_DC_32", 32, eq(235), "06029", "其他告警", "电池保护回采告警状态"},
    {"M520S_DC_33", 33, eq(3), "06029", "电池告警", "电池5熔丝故障告警"},
    {"M520S_DC_34", 34, eq(3), "06029", "电池告警", "电池6熔丝故障告警"},
    {"M520S_DC_35", 35, eq(3), "06029", "其他告警", "扩展16路熔丝1告警状态"},
    {"M520S_DC_36", 36, eq(3), "06029", "其他告警", "扩展16路熔丝2告警状态"},
    {"M520S_DC_37", 37, eq(3), "06029", "其他告警", "扩展16路熔丝3告警状态"},
    {"M520S_DC_38", 38, eq(3), "06029", "其他告警", "扩展16路熔丝4告警状态"},
    {"M520S_DC_39", 39, eq(3), "06029", "其他告警", "扩展16路熔丝5告警状态"},
    {"M520S_DC_40", 40, eq(3), "06029", "其他告警", "扩展16路熔丝6告警状态"},
    {"M520S_DC_41", 41, eq(3), "06029", "其他告警", "扩展16路熔丝7告警状态"},
    {"M520S_DC_42", 42, eq(3), "06029", "其他告警", "扩展16路熔丝8告警状态"},
    {"M520S_DC_43", 43, eq(3), "06029", "其他告警", "扩展16路熔丝9告警状态"},
    {"M520S_DC_44", 44, eq(3), "06029", "其他告警", "扩展16路熔丝10告警状态"},
    {"M520S_DC_45", 45, eq(3), "06029", "其他告警", "扩展16路熔丝11告警状态"},
    {"M520S_DC_46", 46, eq(3), "06029", "其他告警", "扩展16路熔丝12告警状态"},
    {"M520S_DC_47", 47, eq(3), "06029", "其他告警", "扩展16路熔丝13告警状态"},
    {"M520S_DC_48", 48, eq(3), "06029", "其他告警", "扩展16路熔丝14告警状态"},
    {"M520S_DC_49", 49, eq(3), "06029", "其他告警", "扩展16路熔丝15告警状态"},
    {"M520S_DC_50", 50, eq(3), "06029", "其他告警", "扩展16路熔丝16告警状态"},
    {"M520S_DC_51", 51, eq(227), "06029", "其他告警", "扩展2路LVD1告警状态"},
    {"M520S_DC_52", 52, eq(227), "06029", "其他告警", "扩展2路LVD2告警状态"},
    {"M520S_DC_53", 53, eq(235), "06029", "其他告警", "扩展2路LVD1回采告警状态"},
    {"M520S_DC_54", 54, eq(235), "06029", "其他告警", "扩展2路LVD2回采告警状态"},
};

constexpr bool rows_in_order() {
    for (unsigned r = 0; r < sizeof kRows / sizeof kRows[0]; ++r)
        if (kRows[r].state != r || kRows[r].state >= tele_c_m520s_dc::ALERT_P_SIZE()) return false;
    return true;
}
static_assert(sizeof kRows / sizeof kRows[0] == 55);
static_assert(rows_in_order(), "row n evaluates state byte n");

}  // namespace

M520SDC::M520SDC() { device_type = "m520s-dc"; }

M520SDC::M520SDC(const std::string& model_text) : PMBusPowerDC(model_text) {
    device_type = "m520s-dc";
}

M520SDC::~M520SDC() = default;

void M520SDC::DoImpCheckAlert() {
    // A short or over-long state list does not line up with the table.
    if (tele.alert_p != tele_c_m520s_dc::ALERT_P_SIZE()) return;
    for (const StatusRow& row : kRows) {
        const uint8_t state = tele.alert_p_state[row.state];
        if (row.test.table) {
            CheckAlertMap(state, 1, row.key, row.code, row.name, row.detail, row.test.table(),
                          check_seq++);
        } else {
            const bool active = state == row.test.value;
            CheckThresholdBool(1, row.key, row.code, row.name, row.detail, active, check_seq++);
        }
    }
}
