#include "monitor/rollup.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

#include <fmt/format.h>

namespace monitor::rollup {

using model::Field;
using model::Scalar;

namespace {

constexpr uint16_t kSaturated = 0xffff;

Keep keep_of(const Field& f) {
    return f.kind == model::Kind::Measurement || f.kind == model::Kind::Parameter ? Keep::Stats : Keep::Max;
}

void add_record(std::vector<SlotDef>& out, const model::Record& r) {
    for (const auto& f : r.fields) {
        if (!f.Numeric()) continue;
        const size_t n = f.list ? f.extent : 1;
        for (size_t e = 0; e < n; ++e) out.push_back({&f, e, keep_of(f)});
    }
}

// FNV-1a: the same catalogue gives the same number on every build.
struct Fnv {
    uint32_t h = 2166136261u;
    void bytes(const void* p, size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 16777619u;
    }
    void text(const char* s) { bytes(s, std::strlen(s) + 1); }
    void record(const model::Record& r) {
        for (const auto& f : r.fields) {
            if (!f.Numeric()) continue;
            text(f.name);
            const uint8_t facts[] = {static_cast<uint8_t>(f.scalar), static_cast<uint8_t>(f.list),
                                     static_cast<uint8_t>(keep_of(f))};
            bytes(facts, sizeof facts);
            const uint16_t nums[] = {f.offset, f.extent};
            bytes(nums, sizeof nums);
        }
        text("|");
    }
};

template <class T>
void put(std::vector<unsigned char>& out, T v) {
    unsigned char b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    out.insert(out.end(), b, b + sizeof v);
}

void put_value(std::vector<unsigned char>& out, const Field& f, double v) {
    switch (f.scalar) {
        case Scalar::U8: put(out, static_cast<uint8_t>(v)); break;
        case Scalar::U32: put(out, static_cast<uint32_t>(v)); break;
        default: put(out, static_cast<float>(v)); break;
    }
}

}  // namespace

// Reads forward through a blob; every read is checked against its end.
struct Period::Reader {
    const unsigned char* p;
    size_t left;
    bool take(void* into, size_t n) {
        if (n > left) return false;
        std::memcpy(into, p, n);
        p += n;
        left -= n;
        return true;
    }
    bool value(const Field& f, double& v) {
        if (f.scalar == Scalar::U8) {
            uint8_t b;
            if (!take(&b, 1)) return false;
            v = b;
        } else if (f.scalar == Scalar::U32) {
            uint32_t u;
            if (!take(&u, 4)) return false;
            v = u;
        } else {
            float x;
            if (!take(&x, 4) || !std::isfinite(x)) return false;
            v = x;
        }
        return true;
    }
};

Layout::Layout(const model::UnitKind& k) : kind(&k) {
    add_record(head, k.head);
    if (k.items) add_record(item, *k.items);
    Fnv fnv;
    fnv.text(k.device_type);
    fnv.record(k.head);
    if (k.items) fnv.record(*k.items);
    fingerprint = fnv.h;
}

size_t Layout::SlotOf(const Field& f, int it, size_t element) const {
    const std::vector<SlotDef>& defs = it < 0 ? head : item;
    if (it >= static_cast<int>(kMaxItems)) return SIZE_MAX;
    for (size_t i = 0; i < defs.size(); ++i)
        if (defs[i].field == &f && defs[i].element == element)
            return it < 0 ? i : head.size() + static_cast<size_t>(it) * item.size() + i;
    return SIZE_MAX;
}

const SlotDef& Layout::Def(size_t slot) const {
    return slot < head.size() ? head[slot] : item[(slot - head.size()) % item.size()];
}

int Layout::ItemOf(size_t slot) const {
    return slot < head.size() ? -1 : static_cast<int>((slot - head.size()) / item.size());
}

const Layout* LayoutFor(const model::UnitKind* kind) {
    if (!kind) return nullptr;
    static std::mutex lock;
    static std::map<const model::UnitKind*, Layout> all;
    std::lock_guard<std::mutex> g(lock);
    auto it = all.find(kind);
    if (it == all.end()) it = all.emplace(kind, Layout(*kind)).first;
    return &it->second;
}

void Period::grow(size_t n) {
    if (n <= items && !slots.empty()) return;
    items = std::max(items, n);
    slots.resize(layout->Slots(items));
}

void Period::note(size_t i, double v) {
    Slot& s = slots[i];
    if (s.count == 0) {
        s.min = s.max = v;
    } else {
        s.min = std::min(s.min, v);
        s.max = std::max(s.max, v);
    }
    s.sum += v;
    ++s.count;
}

void Period::Add(const UnitData& d) {
    grow(std::min(d.Items(), kMaxItems));
    const Field* last = nullptr;
    size_t filled = 0;
    for (size_t i = 0; i < slots.size(); ++i) {
        const SlotDef& def = layout->Def(i);
        const int it = layout->ItemOf(i);
        if (it >= 0 && static_cast<size_t>(it) >= d.Items()) break;
        if (def.field != last || def.element == 0) filled = def.field->list ? d.Filled(*def.field, it) : 1;
        last = def.field;
        if (def.element >= filled) continue;
        if (const auto v = d.Value(*def.field, it, def.element)) note(i, *v);
    }
    ++samples;
}

void Period::Merge(const Period& o) {
    grow(o.items);
    for (size_t i = 0; i < o.slots.size(); ++i) {
        const Slot& b = o.slots[i];
        if (b.count == 0) continue;
        Slot& a = slots[i];
        if (a.count == 0) {
            a = b;
            continue;
        }
        a.min = std::min(a.min, b.min);
        a.max = std::max(a.max, b.max);
        a.sum += b.sum;
        a.count += b.count;
    }
    samples += o.samples;
}

std::optional<Figures> Period::Get(size_t i) const {
    if (i >= slots.size() || slots[i].count == 0) return std::nullopt;
    const Slot& s = slots[i];
    Figures f;
    f.max = s.max;
    f.count = s.count;
    if (layout->Def(i).keep == Keep::Stats) {
        f.min = s.min;
        f.mean = s.sum / s.count;
    }
    return f;
}

std::vector<unsigned char> Period::Encode() const {
    const uint16_t stored_samples = static_cast<uint16_t>(std::min<uint32_t>(samples, kSaturated));
    std::vector<unsigned char> codes((slots.size() + 3) / 4, 0), values;
    std::vector<OwnCount> own;
    for (size_t i = 0; i < slots.size(); ++i) {
        const Slot& s = slots[i];
        if (s.count == 0) continue;
        const SlotDef& def = layout->Def(i);
        uint8_t code;
        if (def.keep == Keep::Max) {
            code = s.max == 0 ? 1 : 2;
            if (code == 2) put_value(values, *def.field, s.max);
        } else if (s.min == 0 && s.max == 0) {
            code = 1;
        } else if (s.min == s.max) {
            code = 2;
            put_value(values, *def.field, s.min);
        } else {
            code = 3;
            put_value(values, *def.field, s.min);
            put(values, static_cast<float>(s.sum / s.count));
            put_value(values, *def.field, s.max);
        }
        codes[i / 4] = static_cast<unsigned char>(codes[i / 4] | code << (2 * (i % 4)));
        const uint16_t count = static_cast<uint16_t>(std::min<uint32_t>(s.count, kSaturated));
        if (count != stored_samples) own.push_back({static_cast<uint16_t>(i), count});
    }
    BlobHeader h{{'R', 'U'}, kBlobVersion, 0, layout->Fingerprint(), static_cast<uint16_t>(items), stored_samples,
                 static_cast<uint16_t>(own.size()), 0};
    std::vector<unsigned char> out(sizeof h);
    std::memcpy(out.data(), &h, sizeof h);
    out.insert(out.end(), codes.begin(), codes.end());
    out.insert(out.end(), values.begin(), values.end());
    for (const auto& c : own) put(out, c);
    return out;
}

namespace {

bool fail(std::string& why, std::string text) {
    why = std::move(text);
    return false;
}

unsigned code_at(const std::vector<unsigned char>& codes, size_t i) { return codes[i / 4] >> (2 * (i % 4)) & 3u; }

}  // namespace

bool Period::read_header(Reader& r, BlobHeader& h, std::string& why) const {
    if (!r.take(&h, sizeof h)) return fail(why, fmt::format("{} bytes, shorter than its header", r.left));
    if (h.magic[0] != 'R' || h.magic[1] != 'U' || h.version != kBlobVersion || h.reserved || h.reserved2)
        return fail(why, "not a roll-up of this program's");
    if (h.layout != layout->Fingerprint())
        return fail(why, fmt::format("layout {:08x}, the catalogue's is {:08x}", h.layout, layout->Fingerprint()));
    if (h.items > kMaxItems) return fail(why, fmt::format("{} items", h.items));
    return true;
}

bool Period::read_values(Reader& r, const std::vector<unsigned char>& codes, uint16_t samples_in, std::string& why) {
    for (size_t i = 0; i < slots.size(); ++i) {
        const unsigned code = code_at(codes, i);
        if (code == 0) continue;
        const SlotDef& def = layout->Def(i);
        double lo = 0, mean = 0, hi = 0;
        bool ok = true;
        if (code == 2) {
            ok = r.value(*def.field, lo);
            mean = hi = lo;
        } else if (code == 3) {
            float m = 0;
            ok = def.keep == Keep::Stats && r.value(*def.field, lo) && r.take(&m, 4) && std::isfinite(m) &&
                 r.value(*def.field, hi);
            mean = m;
            ok = ok && lo < hi && lo <= mean && mean <= hi;
        }
        if (!ok) return fail(why, fmt::format("slot {} (code {}) unreadable", i, code));
        Slot& s = slots[i];
        s.count = samples_in;
        s.min = def.keep == Keep::Max ? hi : lo;
        s.max = hi;
        s.sum = mean;  // times the count once the counts are known
    }
    return true;
}

bool Period::read_counts(Reader& r, const std::vector<unsigned char>& codes, uint16_t n, std::string& why) {
    if (r.left != size_t{n} * sizeof(OwnCount))
        return fail(why, fmt::format("{} bytes after the values, {} counts need {}", r.left, n,
                                     size_t{n} * sizeof(OwnCount)));
    for (uint16_t k = 0; k < n; ++k) {
        OwnCount c;
        r.take(&c, sizeof c);
        if (c.slot >= slots.size() || code_at(codes, c.slot) == 0 || c.count == 0)
            return fail(why, fmt::format("a count for slot {}, which has no values", c.slot));
        slots[c.slot].count = c.count;
    }
    for (size_t i = 0; i < slots.size(); ++i) {
        Slot& s = slots[i];
        if (s.count == 0 && code_at(codes, i)) return fail(why, fmt::format("slot {} has values but no count", i));
        s.sum *= s.count;
    }
    return true;
}

std::optional<Period> Period::Decode(const Layout& layout, const unsigned char* p, size_t n, std::string& why) {
    Period out(layout);
    Reader r{p, p ? n : 0};
    BlobHeader h;
    if (!out.read_header(r, h, why)) return std::nullopt;
    out.grow(h.items);
    out.samples = h.samples;
    std::vector<unsigned char> codes((out.slots.size() + 3) / 4);
    if (!r.take(codes.data(), codes.size())) return fail(why, "codes cut short"), std::nullopt;
    if (out.slots.size() % 4 && codes.back() >> (2 * (out.slots.size() % 4)))
        return fail(why, "codes past the last slot"), std::nullopt;
    if (!out.read_values(r, codes, h.samples, why) || !out.read_counts(r, codes, h.own_counts, why))
        return std::nullopt;
    return out;
}

}  // namespace monitor::rollup
