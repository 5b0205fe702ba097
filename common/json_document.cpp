#include "common/json_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fmt/format.h>

namespace common {

namespace {

// jsoncpp's "* Line 1, Column 5\n  Syntax error: ..." as one short line.
std::string OneLine(const std::string& errors) {
    std::string line;
    bool line_start = true;
    for (char c : errors) {
        if (c == '\n') {
            line_start = true;
            if (!line.empty() && line.back() != ' ') line += ' ';
            continue;
        }
        if (line_start && (c == ' ' || c == '*')) continue;
        line_start = false;
        line += c;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return Escape(Shorten(line, 200));
}

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "no regular file";
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

// Anything but a regular file is refused before it is opened (opening a
// serial device moves its modem lines, a FIFO waits for a writer), and again
// after, in case the name changed in between.
int OpenRegularFile(const std::string& path, std::string& why) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        why = KindOf(st.st_mode);
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = S_ISREG(st.st_mode) ? std::strerror(errno) : KindOf(st.st_mode);
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string ReadDocumentFile(const std::string& path) {
    std::string why;
    Fd f{OpenRegularFile(path, why)};
    if (f.fd < 0) throw JsonError(path, "", "a readable file", why);
    const std::string too_big = fmt::format("a file of at most {} bytes (1 MB)", kMaxDocumentBytes);
    struct stat st {};
    if (::fstat(f.fd, &st) == 0 && st.st_size > static_cast<off_t>(kMaxDocumentBytes))
        throw JsonError(path, "", too_big, fmt::format("{} bytes", st.st_size));
    // One byte more than allowed tells a file that grew since fstat.
    std::string text(kMaxDocumentBytes + 1, '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(f.fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw JsonError(path, "", "a readable file", std::strerror(errno));
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    if (got > kMaxDocumentBytes) throw JsonError(path, "", too_big, "a file that grew past it while read");
    text.resize(got);
    return text;
}

Json::Value ParseDocument(const std::string& file, std::string_view text) {
    Json::CharReaderBuilder b;
    Json::CharReaderBuilder::strictMode(&b.settings_);
    b["allowSpecialFloats"] = false;
    b["stackLimit"] = kMaxDepth;
    const std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    Json::Value root;
    std::string errors;
    bool ok = false;
    try {
        ok = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
    } catch (const Json::Exception& e) {
        // jsoncpp throws only when the nesting passes its stack limit.
        if (std::strstr(e.what(), "stackLimit"))
            throw JsonError(file, "", fmt::format("a JSON object nested at most {} levels deep", kMaxDepth),
                            "deeper nesting");
        throw JsonError(file, "", "a JSON object", "invalid JSON: " + OneLine(e.what()));
    }
    if (!ok) throw JsonError(file, "", "a JSON object", "invalid JSON: " + OneLine(errors));
    if (!root.isObject()) throw JsonError(file, "", "a JSON object", Describe(root));
    return root;
}

Json::Value LoadDocument(const std::string& path) { return ParseDocument(path, ReadDocumentFile(path)); }

}  // namespace common
