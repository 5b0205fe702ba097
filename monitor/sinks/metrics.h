#pragma once
// The site in Prometheus' text exposition format (version 0.0.4): every
// numeric value of the catalogue as a gauge named from what it measures and
// its base unit, with "device" and "field" (the field path) as labels; the
// active alarms, the link, the cycles, the frames the line rejected and a
// histogram of the cycle's duration.

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "monitor/models/model.h"
#include "monitor/site_state.h"

namespace monitor {

// The cycle durations seen since start. Fed on the poll thread, read by
// the server's.
class CycleHistogram {
public:
    static constexpr std::array<double, 10> kBounds{0.5, 1, 2, 3, 5, 7.5, 10, 20, 30, 60};  // seconds

    void Add(double seconds);
    struct Counts {
        std::array<uint64_t, kBounds.size()> le{};  // cumulative
        uint64_t count = 0;
        double sum = 0;
    };
    Counts Get() const;

private:
    mutable std::mutex lock;
    Counts counts;
};

// The gauge's name for a field: m520s_<unit kind>_<quantity>_<base unit>
// ("m520s_ac_voltage_volts", "m520s_rectifier_value", "m520s_dc_state");
// empty for what is no gauge (ids, times, texts). scale converts the value
// to the base unit (percent to a ratio).
struct MetricName {
    std::string name;
    double scale = 1;
};
MetricName FieldMetric(const model::UnitKind& kind, const model::Field& field);

// A label value as the format needs it: backslash, double quote and line
// feed escaped; UTF-8 as it stands.
std::string EscapeLabel(std::string_view value);

std::string MetricsText(const SiteSnapshot& site, const CycleHistogram::Counts& cycles);

}  // namespace monitor
