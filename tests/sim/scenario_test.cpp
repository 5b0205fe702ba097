// Scenario files: the shipped reference file is the built-in site, refusals
// name the key.

#include <gtest/gtest.h>

#include "sim/answers.h"
#include "sim/scenario.h"
#include "tests/sim/sim_harness.h"

using namespace sim;

namespace {

const std::pair<uint8_t, uint8_t> kCommands[] = {{0x40, 0x51}, {0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44},
                                                 {0x41, 0x41}, {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x41},
                                                 {0x42, 0x44}, {0x40, 0x46}, {0x42, 0x46}};

Json::Value json(const std::string& text) {
    Json::Value v;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(Json::CharReaderBuilder().newCharReader());
    if (!r->parse(text.data(), text.data() + text.size(), &v, &errs)) throw std::runtime_error(errs);
    return v;
}

}  // namespace

TEST(Scenario, ShippedReferenceFileIsTheBuiltInSiteAndWritesBackTheSame) {
    const Scenario builtin = Scenario::reference();
    const Scenario file = Scenario::load_file(M520S_SOURCE_DIR "/sim/scenarios/reference.json");
    const Scenario again = Scenario::parse(builtin.to_json(), "again");
    EXPECT_NO_THROW(Scenario::load_file(M520S_SOURCE_DIR "/sim/scenarios/alarms-and-faults.json"));
    for (double t : {0.0, 17.25, 431.5})
        for (auto [cid1, cid2] : kCommands) {
            const auto a = answer_info(builtin.site, cid1, cid2, t, 0x11);
            ASSERT_TRUE(a);
            EXPECT_EQ(a, answer_info(file.site, cid1, cid2, t, 0x11)) << std::hex << +cid1 << "/" << +cid2;
            EXPECT_EQ(a, answer_info(again.site, cid1, cid2, t, 0x11)) << std::hex << +cid1 << "/" << +cid2;
        }
    // The values drift over time but stay near their means.
    const WireFloat& a = builtin.site.ac[0].channels[0].a;
    const float a0 = a.value_at(0), a1 = a.value_at(30);
    EXPECT_NE(a0, a1);
    EXPECT_NEAR(a0, 230.4f, 1.21f);
    EXPECT_NEAR(a1, 230.4f, 1.21f);
}

TEST(Scenario, RefusalsNameTheFileTheKeyWhatWasExpectedAndWhatWasFound) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"colour": 1})",
         "f.json: colour: expected one of address, version, model, data_flags, ac, dc, rectifier, ac_param, "
         "ac_param_user, dc_param, dc_param_user, faults, fault_options, timeline, comment, found unknown key \"colour\""},
        {R"({"ac": [{"channels": [{}, {"a_state": -1}]}]})",
         "f.json: ac[0].channels[1].a_state: expected an integer from 0 to 255, found -1"},
        {R"({"timeline": [{"set": {"dc[0].v": 1}}]})",
         "f.json: timeline[0]: expected exactly one of \"at_cycle\" and \"after_s\", found an object"},
        {R"({"timeline": [{"at_cycle": 2, "fault": "gremlins"}]})",
         "f.json: timeline[0].fault: expected a fault name (\"silence\", \"bad_chksum\", \"bad_lchksum\", \"garbage\", "
         "\"split\", \"double\", \"error_rtn\", \"wrong_cid1\", \"count_mismatch\", \"short_info\" or \"late\"), "
         "found \"gremlins\""},
        {R"({"timeline": [{"at_cycle": 2, "set": {"dc[5].v": 1}}]})",
         "f.json: timeline[0].set.dc[5].v: expected a key path of the site, found no such key"},
        {R"({"timeline": [{"at_cycle": 2, "modules": 3}, {"at_cycle": 3, "set": {"rectifier.modules[5].fault_state": 1}}]})",
         "f.json: timeline[1].set.rectifier.modules[5].fault_state: expected a key path of the site, found no such key"},
        {R"({"faults": {"gremlins": 0.5}})",
         "f.json: faults.gremlins: expected one of silence, bad_chksum, bad_lchksum, garbage, split, double, "
         "error_rtn, wrong_cid1, count_mismatch, short_info, late, found unknown key \"gremlins\""},
        {R"({"faults": {"silence": 1.5}})", "f.json: faults.silence: expected a number from 0 to 1, found 1.5"},
        {R"({"dc": [{"v": {"raw": "2020"}}]})", "f.json: dc[0].v.raw: expected 8 hex characters, found \"2020\""},
        {R"({"dc": [{"v": {"swing": 1}}]})", "f.json: dc[0].v.mean: expected a number, found nothing"},
        {R"({"version": "0x2G"})",
         "f.json: version: expected an integer from 0 to 255 or hex text such as \"0x20\", found \"0x2G\""},
        {R"({"model": "M520S-with-a-long-name"})",
         "f.json: model: expected a text of at most 20 bytes, found \"M520S-with-a-long-name\""},
        {R"({"timeline": [{"at_cycle": 2, "set": {"dc[0].v\u0000": 1}}]})",
         "f.json: timeline[0].set.dc[0].v\\u0000: expected a key path of the site, found no such key"},
        {R"({"rectifier": {"modules": 80}})",
         "f.json: rectifier.modules: expected at most 2047 INFO bytes in the 41/41 answer, found 2646 bytes"},
    };
    for (const auto& [text, message] : cases) {
        try {
            Scenario::parse(json(text), "f.json");
            ADD_FAILURE() << "accepted " << text;
        } catch (const ScenarioError& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    }
    sim_test::TempFile broken("{\"ac\": [1, 2}");
    try {
        Scenario::load_file(broken.path);
        ADD_FAILURE() << "accepted broken JSON";
    } catch (const ScenarioError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(broken.path + ": (file): expected a JSON object, found invalid JSON: ", 0), 0u)
            << e.what();
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
    }
}
