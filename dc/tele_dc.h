#pragma once
// Telemetry record of one DC distribution panel: the bytes of the 0x42/0x41
// (analog) and 0x42/0x44 (alarm state) answers as they came off the wire,
// plus the unit's id and the time stamp of the last completed cycle. The same
// byte image is the unit's snapshot, so the layout is a stored format.
//
// Every array takes exactly its capacity; a capacity of 0 takes no bytes (GNU
// zero-length array), so the fields after it follow without a gap.

#include <cstddef>
#include <cstdint>

template <uint8_t M_SIZE_, uint8_t N_SIZE_, uint8_t P_SIZE_, uint8_t ALERT_M_SIZE_,
          uint8_t ALERT_P_SIZE_>
struct __attribute__((packed)) tele_c_pmbuspower_dc {
    static constexpr uint8_t M_SIZE() { return M_SIZE_; }
    static constexpr uint8_t N_SIZE() { return N_SIZE_; }
    static constexpr uint8_t P_SIZE() { return P_SIZE_; }
    static constexpr uint8_t ALERT_M_SIZE() { return ALERT_M_SIZE_; }
    static constexpr uint8_t ALERT_P_SIZE() { return ALERT_P_SIZE_; }

    uint32_t data_id;  // little-endian
    float v;           // DC output voltage
    float i;           // DC current
    uint8_t dc_m;      // counts are kept as received, even above capacity
    float dc_m_value[M_SIZE_];
    uint8_t dc_n;
    float dc_n_value[N_SIZE_];
    uint8_t p_count;
    float user_p[P_SIZE_];
    uint8_t v_state;  // 1 too low, 2 too high
    uint8_t alert_m;
    uint8_t alert_m_state[ALERT_M_SIZE_];  // battery fuses; 3 = fault
    uint8_t alert_p;
    uint8_t alert_p_state[ALERT_P_SIZE_];
    unsigned char time_stamp[7];  // get_ttime() of the last completed cycle
};

using tele_c_m520s_dc = tele_c_pmbuspower_dc<2, 0, 20, 2, 71>;

static_assert(sizeof(tele_c_m520s_dc) == 186);
static_assert(offsetof(tele_c_m520s_dc, data_id) == 0);
static_assert(offsetof(tele_c_m520s_dc, v) == 4);
static_assert(offsetof(tele_c_m520s_dc, i) == 8);
static_assert(offsetof(tele_c_m520s_dc, dc_m) == 12);
static_assert(offsetof(tele_c_m520s_dc, dc_m_value) == 13);
static_assert(offsetof(tele_c_m520s_dc, dc_n) == 21);
static_assert(offsetof(tele_c_m520s_dc, dc_n_value) == 22);
static_assert(offsetof(tele_c_m520s_dc, p_count) == 22);
static_assert(offsetof(tele_c_m520s_dc, user_p) == 23);
static_assert(offsetof(tele_c_m520s_dc, v_state) == 103);
static_assert(offsetof(tele_c_m520s_dc, alert_m) == 104);
static_assert(offsetof(tele_c_m520s_dc, alert_m_state) == 105);
static_assert(offsetof(tele_c_m520s_dc, alert_p) == 107);
static_assert(offsetof(tele_c_m520s_dc, alert_p_state) == 108);
static_assert(offsetof(tele_c_m520s_dc, time_stamp) == 179);
static_assert(sizeof(tele_c_m520s_dc::dc_m_value) == 8);
static_assert(sizeof(tele_c_m520s_dc::dc_n_value) == 0);
static_assert(sizeof(tele_c_m520s_dc::user_p) == 80);
static_assert(sizeof(tele_c_m520s_dc::alert_m_state) == 2);
static_assert(sizeof(tele_c_m520s_dc::alert_p_state) == 71);
static_assert(tele_c_m520s_dc::M_SIZE() == 2 && tele_c_m520s_dc::N_SIZE() == 0 &&
              tele_c_m520s_dc::P_SIZE() == 20 && tele_c_m520s_dc::ALERT_M_SIZE() == 2 &&
              tele_c_m520s_dc::ALERT_P_SIZE() == 71);
