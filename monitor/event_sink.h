#pragma once
// Where the monitor's events go: JSON lines, the live view, MQTT. Every call
// comes from the poll thread and must return at once.
#include <string>

#include <json/json.h>

namespace monitor {

class EventSink {
public:
    virtual ~EventSink() = default;
    // One event, exactly the object of its JSON line ("event", "time", ...).
    virtual void OnEvent(const Json::Value& event) = 0;
    // Every active alarm (an array of objects with the fields of an "alarm"
    // event except "action", plus "since"), at start and after every change.
    virtual void OnActiveAlarms(const Json::Value& alarms) { (void)alarms; }
    // The model text the controller reported, once it is known.
    virtual void OnModel(const std::string& model) { (void)model; }
    // The program is stopping cleanly.
    virtual void OnStop() {}
};

}  // namespace monitor
