#include "monitor/models/unit_data.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include <fmt/format.h>

#include "monitor/json_out.h"

namespace monitor {

using model::Field;
using model::Record;
using model::Scalar;
using model::UnitKind;

namespace {

// A record's keys in the order they are written: byte order of the names,
// the items' list among them.
struct Layout {
    std::vector<const Field*> head;  // nullptr marks the items' list
    std::vector<const Field*> item;
};

std::vector<const Field*> sorted(const Record& r, const char* extra) {
    std::vector<const Field*> out;
    for (const auto& f : r.fields) out.push_back(&f);
    if (extra) out.push_back(nullptr);
    std::sort(out.begin(), out.end(), [extra](const Field* a, const Field* b) {
        return std::strcmp(a ? a->name : extra, b ? b->name : extra) < 0;
    });
    return out;
}

const Layout& layout_of(const UnitKind& k) {
    // Built once for every model, before any thread can ask.
    static const std::map<const UnitKind*, Layout> all = [] {
        std::map<const UnitKind*, Layout> m;
        for (const auto& name : model::ModelNames())
            for (const auto& u : model::FindModel(name)->Units())
                m[&u] = {sorted(u.head, u.items_key), u.items ? sorted(*u.items, nullptr) : std::vector<const Field*>{}};
        return m;
    }();
    return all.at(&k);
}

template <class T>
T read(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void write_scalar(JsonOut& out, const Field& f, const unsigned char* p) {
    switch (f.scalar) {
        case Scalar::U8: out.Int(*p); break;
        case Scalar::U32: out.UInt(read<uint32_t>(p)); break;
        case Scalar::F32: out.Float(read<float>(p)); break;
        case Scalar::Stamp: {
            const auto t = StampTime(p);
            if (t.is_special())
                out.Null();
            else
                out.Str(boost::posix_time::to_iso_extended_string(t).substr(0, 19));
            break;
        }
    }
}

template <class Items>
void write_record(JsonOut& out, const std::vector<const Field*>& keys, const unsigned char* rec, const Items& items) {
    out.Begin();
    for (const Field* f : keys) {
        if (!f) {
            items();
            continue;
        }
        out.Key(f->name);
        if (!f->list) {
            write_scalar(out, *f, rec + f->offset);
            continue;
        }
        out.List();
        for (size_t i = 0; i < f->extent; ++i) write_scalar(out, *f, rec + f->offset + i * f->ScalarSize());
        out.EndList();
    }
    out.End();
}

const Field* stamp_field(const Record& r) {
    for (const auto& f : r.fields)
        if (f.scalar == Scalar::Stamp) return &f;
    return nullptr;
}

}  // namespace

bool IsFresh(const boost::posix_time::ptime& stamp, const boost::posix_time::ptime& now) {
    if (stamp.is_special() || now.is_special()) return false;
    return (now - stamp).total_seconds() < kFreshSeconds;
}

boost::posix_time::ptime StampTime(const unsigned char* p) {
    const int year = p[0] << 8 | p[1];
    if (year == 0) return {};
    try {
        return boost::posix_time::ptime(boost::gregorian::date(static_cast<unsigned short>(year), p[2], p[3]),
                                        boost::posix_time::time_duration(p[4], p[5], p[6]));
    } catch (const std::exception&) {
        return {};
    }
}

std::shared_ptr<const UnitData> UnitData::Decode(const UnitKind& k, const unsigned char* data, size_t len,
                                                 std::string& error) {
    if (data == nullptr && len > 0) {
        error = "no bytes";
        return nullptr;
    }
    const model::Record& head = k.head;
    size_t n = 0;
    if (k.items) {
        if (len < head.size) {
            error = fmt::format("{} snapshot of {} bytes, shorter than its {} ({})", k.short_name, len, head.name,
                                head.size);
            return nullptr;
        }
        n = data[head.Find(k.items_count)->offset];
        const size_t need = head.size + n * k.items->size;
        if (len != need) {
            error = fmt::format("{} snapshot of {} bytes, {} {} need {}", k.short_name, len, n, k.items_key, need);
            return nullptr;
        }
    } else if (len != head.size) {
        error = fmt::format("{} snapshot of {} bytes, its {} has {}", k.short_name, len, head.name, head.size);
        return nullptr;
    }
    std::shared_ptr<UnitData> u(new UnitData);
    u->kind = &k;
    u->bytes.assign(data, data + len);
    u->items = n;
    if (const Field* s = stamp_field(head)) u->stamp = StampTime(u->bytes.data() + s->offset);
    return u;
}

const unsigned char* UnitData::Record(int item) const {
    if (item < 0) return bytes.data();
    if (static_cast<size_t>(item) >= items) return nullptr;
    return bytes.data() + kind->head.size + static_cast<size_t>(item) * kind->items->size;
}

std::optional<double> UnitData::Value(const Field& f, int item, size_t element) const {
    const unsigned char* rec = Record(item);
    if (!rec || !f.Numeric() || element >= (f.list ? f.extent : 1u)) return std::nullopt;
    const unsigned char* p = rec + f.offset + element * f.ScalarSize();
    switch (f.scalar) {
        case Scalar::U8: return *p;
        case Scalar::U32: return read<uint32_t>(p);
        case Scalar::F32: {
            const float v = read<float>(p);
            if (!std::isfinite(v)) return std::nullopt;
            return v;
        }
        case Scalar::Stamp: break;
    }
    return std::nullopt;
}

size_t UnitData::Filled(const Field& f, int item) const {
    const size_t room = f.list ? f.extent : 1;
    const unsigned char* rec = Record(item);
    if (!f.count || !rec) return room;
    const model::Record& r = item < 0 ? kind->head : *kind->items;
    const Field* c = r.Find(f.count);
    return c ? std::min<size_t>(room, rec[c->offset]) : room;
}

void UnitData::WriteValues(JsonOut& out) const {
    const Layout& l = layout_of(*kind);
    write_record(out, l.head, Record(-1), [&] {
        out.Key(kind->items_key).List();
        for (size_t i = 0; i < items; ++i) write_record(out, l.item, Record(static_cast<int>(i)), [] {});
        out.EndList();
    });
}

}  // namespace monitor
