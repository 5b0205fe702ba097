#include <gtest/gtest.h>

#include "tests/support/main_fixture.h"

using namespace testing_support;

namespace {

std::vector<unsigned char> model_bytes(const std::string& name, unsigned char pad) {
    std::vector<unsigned char> v(name.begin(), name.end());
    v.resize(20, pad);
    return v;
}

// Answers whatever request is in flight with a plausible INFO for the given
// unit counts and data flags.
std::vector<unsigned char> info_for(const Request& r, int ac, int dc, uint8_t ac_flag, uint8_t rc_flag,
                                    uint8_t dc_flag) {
    const auto n_ac = static_cast<unsigned char>(ac), n_dc = static_cast<unsigned char>(dc);
    if (r.cid1 == 0x40 && r.cid2 == 0x51) return model_bytes("M520S", ' ');
    if (r.cid1 == 0x40 && r.cid2 == 0x41) return {ac_flag, n_ac, 1, 2, 3};
    if (r.cid1 == 0x40 && r.cid2 == 0x43) return {0, 0, 4, 5};
    if (r.cid1 == 0x40 && r.cid2 == 0x44) return {0, 0, 6};
    if (r.cid1 == 0x41 && r.cid2 == 0x41) return {rc_flag, 7, 8};
    if (r.cid1 == 0x41) return {0, 9};
    if (r.cid1 == 0x42 && r.cid2 == 0x41) return {dc_flag, n_dc, 10, 11};
    if (r.cid1 == 0x42 && r.cid2 == 0x44) return {0, n_dc, 12};
    return {13, 14, 15};  // parameters
}

// Runs from the first RefreshStatus to the end of a cycle, answering every
// request; returns the requests in order.
std::vector<std::string> run_cycle(FakeMain& m, int ac, int dc, uint8_t ac_flag = 0, uint8_t rc_flag = 0,
                                   uint8_t dc_flag = 0) {
    m.wire.clear();
    EXPECT_TRUE(m.RefreshStatus());
    for (int guard = 0; guard < 20 && m.IsProcessing(); ++guard) {
        const Request r = m.requests().back();
        m.answer(r.cid1, info_for(r, ac, dc, ac_flag, rc_flag, dc_flag));
    }
    return m.request_names();
}

TEST(Dispatch, FirstCycleReadsEverythingInOrderAndEndsWithRoundDoneOnEveryUnit) {
    std::shared_ptr<RecordingController> c;
    auto m = make_fake_main(2, 1, &c);
    EXPECT_EQ(m->data_valid, 0);
    const auto sent = run_cycle(*m, 2, 1);
    EXPECT_EQ(sent, (std::vector<std::string>{"40/51", "40/41 FF", "40/43 FF", "40/44 FF", "41/41", "41/43",
                                              "41/44", "42/41", "42/44", "40/46", "42/46"}));
    EXPECT_EQ(m->step, 0);
    EXPECT_FALSE(m->IsProcessing());
    // Completion order: AC units, DC units, rectifier group.
    std::vector<std::string> done;
    for (const auto& e : FakeUnit::events())
        if (e.find(":RoundDone") != std::string::npos) done.push_back(e);
    EXPECT_EQ(done, (std::vector<std::string>{"AC1:RoundDone", "AC2:RoundDone", "DC1:RoundDone", "RC:RoundDone"}));
    // A completed cycle makes the main device's data valid.
    EXPECT_EQ(m->data_valid, 1);
    EXPECT_TRUE(c->batches.empty());  // a supported model raises nothing

    // What each unit was given: the AC walk starts after flag and count.
    const FakeCall* first = m->ac_units[0]->last("parse40_41");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bytes, (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_EQ(m->ac_units[1]->last("parse40_41")->len, 0);
    EXPECT_EQ(m->rc_unit->last("parse41_41")->bytes, (std::vector<unsigned char>{0, 7, 8}));
    EXPECT_EQ(m->dc_units[0]->last("parse42_44")->bytes, (std::vector<unsigned char>{12}));
}

TEST(Dispatch, ValidDataWithNoFlagsSkipsSwitchAndAlarmRequests) {
    auto m = make_fake_main(1, 1);
    m->need_device_info = false;
    m->data_valid = 1;
    const auto sent = run_cycle(*m, 1, 1);
    EXPECT_EQ(sent, (std::vector<std::string>{"40/41 FF", "41/41", "42/41", "40/46", "42/46"}));
    EXPECT_EQ(m->step, 0);
    EXPECT_EQ(m->rc_unit->count("RoundDone"), 1);
}

TEST(Dispatch, DataFlagsAskForSwitchAndAlarmStates) {
    auto m = make_fake_main(1, 1);
    m->need_device_info = false;
    m->data_valid = 1;
    EXPECT_EQ(run_cycle(*m, 1, 1, 0x01, 0x10, 0x01),
              (std::vector<std::string>{"40/41 FF", "40/44 FF", "41/41", "41/43", "42/41", "42/44", "40/46", "42/46"}));
    m->age_last_update(5);
    EXPECT_EQ(run_cycle(*m, 1, 1, 0x10, 0x01, 0x10),
              (std::vector<std::string>{"40/41 FF", "40/43 FF", "41/41", "41/44", "42/41", "42/44", "40/46", "42/46"}));
    m->age_last_update(5);
    EXPECT_EQ(run_cycle(*m, 1, 1, 0x11, 0x11, 0),
              (std::vector<std::string>{"40/41 FF", "40/43 FF", "40/44 FF", "41/41", "41/43", "41/44", "42/41",
                                        "40/46", "42/46"}));
}

TEST(Dispatch, WithoutDcUnitsTheCycleEndsAfterTheRectifiers) {
    auto m = make_fake_main(1, 0);
    EXPECT_EQ(run_cycle(*m, 1, 0),
              (std::vector<std::string>{"40/51", "40/41 FF", "40/43 FF", "40/44 FF", "41/41", "41/43", "41/44"}));
    EXPECT_EQ(m->step, 0);
    EXPECT_EQ(m->ac_units[0]->count("RoundDone"), 1);
    EXPECT_EQ(m->rc_unit->count("parse40_46"), 0);

    // No AC units and DC units: only the DC parameters follow.
    auto n = make_fake_main(0, 1);
    n->need_device_info = false;
    n->data_valid = 1;
    EXPECT_EQ(run_cycle(*n, 0, 1), (std::vector<std::string>{"41/41", "42/41", "42/46"}));
}

TEST(Dispatch, AcCountMismatchLogsAndResets) {
    std::shared_ptr<RecordingController> c;
    auto m = make_fake_main(1, 1, &c);
    m->step = 0;
    EXPECT_FALSE(m->dispatch(0x40, {0x00, 2, 1, 2}));
    EXPECT_TRUE(c->logged("PMBusPower:ProcotolError 100 read ac_number is 2, configured ac_number is 1"));
    EXPECT_EQ(m->step, 0);
    EXPECT_TRUE(m->wire.empty());
    EXPECT_EQ(m->ac_units[0]->count("parse40_41"), 0);
}

TEST(Dispatch, DcCountMismatchLogsWithoutReset) {
    for (int step : {7, 8}) {
        std::shared_ptr<RecordingController> c;
        auto m = make_fake_main(1, 2, &c);
        m->step = step;
        EXPECT_TRUE(m->dispatch(0x42, {0x00, 3, 1, 2}));
        EXPECT_TRUE(c->logged("PMBusPower:ProcotolError 100 read dc_number is 3, configured dc_number is 2"));
        EXPECT_EQ(m->step, step);
        EXPECT_TRUE(m->wire.empty());
    }
}

TEST(Dispatch, FourDcUnitsAreWalkedFromTheCountByte) {
    auto m = make_fake_main(0, 4);
    m->step = 7;
    for (auto& u : m->dc_units) u->script["parse42_41"] = {1};
    EXPECT_TRUE(m->dispatch(0x42, {0x00, 4, 0xA, 0xB, 0xC, 0xD}));
    EXPECT_EQ(m->dc_units[0]->last("parse42_41")->bytes, (std::vector<unsigned char>{4, 0xA, 0xB, 0xC, 0xD}));
    EXPECT_EQ(m->dc_units[3]->last("parse42_41")->bytes, (std::vector<unsigned char>{0xC, 0xD}));
    EXPECT_EQ(m->step, 8);

    // Three units still start after the count byte.
    auto n = make_fake_main(0, 3);
    n->step = 7;
    EXPECT_TRUE(n->dispatch(0x42, {0x00, 3, 0xA, 0xB}));
    EXPECT_EQ(n->dc_units[0]->last("parse42_41")->bytes, (std::vector<unsigned char>{0xA, 0xB}));
}

TEST(Dispatch, AnswerFromAnotherGroupIsIgnoredExceptForAcAnalogValues) {
    const std::vector<std::pair<int, uint8_t>> expected = {{14, 0x40}, {1, 0x40}, {2, 0x40}, {4, 0x41}, {5, 0x41},
                                                           {6, 0x41},  {7, 0x42}, {8, 0x42}, {3, 0x40}, {9, 0x42}};
    for (const auto& [step, cid1] : expected) {
        for (uint8_t other : {uint8_t{0x40}, uint8_t{0x41}, uint8_t{0x42}}) {
            if (other == cid1) continue;
            auto m = make_fake_main(1, 1);
            m->step = step;
            EXPECT_TRUE(m->dispatch(other, {0x11, 1, 1, 1, 1})) << step;
            EXPECT_EQ(m->step, step);
            EXPECT_TRUE(m->wire.empty());
            EXPECT_TRUE(FakeUnit::events().empty()) << step;
            EXPECT_TRUE(m->need_device_info);
        }
    }
    auto m = make_fake_main(1, 1);
    m->step = 0;
    EXPECT_FALSE(m->dispatch(0x41, {0, 1, 1}));
    EXPECT_EQ(m->step, 0);
    EXPECT_TRUE(FakeUnit::events().empty());
}

TEST(Dispatch, RefusedStretchDropsTheAnswerSilently) {
    // AC walk: the first unit refuses, the second is not asked.
    for (int step : {0, 1, 2}) {
        std::shared_ptr<RecordingController> c;
        auto m = make_fake_main(2, 1, &c);
        m->step = step;
        const char* op = step == 0 ? "parse40_41" : step == 1 ? "parse40_43" : "parse40_44";
        m->ac_units[0]->script[op] = {-1};
        EXPECT_TRUE(m->dispatch(0x40, {0, 2, 1, 2, 3}));
        EXPECT_EQ(m->step, step);
        EXPECT_EQ(m->ac_units[1]->count(op), 0);
        EXPECT_TRUE(m->wire.empty());
        EXPECT_TRUE(c->logs.empty());
    }
    for (int step : {7, 8}) {
        auto m = make_fake_main(1, 1);
        m->step = step;
        m->dc_units[0]->script[step == 7 ? "parse42_41" : "parse42_44"] = {-1};
        EXPECT_TRUE(m->dispatch(0x42, {0, 1, 1}));
        EXPECT_EQ(m->step, step);
        EXPECT_TRUE(m->wire.empty());
    }
    for (int step : {3, 9}) {
        auto m = make_fake_main(1, 1);
        m->step = step;
        m->rc_unit->script[step == 3 ? "parse40_46" : "parse42_46"] = {-1};
        EXPECT_TRUE(m->dispatch(step == 3 ? 0x40 : 0x42, {1, 2, 3}));
        EXPECT_EQ(m->step, step);
        EXPECT_TRUE(m->wire.empty());
        EXPECT_EQ(m->rc_unit->count("RoundDone"), 0);
    }
}

TEST(Dispatch, AcAndRectifierByteCountsMustMatchExactly) {
    struct Case {
        int step;
        uint8_t cid1;
        const char* op;
        const char* log;  // nullptr: dropped without a message
    };
    const Case cases[] = {
        {0, 0x40, "parse40_41", "PMBusPower:ProcotolError 100 parse 40_41 overflow memory boundary"},
        {1, 0x40, "parse40_43", "PMBusPower:ProcotolError 100 parse 40_43 overflow memory boundary"},
        {2, 0x40, "parse40_44", nullptr},
        {4, 0x41, "parse41_41", "PMBusPower:ProcotolError 100 parse p41_41 overflow memory boundary"},
        {5, 0x41, "parse41_43", "PMBusPower:ProcotolError 100 parse p41_43 overflow memory boundary"},
        {6, 0x41, "parse41_44", "PMBusPower:ProcotolError 100 parse p41_44 overflow memory boundary"},
    };
    for (const auto& k : cases) {
        for (int delta : {-1, +1}) {
            std::shared_ptr<RecordingController> c;
            auto m = make_fake_main(1, 1, &c);
            m->step = k.step;
            const std::vector<unsigned char> info = {0, 1, 5, 6, 7, 8};
            const int whole = k.cid1 == 0x40 ? 4 : 6;  // AC stretches start after two bytes
            (k.cid1 == 0x40 ? static_cast<FakeUnit&>(*m->ac_units[0]) : static_cast<FakeUnit&>(*m->rc_unit))
                .script[k.op] = {whole + delta};
            EXPECT_TRUE(m->dispatch(k.cid1, info)) << k.op;
            EXPECT_EQ(m->step, k.step) << k.op;
            EXPECT_TRUE(m->wire.empty()) << k.op;
            if (k.log)
                EXPECT_EQ(c->logs, std::vector<std::string>{k.log}) << k.op;
            else
                EXPECT_TRUE(c->logs.empty());
        }
    }
}

TEST(Dispatch, DcAndParameterOverrunsAreLoggedButTheCycleGoesOn) {
    {
        std::shared_ptr<RecordingController> c;
        auto m = make_fake_main(1, 1, &c);
        m->data_valid = 1;
        m->step = 7;
        m->dc_units[0]->script["parse42_41"] = {3};
        EXPECT_TRUE(m->dispatch(0x42, {0, 1, 9, 9}));
        EXPECT_EQ(c->logs, std::vector<std::string>{"PMBusPower:ProcotolError 100 parse 42_41 overflow memory boundary"});
        EXPECT_EQ(m->step, 3);
        // One byte less than N is accepted silently.
        m->step = 7;
        c->logs.clear();
        m->dc_units[0]->script["parse42_41"] = {1};
        EXPECT_TRUE(m->dispatch(0x42, {0, 1, 9, 9}));
        EXPECT_TRUE(c->logs.empty());
        EXPECT_EQ(m->step, 3);
    }
    {
        std::shared_ptr<RecordingController> c;
        auto m = make_fake_main(0, 1, &c);
        m->step = 8;
        m->dc_units[0]->script["parse42_44"] = {5};
        EXPECT_TRUE(m->dispatch(0x42, {0, 1, 9}));
        EXPECT_EQ(c->logs, std::vector<std::string>{"PMBusPower:ProcotolError 100 parse 42_44 overflow memory boundary"});
        EXPECT_EQ(m->step, 9);
    }
    {
        std::shared_ptr<RecordingController> c;
        auto m = make_fake_main(1, 1, &c);
        m->step = 3;
        m->rc_unit->script["parse40_46"] = {29};
        EXPECT_TRUE(m->dispatch(0x40, std::vector<unsigned char>(21, 0)));
        EXPECT_EQ(c->logs, std::vector<std::string>{"PMBusPower:ProcotolError 100 parse 40_46 overflow memory boundary"});
        EXPECT_EQ(m->step, 9);
        EXPECT_EQ(m->request_names(), std::vector<std::string>{"42/46"});

        c->logs.clear();
        m->rc_unit->script["parse42_46"] = {13};
        EXPECT_FALSE(m->dispatch(0x42, std::vector<unsigned char>(9, 0)));
        EXPECT_EQ(c->logs, std::vector<std::string>{"PMBusPower:ProcotolError 100 parse 42_46 overflow memory boundary"});
        EXPECT_EQ(m->step, 0);
        EXPECT_EQ(m->rc_unit->count("RoundDone"), 1);
    }
}

TEST(Dispatch, SupportedModelMayBePaddedWithSpacesOrZeroBytes) {
    for (unsigned char pad : {static_cast<unsigned char>(' '), static_cast<unsigned char>(0)}) {
        std::shared_ptr<RecordingController> c;
        auto m = make_fake_main(1, 1, &c);
        m->step = 14;
        EXPECT_TRUE(m->dispatch(0x40, model_bytes("M520S", pad)));
        EXPECT_TRUE(m->pending_rules.empty());
        EXPECT_FALSE(m->need_device_info);
        EXPECT_EQ(m->model.size(), 20u);
        EXPECT_EQ(m->step, 0);
        EXPECT_EQ(m->request_names(), std::vector<std::string>{"40/41 FF"});
    }
}

TEST(Dispatch, OtherModelRaisesTheModelCheckWithTheRawModelBytes) {
    std::shared_ptr<RecordingController> c;
    auto m = make_fake_main(0, 1, &c);
    m->check_seq = 42;
    m->step = 14;
    const auto bytes = model_bytes("M520SX", 0);
    EXPECT_TRUE(m->dispatch(0x40, bytes));
    ASSERT_EQ(m->pending_rules.size(), 1u);
    const rule_value& r = m->pending_rules[0];
    EXPECT_EQ(r.state, 1);
    EXPECT_EQ(r.level, 3);
    EXPECT_EQ(r.key, "device_model");
    EXPECT_EQ(r.code, "70319");
    EXPECT_EQ(r.name, "设备配置检测");
    EXPECT_EQ(r.detail, "本驱动类型:m520s 检测型号:" + std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(r.seq, 0u);
    EXPECT_EQ(r.table_id, 0u);
    EXPECT_EQ(m->check_seq, 42);
    EXPECT_EQ(m->step, 4);  // no AC units
    EXPECT_EQ(m->request_names(), std::vector<std::string>{"41/41"});

    // Through the frame layer the check is evaluated as a batch at once.
    auto n = make_fake_main(1, 1, &c);
    ASSERT_TRUE(n->RefreshStatus());
    n->answer(0x40, model_bytes("M500", ' '));
    ASSERT_EQ(c->batches.size(), 1u);
    EXPECT_EQ(c->batches[0].device, n.get());
    EXPECT_EQ(c->batches[0].rules.at(0).key, "device_model");
    EXPECT_TRUE(n->pending_rules.empty());
}

TEST(Dispatch, ShortAnswersAreDroppedWithoutReadingPastInfo) {
    // Too short for the flag and count bytes: logged, true, step unchanged.
    const std::vector<std::pair<int, uint8_t>> steps = {{0, 0x40}, {2, 0x40}, {4, 0x41}, {7, 0x42}, {8, 0x42}};
    for (const auto& [step, cid1] : steps) {
        for (size_t n = 0; n < (step == 4 ? 1u : 2u); ++n) {
            std::shared_ptr<RecordingController> c;
            auto m = make_fake_main(1, 1, &c);
            m->step = step;
            EXPECT_TRUE(m->dispatch(cid1, std::vector<unsigned char>(n, 1))) << step;
            EXPECT_EQ(m->step, step);
            EXPECT_TRUE(m->wire.empty());
            EXPECT_TRUE(FakeUnit::events().empty());
            EXPECT_EQ(c->logs.size(), 1u) << step;
        }
    }
    // Device information shorter than 20 bytes keeps what it has.
    auto m = make_fake_main(1, 1);
    m->step = 14;
    EXPECT_TRUE(m->dispatch(0x40, {'M', '5', '2', '0', 'S'}));
    EXPECT_EQ(m->model, "M520S");
    EXPECT_TRUE(m->pending_rules.empty());
    auto e = make_fake_main(1, 1);
    e->step = 14;
    EXPECT_TRUE(e->dispatch(0x40, {}));
    EXPECT_EQ(e->model, "");
    EXPECT_EQ(e->pending_rules.size(), 1u);
}

TEST(Dispatch, UnitThatOverReportsCannotMoveTheCursorOutOfTheAnswer) {
    auto m = make_fake_main(3, 1);
    m->step = 0;
    m->ac_units[0]->script["parse40_41"] = {10};
    m->ac_units[1]->script["parse40_41"] = {-1};
    EXPECT_TRUE(m->dispatch(0x40, {0, 3, 1, 2}));
    const FakeCall* second = m->ac_units[1]->last("parse40_41");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->len, -8);
    EXPECT_EQ(m->ac_units[2]->count("parse40_41"), 0);
}

}  // namespace
