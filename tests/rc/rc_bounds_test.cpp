// Every parser cut short at every length: it ends at the step whose bytes are
// missing, names the count that step needed, and (under the sanitizer, with
// exactly sized buffers) never reads past what it was given.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "tests/rc/rc_support.h"

using namespace rc_test;

namespace {

struct Boundary {
    int need;
    std::string text;  // overflow text with the id filled in, before " {need} - {len}"
};

// For each cut length below the full answer, the expected message is that of
// the first step boundary beyond the cut.
void expect_cut_everywhere(const Bytes& full, const std::vector<Boundary>& steps,
                           const std::function<void(TestRC&)>& prepare,
                           int (*parse)(TestRC&, const Bytes&)) {
    for (size_t len = 0; len < full.size(); ++len) {
        Fixture f;
        prepare(*f.rc);
        f.ctl->logs.clear();
        const Bytes cut(full.begin(), full.begin() + static_cast<long>(len));
        EXPECT_EQ(parse(*f.rc, cut), -1) << "len " << len;
        const Boundary* b = nullptr;
        for (const auto& s : steps)
            if (s.need > static_cast<int>(len)) {
                b = &s;
                break;
            }
        ASSERT_NE(b, nullptr) << "len " << len;
        ASSERT_EQ(f.ctl->logs.size(), 1u) << "len " << len;
        EXPECT_EQ(f.ctl->logs[0], b->text + " " + std::to_string(b->need) + " - " + std::to_string(len))
            << "len " << len;
    }
}

const std::string k41_41 = "PMBusPowerAC:ProcotolError 77 read 41_41 read overflow";
const std::string k41_41in = "PMBusPowerAC:ProcotolError 77 read 41_41 in channel overflow";
const std::string k41_43 = "PMBusPowerAC:ProcotolError 77 read 41_43 read overflow";
const std::string k41_44 = "PMBusPowerAC:ProcotolError 77 read 41_44 read overflow";

void two_modules(TestRC& u) {
    ASSERT_EQ(p41_41(u, info41_41(0, {{1, seven_values(1)}, {2, seven_values(2)}})), 72);
}

}  // namespace

TEST(RcBounds, Analog41_41) {
    const Bytes full = info41_41(3.0f, {{1, seven_values(1)}, {2, seven_values(2)}});
    ASSERT_EQ(full.size(), 72u);
    expect_cut_everywhere(full,
                          {{5, k41_41}, {6, k41_41}, {11, k41_41}, {39, k41_41in},
                           {44, k41_41}, {72, k41_41in}},
                          [](TestRC&) {}, p41_41);
}

TEST(RcBounds, Analog41_41SkippedValuesPastTheEnd) {
    // The last module announces two values but the answer ends after its count.
    Fixture f;
    const Bytes info = info41_41(0, {{1, seven_values(1)}, {2, {}, 2}});
    ASSERT_EQ(info.size(), 6u + 33 + 5);
    EXPECT_EQ(p41_41(*f.rc, info), -1);
    ASSERT_EQ(f.ctl->logs.size(), 2u);
    EXPECT_EQ(f.ctl->logs[1], k41_41 + " 52 - 44");
}

TEST(RcBounds, SwitchStates41_43) {
    const Bytes full = info41_43({{{1, 2, 3}, Bytes(6, 4)}, {{5, 6, 7}, Bytes(6, 8)}});
    ASSERT_EQ(full.size(), 22u);
    expect_cut_everywhere(full, {{2, k41_43}, {6, k41_43}, {12, k41_43}, {16, k41_43}, {22, k41_43}},
                          two_modules, p41_43);
}

TEST(RcBounds, SwitchStates41_43SkippedStatesPastTheEnd) {
    Fixture f;
    two_modules(*f.rc);
    Bytes info = info41_43({{{1, 2, 3}, Bytes(6, 4)}, {{5, 6, 7}, Bytes(6, 8)}});
    info[2 + 10 + 3] = 9;  // second module announces 9 states, 6 follow
    EXPECT_EQ(p41_43(*f.rc, info), -1);
    EXPECT_EQ(f.ctl->logs.back(), k41_43 + " 25 - 22");
}

TEST(RcBounds, AlarmStates41_44) {
    const Bytes full = info41_44({{1, Bytes(8, 2)}, {0, Bytes(8, 3)}});
    ASSERT_EQ(full.size(), 22u);
    expect_cut_everywhere(full, {{2, k41_44}, {4, k41_44}, {12, k41_44}, {14, k41_44}, {22, k41_44}},
                          two_modules, p41_44);
}

TEST(RcBounds, AlarmStates41_44SkippedStatesPastTheEnd) {
    Fixture f;
    two_modules(*f.rc);
    Bytes info = info41_44({{1, Bytes(8, 2)}, {0, Bytes(8, 3)}});
    info[2 + 10 + 1] = 10;
    EXPECT_EQ(p41_44(*f.rc, info), -1);
    EXPECT_EQ(f.ctl->logs.back(), k41_44 + " 24 - 22");
}

TEST(RcBounds, AcParameters40_46) {
    const Bytes full = info40_46({1, 2, 3, 4, 5}, 0);
    ASSERT_EQ(full.size(), 21u);
    const std::string k40_46 = "PMBusPowerAC:ProcotolError 77 read 40_46 read overflow";
    expect_cut_everywhere(full, {{20, k40_46}, {21, k40_46}}, [](TestRC&) {}, p40_46);
}

TEST(RcBounds, AcParametersWithoutTheirCountKeepTheFiveValues) {
    // Twenty bytes hold the five values: stored, as every parser stores what
    // it read before the missing byte; fewer store nothing.
    Fixture f;
    const Bytes full = info40_46({1, 2, 3, 4, 5}, 0);
    const Bytes twenty(full.begin(), full.begin() + 20);
    EXPECT_EQ(p40_46(*f.rc, twenty), -1);
    EXPECT_EQ(bytes_of(f.rc->tele.ac_param, 20), twenty);
    Fixture g;
    EXPECT_EQ(p40_46(*g.rc, Bytes(twenty.begin(), twenty.end() - 1)), -1);
    EXPECT_EQ(bytes_of(g.rc->tele.ac_param, 20), Bytes(20, 0));
}

TEST(RcBounds, DcParameters42_46) {
    const Bytes full = info42_46(1, 2, 0);
    ASSERT_EQ(full.size(), 9u);
    expect_cut_everywhere(full, {{9, "PMBusPowerAC:ProcotolError 77 read 42_46 read overflow"}},
                          [](TestRC&) {}, p42_46);
}

TEST(RcBounds, ParameterCountsNameBytesThatAreNotReadOrThere) {
    // The results name values beyond the buffer; the sanitizer proves they
    // are not read.
    Fixture f;
    EXPECT_EQ(p40_46(*f.rc, info40_46({1, 2, 3, 4, 5}, 255)), 21 + 4 * 255);
    EXPECT_EQ(p42_46(*f.rc, info42_46(1, 2, 255)), 9 + 4 * 255);
    EXPECT_EQ(f.ctl->logs, std::vector<std::string>{"QTR41K:ProcotolError parse42_46 77 p:255 != 0"});
}
