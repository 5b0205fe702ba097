#pragma once
// The plug-in boundary: the host calls get_providers() once and creates its
// devices through the factories. Devices are returned as raw pointers that
// the host owns and deletes through the virtual destructor.

#include <memory>
#include <vector>

class SMDSPDevice;

class Provider {
public:
    virtual ~Provider() = default;
};

class SMDSPDeviceProvider : public Provider {
public:
    virtual SMDSPDevice* create() const = 0;
};

class M520SProvider : public SMDSPDeviceProvider {
public:
    ~M520SProvider() override;
    SMDSPDevice* create() const override;
};

class M520SACProvider : public SMDSPDeviceProvider {
public:
    ~M520SACProvider() override;
    SMDSPDevice* create() const override;
};

class M520SDCProvider : public SMDSPDeviceProvider {
public:
    ~M520SDCProvider() override;
    SMDSPDevice* create() const override;
};

class M520SRCProvider : public SMDSPDeviceProvider {
public:
    ~M520SRCProvider() override;
    SMDSPDevice* create() const override;
};

// Exported with its plain name: main device factory first, then AC, DC and
// rectifier units. extern "C" only keeps the name unmangled; the host calls it
// as the C++ function it is, so clang's warning about the C++ return type does
// not apply.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>> get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

using get_providers_fn = std::vector<std::shared_ptr<Provider>> (*)();
