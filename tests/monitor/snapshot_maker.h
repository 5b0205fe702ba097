#pragma once
// Unit snapshots made from the catalogue's record layouts, with the values a
// test chooses: the bytes a driver would hand to SaveHistory.

#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "monitor/models/model.h"

namespace monitor_test {

class SnapshotMaker {
public:
    // Every list as full as its room; `items` channels or modules.
    SnapshotMaker(const monitor::model::UnitKind& k, uint32_t device, size_t items) : kind(k) {
        bytes.assign(k.head.size + (k.items ? items * k.items->size : 0), 0);
        fill(k.head, 0, device);
        if (k.items) {
            bytes[k.head.Find(k.items_count)->offset] = static_cast<unsigned char>(items);
            for (size_t i = 0; i < items; ++i) fill(*k.items, k.head.size + i * k.items->size, device);
        }
    }

    // A value of the head record (item -1) or of an item.
    SnapshotMaker& Set(int item, const char* name, size_t element, double v) {
        const monitor::model::Record& r = item < 0 ? kind.head : *kind.items;
        const monitor::model::Field* f = r.Find(name);
        if (!f) throw std::runtime_error(std::string("no field ") + name);
        unsigned char* p = at(item) + f->offset + element * f->ScalarSize();
        if (f->scalar == monitor::model::Scalar::F32) {
            const float x = static_cast<float>(v);
            std::memcpy(p, &x, 4);
        } else if (f->scalar == monitor::model::Scalar::U32) {
            const uint32_t x = static_cast<uint32_t>(v);
            std::memcpy(p, &x, 4);
        } else {
            *p = static_cast<unsigned char>(v);
        }
        return *this;
    }

    // The record's time stamp, in local time as the driver writes it.
    SnapshotMaker& Stamp(int64_t ms) {
        for (const auto& f : kind.head.fields)
            if (f.kind == monitor::model::Kind::Time) {
                const std::time_t t = static_cast<std::time_t>(ms / 1000);
                std::tm tm{};
                localtime_r(&t, &tm);
                const int y = tm.tm_year + 1900;
                unsigned char* p = bytes.data() + f.offset;
                const int v[7] = {y >> 8, y & 0xff, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
                for (int i = 0; i < 7; ++i) p[i] = static_cast<unsigned char>(v[i]);
            }
        return *this;
    }

    std::vector<unsigned char> bytes;

private:
    unsigned char* at(int item) {
        return bytes.data() + (item < 0 ? 0 : kind.head.size + static_cast<size_t>(item) * kind.items->size);
    }
    void fill(const monitor::model::Record& r, size_t at, uint32_t device) {
        for (const auto& f : r.fields) {
            if (f.kind == monitor::model::Kind::Id && f.scalar == monitor::model::Scalar::U32)
                std::memcpy(bytes.data() + at + f.offset, &device, 4);
            if (f.kind != monitor::model::Kind::Count) continue;
            for (const auto& g : r.fields)
                if (g.count && std::strcmp(g.count, f.name) == 0)
                    bytes[at + f.offset] = static_cast<unsigned char>(g.extent);
        }
    }
    const monitor::model::UnitKind& kind;
};

}  // namespace monitor_test
