#pragma once
// The M520S model of the DC distribution unit: the generic DC panel plus the
// controller's status alarm table over the user-defined state bytes.

#include <string>

#include "dc/pmbus_power_dc.h"
#include "dc/tele_dc.h"

class M520SDC : public PMBusPowerDC<tele_c_m520s_dc, 5090> {
public:
    M520SDC();
    explicit M520SDC(const std::string& model_text);
    ~M520SDC() override;

protected:
    void DoImpCheckAlert() override;
};
