#pragma once
// One unit of the live view, laid out from its model's view hints: a title
// line with its values, then its items as a table or a grid.

#include <functional>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "monitor/site_state.h"
#include "monitor/sinks/terminal_text.h"

namespace monitor {

class UnitLines {
public:
    UnitLines(const UnitState& unit, const Style& style, bool zh, size_t width)
        : u(unit), st(style), zh(zh), width(width) {}
    void Append(std::vector<std::string>& out, const boost::posix_time::ptime& now) const;

private:
    // The values of one short label's fields, each as text.
    std::vector<std::string> values(const model::ShortLabel& s, const model::Record& r, int item) const;
    std::string unit_of(const model::ShortLabel& s, const model::Record& r) const;
    void table(std::vector<std::string>& out, const std::function<std::string(const std::string&)>& dim) const;
    void grid(std::vector<std::string>& out, const std::function<std::string(const std::string&)>& dim) const;

    const UnitState& u;
    const Style& st;
    bool zh;
    size_t width;
};

}  // namespace monitor
