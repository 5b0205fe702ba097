#include "monitor/json_out.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace monitor {

JsonOut& JsonOut::Begin() {
    comma();
    out += '{';
    need_comma = false;
    return *this;
}

JsonOut& JsonOut::End() {
    out += '}';
    need_comma = true;
    return *this;
}

JsonOut& JsonOut::List() {
    comma();
    out += '[';
    need_comma = false;
    return *this;
}

JsonOut& JsonOut::EndList() {
    out += ']';
    need_comma = true;
    return *this;
}

JsonOut& JsonOut::Key(std::string_view k) {
    comma();
    AppendQuoted(out, k);
    out += ':';
    need_comma = false;
    return *this;
}

JsonOut& JsonOut::Str(std::string_view s) {
    comma();
    AppendQuoted(out, s);
    need_comma = true;
    return *this;
}

JsonOut& JsonOut::Int(int64_t v) {
    comma();
    char buf[24];
    out.append(buf, static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf));
    need_comma = true;
    return *this;
}

JsonOut& JsonOut::UInt(uint64_t v) {
    comma();
    char buf[24];
    out.append(buf, static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf));
    need_comma = true;
    return *this;
}

JsonOut& JsonOut::Bool(bool v) {
    comma();
    out += v ? "true" : "false";
    need_comma = true;
    return *this;
}

JsonOut& JsonOut::Null() {
    comma();
    out += "null";
    need_comma = true;
    return *this;
}

JsonOut& JsonOut::Float(float v) {
    comma();
    AppendFloat(out, v);
    need_comma = true;
    return *this;
}

JsonOut& JsonOut::Double(double v) {
    comma();
    AppendDouble(out, v);
    need_comma = true;
    return *this;
}

JsonOut& JsonOut::Raw(std::string_view json) {
    comma();
    out += json;
    need_comma = true;
    return *this;
}

void AppendQuoted(std::string& out, std::string_view s) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    size_t plain = 0;  // start of the run not yet copied
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(s.data() + plain, i - plain);
        plain = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
        }
    }
    out.append(s.data() + plain, s.size() - plain);
    out += '"';
}

namespace {

// Significant digits and decimal exponent laid out as printf's %.15g lays
// them out, with jsoncpp's ".0" for a number that would read as an integer.
void lay_out(std::string& out, bool negative, std::string_view digits, int exp10) {
    if (negative) out += '-';
    const size_t start = out.size();
    if (exp10 < -4 || exp10 >= 15) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits.substr(1));
        }
        const int e = exp10 < 0 ? -exp10 : exp10;
        out += exp10 < 0 ? "e-" : "e+";
        if (e < 10) out += '0';
        out += std::to_string(e);
        return;
    }
    if (exp10 < 0) {
        out += "0.";
        out.append(static_cast<size_t>(-exp10 - 1), '0');
        out.append(digits);
        return;
    }
    const size_t whole = static_cast<size_t>(exp10) + 1;
    if (digits.size() <= whole) {
        out.append(digits);
        out.append(whole - digits.size(), '0');
    } else {
        out.append(digits.substr(0, whole));
        out += '.';
        out.append(digits.substr(whole));
    }
    if (out.find('.', start) == std::string::npos) out += ".0";
}

// Splits "d.ddde+XX" (to_chars scientific) into its digits and exponent.
template <class T>
void append_shortest(std::string& out, T v) {
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, v < 0 ? -v : v, std::chars_format::scientific);
    const std::string_view s(buf, static_cast<size_t>(r.ptr - buf));
    const size_t e = s.find('e');
    std::string digits;
    digits += s[0];
    if (e > 2) digits.append(s.substr(2, e - 2));
    int exp10 = std::atoi(std::string(s.substr(e + 1)).c_str());
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    lay_out(out, std::signbit(v), digits, exp10);
}

}  // namespace

void AppendFloat(std::string& out, float v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    if (v == 0) {
        out += std::signbit(v) ? "-0.0" : "0.0";
        return;
    }
    append_shortest(out, v);
}

void AppendDouble(std::string& out, double v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    const std::string_view s(buf);
    out += s;
    if (s.find('.') == std::string_view::npos && s.find('e') == std::string_view::npos) out += ".0";
}

}  // namespace monitor
