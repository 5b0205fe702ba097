#pragma once
// The M520S controller's rectifier unit: the generic unit with the model's
// device type and its table of module status alarms.

#include "rc/pmbus_power_rc.h"
#include "rc/tele_rc.h"

class M520SRC : public PMBusPowerRC<tele_c_m520s_rc, tele_c_m520s_rc_channel, 5089> {
public:
    M520SRC();

    void DoImpCheckAlert() override;
};
