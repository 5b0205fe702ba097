// Values by key, their freshness, and restoring the unit from a stored snapshot.

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/ac/ac_support.h"

namespace ac_test {
namespace {

using boost::posix_time::seconds;
using boost::posix_time::second_clock;

std::string error_of(const TestAC& u, const std::string& key) {
    try {
        u.Get_Value(0, key);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "(no exception)";
}

// Two channels: a = 220 + 10k, f = 50 + k; ia 10, ib 11, ic 12; ia_alert 2.
std::shared_ptr<TestAC> two_channel_unit(Rig& rig) {
    auto u = rig.unit();
    Analog c0, c1;
    c1.a = f32(230.0f);
    c1.b = f32(231.0f);
    c1.f = f32(51.0f);
    CoutCapture out;
    EXPECT_EQ(parse41(*u, portion41({c0, c1})), 47);
    EXPECT_EQ(parse44(*u, portion44(2, {Alarm{}, Alarm{}}, {2, 0, 3})), 32);
    u->RoundDone();
    return u;
}

TEST(AcValues, FreshnessComesBeforeTheKey) {
    Rig rig;
    auto u = rig.unit();
    EXPECT_EQ(error_of(*u, "ia"), "数据未就绪");
    EXPECT_EQ(error_of(*u, "IA"), "数据未就绪");
    EXPECT_EQ(error_of(*u, "channel_0_a"), "数据未就绪");

    CoutCapture out;
    ASSERT_EQ(parse41(*u, portion41({Analog{}})), 30);
    u->RoundDone();
    EXPECT_FLOAT_EQ(u->Get_Value(0, "ia"), 10.0f);

    const auto now = second_clock::local_time();
    u->last_update = now - seconds(60);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "ia"), 10.0f);
    u->last_update = now - seconds(61);
    EXPECT_EQ(error_of(*u, "ia"), "数据已超时");
    EXPECT_EQ(error_of(*u, "IA"), "数据已超时");
    // A clock set back makes the age negative: still fresh.
    u->last_update = now + seconds(3600);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "ic"), 12.0f);
}

TEST(AcValues, PanelKeysAndChannelKeys) {
    Rig rig;
    auto u = two_channel_unit(rig);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "ia"), 10.0f);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "ib"), 11.0f);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "ic"), 12.0f);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "ia_alert"), 2.0f);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "ib_alert"), 0.0f);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "ic_alert"), 3.0f);

    EXPECT_FLOAT_EQ(u->Get_Value(0, "channel_0_a"), 220.0f);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "channel_0_c"), 219.5f);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "channel_1_b"), 231.0f);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "channel_1_f"), 51.0f);
    // Only the first character after the digits' underscore counts, and the
    // pattern may stand anywhere in the key.
    EXPECT_FLOAT_EQ(u->Get_Value(0, "channel_0_abc"), 220.0f);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "my_channel_1_b"), 231.0f);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "channel_01_a"), 230.0f);

    EXPECT_EQ(error_of(*u, "channel_2_a"), "通道参数越界");
    EXPECT_EQ(error_of(*u, "channel_1_x"), "数据未提供");
    EXPECT_EQ(error_of(*u, "channel_1_"), "数据未提供");
    EXPECT_EQ(error_of(*u, "IA"), "数据未提供");
    EXPECT_EQ(error_of(*u, "channel-0-a"), "数据未提供");
    EXPECT_EQ(error_of(*u, "ia "), "数据未提供");
}

TEST(AcValues, ChannelIndicesBeyondIntNameNoChannel) {
    Rig rig;
    auto u = two_channel_unit(rig);
    EXPECT_EQ(error_of(*u, "channel_99999999999_a"), "通道参数越界");
    // Would wrap to 0 or 1 if cut to 32 bits.
    EXPECT_EQ(error_of(*u, "channel_4294967296_a"), "通道参数越界");
    EXPECT_EQ(error_of(*u, "channel_4294967297_a"), "通道参数越界");
    EXPECT_EQ(error_of(*u, "channel_2147483648_a"), "通道参数越界");
    // Many digits, small value: still channel 1.
    EXPECT_FLOAT_EQ(u->Get_Value(0, "channel_000000000000000000001_a"), 230.0f);
}

Bytes snapshot_of(uint8_t channel_count, int channel_bytes) {
    Bytes b(32 + channel_bytes, 0);
    const uint32_t id = 4242;
    std::memcpy(b.data(), &id, 4);
    const Bytes ia = f32(7.5f);
    std::copy(ia.begin(), ia.end(), b.begin() + 4);
    b[16] = channel_count;
    b[22] = 1;  // ia_alert
    for (int k = 0; 30 * (k + 1) <= channel_bytes; ++k) {
        const Bytes a = f32(200.0f + static_cast<float>(k));
        std::copy(a.begin(), a.end(), b.begin() + 32 + 30 * k);
        b[32 + 30 * k + 21] = 8;  // p40_44_count
    }
    return b;
}

TEST(AcCache, RestoresAWellFormedSnapshot) {
    Rig rig;
    auto u = rig.unit();
    Exact e(snapshot_of(2, 60));
    EXPECT_TRUE(u->LoadFromCache(e.ptr.get(), e.len));
    EXPECT_EQ(u->data_valid, 1);
    EXPECT_EQ(u->DataId(), 7u);
    uint32_t cached_id;
    std::memcpy(&cached_id, &u->tele.data_id, 4);
    EXPECT_EQ(cached_id, 4242u);
    ASSERT_EQ(u->channels.size(), 2u);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "ia"), 7.5f);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "ia_alert"), 1.0f);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "channel_1_a"), 201.0f);
    EXPECT_EQ(u->channels[1].p40_44_count, 8);

    // The restore fixes the channel count like a first analog answer.
    CoutCapture out;
    EXPECT_EQ(parse41(*u, portion41({Analog{}, Analog{}, Analog{}})), -1);
    EXPECT_EQ(parse41(*u, portion41({Analog{}, Analog{}})), 47);
}

TEST(AcCache, RefusesShortAndInconsistentSnapshots) {
    Rig rig;
    auto u = rig.unit();
    {
        Exact e(snapshot_of(2, 0));
        EXPECT_FALSE(u->LoadFromCache(e.ptr.get(), e.len));
        EXPECT_EQ(u->tele.channel_count, 0);
        EXPECT_TRUE(u->channels.empty());
    }
    {
        // One byte short of two channels: the panel record and the channel list
        // are taken, the data stays invalid.
        Exact e(snapshot_of(2, 59));
        EXPECT_FALSE(u->LoadFromCache(e.ptr.get(), e.len));
        EXPECT_EQ(u->tele.channel_count, 2);
        EXPECT_EQ(u->channels.size(), 2u);
        EXPECT_FLOAT_EQ(get(&u->tele.ia), 7.5f);
        EXPECT_FLOAT_EQ(get(&u->channels[0].a), 0.0f);
        EXPECT_EQ(u->data_valid, 0);
        EXPECT_EQ(error_of(*u, "ia"), "数据未就绪");
    }
    // The string form goes the same way.
    const Bytes s = snapshot_of(1, 30);
    EXPECT_TRUE(u->LoadFromCache(std::string(s.begin(), s.end())));
    EXPECT_EQ(u->channels.size(), 1u);
    EXPECT_FLOAT_EQ(u->Get_Value(0, "channel_0_a"), 200.0f);
}

}  // namespace
}  // namespace ac_test
