#pragma once
// AC distribution panel of the M520S controller.

#include "ac/pmbus_power_ac.h"
#include "ac/tele_ac.h"

class M520SAC : public PMBusPowerAC<tele_c_m520s_ac, tele_c_m520s_ac_channel, 5088> {
public:
    M520SAC();
    ~M520SAC() override;

    // Eight checks per channel whose user-defined alarm states came complete.
    void DoImpCheckAlert() override;
};
