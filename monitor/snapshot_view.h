#pragma once
// A unit's snapshot bytes as named values, read with the records' own
// layouts. One decoder for the JSON lines, the live view and MQTT.

#include <cstddef>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/json.h>

namespace monitor {

// Data identifiers of the snapshots.
constexpr int kSnapshotAC = 5088;
constexpr int kSnapshotRC = 5089;
constexpr int kSnapshotDC = 5090;

// Values are refused once the data is this old.
constexpr int kFreshSeconds = 61;

struct SnapshotValues {
    bool ok = false;
    std::string error;            // why ok is false
    Json::Value values;           // record fields by name; AC "channels", rectifier "modules"
    boost::posix_time::ptime stamp;  // the record's time stamp; not_a_date_time when unset
};

// type: the snapshot's data identifier.
SnapshotValues DecodeSnapshot(int type, const unsigned char* data, size_t len);

// Fresh: stamped less than kFreshSeconds before now.
bool IsFresh(const boost::posix_time::ptime& stamp, const boost::posix_time::ptime& now);

// A float as JSON: the shortest decimal that reads back as the same float
// (230.1, not 230.100006103515625); null for NaN and infinities.
Json::Value FloatJson(float f);

}  // namespace monitor
