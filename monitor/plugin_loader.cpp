#include "monitor/plugin_loader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <fmt/format.h>

namespace monitor {

std::string ProgramDir() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, static_cast<size_t>(n));
    const auto slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

namespace {

std::string find_plugin(const std::string& configured) {
    if (!configured.empty()) return configured;
    std::vector<std::string> tried{ProgramDir() + "/libm520s.so"};
#ifdef M520S_PLUGIN_DIR
    tried.push_back(std::string(M520S_PLUGIN_DIR) + "/libm520s.so");
#endif
    for (const auto& p : tried)
        if (::access(p.c_str(), F_OK) == 0) return p;
    return tried.front();
}

}  // namespace

Plugin::Plugin(const std::string& configured) : path(find_plugin(configured)) {
    // Never unloaded: devices and their static tables live until the end.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw PluginError(fmt::format("plug-in {}: {}", path, ::dlerror()));
    auto get = reinterpret_cast<get_providers_fn>(::dlsym(handle, "get_providers"));
    if (!get) throw PluginError(fmt::format("plug-in {}: no get_providers: {}", path, ::dlerror()));
    providers = get();
    if (providers.empty() || !providers[0]) throw PluginError(fmt::format("plug-in {}: no factories", path));
}

std::unique_ptr<SMDSPDevice> Plugin::CreateMain(const model::Model& m) const {
    const size_t i = m.MainProvider();
    // Every factory the plug-in returns makes a serial device; RTTI across a
    // library loaded with hidden symbols is not worth relying on.
    auto* factory = i < providers.size() ? static_cast<SMDSPDeviceProvider*>(providers[i].get()) : nullptr;
    if (!factory) throw PluginError(fmt::format("plug-in {}: no factory {} for the {} main device", path, i, m.Name()));
    std::unique_ptr<SMDSPDevice> d(factory->create());
    if (!d) throw PluginError(fmt::format("plug-in {}: its factory made no device", path));
    if (d->DeviceType() != m.MainDeviceType())
        throw PluginError(fmt::format("plug-in {}: its main device is of type \"{}\", model {} needs \"{}\"", path,
                                      d->DeviceType(), m.Name(), m.MainDeviceType()));
    return d;
}

}  // namespace monitor
