// Frames as the emulator sees them: decoded into a FrameRecord, and described
// in one line for the trace.
#pragma once

#include <cstdint>
#include <string>

#include "board_emulator.h"

namespace kestrel::sim {

FrameRecord decodeFrame(const uint8_t* frame);
std::string describeFrame(uint64_t number, const FrameRecord& record);

}  // namespace kestrel::sim
