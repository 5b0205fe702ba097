#pragma once
// One unit's numeric values summed up over a minute or an hour, and the
// packed blob that holds them in the database.
//
// The slots of a unit kind come from its catalogue: every numeric field of
// the head record (each list position up to the list's room), then the same
// for each channel or module. Measurements and parameters keep the min, mean
// and max of their fresh values and how many there were; states, counts and
// ids keep their max.
//
// Blob, little-endian (BlobHeader, then three parts):
//   codes   2 bits per slot, four slots a byte, slot i in bits 2*(i%4) of
//           byte i/4: 0 no value, 1 all values 0, 2 one value (min = mean =
//           max, or a state's max), 3 min, mean and max (measurements only)
//   values  for each slot coded 2 or 3, in slot order: code 2 one value in
//           the field's own width (u8: 1 byte, u32 and f32: 4 bytes); code
//           3 min (own width), mean (f32), max (own width)
//   counts  own_counts entries of OwnCount: the slots whose count is not
//           the header's samples (a list that grew mid-minute, a value that
//           was sometimes no number)
// A blob is read back as untrusted input: every length is checked, and a
// layout fingerprint other than the catalogue's refuses the whole blob.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "monitor/models/model.h"
#include "monitor/models/unit_data.h"

namespace monitor::rollup {

constexpr int64_t kMinuteMs = 60'000;
constexpr int64_t kHourMs = 3'600'000;

#pragma pack(push, 1)
struct BlobHeader {
    char magic[2];        // "RU"
    uint8_t version;      // 1
    uint8_t reserved;     // 0
    uint32_t layout;      // Layout::Fingerprint() of the unit kind
    uint16_t items;       // channels or modules the slots cover
    uint16_t samples;     // fresh snapshots summed up (saturates)
    uint16_t own_counts;  // OwnCount entries at the end
    uint16_t reserved2;   // 0
};
struct OwnCount {
    uint16_t slot;
    uint16_t count;
};
#pragma pack(pop)
static_assert(sizeof(BlobHeader) == 16);
static_assert(offsetof(BlobHeader, layout) == 4);
static_assert(offsetof(BlobHeader, items) == 8);
static_assert(offsetof(BlobHeader, samples) == 10);
static_assert(offsetof(BlobHeader, own_counts) == 12);
static_assert(sizeof(OwnCount) == 4);

constexpr uint8_t kBlobVersion = 1;
constexpr size_t kMaxItems = 255;  // the count byte's limit

// What a slot keeps.
enum class Keep : uint8_t { Stats, Max };

struct SlotDef {
    const model::Field* field;
    size_t element;  // position in a list field, 0 for a single value
    Keep keep;
};

class Layout {
public:
    explicit Layout(const model::UnitKind& kind);

    const model::UnitKind& Kind() const { return *kind; }
    uint32_t Fingerprint() const { return fingerprint; }
    size_t Slots(size_t items) const { return head.size() + items * item.size(); }
    // A field of the head (item -1) or of an item; SIZE_MAX for none.
    size_t SlotOf(const model::Field& f, int item, size_t element) const;
    const SlotDef& Def(size_t slot) const;
    int ItemOf(size_t slot) const;  // -1 for the head record

private:
    const model::UnitKind* kind;
    std::vector<SlotDef> head, item;
    uint32_t fingerprint = 0;
};

// The layout of a unit kind, built once; nullptr for none.
const Layout* LayoutFor(const model::UnitKind* kind);

struct Figures {
    std::optional<double> min, mean;  // not kept for states and counts
    double max = 0;
    uint32_t count = 0;
};

// One unit's values over one period.
class Period {
public:
    explicit Period(const Layout& layout) : layout(&layout) {}

    // A fresh snapshot: every value it holds, lists up to their counts.
    void Add(const UnitData& data);
    void Merge(const Period& other);

    size_t Items() const { return items; }
    uint32_t Samples() const { return samples; }
    std::optional<Figures> Get(size_t slot) const;

    std::vector<unsigned char> Encode() const;
    // nullopt, with the reason in why, for bytes that are not such a blob
    // of this layout.
    static std::optional<Period> Decode(const Layout& layout, const unsigned char* p, size_t n, std::string& why);

    struct Reader;

private:
    struct Slot {
        uint32_t count = 0;
        double min = 0, max = 0, sum = 0;
    };
    bool read_header(Reader& r, BlobHeader& h, std::string& why) const;
    bool read_values(Reader& r, const std::vector<unsigned char>& codes, uint16_t samples, std::string& why);
    bool read_counts(Reader& r, const std::vector<unsigned char>& codes, uint16_t n, std::string& why);
    void grow(size_t n_items);
    void note(size_t slot, double v);
    Slot& slot(size_t i) { return slots[i]; }

    const Layout* layout;
    size_t items = 0;
    uint32_t samples = 0;
    std::vector<Slot> slots;
};

}  // namespace monitor::rollup
