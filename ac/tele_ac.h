#pragma once
// Records of an AC distribution panel: one panel record and one record per AC
// input channel. Both are byte images of the wire data and of the stored
// snapshot, so they are packed and every offset below is fixed.
//
// The capacities are template arguments; a capacity of 0 leaves a zero-length
// array that takes no bytes (a GNU extension g++ accepts without -pedantic).

#include <cstddef>
#include <cstdint>

template <uint8_t AirlockMax, uint8_t P4043Size>
struct __attribute__((packed)) tele_c_pmbuspower_ac {
    uint32_t data_id;
    float ia;
    float ib;
    float ic;
    uint8_t channel_count;
    uint8_t airlock_count;
    uint8_t airlock_state[AirlockMax];
    uint8_t p40_43_count;
    uint8_t p40_43_state[P4043Size];
    uint8_t ia_alert;
    uint8_t ib_alert;
    uint8_t ic_alert;
    uint8_t time_stamp[7];

    static constexpr uint8_t AIRLOCK_MAX() { return AirlockMax; }
    static constexpr uint8_t P40_43_SIZE() { return P4043Size; }
};

template <uint8_t P4041Size, uint8_t P4044Size>
struct __attribute__((packed)) tele_c_pmbuspower_ac_channel {
    float a;
    float b;
    float c;
    float f;
    uint8_t p40_41_count;
    float p40_41_value[P4041Size];
    uint8_t a_state;
    uint8_t b_state;
    uint8_t c_state;
    uint8_t f_state;
    uint8_t p40_44_count;
    uint8_t p40_44_state[P4044Size];

    static constexpr uint8_t P40_41_SIZE() { return P4041Size; }
    static constexpr uint8_t p40_44_SIZE() { return P4044Size; }
};

using tele_c_m520s_ac = tele_c_pmbuspower_ac<0, 3>;
using tele_c_m520s_ac_channel = tele_c_pmbuspower_ac_channel<0, 8>;

static_assert(tele_c_m520s_ac::AIRLOCK_MAX() == 0 && tele_c_m520s_ac::P40_43_SIZE() == 3);
static_assert(sizeof(tele_c_m520s_ac) == 32);
static_assert(offsetof(tele_c_m520s_ac, data_id) == 0);
static_assert(offsetof(tele_c_m520s_ac, ia) == 4);
static_assert(offsetof(tele_c_m520s_ac, ib) == 8);
static_assert(offsetof(tele_c_m520s_ac, ic) == 12);
static_assert(offsetof(tele_c_m520s_ac, channel_count) == 16);
static_assert(offsetof(tele_c_m520s_ac, airlock_count) == 17);
static_assert(offsetof(tele_c_m520s_ac, airlock_state) == 18);
static_assert(offsetof(tele_c_m520s_ac, p40_43_count) == 18);
static_assert(offsetof(tele_c_m520s_ac, p40_43_state) == 19);
static_assert(offsetof(tele_c_m520s_ac, ia_alert) == 22);
static_assert(offsetof(tele_c_m520s_ac, ib_alert) == 23);
static_assert(offsetof(tele_c_m520s_ac, ic_alert) == 24);
static_assert(offsetof(tele_c_m520s_ac, time_stamp) == 25);

static_assert(tele_c_m520s_ac_channel::P40_41_SIZE() == 0 &&
              tele_c_m520s_ac_channel::p40_44_SIZE() == 8);
static_assert(sizeof(tele_c_m520s_ac_channel) == 30);
static_assert(offsetof(tele_c_m520s_ac_channel, a) == 0);
static_assert(offsetof(tele_c_m520s_ac_channel, b) == 4);
static_assert(offsetof(tele_c_m520s_ac_channel, c) == 8);
static_assert(offsetof(tele_c_m520s_ac_channel, f) == 12);
static_assert(offsetof(tele_c_m520s_ac_channel, p40_41_count) == 16);
static_assert(offsetof(tele_c_m520s_ac_channel, p40_41_value) == 17);
static_assert(offsetof(tele_c_m520s_ac_channel, a_state) == 17);
static_assert(offsetof(tele_c_m520s_ac_channel, b_state) == 18);
static_assert(offsetof(tele_c_m520s_ac_channel, c_state) == 19);
static_assert(offsetof(tele_c_m520s_ac_channel, f_state) == 20);
static_assert(offsetof(tele_c_m520s_ac_channel, p40_44_count) == 21);
static_assert(offsetof(tele_c_m520s_ac_channel, p40_44_state) == 22);
