// The names the library gives board registers, for traces and messages.
#pragma once

#include <cstdint>

namespace kestrel::protocol {

// The name of a register ("BoardId", "SynthNumber"), or null where the
// library names none. Registers whose page selects a sensor or a switch are
// named on every page, the others on page 0 only.
const char* registerName(uint16_t page, uint16_t reg);

}  // namespace kestrel::protocol
