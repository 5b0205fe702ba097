#pragma once
// One alarm check as the host records it. A plain value type: copies copy
// every field, in declaration order.

#include <cstdint>
#include <string>

struct rule_value {
    uint8_t state = 0;      // condition as 0/1, or the raw state byte of a state-table check
    std::string key;
    std::string code;
    int32_t level = 0;
    uint32_t seq = 0;
    std::string name;
    std::string detail;
    uint32_t table_id = 0;  // 0: two-state check; else the interned state text table
};
