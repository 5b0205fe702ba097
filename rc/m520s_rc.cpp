#include "rc/m520s_rc.h"

#include <cstdint>
#include <iterator>
#include <string>

namespace {

// One row per user-defined alarm state byte of a module, in byte order. The
// detail names the module: prefix, module number, suffix.
// Strings, so that the checks of every module copy them and build nothing.
struct StatusRow {
    std::string key;
    std::string code;
    int level;
    std::string name;
    std::string prefix;
    std::string suffix;
    uint8_t alarm;  // the state byte value that means the alarm holds
};

// clang-format off
const StatusRow kStatusRows[] = {
    {"M520S_RC_0", "06024", 3, "整流模块告警", "整流模块", "故障告警",     1},
    {"M520S_RC_1", "06025", 4, "整流模块告警", "整流模块", "风扇故障",     1},
    {"M520S_RC_2", "06027", 3, "整流模块告警", "整流模块", "温度过高告警", 1},
    {"M520S_RC_3", "06028", 4, "整流模块告警", "整流模块", "通信状态告警", 0xE2},
    {"M520S_RC_4", "06029", 3, "其他告警",     "整流模块", "模块限功率",   1},
    {"M520S_RC_5", "06016", 2, "整流模块告警", "交流输入", "停电告警",     1},
    {"M520S_RC_6", "06029", 4, "其他告警",     "整流模块", "模块不均流",   1},
    {"M520S_RC_7", "06026", 1, "整流模块告警", "整流模块", "过压关机告警", 1},
};
// clang-format on

static_assert(std::size(kStatusRows) == tele_c_m520s_rc_channel::P41_44_SIZE());

}  // namespace

M520SRC::M520SRC() { device_type = "m520s-rc"; }

void M520SRC::DoImpCheckAlert() {
    std::string detail;
    for (size_t i = 0; i < channels.size(); ++i) {
        const tele_c_m520s_rc_channel& ch = channels[i];
        // A module that did not report all its states has nothing to judge.
        if (ch.p41_44_count != tele_c_m520s_rc_channel::P41_44_SIZE()) continue;
        const std::string n = std::to_string(i + 1);
        for (size_t r = 0; r < std::size(kStatusRows); ++r) {
            const StatusRow& row = kStatusRows[r];
            detail.assign(row.prefix).append(n).append(row.suffix);
            CheckThresholdBool(row.level, row.key, row.code, row.name, detail, ch.p41_44_state[r] == row.alarm,
                               check_seq++);
        }
    }
}
