#pragma once
// The host side that devices report to. Every hook has a harmless default so
// that a test or a host program overrides only what it needs.

#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "host/rule_value.h"

class SMDVDevice;

namespace host {

using StateTable = std::map<unsigned char, std::string>;

// Interns a state text table by its address; the same table always yields the
// same non-zero id. Thread-safe.
uint32_t intern_state_table(const StateTable& table);
// The table behind an id, or nullptr for 0 and unknown ids.
const StateTable* state_table(uint32_t id);

namespace detail {
// Appends one argument as a log line shows it.
template <class T>
void append_log_arg(std::string& out, const T& v) {
    if constexpr (std::is_same_v<T, unsigned char> || std::is_same_v<T, signed char> ||
                  std::is_same_v<T, char>) {
        // 8-bit counts and states are numbers in a log line, never characters.
        fmt::format_to(std::back_inserter(out), "{}", static_cast<int>(v));
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        out += std::string_view(v);
    } else {
        fmt::format_to(std::back_inserter(out), "{}", v);
    }
}
}  // namespace detail

// Replaces each "{}" of the format by the next argument. Surplus arguments are
// dropped, surplus placeholders stay as they are, and nothing else of the
// format is interpreted.
std::string render_log(std::string_view format, const std::vector<std::string>& args);

// The same, rendering each argument straight into the line.
template <class... Args>
std::string render_log_args(std::string_view format, const Args&... args) {
    std::string out;
    out.reserve(format.size() + 12 * sizeof...(Args));
    size_t pos = 0;
    bool placeholders = true;
    auto one = [&](const auto& arg) {
        const size_t at = placeholders ? format.find("{}", pos) : std::string_view::npos;
        if (at == std::string_view::npos) {
            placeholders = false;
            return;
        }
        out.append(format.substr(pos, at - pos));
        detail::append_log_arg(out, arg);
        pos = at + 2;
    };
    (one(args), ...);
    out.append(format.substr(pos));
    return out;
}

}  // namespace host

class SMDController {
public:
    virtual ~SMDController();

    template <class... Args>
    void InfoLog(std::string_view format, const Args&... args) {
        Log(host::render_log_args(format, args...));
    }

    virtual void Log(const std::string& rendered);
    virtual void PublishSnapshot(SMDVDevice& device, int type, const unsigned char* data, int len,
                                 bool flag);
    virtual void SaveHistory(SMDVDevice& device, const unsigned char* data, int len);
    // Default: keeps the item until RunQueuedWork().
    virtual void QueueWork(std::function<void()> item);
    virtual bool EvaluateRules(SMDVDevice& device, const std::vector<rule_value>& rules);

    // Runs the queued items in order, including items they queue themselves.
    // Returns how many ran.
    size_t RunQueuedWork();
    size_t QueuedWork() const;

private:
    mutable std::mutex queue_mutex;
    std::vector<std::function<void()>> queue;
};
