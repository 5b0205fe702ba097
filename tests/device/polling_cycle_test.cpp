#include <gtest/gtest.h>

#include "tests/support/main_fixture.h"

using namespace testing_support;

namespace {

TEST(PollingCycle, DeviceInformationComesFirstAndIsRepeatedUntilAnswered) {
    auto m = make_fake_main(1, 1);
    m->age_last_update(0);  // the time guard does not hold device information back
    ASSERT_TRUE(m->RefreshStatus());
    EXPECT_EQ(m->step, 14);
    EXPECT_EQ(m->request_names(), std::vector<std::string>{"40/51"});

    // Waiting for the answer: nothing goes out twice.
    EXPECT_FALSE(m->RefreshStatus());
    EXPECT_EQ(m->wire.size(), 1u);

    // Time-outs repeat the request, then the layer gives up and the next
    // poll starts over with device information again.
    m->advance_ms(1500);
    EXPECT_TRUE(m->RefreshStatus());  // retransmitted: something was sent
    m->advance_ms(1500);
    EXPECT_TRUE(m->RefreshStatus());
    m->advance_ms(1500);
    EXPECT_FALSE(m->RefreshStatus());  // gives up
    EXPECT_TRUE(m->RefreshStatus());
    EXPECT_EQ(m->request_names(), (std::vector<std::string>{"40/51", "40/51", "40/51", "40/51"}));
    EXPECT_EQ(m->step, 14);
}

TEST(PollingCycle, WithoutAcUnitsTheCycleStartsWithTheRectifiers) {
    auto m = make_fake_main(0, 1);
    m->need_device_info = false;
    ASSERT_TRUE(m->RefreshStatus());
    EXPECT_EQ(m->step, 4);
    EXPECT_EQ(m->request_names(), std::vector<std::string>{"41/41"});

    auto n = make_fake_main(2, 1);
    n->need_device_info = false;
    ASSERT_TRUE(n->RefreshStatus());
    EXPECT_EQ(n->step, 0);
    EXPECT_EQ(n->request_names(), std::vector<std::string>{"40/41 FF"});
}

TEST(PollingCycle, EachStepSendsItsRequestAndDcCarriesTheGroupOnlyWithVersion21) {
    const std::vector<std::pair<int, std::string>> expected20 = {
        {1, "40/43 FF"}, {2, "40/44 FF"}, {4, "41/41"}, {5, "41/43"}, {6, "41/44"}, {7, "42/41"}, {8, "42/44"}};
    for (uint8_t ver : {uint8_t{0x20}, uint8_t{0x21}}) {
        for (const auto& [step, name] : expected20) {
            auto m = make_fake_main(1, 1);
            m->need_device_info = false;
            m->version = ver;
            m->step = step;
            ASSERT_TRUE(m->RefreshStatus());
            std::string want = name;
            if (ver == 0x21 && (step == 7 || step == 8)) want += " FF";
            EXPECT_EQ(m->request_names(), std::vector<std::string>{want}) << "step " << step;
            EXPECT_EQ(m->step, step);
        }
    }
}

TEST(PollingCycle, ParameterStepsAndUnknownStepsSendNothing) {
    for (int step : {3, 9, 10, 13, 15}) {
        auto m = make_fake_main(1, 1);
        m->need_device_info = false;
        m->step = step;
        EXPECT_TRUE(m->RefreshStatus());
        EXPECT_TRUE(m->wire.empty()) << "step " << step;
    }
}

TEST(PollingCycle, TimeGuardHoldsThePollForTwoSecondsAfterTheLastUpdate) {
    for (int age : {1, 0, -5}) {
        auto m = make_fake_main(1, 1);
        m->need_device_info = false;
        m->poll_state = 7;
        m->age_last_update(age);
        EXPECT_FALSE(m->RefreshStatus()) << "age " << age;
        EXPECT_TRUE(m->wire.empty());
        EXPECT_EQ(m->poll_state, 0);
    }
    auto m = make_fake_main(1, 1);
    m->need_device_info = false;
    m->age_last_update(2);
    EXPECT_TRUE(m->RefreshStatus());
    EXPECT_EQ(m->wire.size(), 1u);
}

}  // namespace
