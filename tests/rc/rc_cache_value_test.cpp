// Value queries (always refused, with the freshness text) and cache restore.

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/rc/rc_support.h"

using namespace rc_test;
namespace pt = boost::posix_time;

namespace {

std::string refusal(const TestRC& u, const std::string& key = "v") {
    try {
        u.Get_Value(0, key);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "no out_of_range";
}

Bytes header(uint32_t id, uint8_t modules, unsigned char fill) {
    Bytes h(45, fill);
    std::memcpy(h.data(), &id, 4);
    h[37] = modules;
    return h;
}

Bytes module_bytes(unsigned char seed) {
    Bytes m(53);
    for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<unsigned char>(seed + i);
    return m;
}

bool load(TestRC& u, const Bytes& b, std::string* out = nullptr) {
    CoutCapture cap;
    const bool ok = exact([&](const unsigned char* d, int n) { return u.LoadFromCache(d, n) ? 1 : 0; }, b);
    if (out) *out = cap.text();
    return ok;
}

}  // namespace

TEST(RcValue, EveryKeyIsRefusedWithTheFreshnessText) {
    Fixture f;
    EXPECT_EQ(refusal(*f.rc), "数据未就绪");
    f.rc->RoundDone();
    EXPECT_EQ(refusal(*f.rc), "数据未就绪");
    EXPECT_EQ(refusal(*f.rc, "group_value"), "数据未就绪");

    const auto now = pt::second_clock::local_time();
    f.rc->last_update = now - pt::seconds(60);
    EXPECT_EQ(refusal(*f.rc), "数据未就绪");
    f.rc->last_update = now - pt::seconds(61);
    EXPECT_EQ(refusal(*f.rc), "数据已超时");
    f.rc->last_update = now + pt::seconds(3600);
    EXPECT_EQ(refusal(*f.rc), "数据未就绪");

    // A new cycle makes the data current again.
    f.rc->last_update = now - pt::seconds(120);
    f.rc->RoundDone();
    EXPECT_EQ(refusal(*f.rc), "数据未就绪");
}

TEST(RcCache, TooShortOrNegativeIsRefusedWithNothingChanged) {
    Fixture f;
    Bytes h = header(5, 1, 0x11);
    h.pop_back();
    std::string out;
    EXPECT_FALSE(load(*f.rc, h, &out));
    EXPECT_EQ(out, "rc data_len:44 vs 45\n");
    EXPECT_EQ(f.rc->tele.module_count, 0);
    EXPECT_TRUE(f.rc->channels.empty());
    EXPECT_EQ(bytes_of(&f.rc->tele, 4), (Bytes{77, 0, 0, 0}));
    EXPECT_EQ(f.rc->data_valid, 0);

    CoutCapture cap;
    EXPECT_FALSE(f.rc->LoadFromCache(h.data(), -1));
    EXPECT_EQ(cap.text(), "rc data_len:-1 vs 45\n");
}

TEST(RcCache, GroupOnlySnapshotRestoresAndMakesTheUnitCurrent) {
    Fixture f;
    const auto before = pt::second_clock::local_time();
    std::string out;
    EXPECT_TRUE(load(*f.rc, header(77, 0, 0x22), &out));
    EXPECT_EQ(out, "rc data_len:45 vs 45\nrc channelLen 53 and 0 left:0\n");
    EXPECT_EQ(bytes_of(&f.rc->tele, 45), header(77, 0, 0x22));
    EXPECT_TRUE(f.rc->channels.empty());
    EXPECT_EQ(f.rc->data_valid, 1);
    EXPECT_GE(f.rc->last_update, before);
}

TEST(RcCache, ModulesRestoreWhenTheirBytesMatchTheCount) {
    Fixture f;
    Bytes snap = header(77, 3, 0);
    for (unsigned char seed : {10, 80, 150}) put(snap, module_bytes(seed));
    std::string out;
    EXPECT_TRUE(load(*f.rc, snap, &out));
    EXPECT_EQ(out, "rc data_len:204 vs 45\nrc channelLen 53 and 3 left:159\n");
    EXPECT_EQ(f.rc->tele.module_count, 3);
    ASSERT_EQ(f.rc->channels.size(), 3u);
    EXPECT_EQ(bytes_of(f.rc->channels.data(), 159), Bytes(snap.begin() + 45, snap.end()));

    // The restored count is fixed: an answer with another count is refused.
    EXPECT_EQ(p41_41(*f.rc, info41_41(0, {{1, seven_values(1)}})), -1);

    // What the unit publishes next restores into a fresh unit unchanged.
    f.rc->RoundDone();
    Fixture g;
    EXPECT_TRUE(load(*g.rc, f.ctl->snapshots.at(0).bytes));
    EXPECT_EQ(bytes_of(&g.rc->tele, 45), bytes_of(&f.rc->tele, 45));
    EXPECT_EQ(bytes_of(g.rc->channels.data(), 159), bytes_of(f.rc->channels.data(), 159));
}

TEST(RcCache, MismatchingModuleBytesKeepTheHeaderButStayNotCurrent) {
    Fixture f;
    Bytes snap = header(77, 3, 0x33);
    put(snap, module_bytes(10));
    put(snap, module_bytes(80));
    std::string out;
    EXPECT_FALSE(load(*f.rc, snap, &out));
    EXPECT_EQ(out, "rc data_len:151 vs 45\nrc channelLen 53 and 3 left:106\n");
    EXPECT_EQ(f.rc->tele.module_count, 3);
    ASSERT_EQ(f.rc->channels.size(), 3u);
    EXPECT_EQ(bytes_of(f.rc->channels.data(), 3 * 53), Bytes(3 * 53, 0));
    EXPECT_EQ(f.rc->data_valid, 0);
    EXPECT_TRUE(f.rc->last_update.is_not_a_date_time());

    // The next cycle publishes the header with three (zeroed) modules.
    f.rc->RoundDone();
    EXPECT_EQ(f.ctl->snapshots.at(0).bytes.size(), 45u + 3 * 53);
}

TEST(RcCache, ShrinkingCountDropsSurplusModulesAndResizesTheSnapshot) {
    Fixture f;
    std::vector<Module41> mods;
    for (int i = 0; i < 4; ++i) mods.push_back({float(i), seven_values(0)});
    ASSERT_EQ(p41_41(*f.rc, info41_41(0, mods)), 6 + 4 * 33);
    f.rc->RoundDone();
    EXPECT_EQ(f.rc->snapshot_len, 45u + 4 * 53);

    Bytes snap = header(77, 1, 0);
    put(snap, module_bytes(1));
    EXPECT_TRUE(load(*f.rc, snap));
    EXPECT_EQ(f.rc->channels.size(), 1u);
    f.rc->RoundDone();
    EXPECT_EQ(f.rc->snapshot_len, 45u + 53);
    EXPECT_EQ(f.ctl->snapshots.back().bytes.size(), 45u + 53);
    f.ctl->RunQueuedWork();
    ASSERT_EQ(f.ctl->histories.size(), 2u);
    EXPECT_EQ(f.ctl->histories[1].bytes, f.ctl->snapshots.back().bytes);
}
