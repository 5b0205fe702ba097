// A unit's roll-up: the figures of its fresh values, and the packed blob they
// are stored as, read back whole and refused when it is anything else.

#include <gtest/gtest.h>

#include <cmath>

#include "monitor/models/m520s.h"
#include "monitor/rollup.h"
#include "tests/monitor/snapshot_maker.h"

namespace monitor_test {
namespace {

using monitor::rollup::Layout;
using monitor::rollup::Period;

const monitor::model::UnitKind& Kind(const char* type) { return *monitor::model::M520S().Unit(type); }

const Layout& RcLayout() { return *monitor::rollup::LayoutFor(&Kind("m520s-rc")); }

size_t Slot(const Layout& l, int item, const char* name, size_t element = 0) {
    const monitor::model::Record& r = item < 0 ? l.Kind().head : *l.Kind().items;
    return l.SlotOf(*r.Find(name), item, element);
}

// Eight modules three times, then six (a module count that changed); one
// value NaN once, one list's count lowered.
Period FourSnapshots() {
    const auto& rc = Kind("m520s-rc");
    Period p(RcLayout());

    const double values[] = {20.0, 20.5, 22.25, 19.75};
    for (int i = 0; i < 4; ++i) {
        SnapshotMaker s(rc, 1, i < 3 ? 8 : 6);
        s.Set(i == 3 ? 5 : 7, "module_value", 0, values[i]).Set(0, "fault_state", 0, i == 1);
        s.Set(-1, "group_value", 0, i == 2 ? NAN : 53.5).Set(3, "p41_41_count", 0, i < 2 ? 7 : 2);
        std::string why;
        p.Add(*monitor::UnitData::Decode(rc, s.bytes.data(), s.bytes.size(), why));
    }
    return p;
}

TEST(Rollup, FreshValuesBecomeMinMeanMaxAndStatesTheirMax) {
    const Layout& layout = RcLayout();
    const Period p = FourSnapshots();
    const auto last = p.Get(Slot(layout, 7, "module_value"));
    ASSERT_TRUE(last);
    EXPECT_EQ(last->count, 3u);
    EXPECT_EQ(*last->min, 20.0);
    EXPECT_EQ(last->max, 22.25);
    EXPECT_DOUBLE_EQ(*last->mean, (20.0 + 20.5 + 22.25) / 3);
    const auto fault = p.Get(Slot(layout, 0, "fault_state"));
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->max, 1);
    EXPECT_FALSE(fault->min || fault->mean);  // a state keeps its max only
    EXPECT_EQ(p.Get(Slot(layout, -1, "group_value"))->count, 3u);  // NaN is no value
    EXPECT_EQ(p.Get(Slot(layout, 3, "p41_41_value", 5))->count, 2u);  // past the count twice
    EXPECT_EQ(p.Get(Slot(layout, 6, "module_value"))->count, 3u);     // not in the six-module snapshot
    EXPECT_EQ(p.Get(Slot(layout, 6, "module_value"))->max, 0.0);
    EXPECT_EQ(p.Get(Slot(layout, 5, "module_value"))->max, 19.75);
}

TEST(Rollup, TheBlobKeepsEveryFigureAndRefusesWhatIsNotOne) {
    const Layout& layout = RcLayout();
    const Period p = FourSnapshots();
    // Every slot reads back from the blob as it went in.
    const std::vector<unsigned char> blob = p.Encode();
    std::string why;
    const auto back = Period::Decode(layout, blob.data(), blob.size(), why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->Items(), 8u);
    EXPECT_EQ(back->Samples(), 4u);
    for (size_t i = 0; i < layout.Slots(8); ++i) {
        const auto a = p.Get(i), b = back->Get(i);
        ASSERT_EQ(a.has_value(), b.has_value()) << i;
        if (!a) continue;
        EXPECT_EQ(a->count, b->count) << i;
        EXPECT_EQ(a->max, b->max) << i;
        EXPECT_EQ(a->min, b->min) << i;
        if (a->mean) {
            EXPECT_NEAR(*a->mean, b->mean.value_or(NAN), 1e-5 * std::fabs(*a->mean)) << i;
        }
    }
    Period twice = *back;
    twice.Merge(p);
    EXPECT_EQ(twice.Get(Slot(layout, 7, "module_value"))->count, 6u);
    EXPECT_EQ(twice.Samples(), 8u);

    // Cut anywhere, grown, of another kind or with a code a state cannot
    // have: refused, never read past its end (the sanitizers watch).
    for (size_t n = 0; n < blob.size(); ++n) {
        std::vector<unsigned char> cut(blob.begin(), blob.begin() + static_cast<long>(n));
        EXPECT_FALSE(Period::Decode(layout, cut.data(), cut.size(), why)) << n;
    }
    std::vector<unsigned char> grown = blob;
    grown.push_back(0);
    EXPECT_FALSE(Period::Decode(layout, grown.data(), grown.size(), why));
    EXPECT_NE(why.find("after the values"), std::string::npos) << why;
    EXPECT_FALSE(Period::Decode(*monitor::rollup::LayoutFor(&Kind("m520s-ac")), blob.data(), blob.size(), why));
    EXPECT_NE(why.find("layout"), std::string::npos) << why;
    std::vector<unsigned char> bad = blob;
    const size_t s = Slot(layout, 0, "fault_state");
    bad[sizeof(monitor::rollup::BlobHeader) + s / 4] |= static_cast<unsigned char>(3u << (2 * (s % 4)));
    EXPECT_FALSE(Period::Decode(layout, bad.data(), bad.size(), why));
    bad = blob;
    bad[9] = 0xff;  // 65 280 items
    EXPECT_FALSE(Period::Decode(layout, bad.data(), bad.size(), why));
}

}  // namespace
}  // namespace monitor_test
