#pragma once
// The driver plug-in: dlopen, get_providers, and the main device of the
// config's model made by its factory.

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/vdevice.h"
#include "monitor/models/model.h"
#include "plugin/providers.h"

namespace monitor {

// The plug-in cannot be used; the message names it and why.
class PluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Plugin {
public:
    // configured: "" looks beside the program, then in the installed directory.
    explicit Plugin(const std::string& configured);
    const std::string& Path() const { return path; }
    // The model's main device, not yet initialised.
    std::unique_ptr<SMDSPDevice> CreateMain(const model::Model& model) const;

private:
    std::string path;
    std::vector<std::shared_ptr<Provider>> providers;
};

// The directory of the running program.
std::string ProgramDir();

}  // namespace monitor
