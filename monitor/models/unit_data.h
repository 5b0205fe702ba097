#pragma once
// A unit's snapshot checked against its model's record layout. Values are
// read from these bytes the way the catalogue describes each field, so
// nothing decodes a snapshot by hand. Immutable once made: threads share it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "monitor/models/model.h"

namespace monitor {

class JsonOut;

// Values are refused once the data is this old.
constexpr int kFreshSeconds = 61;
bool IsFresh(const boost::posix_time::ptime& stamp, const boost::posix_time::ptime& now);

class UnitData {
public:
    // null, with the reason in error, when the length disagrees with the
    // records and their counts.
    static std::shared_ptr<const UnitData> Decode(const model::UnitKind& kind, const unsigned char* data, size_t len,
                                                  std::string& error);

    const model::UnitKind& Kind() const { return *kind; }
    const std::vector<unsigned char>& Bytes() const { return bytes; }
    size_t Items() const { return items; }
    // The record bytes: item -1 is the head record, 0.. the channels or modules.
    const unsigned char* Record(int item) const;
    // The record's time stamp; not_a_date_time when unset or invalid.
    const boost::posix_time::ptime& Stamp() const { return stamp; }
    bool FreshAt(const boost::posix_time::ptime& now) const { return IsFresh(stamp, now); }

    // One numeric value: element is the position in a list field (0 for a
    // single value). nullopt for a position beyond the list's room, an item
    // that is not there, or a value that is no number (NaN).
    std::optional<double> Value(const model::Field& f, int item, size_t element) const;
    // A field's count as filled by the controller (the list room when the
    // field has no count).
    size_t Filled(const model::Field& f, int item) const;

    // The "values" object: record fields by name, lists whole, the items
    // under their key; keys in byte order as jsoncpp writes them.
    void WriteValues(JsonOut& out) const;

private:
    UnitData() = default;
    const model::UnitKind* kind = nullptr;
    std::vector<unsigned char> bytes;
    size_t items = 0;
    boost::posix_time::ptime stamp;
};

// The host's 7-byte stamp as a time; not_a_date_time when it is no date.
boost::posix_time::ptime StampTime(const unsigned char* p);

}  // namespace monitor
