#pragma once
// The monitor's events, typed. Each renders its JSON line: one object, keys
// in byte order (as the lines have always been written), UTF-8 as it stands.
// Events are made and handed to the sinks on the poll thread; a sink that
// keeps one for another thread copies what it needs.

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "host/pmbus_protocol.h"
#include "monitor/alarm_book.h"
#include "monitor/models/unit_data.h"

namespace monitor {

class JsonOut;

struct RestoreEvent {
    uint32_t device = 0;
    std::string device_type;
    bool ok = false;
};

// One unit of a completed cycle. json is its object in the "cycle" line
// ({"device", "device_type", "fresh", "values"}), rendered once and shared
// by every sink that passes it on.
struct UnitReport {
    uint32_t device = 0;
    std::string device_type;
    bool fresh = false;
    std::shared_ptr<const UnitData> data;  // null when the snapshot was refused
    std::shared_ptr<const std::string> json;
};

struct CycleEvent {
    // When the cycle completed: the line's "time", though it is reported
    // only once its commit is done, which may be seconds later.
    std::string time;
    uint64_t n = 0;
    int64_t duration_ms = 0;
    std::vector<UnitReport> units;
};

struct AlarmEvent {
    std::string action;  // "raise" or "clear"
    Alarm alarm;         // with its label
};

struct LinkEvent {
    bool up = false;
    PMBusProtocol::Counters counters;
};

enum class LogSource { Log, Stdout };
enum class Level { Debug, Info, Warning, Error };
const char* LevelName(Level l);

struct LogEvent {
    std::string text;
    LogSource source = LogSource::Log;
    Level level = Level::Info;
};

struct StorageEvent {
    bool ok = true;
    std::string reason;
    uint64_t held = 0;
    uint64_t dropped = 0;
};

struct HttpEvent {
    std::string url;
};

struct Event {
    using Body = std::variant<RestoreEvent, CycleEvent, AlarmEvent, LinkEvent, LogEvent, StorageEvent, HttpEvent>;

    Event(std::string t, Body b) : time(std::move(t)), body(std::move(b)) {}

    std::string time;  // ISO 8601 local time with the UTC offset
    Body body;

    template <class T>
    const T* As() const {
        return std::get_if<T>(&body);
    }
    // "restore", "cycle", "alarm", "link", "log", "storage", "http".
    const char* Name() const;
    // The JSON object of the line, without the newline; rendered on first use.
    const std::string& Json() const;

private:
    mutable std::string json;
};

// The object of an active alarm as sinks publish it: the fields of an
// "alarm" event without "action", plus "since".
void WriteActiveAlarm(JsonOut& out, const Alarm& a);
std::string ActiveAlarmsJson(const std::vector<Alarm>& alarms);

// A unit's object of the "cycle" line.
std::string UnitJson(uint32_t device, const std::string& device_type, bool fresh, const UnitData* data);

}  // namespace monitor
