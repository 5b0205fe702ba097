#include "monitor/sinks/http_files.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#ifndef M520S_SOURCE_WWW
#define M520S_SOURCE_WWW ""
#endif
#ifndef M520S_BUILD_DIR
#define M520S_BUILD_DIR ""
#endif
#ifndef M520S_INSTALLED_WWW
#define M520S_INSTALLED_WWW "/usr/share/m520s/www"
#endif

namespace monitor {

namespace {

constexpr uintmax_t kMaxFile = 4 * 1024 * 1024;

std::string content_type(const std::string& name) {
    static const std::map<std::string, std::string> types = {
        {".html", "text/html; charset=utf-8"},  {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},    {".svg", "image/svg+xml"},
        {".png", "image/png"},                  {".json", "application/json"},
        {".txt", "text/plain; charset=utf-8"},
    };
    const auto it = types.find(std::filesystem::path(name).extension().string());
    return it == types.end() ? "application/octet-stream" : it->second;
}

bool plain_name(const std::string& n) {
    if (n.empty() || n[0] == '.') return false;
    for (char ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '.' && ch != '_' && ch != '-') return false;
    return true;
}

std::string etag(const std::string& body) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a: a change of content is a new tag
    for (unsigned char ch : body) h = (h ^ ch) * 1099511628211ull;
    return fmt::format("\"{:016x}-{}\"", h, body.size());
}

}  // namespace

void StaticFiles::Add(const std::string& name, const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec) || std::filesystem::file_size(path, ec) > kMaxFile) return;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream body;
    body << in.rdbuf();
    if (!in) return;
    StaticFile f{body.str(), content_type(name), ""};
    f.etag = etag(f.body);
    files[name] = std::move(f);
}

void StaticFiles::LoadDir(const std::string& dir) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (plain_name(name)) Add(name, e.path().string());
    }
}

const StaticFile* StaticFiles::Find(const std::string& name) const {
    const auto it = files.find(name);
    return it == files.end() ? nullptr : &it->second;
}

std::string WwwDir() {
    const std::string build = M520S_BUILD_DIR;
    std::error_code ec;
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (!build.empty() && exe.rfind(build + "/", 0) == 0 && std::filesystem::is_directory(M520S_SOURCE_WWW, ec))
        return M520S_SOURCE_WWW;
    return M520S_INSTALLED_WWW;
}

}  // namespace monitor
