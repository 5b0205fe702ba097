#pragma once
// Records of the rectifier unit: one group record and one record per module.
// Both are byte images of the wire data, copied whole into the snapshot, so
// they are packed and every 4-byte value keeps the bytes it arrived with.
// A capacity of 0 gives a zero-length array that takes no room in the image.

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

template <uint8_t kP42_46Size, uint8_t kP42_46Number>
struct tele_c_pmbuspower_rc {
    static constexpr uint8_t P42_46_SIZE() { return kP42_46Size; }
    static constexpr uint8_t P42_46_NUMBER() { return kP42_46Number; }

    uint32_t data_id;
    float ac_param[5];        // 0x40/0x46 values, in received order
    float dc_param[2];        // 0x42/0x46 values, in received order
    uint8_t dc_param_count;   // count byte of 0x42/0x46
    unsigned char dc_param_user[kP42_46Size];
    float group_value;        // first value of 0x41/0x41
    uint8_t module_count;     // always the length of the unit's module list
    unsigned char time_stamp[7];
};

template <uint8_t kP41_41Size, uint8_t kP41_43Size, uint8_t kP41_44Size>
struct tele_c_pmbuspower_rc_channel {
    static constexpr uint8_t P41_41_SIZE() { return kP41_41Size; }
    static constexpr uint8_t P41_43_SIZE() { return kP41_43Size; }
    static constexpr uint8_t P41_44_SIZE() { return kP41_44Size; }

    float module_value;
    uint8_t p41_41_count;
    float p41_41_value[kP41_41Size];
    unsigned char module_state[3];
    uint8_t p41_43_count;
    unsigned char p41_43_state[kP41_43Size];
    uint8_t fault_state;      // 1: module fault
    uint8_t p41_44_count;
    unsigned char p41_44_state[kP41_44Size];
};

#pragma pack(pop)

using tele_c_m520s_rc = tele_c_pmbuspower_rc<0, 0>;
using tele_c_m520s_rc_channel = tele_c_pmbuspower_rc_channel<7, 6, 8>;

static_assert(sizeof(tele_c_m520s_rc) == 45);
static_assert(offsetof(tele_c_m520s_rc, data_id) == 0);
static_assert(offsetof(tele_c_m520s_rc, ac_param) == 4);
static_assert(offsetof(tele_c_m520s_rc, dc_param) == 24);
static_assert(offsetof(tele_c_m520s_rc, dc_param_count) == 32);
static_assert(offsetof(tele_c_m520s_rc, dc_param_user) == 33);
static_assert(offsetof(tele_c_m520s_rc, group_value) == 33);
static_assert(offsetof(tele_c_m520s_rc, module_count) == 37);
static_assert(offsetof(tele_c_m520s_rc, time_stamp) == 38);
static_assert(tele_c_m520s_rc::P42_46_SIZE() == 0 && tele_c_m520s_rc::P42_46_NUMBER() == 0);

static_assert(sizeof(tele_c_m520s_rc_channel) == 53);
static_assert(offsetof(tele_c_m520s_rc_channel, module_value) == 0);
static_assert(offsetof(tele_c_m520s_rc_channel, p41_41_count) == 4);
static_assert(offsetof(tele_c_m520s_rc_channel, p41_41_value) == 5);
static_assert(sizeof(tele_c_m520s_rc_channel::p41_41_value) == 28);
static_assert(offsetof(tele_c_m520s_rc_channel, module_state) == 33);
static_assert(offsetof(tele_c_m520s_rc_channel, p41_43_count) == 36);
static_assert(offsetof(tele_c_m520s_rc_channel, p41_43_state) == 37);
static_assert(offsetof(tele_c_m520s_rc_channel, fault_state) == 43);
static_assert(offsetof(tele_c_m520s_rc_channel, p41_44_count) == 44);
static_assert(offsetof(tele_c_m520s_rc_channel, p41_44_state) == 45);
static_assert(tele_c_m520s_rc_channel::P41_41_SIZE() == 7 &&
              tele_c_m520s_rc_channel::P41_43_SIZE() == 6 &&
              tele_c_m520s_rc_channel::P41_44_SIZE() == 8);
