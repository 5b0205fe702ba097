#pragma once
// What the monitor knows of a controller model: its unit kinds and their
// snapshot records (which also drives decoding, so a value is read the way
// the catalogue describes it), what each field means, the polling cycle's
// requests, and the English labels of its alarms. Everything here is
// constant data; a model file defines one Model and nothing else knows its
// facts.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace monitor::model {

// How a field's bytes are read (little-endian, as they came off the wire).
enum class Scalar : uint8_t {
    U8,
    U32,
    F32,
    Stamp,  // the host's 7-byte time stamp: year (high byte first), month, day, h, m, s
};

enum class Kind : uint8_t {
    Id,           // the device id
    Measurement,  // a value the controller measures
    State,        // a state byte (0 normal unless its texts say otherwise)
    Count,        // how many entries of a list the controller filled
    Parameter,    // a setting of the controller, reported back
    Text,
    Time,         // when the unit last completed a cycle
};
const char* KindName(Kind k);  // "measurement", "state", ...

// One value of a state byte and what it means.
struct StateText {
    uint8_t value;
    const char* en;
    const char* zh;  // the controller's own wording where it has one, else nullptr
};

struct Field {
    const char* name;  // the record field's name, also its key in the "values" object
    Scalar scalar;
    uint16_t offset;  // in its record
    bool list;        // a list of values rather than one
    uint16_t extent;  // a list's room, in values (may be 0: the model has none)
    Kind kind;
    // English label. For a list, "{n}" stands for the 1-based position;
    // element_labels, where given, name each position instead.
    const char* label;
    const char* unit = "";  // "V", "A", "Hz", "°C", "W", "%", "s" or "" for none
    int8_t precision = 0;    // decimals worth showing
    const char* count = nullptr;  // field of the same record that says how many list entries are filled
    std::span<const StateText> states = {};
    std::span<const char* const> element_labels = {};
    // A numeric field without a unit says why (kept in the catalogue, shown
    // by tools that list fields).
    const char* no_unit = nullptr;
    const char* label_zh = nullptr;

    size_t ScalarSize() const;  // bytes of one value
    size_t Bytes() const { return list ? extent * ScalarSize() : ScalarSize(); }
    bool Numeric() const { return scalar != Scalar::Stamp; }

    // Builders for the model tables, one field a line.
    constexpr Field As(Kind k, const char* l, const char* u = "", int p = 0) const {
        Field f = *this;
        f.kind = k;
        if (k == Kind::Time) {  // the 7 bytes are one stamp
            f.scalar = Scalar::Stamp;
            f.list = false;
            f.extent = 0;
        }
        f.label = l;
        f.unit = u;
        f.precision = static_cast<int8_t>(p);
        return f;
    }
    constexpr Field CountedBy(const char* c) const {
        Field f = *this;
        f.count = c;
        return f;
    }
    constexpr Field States(std::span<const StateText> s) const {
        Field f = *this;
        f.states = s;
        return f;
    }
    constexpr Field Elements(std::span<const char* const> e) const {
        Field f = *this;
        f.element_labels = e;
        return f;
    }
    constexpr Field NoUnit(const char* why) const {
        Field f = *this;
        f.no_unit = why;
        return f;
    }
    constexpr Field Zh(const char* l) const {
        Field f = *this;
        f.label_zh = l;
        return f;
    }
};

// A zero-length array is no array to the type traits; its element type
// still shows through subscripting.
template <class M, bool Empty = sizeof(M) == 0>
struct ElementOf {
    using type = std::remove_all_extents_t<M>;
};
template <class M>
struct ElementOf<M, true> {
    using type = std::remove_cvref_t<decltype(std::declval<M&>()[0])>;
};

// A field read off its record's declaration: name, offset, scalar type and
// list room come from the struct, so a table cannot get them wrong.
template <class M>
constexpr Field FieldOf(const char* name, size_t offset) {
    Field f{name, Scalar::U8, static_cast<uint16_t>(offset), false, 0, Kind::Measurement, name};
    using E = typename ElementOf<M>::type;
    if constexpr (sizeof(M) == 0) {
        f.list = true;  // a list the model has no room for
    } else if constexpr (std::is_array_v<M>) {
        f.list = true;
        f.extent = static_cast<uint16_t>(sizeof(M) / sizeof(E));
    }
    if constexpr (std::is_same_v<E, float>)
        f.scalar = Scalar::F32;
    else if constexpr (std::is_same_v<E, uint32_t>)
        f.scalar = Scalar::U32;
    else
        static_assert(sizeof(E) == 1, "fields are bytes, 32-bit ids or floats");
    return f;
}
#define M520S_MODEL_FIELD(Rec, member) \
    ::monitor::model::FieldOf<decltype(Rec::member)>(#member, offsetof(Rec, member))

struct Record {
    const char* name;  // "panel record": how messages call it
    uint16_t size;
    std::span<const Field> fields;  // in record order

    const Field* Find(std::string_view name) const;
};

// How the live view lays a unit out: short labels of the values on the
// unit's line, the columns of its items' table, or a grid of items.
struct ShortLabel {
    const char* text;    // "Ia"
    const char* fields;  // one field, or several shown together ("a_state b_state")
};
struct UnitView {
    std::span<const ShortLabel> head;
    std::span<const ShortLabel> items;  // table columns, or a grid cell's value
    const char* items_title = "";       // first column of the table ("ch")
    const char* grid_state = nullptr;   // items as a grid of cells marked by this state field
};

struct UnitKind {
    const char* device_type;  // "m520s-ac"
    int snapshot_type;        // the data identifier of its snapshot (5088)
    const char* short_name;   // "AC": "AC snapshot of 92 bytes, ..."
    const char* label;        // "AC panel {device}"
    const char* label_zh;
    Record head;
    const Record* items = nullptr;  // one per channel or module, after the head record
    const char* items_key = nullptr;    // "channels": the list's key in "values"
    const char* items_count = nullptr;  // head field that gives the number of items
    const char* item_label = nullptr;   // "channel {n}"
    const char* item_label_zh = nullptr;  // the controller's own wording: "第{n}路交流输入"
    const UnitView* view = nullptr;
};

// One request of the polling cycle, for the status line.
struct Request {
    uint8_t cid1, cid2;
    const char* name;  // "AC analog values"
};

// One alarm key and what it means in English. The label of an alarm event
// is made by Model::AlarmLabel from these and the event's own fields.
struct AlarmKey {
    const char* key;
    // English, for an operator. "{n}" is the number the controller's detail
    // gives (battery 2); an alarm judged on an item record (a channel, a
    // module) is named with the unit's item_label instead.
    const char* label;
    const char* device_type = nullptr;  // the unit kind (or main device type) that raises it
    // The controller's own texts as the driver passes them: level, code,
    // name, and the detail with "{n}" where the number stands.
    int level = 0;
    const char* code = nullptr;
    const char* name = nullptr;
    const char* detail = nullptr;
    // What it judges: a field of the unit's head or item record, the position
    // in that list (-1 for a scalar, or for every position, {n} then being
    // the 1-based position), and the state that raises it (-1: every state
    // but 0, named by states).
    const char* field = nullptr;
    int16_t element = -1;
    int16_t value = -1;
    std::span<const StateText> states = {};  // a state table's rows, with the controller's texts
};

// What an alarm label is made from: the fields of the alarm event.
struct AlarmFacts {
    uint32_t device = 0;
    std::string_view device_type;  // "" where unknown
    std::string_view key, name, detail;
    int state = 0;
    std::string_view state_text;
};

class Model {
public:
    virtual ~Model() = default;
    virtual std::string_view Name() const = 0;            // "M520S"
    virtual std::string_view MainDeviceType() const = 0;  // "m520s"
    // Which factory of get_providers() creates the main device.
    virtual size_t MainProvider() const = 0;
    virtual std::span<const UnitKind> Units() const = 0;
    // A full polling cycle, in the order the main device sends it.
    virtual std::span<const Request> Cycle() const = 0;
    // The request for the device information, and the model text its
    // answer's INFO carries.
    virtual Request DeviceInfo() const = 0;
    virtual std::string ModelText(const unsigned char* info, size_t n) const = 0;
    virtual std::span<const AlarmKey> AlarmKeys() const = 0;
    // The alarm in English, e.g. "AC panel 11, channel 1: phase A voltage too
    // low"; never empty (an unknown key still gets a readable label).
    virtual std::string AlarmLabel(const AlarmFacts& alarm) const = 0;

    const UnitKind* Unit(std::string_view device_type) const;
    const UnitKind* UnitBySnapshot(int snapshot_type) const;
    // 1-based position of a request in Cycle(), 0 for none.
    int CycleIndex(uint8_t cid1, uint8_t cid2) const;
    const char* RequestName(uint8_t cid1, uint8_t cid2) const;  // "unknown request" for none
    const AlarmKey* FindAlarmKey(std::string_view key) const;     // nullptr for none
    // What a state of a field means in English: the field's own state texts,
    // else the alarm the state raises (or the state table row that names it);
    // nullptr where the catalogue does not know. element is -1 for a scalar.
    const char* StateMeaning(std::string_view device_type, std::string_view field, int element,
                             int state) const;
};

// The models this program knows; nullptr for another name.
const Model* FindModel(std::string_view name);
std::vector<std::string_view> ModelNames();

// "{n}" and "{device}" in a label pattern replaced.
std::string FillLabel(std::string_view pattern, uint32_t device, size_t n);

// Matches text against a pattern with at most one "{n}" standing for a
// decimal number; the number's digits, or "" when the pattern has no "{n}".
// Empty optional when the text does not match.
std::optional<std::string> MatchNumbered(std::string_view pattern, std::string_view text);

}  // namespace monitor::model
