#pragma once
// The one checker of the JSON files people write for these programs: the
// monitor's config, the sections its sinks plug in, the simulator's scenario.
// Every mistake is one line, worded one way:
//
//   <file>: <key path>: expected <what>, found <found>
//   site.json: device.acSetting[1].data_id: expected an unsigned integer, found "x"
//
// The key path is "(file)" for the document itself. What a user wrote is
// never echoed raw: NUL, control characters and bytes that are not UTF-8 are
// escaped as JSON escapes them, and long texts are shortened, so the message
// is always one whole line.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <json/json.h>

namespace common {

constexpr size_t kMaxDocumentBytes = 1048576;  // 1 MB: more is no hand-written file
constexpr unsigned kMaxDepth = 100;            // nesting levels a document may have

// `text` with control characters, DEL, C1 controls, backslash and invalid
// UTF-8 escaped (\n, \u0000, \ufffd...); valid UTF-8 passes as it is.
std::string Escape(std::string_view text);
// At most `max` bytes, cut at a character boundary and ended with "...".
std::string Shorten(std::string_view text, size_t max = 40);
// A text as a message shows it: shortened, escaped, in double quotes.
std::string Quote(std::string_view text);
// What a message says was found: a quoted text, a number as written,
// "an object", "an array", "null", "true" or "false".
std::string Describe(const Json::Value& v);
// Key paths: Member("device", "acSetting") is "device.acSetting" (the key
// shortened), Member("", "port") is "port"; Element("a", 1) is "a[1]".
std::string Member(std::string_view path, std::string_view key);
std::string Element(std::string_view path, size_t index);

// A refused document. The parts are kept as given (file and path raw, found
// already described); what() is the whole line, escaped.
class JsonError : public std::runtime_error {
public:
    JsonError(std::string file, std::string path, std::string expected, std::string found);
    const std::string file, path, expected, found;
};

// A descriptor of `path` opened for reading if it is a regular file; else -1
// and `why` says what was found ("a FIFO", "No such file or directory").
int OpenRegularFile(const std::string& path, std::string& why);
// The bytes of a regular file of at most kMaxDocumentBytes. A FIFO, device,
// directory or socket is refused before anything is read from it.
std::string ReadDocumentFile(const std::string& path);
// Strict JSON (no comments, no duplicate keys, nothing after the value, no
// NaN or Infinity, at most kMaxDepth levels) holding an object.
Json::Value ParseDocument(const std::string& file, std::string_view text);
Json::Value LoadDocument(const std::string& path);

using Keys = std::span<const std::string_view>;

struct TextRule {
    bool allow_empty = false;
    size_t max_bytes = 0;  // 0: no limit
    // Most texts end up as C strings (paths, libmosquitto), where a NUL
    // would silently cut them short.
    bool allow_nul = false;
};

// Checks values of one document; every refusal throws JsonError naming the
// file as the user gave it.
class JsonChecker {
public:
    explicit JsonChecker(std::string file) : file_name(std::move(file)) {}
    const std::string& file() const { return file_name; }

    [[noreturn]] void Fail(const std::string& path, std::string_view expected, const Json::Value& found) const;
    // `found` already worded (Describe, Quote or plain words).
    [[noreturn]] void FailFound(const std::string& path, std::string_view expected, std::string found) const;
    [[noreturn]] void Missing(const std::string& path, std::string_view expected) const;

    // An object (else "expected <what>") whose keys are all among `keys`.
    void Object(const Json::Value& v, const std::string& path, Keys keys, std::string_view what = "an object") const;
    void Object(const Json::Value& v, const std::string& path, std::initializer_list<std::string_view> keys,
                std::string_view what = "an object") const {
        Object(v, path, Keys(keys.begin(), keys.size()), what);
    }
    // obj[key], or "found nothing" when the key is absent.
    const Json::Value& Require(const Json::Value& obj, const std::string& path, const std::string& key,
                               std::string_view expected) const;

    std::string Text(const Json::Value& v, const std::string& path, TextRule rule = {}) const;
    // 1 to max_len characters of A-Z, a-z, 0-9, '_' and '-' (names that go
    // into ids and topics).
    std::string Token(const Json::Value& v, const std::string& path, size_t max_len) const;
    // One of `choices`; the message lists them, after `what` if given.
    std::string OneOf(const Json::Value& v, const std::string& path, Keys choices, std::string_view what = {}) const;
    std::string OneOf(const Json::Value& v, const std::string& path, std::initializer_list<std::string_view> choices,
                      std::string_view what = {}) const {
        return OneOf(v, path, Keys(choices.begin(), choices.size()), what);
    }
    // A name for MQTT topics: no '+', '#', NUL, leading or trailing '/'.
    std::string Topic(const Json::Value& v, const std::string& path, bool allow_empty) const;
    // The name of a regular file this process can open for reading now.
    std::string ReadableFile(const Json::Value& v, const std::string& path) const;

    // An integral JSON number (1.0 passes, 1.5, "1" and true do not) in
    // [lo, hi]; `expected` replaces "an integer from lo to hi".
    int64_t Integer(const Json::Value& v, const std::string& path, int64_t lo, int64_t hi,
                    std::string_view expected = {}) const;
    uint8_t Byte(const Json::Value& v, const std::string& path) const;
    // A byte, also as hex text such as "0x20".
    uint8_t ByteOrHex(const Json::Value& v, const std::string& path) const;
    // An unsigned 32-bit id.
    uint32_t Id(const Json::Value& v, const std::string& path) const;
    // A finite number in [lo, hi].
    double Number(const Json::Value& v, const std::string& path, double lo, double hi) const;
    // A finite number, or a text holding one in decimal that atof reads whole
    // (blanks around it allowed): no "", " ", "nan", "inf", hex floats or
    // trailing words, which atof would read as 0 or something else.
    double NumberOrText(const Json::Value& v, const std::string& path) const;
    bool Boolean(const Json::Value& v, const std::string& path) const;
    // An array of at most `max` entries.
    const Json::Value& Array(const Json::Value& v, const std::string& path, std::string_view expected = "an array",
                             size_t max = SIZE_MAX) const;
    // Hex text of exactly `bytes` bytes ("20202020").
    std::vector<uint8_t> HexBytes(const Json::Value& v, const std::string& path, size_t bytes) const;

private:
    std::string file_name;
};

}  // namespace common
