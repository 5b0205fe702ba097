#include "plugin/providers.h"

#include "ac/m520s_ac.h"
#include "dc/m520s_dc.h"
#include "device/m520s.h"
#include "rc/m520s_rc.h"

M520SProvider::~M520SProvider() = default;
SMDSPDevice* M520SProvider::create() const { return new M520S(); }

M520SACProvider::~M520SACProvider() = default;
SMDSPDevice* M520SACProvider::create() const { return new M520SAC(); }

M520SDCProvider::~M520SDCProvider() = default;
SMDSPDevice* M520SDCProvider::create() const { return new M520SDC(); }

M520SRCProvider::~M520SRCProvider() = default;
SMDSPDevice* M520SRCProvider::create() const { return new M520SRC(); }

std::vector<std::shared_ptr<Provider>> get_providers() {
    return {std::make_shared<M520SProvider>(), std::make_shared<M520SACProvider>(),
            std::make_shared<M520SDCProvider>(), std::make_shared<M520SRCProvider>()};
}
