#include "monitor/json_lines.h"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace monitor {

std::string JsonLine(const Json::Value& v) {
    static const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        b["emitUTF8"] = true;
        // Floats reach here as the double of their shortest decimal; 15
        // digits print that decimal back.
        b["precision"] = 15;
        return std::unique_ptr<Json::StreamWriter>(b.newStreamWriter());
    }();
    std::ostringstream out;
    writer->write(v, &out);
    std::string s = out.str();
    s += '\n';
    return s;
}

std::string NowText() {
    const std::string s =
        boost::posix_time::to_iso_extended_string(boost::posix_time::second_clock::local_time());
    return s.substr(0, 19);
}

bool WriteAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void JsonLines::OnEvent(const Json::Value& event) {
    // A reader that went away costs the output, never the polling.
    if (fd >= 0 && !WriteAll(fd, JsonLine(event))) fd = -1;
}

}  // namespace monitor
