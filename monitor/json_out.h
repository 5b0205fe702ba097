#pragma once
// JSON written straight into a string: the monitor's lines are rendered once
// per event without building a document tree first. The output is what
// jsoncpp's writer gives for the same values (UTF-8 as it stands, only
// control characters escaped, doubles with 15 significant digits), so lines
// read the same whichever path made them.

#include <cstdint>
#include <string>
#include <string_view>

namespace monitor {

class JsonOut {
public:
    explicit JsonOut(std::string& into) : out(into) {}

    JsonOut& Begin();  // {
    JsonOut& End();    // }
    JsonOut& List();   // [
    JsonOut& EndList();
    JsonOut& Key(std::string_view k);
    JsonOut& Str(std::string_view s);
    JsonOut& Int(int64_t v);
    JsonOut& UInt(uint64_t v);
    JsonOut& Bool(bool v);
    JsonOut& Null();
    // The shortest decimal that reads back as the same float; null for NaN
    // and infinities.
    JsonOut& Float(float v);
    JsonOut& Double(double v);
    // A value already rendered as JSON.
    JsonOut& Raw(std::string_view json);

    template <class T>
    JsonOut& Field(std::string_view k, const T& v);

private:
    void comma() {
        if (need_comma) out += ',';
    }
    std::string& out;
    bool need_comma = false;
};

// s as a JSON string literal, quotes included.
void AppendQuoted(std::string& out, std::string_view s);
// A float as Float() writes it.
void AppendFloat(std::string& out, float v);
// A double as jsoncpp writes it with 15 significant digits.
void AppendDouble(std::string& out, double v);

template <class T>
JsonOut& JsonOut::Field(std::string_view k, const T& v) {
    Key(k);
    if constexpr (std::is_same_v<T, bool>)
        return Bool(v);
    else if constexpr (std::is_same_v<T, float>)
        return Float(v);
    else if constexpr (std::is_same_v<T, double>)
        return Double(v);
    else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>)
        return Int(v);
    else if constexpr (std::is_integral_v<T>)
        return UInt(v);
    else
        return Str(v);
}

}  // namespace monitor
