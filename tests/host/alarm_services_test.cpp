#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/vdevice.h"
#include "tests/support/recording_controller.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testing_support::RecordingController;

class Unit : public SMDVDevice {
public:
    using SMDVDevice::batch_result;
    using SMDVDevice::check_seq;
    using SMDVDevice::controller;
    using SMDVDevice::pending_rules;
    using VDeviceInterface::LoadFromCache;

    Bytes snapshot{1, 2, 3};
    Bytes loaded;
    int loaded_len = -1;

    bool LoadFromCache(const unsigned char* data, int len) override {
        loaded.assign(data, data + len);
        loaded_len = len;
        return true;
    }

    // The end of a polling cycle as every unit does it.
    void HandOver() {
        const size_t n = pending_rules.size();
        std::shared_ptr<SMDVDevice> self = shared_from_this();
        CheckThresholdWork([self, this, list = std::move(pending_rules)]() {
            batch_result = DoBatchCheckThreshold(list) || batch_result;
            SaveDeviceHistory(snapshot.data(), static_cast<int>(snapshot.size()));
        });
        pending_rules.reserve(n);
    }
};

const std::map<unsigned char, std::string>& table_a() {
    static const std::map<unsigned char, std::string> t{{0, "正常"}, {1, "告警"}};
    return t;
}
const std::map<unsigned char, std::string>& table_b() {
    static const std::map<unsigned char, std::string> t{{0, "正常"}, {2, "断开"}};
    return t;
}

TEST(AlarmServices, ChecksRecordOneRuleEachInCallOrder) {
    auto u = std::make_shared<Unit>();
    u->CheckThresholdBool(2, "RC_0", "06001", "整流模块告警", "整流模块1故障告警", true, 1);
    u->CheckThresholdBool(4, "RC_0", "06001", "整流模块告警", "整流模块2故障告警", false, 2);
    u->CheckAlertMap(0x02, 3, "p40_44_0", "06024", "交流告警", "交流输入1", table_a(), 3);
    u->CheckAlertMap(0x00, 1, "p40_44_1", "06024", "交流告警", "交流输入2", table_a(), 65535);
    u->CheckAlertMap(0x07, 1, "p40_44_2", "06029", "其他告警", "x", table_b(), 0);

    const auto& r = u->pending_rules;
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].state, 1);
    EXPECT_EQ(r[0].key, "RC_0");
    EXPECT_EQ(r[0].code, "06001");
    EXPECT_EQ(r[0].level, 2);
    EXPECT_EQ(r[0].seq, 1u);
    EXPECT_EQ(r[0].name, "整流模块告警");
    EXPECT_EQ(r[0].detail, "整流模块1故障告警");
    EXPECT_EQ(r[0].table_id, 0u);
    EXPECT_EQ(r[1].state, 0);
    EXPECT_EQ(r[1].level, 4);
    EXPECT_EQ(r[1].seq, 2u);
    EXPECT_EQ(r[1].detail, "整流模块2故障告警");
    EXPECT_EQ(r[1].table_id, 0u);

    // A state-table check keeps the raw state and names its table.
    EXPECT_EQ(r[2].state, 0x02);
    EXPECT_EQ(r[2].key, "p40_44_0");
    EXPECT_EQ(r[2].code, "06024");
    EXPECT_EQ(r[2].level, 3);
    EXPECT_EQ(r[2].seq, 3u);
    EXPECT_EQ(r[2].name, "交流告警");
    EXPECT_EQ(r[2].detail, "交流输入1");
    EXPECT_NE(r[2].table_id, 0u);
    EXPECT_EQ(r[3].state, 0x00);
    EXPECT_EQ(r[3].seq, 65535u);
    EXPECT_EQ(r[3].table_id, r[2].table_id);  // same table, same id
    EXPECT_EQ(r[4].state, 0x07);
    EXPECT_NE(r[4].table_id, 0u);
    EXPECT_NE(r[4].table_id, r[2].table_id);

    EXPECT_EQ(host::state_table(r[2].table_id), &table_a());
    EXPECT_EQ(host::state_table(r[4].table_id), &table_b());
    EXPECT_EQ(host::state_table(0), nullptr);
    EXPECT_EQ(host::state_table(0xFFFFFFFFu), nullptr);

    // Stable across devices and cycles.
    auto other = std::make_shared<Unit>();
    other->CheckAlertMap(1, 1, "k", "00000", "n", "d", table_b(), 1);
    EXPECT_EQ(other->pending_rules[0].table_id, r[4].table_id);
}

TEST(AlarmServices, BatchAndWorkGoToTheControllerWhileItExists) {
    auto ctl = std::make_shared<RecordingController>();
    auto u = std::make_shared<Unit>();
    u->CheckThresholdBool(1, "DC_0", "06010", "n", "d", true, 1);

    // No controller yet: nothing evaluates, nothing is queued or run.
    bool ran = false;
    EXPECT_FALSE(u->DoBatchCheckThreshold(u->pending_rules));
    u->CheckThresholdWork([&] { ran = true; });
    EXPECT_FALSE(u->SendSP(5090, u->snapshot.data(), 3, false));

    u->Init(ctl, 11);
    EXPECT_EQ(ctl->QueuedWork(), 0u);
    EXPECT_TRUE(u->DoBatchCheckThreshold(u->pending_rules));
    ctl->evaluate_result = false;
    EXPECT_FALSE(u->DoBatchCheckThreshold(u->pending_rules));
    ASSERT_EQ(ctl->batches.size(), 2u);
    EXPECT_EQ(ctl->batches[0].device, u.get());
    ASSERT_EQ(ctl->batches[0].rules.size(), 1u);
    EXPECT_EQ(ctl->batches[0].rules[0].key, "DC_0");

    EXPECT_TRUE(u->SendSP(5090, u->snapshot.data(), 3, false));
    ASSERT_EQ(ctl->snapshots.size(), 1u);
    EXPECT_EQ(ctl->snapshots[0].type, 5090);
    EXPECT_EQ(ctl->snapshots[0].bytes, u->snapshot);
    EXPECT_FALSE(ctl->snapshots[0].flag);

    // Queued, not run, until the host runs the queue; items an item queues run too.
    std::vector<int> order;
    u->CheckThresholdWork([&] {
        order.push_back(1);
        u->CheckThresholdWork([&] { order.push_back(3); });
    });
    u->CheckThresholdWork([&] { order.push_back(2); });
    EXPECT_EQ(ctl->QueuedWork(), 2u);
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(ctl->RunQueuedWork(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(ctl->QueuedWork(), 0u);
    EXPECT_EQ(ctl->RunQueuedWork(), 0u);
    EXPECT_FALSE(ran);

    // A failing item does not lose the items queued after it.
    order.clear();
    u->CheckThresholdWork([&] { order.push_back(4); });
    u->CheckThresholdWork([] { throw std::runtime_error("storage full"); });
    u->CheckThresholdWork([&] { order.push_back(5); });
    EXPECT_THROW(ctl->RunQueuedWork(), std::runtime_error);
    EXPECT_EQ(ctl->QueuedWork(), 1u);
    EXPECT_EQ(ctl->RunQueuedWork(), 1u);
    EXPECT_EQ(order, (std::vector<int>{4, 5}));

    // A controller that has gone away: services fail quietly.
    std::weak_ptr<RecordingController> w = ctl;
    ctl.reset();
    ASSERT_TRUE(w.expired());
    EXPECT_FALSE(u->DoBatchCheckThreshold(u->pending_rules));
    u->CheckThresholdWork([&] { ran = true; });
    u->SaveDeviceHistory(u->snapshot.data(), 3);
    EXPECT_FALSE(ran);
}

TEST(AlarmServices, WorkItemKeepsTheDeviceAliveAndOrsTheBatchFlag) {
    auto ctl = std::make_shared<RecordingController>();
    auto u = std::make_shared<Unit>();
    u->Init(ctl, 5);
    std::weak_ptr<Unit> alive = u;

    for (int i = 0; i < 3; ++i) u->CheckThresholdBool(1, "AC_0", "06002", "n", "d", i == 1, i + 1);
    u->HandOver();
    EXPECT_TRUE(u->pending_rules.empty());
    EXPECT_GE(u->pending_rules.capacity(), 3u);

    // The host's evaluation turns false between the two cycles' items.
    ctl->QueueWork([&] { ctl->evaluate_result = false; });

    u->CheckThresholdBool(1, "AC_0", "06002", "n", "d", false, 1);
    u->HandOver();

    u->snapshot = {9, 9};  // the item stores the snapshot as it stands when it runs
    u.reset();             // the host drops its pointer
    EXPECT_FALSE(alive.expired());

    EXPECT_EQ(ctl->QueuedWork(), 3u);
    EXPECT_EQ(ctl->RunQueuedWork(), 3u);
    ASSERT_EQ(ctl->batches.size(), 2u);
    EXPECT_EQ(ctl->batches[0].rules.size(), 3u);
    EXPECT_EQ(ctl->batches[0].rules[1].state, 1);
    EXPECT_EQ(ctl->batches[1].rules.size(), 1u);
    ASSERT_EQ(ctl->histories.size(), 2u);
    EXPECT_EQ(ctl->histories[0].bytes, (Bytes{9, 9}));
    EXPECT_EQ(ctl->histories[0].device, ctl->batches[0].device);
    EXPECT_TRUE(alive.expired());  // the last item released it
}

TEST(AlarmServices, BatchFlagStaysTrueOnceSet) {
    auto ctl = std::make_shared<RecordingController>();
    auto u = std::make_shared<Unit>();
    u->Init(ctl, 5);
    u->HandOver();
    ctl->RunQueuedWork();
    EXPECT_TRUE(u->batch_result);
    ctl->evaluate_result = false;
    u->HandOver();
    ctl->RunQueuedWork();
    EXPECT_TRUE(u->batch_result);
    EXPECT_EQ(ctl->batches.size(), 2u);  // evaluated although the flag was already true
}

TEST(HostDevice, TimeStampLayout) {
    using namespace boost::posix_time;
    const ptime t(boost::gregorian::date(2026, 12, 8), hours(7) + minutes(5) + seconds(59));
    const auto s = get_ttime(t);
    EXPECT_EQ(s, (std::array<unsigned char, 7>{0x07, 0xEA, 12, 8, 7, 5, 59}));
    const auto y = get_ttime(ptime(boost::gregorian::date(1999, 1, 31), hours(23)));
    EXPECT_EQ(y, (std::array<unsigned char, 7>{0x07, 0xCF, 1, 31, 23, 0, 0}));
    EXPECT_EQ(get_ttime(ptime()), (std::array<unsigned char, 7>{}));
}

TEST(HostDevice, DefaultsOfTheBaseClasses) {
    auto ctl = std::make_shared<RecordingController>();
    auto parent = std::make_shared<Unit>();
    parent->Init(ctl, 100);
    auto u = std::make_shared<Unit>();
    ASSERT_TRUE(u->InitV(parent.get(), 5088, Json::Value()));
    EXPECT_EQ(u->DataId(), 5088u);
    EXPECT_EQ(u->Controller(), ctl);

    try {
        u->Get_Value(0, "a");
        ADD_FAILURE() << "Get_Value did not throw";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "数据未就绪");
    }

    const std::string text("ab\0\xFF" "c", 5);
    EXPECT_TRUE(u->LoadFromCache(text));
    EXPECT_EQ(u->loaded_len, 5);
    EXPECT_EQ(u->loaded, Bytes(text.begin(), text.end()));

    unsigned char out[4] = {7, 7, 7, 7};
    EXPECT_LT(u->DeviceIoControl(1, nullptr, 0, out, 4), 0);
    EXPECT_EQ(out[0], 7);

    EXPECT_EQ(u->GetChildVDevice(0), nullptr);
    EXPECT_TRUE(u->GetAllChildVDevices().empty());
    EXPECT_FALSE(u->UseControllerDb());
    EXPECT_TRUE(u->DeviceType().empty());
}

}  // namespace
