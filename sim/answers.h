#pragma once
// INFO fields of the controller's answers, built from the site as it stands
// at a given time. Layouts follow what the driver walks: per answer a data
// flag and a unit count, then one portion per panel or module.

#include <cstdint>
#include <optional>
#include <string>

#include "sim/encoder.h"
#include "sim/scenario.h"

namespace sim {

// Command words as CID1 << 8 | CID2.
constexpr uint16_t command(uint8_t cid1, uint8_t cid2) { return static_cast<uint16_t>(cid1 << 8 | cid2); }

// INFO of the answer to CID1/CID2, or nothing for a command the controller
// does not know. `flag` goes where the answer carries its data flag.
std::optional<Bytes> answer_info(const Site& site, uint8_t cid1, uint8_t cid2, double t, uint8_t flag);

// Offset of the unit count byte in the answer's INFO, where it has one.
std::optional<size_t> count_offset(uint8_t cid1, uint8_t cid2);

// Refuses a site one of whose answers would not fit in a frame.
void check_answer_sizes(const Site& site, const std::string& source);

}  // namespace sim
