#include "common/json_check.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

namespace common {

namespace {

std::string Join(Keys keys) {
    std::string out;
    for (const auto& k : keys) out += (out.empty() ? "" : ", ") + std::string(k);
    return out;
}

// The grammar of a decimal number, with blanks around it.
bool IsDecimal(std::string_view s) {
    auto digits = [&](size_t& i) {
        const size_t from = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        return i > from;
    };
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    bool mantissa = digits(i);
    if (i < s.size() && s[i] == '.') {
        ++i;
        mantissa = digits(i) || mantissa;
    }
    if (!mantissa) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (!digits(i)) return false;
    }
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return i == s.size();
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void JsonChecker::Fail(const std::string& path, std::string_view expected, const Json::Value& found) const {
    throw JsonError(file_name, path, std::string(expected), Describe(found));
}

void JsonChecker::FailFound(const std::string& path, std::string_view expected, std::string found) const {
    throw JsonError(file_name, path, std::string(expected), std::move(found));
}

void JsonChecker::Missing(const std::string& path, std::string_view expected) const {
    FailFound(path, expected, "nothing");
}

void JsonChecker::Object(const Json::Value& v, const std::string& path, Keys keys, std::string_view what) const {
    if (!v.isObject()) Fail(path, what, v);
    for (const auto& name : v.getMemberNames()) {
        if (std::find(keys.begin(), keys.end(), name) != keys.end()) continue;
        FailFound(Member(path, name), keys.empty() ? "no keys here" : "one of " + Join(keys),
                  "unknown key " + Quote(name));
    }
}

const Json::Value& JsonChecker::Require(const Json::Value& obj, const std::string& path, const std::string& key,
                                        std::string_view expected) const {
    if (!obj.isMember(key)) Missing(Member(path, key), expected);
    return obj[key];
}

std::string JsonChecker::Text(const Json::Value& v, const std::string& path, TextRule rule) const {
    std::string want = rule.allow_empty ? "a text" : "a non-empty text";
    if (rule.max_bytes) want += fmt::format(" of at most {} bytes", rule.max_bytes);
    if (!v.isString()) Fail(path, want, v);
    std::string s = v.asString();
    if ((!rule.allow_empty && s.empty()) || (rule.max_bytes && s.size() > rule.max_bytes)) Fail(path, want, v);
    if (!rule.allow_nul && s.find('\0') != std::string::npos) Fail(path, want + " without NUL characters", v);
    return s;
}

std::string JsonChecker::Token(const Json::Value& v, const std::string& path, size_t max_len) const {
    const std::string want = fmt::format("1 to {} characters of A-Z, a-z, 0-9, _ and -", max_len);
    const std::string s = v.isString() ? v.asString() : std::string();
    const bool ok = std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
    if (!v.isString() || s.empty() || s.size() > max_len || !ok) Fail(path, want, v);
    return s;
}

std::string JsonChecker::OneOf(const Json::Value& v, const std::string& path, Keys choices,
                               std::string_view what) const {
    std::string list;
    for (size_t i = 0; i < choices.size(); ++i)
        list += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + Quote(choices[i]);
    if (v.isString() && std::find(choices.begin(), choices.end(), v.asString()) != choices.end())
        return v.asString();
    Fail(path, what.empty() ? list : fmt::format("{} ({})", what, list), v);
}

std::string JsonChecker::Topic(const Json::Value& v, const std::string& path, bool allow_empty) const {
    std::string t = Text(v, path, {.allow_empty = allow_empty});
    if (t.find_first_of("+#") != std::string::npos ||
        (!t.empty() && (t.front() == '/' || t.back() == '/')))
        Fail(path, "a topic without '+', '#' or a leading or trailing '/'", v);
    return t;
}

std::string JsonChecker::ReadableFile(const Json::Value& v, const std::string& path) const {
    std::string name = Text(v, path);
    std::string why;
    const int fd = OpenRegularFile(name, why);
    if (fd < 0) FailFound(path, "a readable file", Quote(name) + " (" + why + ")");
    ::close(fd);
    return name;
}

int64_t JsonChecker::Integer(const Json::Value& v, const std::string& path, int64_t lo, int64_t hi,
                             std::string_view expected) const {
    const std::string want = expected.empty() ? fmt::format("an integer from {} to {}", lo, hi) : std::string(expected);
    if (v.isBool() || !v.isIntegral() || !v.isInt64()) Fail(path, want, v);
    const int64_t n = v.asInt64();
    if (n < lo || n > hi) Fail(path, want, v);
    return n;
}

uint8_t JsonChecker::Byte(const Json::Value& v, const std::string& path) const {
    return static_cast<uint8_t>(Integer(v, path, 0, 255));
}

uint8_t JsonChecker::ByteOrHex(const Json::Value& v, const std::string& path) const {
    if (!v.isString()) return Byte(v, path);
    const std::string t = v.asString();
    if (t.size() > 2 && t.size() <= 4 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        int b = 0;
        for (size_t i = 2; i < t.size() && b >= 0; ++i) b = HexDigit(t[i]) < 0 ? -1 : b * 16 + HexDigit(t[i]);
        if (b >= 0) return static_cast<uint8_t>(b);
    }
    Fail(path, "an integer from 0 to 255 or hex text such as \"0x20\"", v);
}

uint32_t JsonChecker::Id(const Json::Value& v, const std::string& path) const {
    if (v.isBool() || !v.isIntegral() || !v.isUInt()) Fail(path, "an unsigned integer", v);
    return v.asUInt();
}

double JsonChecker::Number(const Json::Value& v, const std::string& path, double lo, double hi) const {
    const std::string want = fmt::format("a number from {} to {}", lo, hi);
    if (v.isBool() || !v.isNumeric()) Fail(path, want, v);
    const double d = v.asDouble();
    if (!(std::isfinite(d) && d >= lo && d <= hi)) Fail(path, want, v);
    return d;
}

double JsonChecker::NumberOrText(const Json::Value& v, const std::string& path) const {
    const char* want = "a number or a text holding a number";
    double d = NAN;
    if (v.isNumeric() && !v.isBool()) d = v.asDouble();
    else if (v.isString() && IsDecimal(v.asString())) d = std::strtod(v.asCString(), nullptr);
    // 1e999 is decimal too, and reads as infinity.
    if (!std::isfinite(d)) Fail(path, want, v);
    return d;
}

bool JsonChecker::Boolean(const Json::Value& v, const std::string& path) const {
    if (!v.isBool()) Fail(path, "true or false", v);
    return v.asBool();
}

const Json::Value& JsonChecker::Array(const Json::Value& v, const std::string& path, std::string_view expected,
                                      size_t max) const {
    if (!v.isArray() || v.size() > max) Fail(path, expected, v);
    return v;
}

std::vector<uint8_t> JsonChecker::HexBytes(const Json::Value& v, const std::string& path, size_t bytes) const {
    const std::string want = fmt::format("{} hex characters", 2 * bytes);
    const std::string t = v.isString() ? v.asString() : std::string();
    if (!v.isString() || t.size() != 2 * bytes) Fail(path, want, v);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < t.size(); i += 2) {
        const int hi = HexDigit(t[i]), lo = HexDigit(t[i + 1]);
        if (hi < 0 || lo < 0) Fail(path, want, v);
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return out;
}

}  // namespace common
