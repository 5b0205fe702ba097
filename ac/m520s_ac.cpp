#include "ac/m520s_ac.h"

#include <iterator>
#include <string>

namespace {

// Strings, so that the checks of every channel copy them and build nothing.
struct StatusRow {
    std::string key;
    uint8_t byte;   // index into p40_44_state
    uint8_t value;  // the state that raises the alarm
    std::string detail;
};

const StatusRow kStatusRows[] = {
    {"p40_44_0", 0, 0x05, "交流输入空开跳"},
    {"p40_44_1", 1, 0x05, "交流输出空开跳"},
    {"p40_44_2", 2, 0x05, "防雷器断"},
    {"p40_44_3", 3, 0xE1, "交流输入1停电"},
    {"p40_44_4", 4, 0xE1, "交流输入2停电"},
    {"p40_44_5", 5, 0xE1, "交流输入3停电"},
    {"p40_44_6", 6, 0xE3, "市电切换失败"},
    {"p40_44_7", 7, 0xE2, "交流屏通讯中断"},
};

static_assert(std::size(kStatusRows) == tele_c_m520s_ac_channel::p40_44_SIZE());

constexpr int kStatusLevel = 1;
const std::string kStatusCode = "06001";
const std::string kStatusName = "模块告警";

}  // namespace

M520SAC::M520SAC() { device_type = "m520s-ac"; }

M520SAC::~M520SAC() = default;

void M520SAC::DoImpCheckAlert() {
    std::string detail;
    for (size_t k = 0; k < channels.size(); ++k) {
        const tele_c_m520s_ac_channel& ch = channels[k];
        const std::string prefix = "第" + std::to_string(k + 1) + "路交流输入";
        // A channel whose last answer carried another count has no trustworthy states.
        if (ch.p40_44_count != tele_c_m520s_ac_channel::p40_44_SIZE()) continue;
        for (const auto& row : kStatusRows) {
            const bool condition = ch.p40_44_state[row.byte] == row.value;
            const unsigned short seq = next_seq();
            detail.assign(prefix).append(row.detail);
            CheckThresholdBool(kStatusLevel, row.key, kStatusCode, kStatusName, detail, condition, seq);
        }
    }
}
