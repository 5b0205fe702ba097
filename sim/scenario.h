#pragma once
// What the simulated controller reports: the shape of the site, every value
// and state byte of every answer, the data flags, fault probabilities and a
// time line of changes. Loaded from JSON; every key is optional and the
// defaults make the reference site (2 AC panels of 3 channels, 2 DC panels,
// 8 rectifier modules), healthy, with values that drift a little over time.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/json.h>

#include "common/json_check.h"

namespace sim {

// A 4-byte wire value: a constant, a slow sine around a mean, or raw bytes
// (for the all-equal "no value" patterns a controller sends).
struct WireFloat {
    double mean = 0;
    double swing = 0;
    double period_s = 60;
    double phase = 0;  // radians; spreads the waves of different values apart
    std::optional<std::array<uint8_t, 4>> raw;

    float value_at(double t) const;
    std::array<uint8_t, 4> bytes_at(double t) const;
};

struct AcChannel {
    WireFloat a, b, c, f;
    std::vector<WireFloat> p40_41_value;
    uint8_t a_state = 0, b_state = 0, c_state = 0, f_state = 0;
    std::vector<uint8_t> p40_44_skipped;  // the n_k bytes a controller may send before the user states
    std::vector<uint8_t> p40_44_state;
};

struct AcPanel {
    std::vector<AcChannel> channels;
    WireFloat ia, ib, ic;
    uint8_t ia_alert = 0, ib_alert = 0, ic_alert = 0;
    std::vector<uint8_t> airlock_state;
    std::vector<uint8_t> p40_43_state;
};

struct DcPanel {
    WireFloat v, i;
    std::vector<WireFloat> dc_m_value, dc_n_value, user_p;
    uint8_t v_state = 0;
    std::vector<uint8_t> alert_m_state, alert_p_state;
};

struct RectifierModule {
    WireFloat module_value;
    std::vector<WireFloat> p41_41_value;
    std::array<uint8_t, 3> module_state{};
    std::vector<uint8_t> p41_43_state;
    uint8_t fault_state = 0;
    std::vector<uint8_t> p41_44_state;
};

struct Rectifier {
    WireFloat group_value;
    std::vector<RectifierModule> modules;
};

// A data flag: "auto" sets bit 4 when the group's switch states and bit 0
// when its alarm states changed since they were last sent; a number is sent
// as it stands.
struct DataFlag {
    bool automatic = true;
    uint8_t value = 0;
};

struct Site {
    uint8_t address = 1;
    uint8_t version = 0x20;
    std::string model = "M520S";
    DataFlag ac_flag, rc_flag, dc_flag;
    std::vector<AcPanel> ac;
    std::vector<DcPanel> dc;
    Rectifier rectifier;
    std::array<WireFloat, 5> ac_param;
    std::vector<WireFloat> ac_param_user;
    std::array<WireFloat, 2> dc_param;
    std::vector<WireFloat> dc_param_user;
};

// Fault kinds, in the order they are drawn for every answer.
enum class Fault {
    silence,
    bad_chksum,
    bad_lchksum,
    garbage,
    split,
    double_answer,
    error_rtn,
    wrong_cid1,
    count_mismatch,
    short_info,
    late,
};
constexpr size_t kFaultKinds = 11;
const char* fault_name(Fault f);
std::optional<Fault> fault_by_name(const std::string& name);

struct FaultOptions {
    int late_ms = 2500;       // beyond the host's usual time-out
    int split_gap_ms = 30;    // pause between the pieces of a split answer
    uint8_t error_rtn = 0x06; // return code of an error answer
    int garbage_max = 16;     // at most this many stray bytes before an answer
    double restart_s = 3;     // a restarting controller stays silent this long
};

struct TimelineEvent {
    // Trigger: the start of cycle at_cycle (1 = the first), or after_s seconds
    // after the simulator started. "answer" delays a fault to the n-th answer
    // from the trigger on.
    std::optional<uint64_t> at_cycle;
    std::optional<double> after_s;
    uint64_t answer = 1;
    // Actions.
    Json::Value set;  // object: path -> value
    std::optional<size_t> modules;
    std::optional<double> restart_s;  // present: the controller restarts
    std::vector<Fault> faults;        // applied in turn to consecutive answers, or all for for_s
    uint64_t answers = 1;
    std::optional<double> for_s;
    std::optional<std::map<Fault, double>> probabilities;
    Json::Value raw;  // the event as written, for to_json()
};

// A refused scenario: one line naming the file, the key, what was expected
// and what was found, worded as every other JSON file's.
using ScenarioError = common::JsonError;

class Scenario {
public:
    Site site;
    std::map<Fault, double> probabilities;  // per answer, 0..1
    FaultOptions options;
    std::vector<TimelineEvent> timeline;
    std::string source = "(built-in)";

    // The reference site with no faults and an empty time line.
    static Scenario reference();
    // Throws ScenarioError.
    static Scenario parse(const Json::Value& doc, const std::string& source);
    static Scenario load_file(const std::string& path);

    // Every key written out, defaults included; parse(to_json()) gives the same scenario.
    Json::Value to_json() const;

    // Applies a time line event's "set" and "modules" to the site. Throws
    // ScenarioError naming the event.
    void apply_changes(const TimelineEvent& event, size_t index);

private:
    static Site parse_site(const Json::Value& doc, const std::string& source);
};

Json::Value site_to_json(const Site& site);

}  // namespace sim
