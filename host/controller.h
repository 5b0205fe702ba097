#pragma once
// The host side that devices report to. Every hook has a harmless default so
// that a test or a host program overrides only what it needs.

#include <cstdint>
#include <functional>
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
template <class T>
std::string log_arg(const T& v) {
    if constexpr (std::is_same_v<T, unsigned char> || std::is_same_v<T, signed char> ||
                  std::is_same_v<T, char>) {
        // 8-bit counts and states are numbers in a log line, never characters.
        return std::to_string(static_cast<int>(v));
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return std::string(std::string_view(v));
    } else {
        return fmt::to_string(v);
    }
}
}  // namespace detail

// Replaces each "{}" of the format by the next argument. Surplus arguments are
// dropped, surplus placeholders stay as they are, and nothing else of the
// format is interpreted.
std::string render_log(std::string_view format, const std::vector<std::string>& args);

}  // namespace host

class SMDController {
public:
    virtual ~SMDController();

    template <class... Args>
    void InfoLog(const std::string& format, const Args&... args) {
        Log(host::render_log(format, {host::detail::log_arg(args)...}));
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
