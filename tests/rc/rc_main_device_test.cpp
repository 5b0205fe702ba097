// The rectifier unit behind the main device: answers built by the codec go
// through process(), the dispatch hands the unit its INFO and judges what the
// unit's parsers return. AC and DC panels are fakes.

#include <gtest/gtest.h>

#include <functional>

#include "tests/rc/rc_support.h"
#include "tests/support/fake_units.h"
#include "tests/support/main_device_harness.h"

using namespace rc_test;
using namespace testing_support;

namespace {

using RcMain = MainDeviceHarness<FakeAC, FakeDC, M520SRC>;
using Answer = std::function<Bytes(const Request&)>;

constexpr uint32_t kMainId = 100;

Bytes rc41_41() {
    return info41_41(48.5f, {{1.25f, seven_values(10)}, {2.5f, seven_values(20)}}, std::nullopt, 0x11);
}
Bytes rc41_43() { return info41_43({{{1, 0, 1}, {1, 2, 3, 4, 5, 6}}, {{0, 1, 0}, {7, 8, 9, 10, 11, 12}}}); }
Bytes rc41_44() { return info41_44({{1, {0, 1, 0, 0, 0, 0, 0, 0}}, {0, {0, 0, 0, 0xE2, 0, 0, 0, 1}}}); }
Bytes rc40_46() { return info40_46({220, 221, 222, 1.5f, 50}, 0); }
Bytes rc42_46() { return info42_46(53.5f, 10.0f, 0); }

// A plausible answer to every request of a cycle with one AC and one DC panel.
Bytes standard(const Request& r) {
    if (r.cid1 == 0x40 && r.cid2 == 0x51) {
        Bytes m{'M', '5', '2', '0', 'S'};
        m.resize(20, ' ');
        return m;
    }
    if (r.cid1 == 0x40 && r.cid2 == 0x41) return {0, 1, 1, 2, 3};
    if (r.cid1 == 0x40 && r.cid2 == 0x43) return {0, 0, 4};
    if (r.cid1 == 0x40 && r.cid2 == 0x44) return {0, 0, 6};
    if (r.cid1 == 0x41 && r.cid2 == 0x41) return rc41_41();
    if (r.cid1 == 0x41 && r.cid2 == 0x43) return rc41_43();
    if (r.cid1 == 0x41 && r.cid2 == 0x44) return rc41_44();
    if (r.cid1 == 0x42 && r.cid2 == 0x41) return {0, 1, 10, 11};
    if (r.cid1 == 0x42 && r.cid2 == 0x44) return {0, 1, 12};
    if (r.cid1 == 0x40 && r.cid2 == 0x46) return rc40_46();
    return rc42_46();
}

struct Rig {
    std::unique_ptr<RcMain> m = std::make_unique<RcMain>();
    std::shared_ptr<RecordingController> ctl;

    Rig() {
        ctl = m->attach(kMainId);
        Json::Value s(Json::objectValue);
        s["acSetting"][0]["data_id"] = 10;
        s["dcSetting"][0]["data_id"] = 20;
        s["rcSetting"] = Json::Value(Json::objectValue);
        EXPECT_TRUE(m->InitSetting(s));
    }

    // Sends the request of the current step and answers until the line goes
    // quiet: after the cycle completes, or after an answer the dispatch drops.
    std::vector<std::string> run(const Answer& answer) {
        m->wire.clear();
        m->age_last_update(10);
        EXPECT_TRUE(m->RefreshStatus());
        for (int guard = 0; guard < 20 && m->IsProcessing(); ++guard) {
            const Request r = m->requests().back();
            m->answer(r.cid1, answer(r));
        }
        return m->request_names();
    }

    const Snapshot* rc_snapshot() const {
        const Snapshot* s = nullptr;
        for (const auto& x : ctl->snapshots)
            if (x.device == m->rc_unit.get()) s = &x;
        return s;
    }
};

Bytes slice(const Bytes& b, size_t at, size_t n) { return Bytes(b.begin() + at, b.begin() + at + n); }

Bytes floats(std::initializer_list<float> v) {
    Bytes out;
    for (float x : v) put(out, f32(x));
    return out;
}

}  // namespace

TEST(RcMainDevice, ACycleFillsTheRecordsFromEveryRectifierAndParameterAnswer) {
    Rig r;
    const auto sent = r.run(standard);
    EXPECT_EQ(sent, (std::vector<std::string>{"40/51", "40/41 FF", "40/43 FF", "40/44 FF", "41/41", "41/43",
                                              "41/44", "42/41", "42/44", "40/46", "42/46"}));
    EXPECT_EQ(r.m->step, 0);
    EXPECT_TRUE(r.ctl->logs.empty()) << r.ctl->logs.front();
    EXPECT_EQ(r.m->rc_flag, 0x11);

    const Snapshot* s = r.rc_snapshot();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->type, 5089);
    const Bytes& b = s->bytes;
    ASSERT_EQ(b.size(), 45u + 2 * 53);
    EXPECT_EQ(slice(b, 0, 4), (Bytes{kMainId, 0, 0, 0}));
    EXPECT_EQ(slice(b, 4, 20), floats({220, 221, 222, 1.5f, 50}));
    EXPECT_EQ(slice(b, 24, 8), floats({53.5f, 10.0f}));
    EXPECT_EQ(b[32], 0);
    EXPECT_EQ(slice(b, 33, 4), f32(48.5f));
    EXPECT_EQ(b[37], 2);

    const size_t m2 = 45 + 53;
    EXPECT_EQ(slice(b, 45, 4), f32(1.25f));
    EXPECT_EQ(b[45 + 4], 7);
    EXPECT_EQ(slice(b, 45 + 5, 4), f32(10));
    EXPECT_EQ(slice(b, m2 + 5 + 24, 4), f32(26));
    EXPECT_EQ(slice(b, m2 + 33, 3), (Bytes{0, 1, 0}));
    EXPECT_EQ(b[m2 + 36], 6);
    EXPECT_EQ(slice(b, m2 + 37, 6), (Bytes{7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(b[45 + 43], 1);  // module 1 fault
    EXPECT_EQ(b[m2 + 44], 8);
    EXPECT_EQ(slice(b, m2 + 45, 8), (Bytes{0, 0, 0, 0xE2, 0, 0, 0, 1}));

    // The unit's alarm batch: two module fault checks, then 8 rows per module.
    EXPECT_GE(r.ctl->RunQueuedWork(), 1u);
    const Batch* batch = nullptr;
    for (const auto& x : r.ctl->batches)
        if (x.device == r.m->rc_unit.get()) batch = &x;
    ASSERT_NE(batch, nullptr);
    ASSERT_EQ(batch->rules.size(), 2u + 16);
    EXPECT_EQ(batch->rules[0].state, 1);
    EXPECT_EQ(batch->rules[1].state, 0);
    EXPECT_EQ(batch->rules[2 + 1].state, 1);      // module 1 fan
    EXPECT_EQ(batch->rules[2 + 8 + 3].state, 1);  // module 2 communication (0xE2)
    EXPECT_EQ(batch->rules[2 + 8 + 7].state, 1);  // module 2 over-voltage
    EXPECT_EQ(batch->rules.back().seq, 18u);
    bool saved = false;
    for (const auto& h : r.ctl->histories)
        if (h.device == r.m->rc_unit.get()) saved = h.bytes == b;
    EXPECT_TRUE(saved);

    try {
        r.m->rc_unit->Get_Value(kMainId, "group_value");
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "数据未就绪");
    }
}

TEST(RcMainDevice, RefusedRectifierAnswersAreDroppedAndTheStepRepeats) {
    Rig r;
    r.run(standard);
    ASSERT_EQ(r.m->step, 0);
    r.ctl->logs.clear();

    // Second cycle: the rectifier count changes; the unit refuses silently and
    // the dispatch drops the answer.
    const auto grown = [](const Request& q) {
        if (q.cid1 == 0x41 && q.cid2 == 0x41)
            return info41_41(1, {{1, seven_values(1)}, {2, seven_values(2)}, {3, seven_values(3)}}, std::nullopt,
                             0x10);
        return standard(q);
    };
    r.run(grown);
    EXPECT_EQ(r.m->step, 4);
    EXPECT_EQ(r.ctl->logs, std::vector<std::string>{"PMBusPower:ProcotolError 100 parse p41_41 overflow memory boundary"});

    // The switch-state answer ends one byte early.
    r.ctl->logs.clear();
    const auto short43 = [](const Request& q) {
        if (q.cid1 == 0x41 && q.cid2 == 0x43) {
            Bytes b = rc41_43();
            b.pop_back();
            return b;
        }
        return standard(q);
    };
    r.run(short43);
    EXPECT_EQ(r.m->step, 5);
    EXPECT_EQ(r.ctl->logs, (std::vector<std::string>{
                               "PMBusPowerAC:ProcotolError 100 read 41_43 read overflow 22 - 21",
                               "PMBusPower:ProcotolError 100 parse p41_43 overflow memory boundary"}));

    // Alarm states for more modules than the group has: logged, 0 bytes used.
    r.ctl->logs.clear();
    const auto many44 = [](const Request& q) {
        if (q.cid1 == 0x41 && q.cid2 == 0x44) return info41_44({{0, Bytes(8, 0)}, {0, Bytes(8, 0)}, {0, Bytes(8, 0)}});
        return standard(q);
    };
    r.run(many44);
    EXPECT_EQ(r.m->step, 6);
    EXPECT_EQ(r.ctl->logs, (std::vector<std::string>{
                               "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 100 parse p41_44 "
                               "channel_count not equal 3 != 2 ",
                               "PMBusPower:ProcotolError 100 parse p41_44 overflow memory boundary"}));
}

TEST(RcMainDevice, ParameterAnswersNamingMoreThanTheyCarryAreLoggedAndTheCycleEnds) {
    Rig r;
    r.ctl->logs.clear();
    const auto odd = [](const Request& q) {
        if (q.cid1 == 0x40 && q.cid2 == 0x46) return info40_46({1, 2, 3, 4, 5}, 2);  // 21 bytes, says 29
        if (q.cid1 == 0x42 && q.cid2 == 0x46) return info42_46(1, 2, 0, {0xAA, 0xBB, 0xCC});  // 12 bytes
        return standard(q);
    };
    r.run(odd);
    EXPECT_EQ(r.m->step, 0);
    EXPECT_EQ(r.ctl->logs, std::vector<std::string>{"PMBusPower:ProcotolError 100 parse 40_46 overflow memory boundary"});
    const Snapshot* s = r.rc_snapshot();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(slice(s->bytes, 4, 20), floats({1, 2, 3, 4, 5}));
    EXPECT_EQ(slice(s->bytes, 24, 8), floats({1, 2}));
}
