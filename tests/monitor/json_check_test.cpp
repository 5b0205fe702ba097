// The shared JSON checker where the programs' end-to-end tests cannot reach
// it: getters and values no config or scenario of today uses, and the text
// helpers at their edges.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "common/json_check.h"

namespace {

Json::Value V(const std::string& text) { return common::ParseDocument("t.json", R"({"v": )" + text + "}")["v"]; }

TEST(JsonCheck, GettersAtTheirEdges) {
    const common::JsonChecker c("f.json");
    EXPECT_EQ(c.Integer(V("1.0"), "k", 0, 9), 1);
    EXPECT_EQ(c.Integer(V("-9223372036854775808"), "k", INT64_MIN, 0), INT64_MIN);
    EXPECT_EQ(c.Id(V("4294967295"), "k"), UINT32_MAX);
    EXPECT_EQ(c.NumberOrText(V(R"(" 12.5	")"), "k"), 12.5);
    EXPECT_EQ(c.NumberOrText(V(R"("-1e3")"), "k"), -1000);
    EXPECT_EQ(c.NumberOrText(V("0.25"), "k"), 0.25);
    EXPECT_TRUE(c.Boolean(V("true"), "k"));
    EXPECT_FALSE(c.Boolean(V("false"), "k"));
    EXPECT_EQ(c.ByteOrHex(V(R"("0X7")"), "k"), 7);
    EXPECT_EQ(c.HexBytes(V(R"("2020FFfe")"), "k", 4), (std::vector<uint8_t>{0x20, 0x20, 0xFF, 0xFE}));
    EXPECT_EQ(c.Topic(V(R"("")"), "k", true), "");

    using Get = std::function<void(const Json::Value&)>;
    const std::tuple<const char*, Get, const char*> refusals[] = {
        {"4294967296", [&](auto& v) { c.Id(v, "k"); }, "expected an unsigned integer, found 4294967296"},
        {"true", [&](auto& v) { c.Id(v, "k"); }, "expected an unsigned integer, found true"},
        {"2.5", [&](auto& v) { c.Id(v, "k"); }, "expected an unsigned integer, found 2.5"},
        {"9223372036854775808", [&](auto& v) { c.Integer(v, "k", 0, INT64_MAX); },
         "expected an integer from 0 to 9223372036854775807, found 9223372036854775808"},
        {"3.0", [&](auto& v) { c.Integer(v, "k", 0, 2); }, "expected an integer from 0 to 2, found 3.0"},
        {"1e300", [&](auto& v) { c.Number(v, "k", -1, 1); }, "expected a number from -1 to 1, found 1e+300"},
        {"1", [&](auto& v) { c.Boolean(v, "k"); }, "expected true or false, found 1"},
        {R"("0x")", [&](auto& v) { c.ByteOrHex(v, "k"); },
         R"(expected an integer from 0 to 255 or hex text such as "0x20", found "0x")"},
        {R"("0x123")", [&](auto& v) { c.ByteOrHex(v, "k"); },
         R"(expected an integer from 0 to 255 or hex text such as "0x20", found "0x123")"},
        {R"("20202g20")", [&](auto& v) { c.HexBytes(v, "k", 4); }, R"(expected 8 hex characters, found "20202g20")"},
        {"[1, 2, 3]", [&](auto& v) { c.Array(v, "k", "at most 2 values", 2); }, "expected at most 2 values, found an array"},
        {R"("/a")", [&](auto& v) { c.Topic(v, "k", true); },
         R"(expected a topic without '+', '#' or a leading or trailing '/', found "/a")"},
        {R"("e")", [&](auto& v) { c.OneOf(v, "k", {"a", "b", "c"}); }, R"(expected "a", "b" or "c", found "e")"},
    };
    for (const auto& [text, get, line] : refusals) {
        try {
            get(V(text));
            ADD_FAILURE() << text << " accepted";
        } catch (const common::JsonError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("f.json: k: ") + line);
            EXPECT_EQ(e.path, "k");
        }
    }
}

TEST(JsonCheck, MessagesShowTextsWholeCharactersAndNoControls) {
    // Cut at a character boundary: 13 three-byte characters make 39 bytes.
    const std::string han = "站";
    std::string long_text;
    for (int i = 0; i < 20; ++i) long_text += han;
    std::string cut;
    for (int i = 0; i < 12; ++i) cut += han;
    EXPECT_EQ(common::Shorten(long_text), cut + "...");
    EXPECT_EQ(common::Quote(long_text), "\"" + cut + "...\"");
    // DEL, a NUL, an escape sequence, a lone continuation byte, a truncated
    // sequence at the end; valid UTF-8 beyond the C1 block passes.
    EXPECT_EQ(common::Escape(std::string("\x7f\0\x1b[m\x80\xc2\xa0\xe2\x80\xa8\xe2\x80", 13)),
              "\\u007f\\u0000\\u001b[m\\ufffd\xc2\xa0\xe2\x80\xa8\\ufffd\\ufffd");
    // Overlong and surrogate encodings are no UTF-8 either.
    EXPECT_EQ(common::Escape("\xc0\xaf\xed\xa0\x80"), "\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd");
    EXPECT_EQ(common::Describe(V("2.0")), "2.0");
    EXPECT_EQ(common::Describe(V("-0.5")), "-0.5");
    EXPECT_EQ(common::Describe(V("18446744073709551615")), "18446744073709551615");
    EXPECT_EQ(common::Describe(V(R"({"a": 1})")), "an object");
    EXPECT_EQ(common::JsonError("", "", "x", "y").what(), std::string(": (file): expected x, found y"));
}

}  // namespace
