#include <gtest/gtest.h>

#include "tests/support/main_fixture.h"

using namespace testing_support;

namespace {

// Brings a main device with valid data to the given parameter step with the
// request of that step in flight.
std::unique_ptr<FakeMain> at_parameter_step(int step, std::shared_ptr<RecordingController>* c) {
    auto m = make_fake_main(1, 1, c);
    m->need_device_info = false;
    m->data_valid = 1;
    m->step = 8;
    m->age_last_update(10);
    EXPECT_TRUE(m->RefreshStatus());
    m->answer(0x42, {0, 1, 5});  // DC alarm states: on to the AC parameters
    EXPECT_EQ(m->step, 3);
    if (step == 9) m->answer(0x40, std::vector<unsigned char>(21, 0));
    EXPECT_EQ(m->step, step);
    m->wire.clear();
    return m;
}

TEST(Recovery, RefusedParameterAnswerRestartsTheCycleAfterTheStallLimit) {
    for (int step : {3, 9}) {
        std::shared_ptr<RecordingController> c;
        auto m = at_parameter_step(step, &c);
        m->rc_unit->script[step == 3 ? "parse40_46" : "parse42_46"] = {-1};
        m->answer(step == 3 ? 0x40 : 0x42, std::vector<unsigned char>(21, 0));
        EXPECT_EQ(m->step, step);
        EXPECT_FALSE(m->IsProcessing());

        // Within the stall limit nothing happens; the step is never re-sent.
        m->advance_ms(4000);
        m->age_last_update(4);
        EXPECT_TRUE(m->RefreshStatus());
        EXPECT_TRUE(m->wire.empty());
        EXPECT_EQ(m->step, step);

        m->advance_ms(1000);
        EXPECT_FALSE(m->RefreshStatus());
        EXPECT_EQ(m->step, 0);
        EXPECT_EQ(m->data_valid, 0);
        EXPECT_EQ(m->counters().give_ups, 1u);
        ASSERT_FALSE(c->logs.empty());
        EXPECT_NE(c->logs.back().find("stall"), std::string::npos) << c->logs.back();

        // The next poll starts a new cycle, reading everything again.
        m->age_last_update(5);
        EXPECT_TRUE(m->RefreshStatus());
        EXPECT_EQ(m->request_names(), std::vector<std::string>{"40/41 FF"});
    }
}

TEST(Recovery, RarePollsAreNotMistakenForAStall) {
    std::shared_ptr<RecordingController> c;
    auto m = make_fake_main(1, 1, &c);
    m->need_device_info = false;
    m->age_last_update(10);
    ASSERT_TRUE(m->RefreshStatus());
    m->ac_units[0]->script["parse40_41"] = {-1};
    m->answer(0x40, {0x10, 1, 1, 2, 3});  // dropped: the step stays and is sent again by the next poll
    EXPECT_EQ(m->step, 0);
    m->wire.clear();

    // The host polls again only long after the stall limit.
    m->advance_ms(60000);
    m->age_last_update(60);
    EXPECT_TRUE(m->RefreshStatus());
    EXPECT_EQ(m->request_names(), std::vector<std::string>{"40/41 FF"});
    EXPECT_EQ(m->counters().give_ups, 0u);

    // Likewise mid-cycle.
    m->answer(0x40, {0x10, 1, 1, 2, 3});
    ASSERT_EQ(m->step, 1);
    m->ac_units[0]->script["parse40_43"] = {-1};
    m->answer(0x40, {0, 0, 0, 3, 1, 2, 3});
    m->wire.clear();
    m->advance_ms(60000);
    m->age_last_update(60);
    EXPECT_TRUE(m->RefreshStatus());
    EXPECT_EQ(m->request_names(), std::vector<std::string>{"40/43 FF"});
    EXPECT_EQ(m->counters().give_ups, 0u);
}

TEST(Recovery, UnansweredRequestIsRetransmittedThenGivenUp) {
    std::shared_ptr<RecordingController> c;
    auto m = at_parameter_step(3, &c);
    // The parameter request in flight gets no answer.
    for (int i = 0; i < 2; ++i) {
        m->advance_ms(1499);
        EXPECT_FALSE(m->RefreshStatus());
        m->advance_ms(1);
        EXPECT_TRUE(m->RefreshStatus());  // the layer's retransmission is a send
    }
    EXPECT_EQ(m->request_names(), (std::vector<std::string>{"40/46", "40/46"}));
    EXPECT_EQ(m->step, 3);
    m->advance_ms(1500);
    EXPECT_FALSE(m->RefreshStatus());
    EXPECT_EQ(m->step, 0);
    EXPECT_EQ(m->data_valid, 0);
    EXPECT_FALSE(m->IsProcessing());
    EXPECT_EQ(m->rc_unit->count("RoundDone"), 0);

    // A late answer to the abandoned request does not complete anything.
    m->answer(0x42, std::vector<unsigned char>(9, 0));
    EXPECT_EQ(m->rc_unit->count("parse42_46"), 0);
}

TEST(Recovery, ErrorReturnCodeRetriesTheSameRequest) {
    std::shared_ptr<RecordingController> c;
    auto m = make_fake_main(1, 1, &c);
    ASSERT_TRUE(m->RefreshStatus());
    m->answer(0x40, {}, frame::RTN_INVALID_DATA);
    EXPECT_EQ(m->step, 14);
    EXPECT_TRUE(m->need_device_info);
    EXPECT_TRUE(m->RefreshStatus());  // retransmits at once
    EXPECT_EQ(m->request_names(), (std::vector<std::string>{"40/51", "40/51"}));
    m->answer(0x40, std::vector<unsigned char>{'M', '5', '2', '0', 'S'});
    EXPECT_FALSE(m->need_device_info);
    EXPECT_EQ(m->step, 0);
}

}  // namespace
