#pragma once
// The M520S controller as the host sees it: the main device over the M520S
// AC, DC and rectifier units.

#include "ac/m520s_ac.h"
#include "dc/m520s_dc.h"
#include "device/pmbus_power.h"
#include "rc/m520s_rc.h"

class M520S : public PMBusPower<M520SAC, M520SDC, M520SRC> {
public:
    M520S();
    ~M520S() override;
};
