// The board's non-volatile memory kept in a file between runs, so that a host
// sees the same settings and calibration after the emulator restarts, as it
// would after a power cycle of a real board.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::sim {

enum class MemoryFileLoad {
  Loaded,   // the file's bytes are in `memory`
  Missing,  // no such file yet: `memory` is left as it is
  Refused,  // unreadable, or not exactly the memory's size: see `error`
};

MemoryFileLoad loadMemoryFile(const std::string& path, std::vector<uint8_t>& memory, std::string& error);

// Writes a temporary file beside the target and renames it over the target, so
// that the file never holds half of one image and half of another.
bool saveMemoryFile(const std::string& path, const std::vector<uint8_t>& memory, std::string& error);

}  // namespace kestrel::sim
