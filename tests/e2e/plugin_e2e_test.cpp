// The plug-in as the host uses it: loaded with dlopen, devices made by its
// factories, the main device polled over a pseudo-terminal whose other end
// plays the controller.

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "host/frame.h"
#include "plugin/providers.h"
#include "tests/support/frames.h"
#include "tests/support/recording_controller.h"

using testing_support::f32;
using testing_support::RecordingController;

namespace {

using testing_support::Bytes;
using testing_support::put;

class Plugin {
public:
    Plugin() {
        handle = dlopen(M520S_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle) throw std::runtime_error(dlerror());
        fn = reinterpret_cast<get_providers_fn>(dlsym(handle, "get_providers"));
    }
    ~Plugin() {
        if (handle) dlclose(handle);
    }
    void* handle = nullptr;
    get_providers_fn fn = nullptr;
};

// The controller's side of the line: reads requests, writes answers.
struct ControllerEnd {
    int master = -1;
    std::string slave;
    frame::Receiver rx;

    ControllerEnd() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
        slave = ptsname(master);
    }
    ~ControllerEnd() { close(master); }

    // Next request the device wrote, as (CID1, CID2, INFO); empty optional on silence.
    std::optional<std::tuple<uint8_t, uint8_t, Bytes>> next_request(int timeout_ms = 1000) {
        std::optional<std::tuple<uint8_t, uint8_t, Bytes>> got;
        pollfd p{master, POLLIN, 0};
        while (!got && poll(&p, 1, timeout_ms) > 0) {
            unsigned char b[512];
            const ssize_t n = read(master, b, sizeof b);
            if (n <= 0) break;
            rx.feed(
                b, static_cast<size_t>(n),
                [&](const Bytes& v) {
                    got.emplace(v[frame::kViewCid1], v[frame::kViewRtn], Bytes(v.begin() + frame::kViewInfo, v.end()));
                },
                nullptr);
        }
        return got;
    }
    void send(uint8_t cid1, const Bytes& info) {
        const Bytes f = frame::encode(0x20, 1, cid1, 0, info.data(), info.size());
        ASSERT_EQ(write(master, f.data(), f.size()), static_cast<ssize_t>(f.size()));
    }
};

// What the simulated power system reports.
struct Plant {
    // Two AC panels with one channel each.
    float ac_a[2] = {220.5f, 230.0f};
    uint8_t ac_a_state[2] = {1, 0};  // panel 1: phase A too low
    float ac_ia[2] = {10.25f, 11.5f};
    // Two DC panels.
    float dc_v[2] = {53.5f, 54.0f};
    float dc_i[2] = {120.0f, 80.0f};
    uint8_t dc_v_state[2] = {0, 2};  // panel 2: voltage too high
    // Three rectifier modules; module 2 reports a fault.
    uint8_t rc_fault[3] = {0, 1, 0};
    uint8_t flags = 0x11;

    Bytes info(uint8_t cid1, uint8_t cid2) const {
        Bytes b;
        if (cid1 == 0x40 && cid2 == 0x51) {
            b = {'M', '5', '2', '0', 'S'};
            b.resize(20, ' ');
        } else if (cid1 == 0x40 && cid2 == 0x41) {
            b = {flags, 2};
            for (int k = 0; k < 2; ++k) {
                b.push_back(1);  // one channel
                put(b, f32(ac_a[k]));
                put(b, f32(221.0f));
                put(b, f32(222.0f));
                put(b, f32(50.0f));
                b.push_back(0);
                put(b, f32(ac_ia[k]));
                put(b, f32(1.0f));
                put(b, f32(2.0f));
            }
        } else if (cid1 == 0x40 && cid2 == 0x43) {
            b = {0, 2};
            for (int k = 0; k < 2; ++k) put(b, {0, 3, 1, 0, 5});
        } else if (cid1 == 0x40 && cid2 == 0x44) {
            b = {0, 2};
            for (int k = 0; k < 2; ++k) {
                put(b, {1, ac_a_state[k], 0, 0, 0, 0, 8});
                put(b, {0, 0, 0, 0, 0, 0, 0, 0});
                put(b, {0, 0, 0});
            }
        } else if (cid1 == 0x41 && cid2 == 0x41) {
            b = {flags};
            put(b, f32(53.6f));
            b.push_back(3);
            for (int m = 0; m < 3; ++m) {
                put(b, f32(30.0f + m));
                b.push_back(7);
                for (int v = 0; v < 7; ++v) put(b, f32(static_cast<float>(v)));
            }
        } else if (cid1 == 0x41 && cid2 == 0x43) {
            b = {0, 3};
            for (int m = 0; m < 3; ++m) put(b, {0, 1, 0, 6, 0, 0, 0, 0, 0, 0});
        } else if (cid1 == 0x41 && cid2 == 0x44) {
            b = {0, 3};
            for (int m = 0; m < 3; ++m) {
                put(b, {rc_fault[m], 8});
                put(b, {0, 0, 0, 0, 0, 0, 0, 0});
            }
        } else if (cid1 == 0x42 && cid2 == 0x41) {
            b = {flags, 2};
            for (int k = 0; k < 2; ++k) {
                put(b, f32(dc_v[k]));
                put(b, f32(dc_i[k]));
                b.push_back(2);
                put(b, f32(1.5f));
                put(b, f32(2.5f));
                b.push_back(0);
                b.push_back(1);
                put(b, {0x20, 0x20, 0x20, 0x20});  // no value
            }
        } else if (cid1 == 0x42 && cid2 == 0x44) {
            b = {0, 2};
            for (int k = 0; k < 2; ++k) {
                put(b, {dc_v_state[k], 2, 0, 0, 71});
                Bytes states(71, 0);
                states[0] = 3;  // load fuse 1
                put(b, states);
            }
        } else if (cid1 == 0x40 && cid2 == 0x46) {
            for (int v = 0; v < 5; ++v) put(b, f32(100.0f + v));
            b.push_back(0);
        } else if (cid1 == 0x42 && cid2 == 0x46) {
            put(b, f32(57.0f));
            put(b, f32(43.0f));
            b.push_back(0);
        }
        return b;
    }
};

const rule_value* find_rule(const std::vector<rule_value>& rules, const std::string& key, const std::string& detail) {
    for (const auto& r : rules)
        if (r.key == key && r.detail == detail) return &r;
    return nullptr;
}

float le_float(const Bytes& b, size_t at) {
    float f;
    std::memcpy(&f, b.data() + at, 4);
    return f;
}

uint32_t le_u32(const Bytes& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

class PluginEndToEnd : public ::testing::Test {
protected:
    Plugin plugin;
};

TEST_F(PluginEndToEnd, FactoriesAndMainDeviceDefaults) {
    ASSERT_NE(plugin.fn, nullptr);
    auto providers = plugin.fn();
    ASSERT_EQ(providers.size(), 4u);
    const char* types[] = {"m520s", "m520s-ac", "m520s-dc", "m520s-rc"};
    for (size_t i = 0; i < 4; ++i) {
        auto* factory = static_cast<SMDSPDeviceProvider*>(providers[i].get());
        ASSERT_NE(factory, nullptr);
        std::unique_ptr<SMDSPDevice> dev(factory->create());
        EXPECT_EQ(dev->DeviceType(), types[i]);
        EXPECT_EQ(dev->GetChildVDevice(0), nullptr);
        EXPECT_TRUE(dev->GetAllChildVDevices().empty() == (i != 0));
    }
    std::unique_ptr<SMDSPDevice> main(static_cast<SMDSPDeviceProvider*>(providers[0].get())->create());
    try {
        main->Get_Value(0, "v");
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "数据未就绪");
    }
    EXPECT_TRUE(main->LoadFromCache(std::string("anything")));
    // Only the entry function is exported.
    EXPECT_EQ(dlsym(plugin.handle, "_ZN5M520SC1Ev"), nullptr);
}

TEST_F(PluginEndToEnd, PollingCyclesOverTheLinePublishValuesAndAlarms) {
    auto providers = plugin.fn();
    std::unique_ptr<SMDSPDevice> main(static_cast<SMDSPDeviceProvider*>(providers[0].get())->create());
    auto ctl = std::make_shared<RecordingController>();
    main->Init(ctl, 100);

    Json::Value s(Json::objectValue);
    s["timeout_ms"] = 500;
    s["acSetting"][0]["data_id"] = 11;
    s["acSetting"][1]["data_id"] = 12;
    s["dcSetting"][0]["data_id"] = 21;
    s["dcSetting"][1]["data_id"] = 22;
    s["rcSetting"] = Json::Value(Json::objectValue);
    ASSERT_TRUE(main->InitSetting(s));
    auto units = main->GetAllChildVDevices();
    ASSERT_EQ(units.size(), 5u);

    ControllerEnd line;
    ASSERT_TRUE(main->OpenPort(line.slave));
    Plant plant;

    // Runs one cycle; returns the requests as "CID1/CID2".
    auto cycle = [&]() {
        std::vector<std::string> seen;
        const size_t snapshots_before = ctl->snapshots.size();
        EXPECT_TRUE(main->RefreshStatus());
        for (int guard = 0; guard < 20 && ctl->snapshots.size() == snapshots_before; ++guard) {
            auto req = line.next_request();
            if (!req) break;
            const auto& [cid1, cid2, info] = *req;
            seen.push_back(fmt::format("{:02X}/{:02X}", cid1, cid2));
            line.send(cid1, plant.info(cid1, cid2));
            while (main->PumpPort(50) > 0) {
            }
        }
        return seen;
    };

    EXPECT_EQ(cycle(), (std::vector<std::string>{"40/51", "40/41", "40/43", "40/44", "41/41", "41/43", "41/44",
                                                 "42/41", "42/44", "40/46", "42/46"}));

    // Snapshots: AC panels, DC panels, rectifier group, each led by its id.
    ASSERT_EQ(ctl->snapshots.size(), 5u);
    const int types[] = {5088, 5088, 5090, 5090, 5089};
    const size_t lengths[] = {62, 62, 186, 186, 45 + 53 * 3};
    const uint32_t ids[] = {11, 12, 21, 22, 100};
    for (size_t i = 0; i < 5; ++i) {
        const auto& snap = ctl->snapshots[i];
        EXPECT_EQ(snap.device, units[i].get());
        EXPECT_EQ(snap.type, types[i]);
        EXPECT_EQ(snap.bytes.size(), lengths[i]);
        EXPECT_EQ(le_u32(snap.bytes, 0), ids[i]);
        EXPECT_FALSE(snap.flag);
    }
    EXPECT_EQ(le_float(ctl->snapshots[0].bytes, 4), 10.25f);         // ia of panel 1
    EXPECT_EQ(le_float(ctl->snapshots[1].bytes, 32), 230.0f);        // channel a of panel 2
    EXPECT_EQ(le_float(ctl->snapshots[3].bytes, 4), 54.0f);          // v of DC panel 2
    EXPECT_EQ(le_float(ctl->snapshots[2].bytes, 23), -0.1f);         // absent user value
    EXPECT_EQ(le_float(ctl->snapshots[4].bytes, 4), 100.0f);         // first AC parameter
    EXPECT_EQ(le_float(ctl->snapshots[4].bytes, 45 + 53), 31.0f);    // module 2 value

    // Values by key.
    EXPECT_EQ(units[0]->Get_Value(0, "channel_0_a"), 220.5f);
    EXPECT_EQ(units[1]->Get_Value(0, "ia"), 11.5f);
    EXPECT_EQ(units[2]->Get_Value(0, "v"), 53.5f);
    EXPECT_EQ(units[3]->Get_Value(0, "i"), 80.0f);
    EXPECT_THROW(units[4]->Get_Value(0, "v"), std::out_of_range);

    // The queued alarm batches run after the cycle and store history.
    EXPECT_TRUE(ctl->batches.empty());
    EXPECT_EQ(ctl->RunQueuedWork(), 5u);
    ASSERT_EQ(ctl->batches.size(), 5u);
    ASSERT_EQ(ctl->histories.size(), 5u);
    EXPECT_EQ(ctl->histories[4].bytes, ctl->snapshots[4].bytes);

    const auto* low = find_rule(ctl->batches[0].rules, "AC_0", "交流屏1输入线/相电压AB/A");
    ASSERT_NE(low, nullptr);
    EXPECT_EQ(low->state, 1);
    EXPECT_EQ(low->seq, 1u);
    EXPECT_EQ(find_rule(ctl->batches[1].rules, "AC_0", "交流屏1输入线/相电压AB/A")->state, 0);
    EXPECT_EQ(find_rule(ctl->batches[3].rules, "DC_1", "输出电压过高告警")->state, 1);
    EXPECT_EQ(find_rule(ctl->batches[2].rules, "M520S_DC_0", "负载1熔丝故障告警")->state, 1);
    EXPECT_EQ(find_rule(ctl->batches[4].rules, "RC_0", "模块2整流模块故障告警")->state, 1);
    EXPECT_EQ(find_rule(ctl->batches[4].rules, "RC_0", "模块1整流模块故障告警")->state, 0);

    // With valid data and no data flags the next cycle reads only the
    // analog values and the parameters. The main device holds polls back
    // for two seconds after the last answer.
    plant.flags = 0;
    plant.dc_v[0] = 48.0f;
    sleep(2);
    EXPECT_EQ(cycle(), (std::vector<std::string>{"40/41", "41/41", "42/41", "40/46", "42/46"}));
    EXPECT_EQ(ctl->snapshots.size(), 10u);
    EXPECT_EQ(units[2]->Get_Value(0, "v"), 48.0f);
    EXPECT_TRUE(ctl->logs.empty()) << ctl->logs.front();
}

}  // namespace
