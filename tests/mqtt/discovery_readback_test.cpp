// Discovery after a restart of the monitor against a broker that holds
// configs from before.

#include <gtest/gtest.h>

#include <mosquitto.h>

#include "tests/mqtt/publisher_support.h"

namespace {

using namespace mqtt_test;

// What a broker holds from before: an earlier version's single-component
// configs and a unit that has left the site are emptied; what is current
// and already there is not sent again; a module that goes away leaves a
// platform-only stub, which removes its components.
TEST(MqttPublisher, DiscoveryReadBackEmptiesWhatLeftAndKeepsWhatIsThere) {
    Broker broker;
    REQUIRE_BROKER(broker);
    ASSERT_TRUE(broker.Start());
    const auto cfg = Config(broker.port);
    const std::string node = "homeassistant/device/m520s_site_1/";
    const std::string old_config = "homeassistant/sensor/" + cfg.client_id + "/m520s-dc_7_v/config";
    const std::string gone = node + "m520s-ac_9/config";
    {
        mosquitto* m = mosquitto_new(nullptr, true, nullptr);
        ASSERT_EQ(mosquitto_connect(m, "127.0.0.1", broker.port, 10), MOSQ_ERR_SUCCESS);
        for (const auto& t : {old_config, gone}) mosquitto_publish(m, nullptr, t.c_str(), 2, "{}", 1, true);
        for (int i = 0; i < 10; ++i) mosquitto_loop(m, 20, 1);
        mosquitto_disconnect(m);
        mosquitto_destroy(m);
    }
    Subscriber sub(broker.port, {"homeassistant/#"});
    ASSERT_TRUE(sub.WaitSubscribed());
    auto first = std::make_unique<monitor::MqttPublisher>(cfg, Options(5000));
    first->OnSite(Site("M520S", {}));
    first->OnEvent(Cycle(0, 3), kNoSite);
    // The two from before are among the six topics from the start; they must end empty.
    const auto emptied = [&](const Log& l) {
        auto c = DeviceConfigs(l);
        return c.size() == 6 && c[old_config].isNull() && c[gone].isNull();
    };
    EXPECT_TRUE(sub.WaitFor(emptied));
    auto configs = DeviceConfigs(sub.Messages());
    EXPECT_TRUE(configs[node + "m520s-rc_1/config"]["cmps"].isMember("modules_2_module_value"));

    // One module fewer: its components become stubs.
    first->OnEvent(Cycle(1, 2), kNoSite);
    ASSERT_TRUE(sub.WaitFor([&](const Log& l) {
        return Count(l, node + "m520s-rc_1/config") >= 2;
    }));
    const Json::Value rc = DeviceConfigs(sub.Messages())[node + "m520s-rc_1/config"]["cmps"];
    EXPECT_EQ(rc["modules_2_module_value"], Parse(R"({"p": "sensor"})"));
    EXPECT_EQ(rc["modules_1_module_value"]["p"], "sensor");
    EXPECT_TRUE(rc["modules_1_module_value"].isMember("val_tpl"));
    first->Stop();
    first.reset();

    // Started again on the same site: the broker has every config, none goes out.
    const size_t before = sub.Messages().size();
    monitor::MqttPublisher second(cfg, Options(5000));
    second.OnSite(Site("M520S", {}));
    second.OnEvent(Cycle(2, 2), kNoSite);
    Subscriber status(broker.port, {"m520s/1/m520s-rc/1/state"});
    ASSERT_TRUE(status.WaitFor([&](const Log& l) { return Count(l, "m520s/1/m520s-rc/1/state") > 0; }));
    // The state of a later cycle is out after the read-back.
    second.OnEvent(Cycle(3, 2), kNoSite);
    ASSERT_TRUE(status.WaitFor([&](const Log& l) { return Count(l, "m520s/1/m520s-rc/1/state") > 1; }));
    std::this_thread::sleep_for(ms(200));
    EXPECT_EQ(sub.Messages().size(), before);
}

}  // namespace
