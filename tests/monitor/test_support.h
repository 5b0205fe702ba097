#pragma once
// Scratch directories and config files for the monitor's tests.

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <json/json.h>

namespace monitor_test {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "m520s-monitor-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
        dir = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string operator/(const std::string& name) const { return (dir / name).string(); }

private:
    std::filesystem::path dir;
};

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The reference site's device settings.
inline Json::Value ReferenceDevice() {
    Json::Value d(Json::objectValue);
    d["data_id"] = 1;
    d["timeout_ms"] = 300;
    d["retries"] = 1;
    d["acSetting"][0]["data_id"] = 11;
    d["acSetting"][1]["data_id"] = 12;
    d["dcSetting"][0]["data_id"] = 21;
    d["dcSetting"][1]["data_id"] = 22;
    d["rcSetting"] = Json::Value(Json::objectValue);
    return d;
}

inline std::string WriteConfig(const std::string& path, const std::string& port, const std::string& db,
                               const Json::Value& device = ReferenceDevice()) {
    Json::Value c(Json::objectValue);
    c["port"] = port;
    c["db"] = db;
    c["poll_ms"] = 100;
    c["device"] = device;
    Json::StreamWriterBuilder b;
    WriteFile(path, Json::writeString(b, c));
    return path;
}

}  // namespace monitor_test
