#pragma once
// The dashboard's static files and Chart.js, read once at start and served
// from memory: no path from a request ever reaches the file system.

#include <map>
#include <string>

namespace monitor {

struct StaticFile {
    std::string body;
    std::string type;  // Content-Type
    std::string etag;  // quoted
};

class StaticFiles {
public:
    // Every regular file directly in dir whose name is plain (letters,
    // digits, '.', '_', '-'), plus extra files under names of their own.
    // Missing files are left out.
    void LoadDir(const std::string& dir);
    void Add(const std::string& name, const std::string& path);

    const StaticFile* Find(const std::string& name) const;
    size_t Size() const { return files.size(); }

private:
    std::map<std::string, StaticFile> files;
};

// Where the dashboard's files are: the source tree's www/ for a program run
// from its build tree, else where the package installs them.
std::string WwwDir();
// Where Debian's libjs-chart.js puts its UMD build.
constexpr const char* kChartJsPath = "/usr/share/javascript/chart.js/chart.min.js";

}  // namespace monitor
