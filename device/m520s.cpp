#include "device/m520s.h"

// The whole dispatch is compiled here, once, inside the plug-in.
template class PMBusPower<M520SAC, M520SDC, M520SRC>;

M520S::M520S() : PMBusPower<M520SAC, M520SDC, M520SRC>({"M520S"}) {
    device_type = "m520s";
    baud_rate = 9600;
    serial_port = 1;
    // Only version 0x21 controllers take the command group with DC requests.
    version = 0x20;
}

M520S::~M520S() = default;
