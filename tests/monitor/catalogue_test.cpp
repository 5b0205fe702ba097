// The M520S catalogue against its records and against the real driver: the
// plug-in, loaded as the host loads it, polls a site in which every state the
// catalogue says raises an alarm is planted once.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "host/frame.h"
#include "monitor/models/catalogue.h"
#include "monitor/models/m520s.h"
#include "plugin/providers.h"
#include "tests/support/frames.h"
#include "tests/support/recording_controller.h"

namespace {

using namespace monitor::model;
using testing_support::Bytes;

bool Ascii(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return c >= 0x20 && c < 0x7F; });
}

TEST(Catalogue, FieldsCoverTheirRecordsAndSayWhatTheyMean) {
    const std::set<std::string> units{"V", "A", "Hz", "°C", "W", "%", "s", ""};
    const std::map<std::string_view, uint32_t> ids{{"m520s-ac", 11}, {"m520s-dc", 21}, {"m520s-rc", 1}};
    std::set<std::string> paths, labels;
    for (const UnitKind& u : M520S().Units()) {
        for (const Record* r : {&u.head, u.items}) {
            size_t at = 0;
            for (const Field& f : r ? r->fields : std::span<const Field>{}) {
                const std::string where = std::string(u.device_type) + " " + f.name;
                EXPECT_EQ(f.offset, at) << where;
                at += f.Bytes();
                EXPECT_TRUE(Ascii(f.label) && units.count(f.unit)) << where;
                EXPECT_TRUE(!f.Numeric() || *f.unit || (f.no_unit && *f.no_unit)) << where;
                const Field* c = f.count ? r->Find(f.count) : nullptr;
                EXPECT_TRUE(!f.count || (c && c->kind == Kind::Count && !c->list)) << where;
                const bool numbered = std::string_view(f.label).find("{n}") != std::string_view::npos;
                EXPECT_TRUE(!f.list || (f.element_labels.empty() ? numbered : f.element_labels.size() == f.extent)) << where;
            }
            EXPECT_EQ(at, r ? r->size : 0) << u.device_type;
        }
        for (const auto& v : monitor::UnitFields(u, ids.at(u.device_type), nullptr, 3)) {
            // every value of a site named once, in ASCII
            EXPECT_TRUE(paths.insert(v.path).second && labels.insert(v.label).second && Ascii(v.label)) << v.label;
        }
    }
    for (const char* p : {"11.channels[0].a", "1.modules[2].module_value", "21.v", "21.user_p[0]", "21.alert_p_state[70]"})
        EXPECT_TRUE(paths.count(p)) << p;
    for (const char* l : {"AC panel 11, channel 2, input frequency", "DC panel 21, load fuse 1 state", "Rectifiers 1, module 3, fan state"})
        EXPECT_TRUE(labels.count(l)) << l;
}

// The site as snapshots, every list's count set to its room, and the alarms
// planted in them.
struct Unit {
    const UnitKind* kind;
    uint32_t id;
    size_t items;
    Bytes image;
    size_t Base(size_t item) const { return item ? kind->head.size + (item - 1) * kind->items->size : 0; }
    const Record& Of(size_t item) const { return item ? *kind->items : kind->head; }
};
struct Plant {  // an alarm the site should raise, a part of its label, its state
    uint32_t device;
    std::string key, fragment;
    uint8_t value;
};

struct Site {
    std::vector<Unit> units;
    std::vector<Plant> plants{{1, "device_model", "\"M521S\"", 0}};

    Site() {
        for (auto [type, id, n] : {std::tuple{"m520s-ac", 11u, 3}, {"m520s-ac", 12u, 3}, {"m520s-ac", 13u, 3},
                                   {"m520s-dc", 21u, 0}, {"m520s-dc", 22u, 0}, {"m520s-rc", 1u, 3}}) {
            const UnitKind* k = M520S().Unit(type);
            Unit& u = units.emplace_back(Unit{k, id, size_t(n), Bytes(k->head.size + n * (k->items ? k->items->size : 0))});
            for (size_t i = 0; i <= u.items; ++i)
                for (const Field& f : u.Of(i).fields)
                    if (f.count) u.image[u.Base(i) + u.Of(i).Find(f.count)->offset] = uint8_t(f.extent);
            if (k->items_count) u.image[k->head.Find(k->items_count)->offset] = uint8_t(n);
            std::memcpy(&u.image[k->head.Find("data_id")->offset], &id, 4);
        }
        for (const AlarmKey& k : M520S().AlarmKeys())
            if (k.field) PlantKey(k, *M520S().Unit(k.device_type));
    }

    // Each position a key judges takes a free byte, in another unit or item where there is one.
    void PlantKey(const AlarmKey& k, const UnitKind& kind) {
        const Field* head = kind.head.Find(k.field);
        const Field* f = head ? head : kind.items->Find(k.field);
        for (int e = 0; e < (k.element < 0 && f->list ? f->extent : 1); ++e) {
            std::vector<std::pair<Unit*, size_t>> slots;  // unit and item number, 0 for the head
            for (Unit& u : units)
                for (size_t i = head ? 0 : 1; u.kind == &kind && i <= (head ? 0 : u.items); ++i) slots.emplace_back(&u, i);
            const size_t turn = plants.size();
            const StateText* s = k.states.empty() ? nullptr : &k.states[1 + turn % (k.states.size() - 1)];
            for (size_t t = 0; t < slots.size(); ++t) {
                auto [u, i] = slots[(turn + t) % slots.size()];
                uint8_t& byte = u->image[u->Base(i) + f->offset + (k.element < 0 ? e : k.element)];
                bool taken = byte != 0;
                for (const auto& p : plants) taken |= p.device == u->id && p.key == k.key;
                if (taken) continue;
                byte = s ? s->value : uint8_t(k.value);
                const std::string what = i ? FillLabel(kind.item_label, 0, i) : FillLabel(k.label, 0, e + 1);
                plants.push_back({u->id, k.key, what + (s ? std::string(": ") + s->en : ""), byte});
                break;
            }
        }
    }
};

struct MainRules : SMDVDevice {  // reaches the main device's own pending checks
    static constexpr auto member = &MainRules::pending_rules;
};
using Rule = std::tuple<uint32_t, std::string, rule_value>;  // device, its type, the check

// The plug-in, loaded as the host loads it, learns the controller's model
// (no port: the request stays in flight unsent, and the answer goes straight
// to process()); its units take the site's snapshots and end a cycle on them.
std::vector<Rule> Poll(const Site& site) {
    void* plugin = dlopen(M520S_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(plugin, nullptr) << dlerror();
    auto providers = reinterpret_cast<get_providers_fn>(dlsym(plugin, "get_providers"))();
    std::unique_ptr<SMDSPDevice> main(static_cast<SMDSPDeviceProvider*>(providers.at(0).get())->create());
    auto ctl = std::make_shared<testing_support::RecordingController>();
    main->Init(ctl, 1);
    Json::Value s(Json::objectValue);
    for (const Unit& u : site.units)
        if (u.id != 1) s[u.kind->items ? "acSetting" : "dcSetting"].append(Json::Value(Json::objectValue))["data_id"] = u.id;
    s["rcSetting"] = Json::Value(Json::objectValue);
    EXPECT_TRUE(main->InitSetting(s));
    main->RefreshStatus();
    const Bytes model{'M', '5', '2', '1', 'S', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Bytes f = frame::encode(0x20, 1, 0x40, 0, model.data(), model.size());
    main->process(f.data(), unsigned(f.size()));
    const auto children = main->GetAllChildVDevices();
    EXPECT_EQ(children.size(), site.units.size());
    for (size_t i = 0; i < children.size(); ++i) {
        EXPECT_TRUE(children[i]->LoadFromCache(site.units[i].image.data(), int(site.units[i].image.size())));
        children[i]->RoundDone();
        Bytes published = ctl->snapshots.at(i).bytes;  // the snapshot as restored, but for the new time stamp
        const Field* stamp = site.units[i].kind->head.Find("time_stamp");
        std::copy_n(site.units[i].image.begin() + stamp->offset, 7, published.begin() + stamp->offset);
        EXPECT_EQ(published, site.units[i].image) << site.units[i].id;
    }
    EXPECT_EQ(ctl->RunQueuedWork(), site.units.size());
    EXPECT_TRUE(ctl->logs.empty()) << ctl->logs.front();
    std::vector<Rule> rules;
    for (const auto& b : ctl->batches)
        for (const rule_value& r : b.rules) rules.emplace_back(b.device->DataId(), b.device->DeviceType(), r);
    for (const rule_value& r : main.get()->*MainRules::member) rules.emplace_back(1, main->DeviceType(), r);
    main.reset();
    return rules;  // the plug-in stays loaded: the host's state tables are its own
}

TEST(Catalogue, EveryAlarmTheDriverRaisesIsCataloguedAndLabelled) {
    const Model& m = M520S();
    Site site;
    std::set<std::string> labels, raised;
    std::vector<bool> matched(site.plants.size());
    for (const auto& [device, type, r] : Poll(site)) {
        const AlarmKey* k = m.FindAlarmKey(r.key);
        ASSERT_NE(k, nullptr) << r.key;
        EXPECT_EQ(std::tie(k->device_type, k->level, k->code, k->name), std::tie(type, r.level, r.code, r.name)) << r.key;
        EXPECT_TRUE(r.key == "device_model" || MatchNumbered(k->detail, r.detail)) << r.key << " " << r.detail;
        const host::StateTable* table = host::state_table(r.table_id);
        EXPECT_EQ(table ? table->size() : 0, k->states.size()) << r.key;
        for (const auto& [value, text] : table ? *table : host::StateTable{})
            EXPECT_TRUE(std::any_of(k->states.begin(), k->states.end(), [&](auto& s) { return s.value == value && s.zh == text; }));
        const std::string label = m.AlarmLabel({device, type, r.key, r.name, r.detail, r.state, ""});
        EXPECT_TRUE(Ascii(label) && labels.insert(label).second) << "not ASCII or not distinct: " << label;
        const std::string unit = m.Unit(type) ? FillLabel(m.Unit(type)->label, device, 0) : "Controller 1";
        EXPECT_TRUE(label.starts_with(unit) && (label[unit.size()] == ',' || label[unit.size()] == ':')) << label;
        if (!r.state) continue;
        raised.insert(r.key);
        size_t i = 0;  // the alarm is where it was planted, and its label says so
        while (i < site.plants.size() && (matched[i] || site.plants[i].device != device || site.plants[i].key != r.key ||
                                          label.find(site.plants[i].fragment) == std::string::npos))
            ++i;
        ASSERT_LT(i, site.plants.size()) << "raised where nothing was planted, or labelled wrong: " << label;
        matched[i] = true;
        EXPECT_TRUE(!k->field || m.StateMeaning(type, k->field, k->element, site.plants[i].value)) << r.key;
    }
    EXPECT_EQ(std::count(matched.begin(), matched.end(), false), 0) << "planted alarms the driver did not raise";
    EXPECT_EQ(raised.size() + 1, m.AlarmKeys().size()) << "all but the host's link_lost come from the driver";
    for (const AlarmFacts& a : {AlarmFacts{1, "m520s", "link_lost", "communication lost", "", 1, ""},
                                AlarmFacts{21, "m520s-dc", "M520S_DC_99", "其他告警", "新告警", 1, ""}}) {
        const std::string label = m.AlarmLabel(a);  // the host's own alarm, and one nobody knows
        EXPECT_TRUE(labels.insert(label).second && label.starts_with(a.device == 1 ? "Controller 1: " : "DC panel 21: ")) << label;
    }
}

}  // namespace
