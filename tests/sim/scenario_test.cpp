// Scenario files: the shipped reference file is the built-in site, refusals
// name the key, and time line changes reshape the answers.

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
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    if (!r->parse(text.data(), text.data() + text.size(), &v, &errs)) throw std::runtime_error(errs);
    return v;
}

}  // namespace

TEST(Scenario, ShippedReferenceFileIsTheBuiltInSiteAndWritesBackTheSame) {
    const Scenario builtin = Scenario::reference();
    const Scenario file = Scenario::load_file(M520S_SOURCE_DIR "/sim/scenarios/reference.json");
    const Scenario again = Scenario::parse(builtin.to_json(), "again");
    for (double t : {0.0, 17.25, 431.5})
        for (auto [cid1, cid2] : kCommands) {
            const auto a = answer_info(builtin.site, cid1, cid2, t, 0x11);
            ASSERT_TRUE(a);
            EXPECT_EQ(a, answer_info(file.site, cid1, cid2, t, 0x11)) << std::hex << +cid1 << "/" << +cid2;
            EXPECT_EQ(a, answer_info(again.site, cid1, cid2, t, 0x11)) << std::hex << +cid1 << "/" << +cid2;
        }
    // Shape of the reference site in its answers: 2 AC panels of 3 channels,
    // 2 DC panels, 8 modules, the model text padded to 20 bytes.
    const Site& s = builtin.site;
    EXPECT_EQ(answer_info(s, 0x40, 0x41, 0, 0)->size(), 2u + 2 * (1 + 3 * 17 + 12));
    EXPECT_EQ((*answer_info(s, 0x40, 0x41, 0, 0))[1], 2);
    EXPECT_EQ((*answer_info(s, 0x41, 0x41, 0, 0))[5], 8);
    EXPECT_EQ((*answer_info(s, 0x42, 0x44, 0, 0))[1], 2);
    EXPECT_EQ(answer_info(s, 0x42, 0x44, 0, 0)->size(), 2u + 2 * (3 + 2 + 71));
    const Bytes model = *answer_info(s, 0x40, 0x51, 0, 0);
    EXPECT_EQ(std::string(model.begin(), model.end()), "M520S               ");
    EXPECT_FALSE(answer_info(s, 0x43, 0x41, 0, 0));
    // The values drift over time but stay near their means.
    const float a0 = s.ac[0].channels[0].a.value_at(0), a1 = s.ac[0].channels[0].a.value_at(30);
    EXPECT_NE(a0, a1);
    EXPECT_NEAR(a0, 230.4f, 1.21f);
    EXPECT_NEAR(a1, 230.4f, 1.21f);
}

TEST(Scenario, RefusalsNameTheFileTheKeyWhatWasExpectedAndWhatWasFound) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"colour": 1})", "f.json: colour: expected a key of a scenario, found an unknown key"},
        {R"({"address": 256})", "f.json: address: expected an integer from 0 to 255, found 256"},
        {R"({"version": "0x2G"})",
         "f.json: version: expected an integer from 0 to 255 or hex text such as \"0x20\", found \"0x2G\""},
        {R"({"model": "M520S-WITH-A-VERY-LONG-NAME"})",
         "f.json: model: expected a text of at most 20 bytes, found \"M520S-WITH-A-VERY-LONG-NAME\""},
        {R"({"ac": [{"channels": [{}, {"a_state": -1}]}]})",
         "f.json: ac[0].channels[1].a_state: expected an integer from 0 to 255, found -1"},
        {R"({"dc": [{"v": {"mean": 53, "swing": "big"}}]})",
         "f.json: dc[0].v.swing: expected a number from 0 to 3.4e+38, found \"big\""},
        {R"({"dc": [{"v": {"raw": "2020"}}]})", "f.json: dc[0].v.raw: expected 8 hex characters, found \"2020\""},
        {R"({"rectifier": {"modules": [{"module_state": [0, 0]}]}})",
         "f.json: rectifier.modules[0].module_state: expected an array of 3 bytes, found an array"},
        {R"({"data_flags": {"ac": "sometimes"}})",
         "f.json: data_flags.ac: expected \"auto\" or an integer from 0 to 255, found \"sometimes\""},
        {R"({"faults": {"silense": 0.1}})", "f.json: faults.silense: expected a fault name, found an unknown key"},
        {R"({"faults": {"silence": 1.5}})", "f.json: faults.silence: expected a number from 0 to 1, found 1.5"},
        {R"({"timeline": [{"set": {"dc[0].v": 1}}]})",
         "f.json: timeline[0]: expected exactly one of \"at_cycle\" and \"after_s\", found an object"},
        {R"({"timeline": [{"at_cycle": 2, "fault": "gremlins"}]})",
         "f.json: timeline[0].fault: expected a fault name (silence, bad_chksum, bad_lchksum, garbage, split, "
         "double, error_rtn, wrong_cid1, count_mismatch, short_info, late), found \"gremlins\""},
        {R"({"timeline": [{"at_cycle": 2, "set": {"dc[5].v": 1}}]})",
         "f.json: timeline[0].set.dc[5].v: expected a key path of the site, found no such key"},
        {R"({"timeline": [{"at_cycle": 2, "set": {"dc[0].v_state": "x"}}]})",
         "f.json: timeline[0].set.dc[0].v_state: expected an integer from 0 to 255, found \"x\""},
        {R"({"timeline": [{"at_cycle": 2, "modules": 3}, {"at_cycle": 3, "set": {"rectifier.modules[5].fault_state": 1}}]})",
         "f.json: timeline[1].set.rectifier.modules[5].fault_state: expected a key path of the site, found no such key"},
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
        EXPECT_EQ(e.path, "");
        EXPECT_EQ(std::string(e.what()).rfind(broken.path + ": (top level): expected JSON, found ", 0), 0u) << e.what();
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
    }
    EXPECT_THROW(Scenario::load_file("/nonexistent/site.json"), ScenarioError);
}

TEST(Scenario, TimeLineChangesReshapeTheAnswers) {
    Scenario sc = Scenario::parse(json(R"({
        "ac": [{"channels": 1}], "dc": 1, "rectifier": {"modules": 2},
        "timeline": [
          {"at_cycle": 2, "set": {"ac[0].channels[0].a_state": 3, "ac[0].channels": 2, "dc[0].v": 47.5}},
          {"at_cycle": 3, "modules": 4},
          {"at_cycle": 4, "modules": 1}
        ]})"),
                                  "t.json");
    ASSERT_EQ(sc.timeline.size(), 3u);
    // Applied in turn, as the simulator does when each cycle begins.
    sc.apply_changes(sc.timeline[0], 0);
    const Bytes ac = *answer_info(sc.site, 0x40, 0x44, 0, 0);
    // Keys apply in their sorted order, each on what the one before left:
    // two channels, then the state of the first.
    EXPECT_EQ(ac[2], 2);
    EXPECT_EQ(ac[3], 3);
    const Bytes dc = *answer_info(sc.site, 0x42, 0x41, 0, 0);
    float v;
    std::memcpy(&v, dc.data() + 2, 4);
    EXPECT_EQ(v, 47.5f);
    sc.apply_changes(sc.timeline[1], 1);
    EXPECT_EQ((*answer_info(sc.site, 0x41, 0x41, 0, 0))[5], 4);
    EXPECT_EQ((*answer_info(sc.site, 0x41, 0x44, 0, 0))[1], 4);
    sc.apply_changes(sc.timeline[2], 2);
    EXPECT_EQ((*answer_info(sc.site, 0x41, 0x43, 0, 0))[1], 1);
    EXPECT_EQ(answer_info(sc.site, 0x41, 0x43, 0, 0)->size(), 2u + 10);
}
