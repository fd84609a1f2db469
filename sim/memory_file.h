// The board's non-volatile memory kept in a file between runs, so that a host
// sees the same settings and calibration after the emulator restarts, as it
// would after a power cycle of a real board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
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

// The memory file held open while the emulator runs. Each change is written
// through, in one write, before the host gets its answer: the bytes are then
// in the operating system's file cache and outlive a killed emulator process.
class MemoryFile {
 public:
  // Refuses a path whose folder does not exist, then writes the whole image
  // (atomically, as saveMemoryFile) and keeps the file open for writing through.
  bool open(const std::string& path, const std::vector<uint8_t>& memory, std::string& error);
  bool isOpen() const { return stream_.is_open(); }
  // Puts memory[offset, offset + length) into the file; false leaves it closed.
  bool writeThrough(const std::vector<uint8_t>& memory, size_t offset, size_t length, std::string& error);
  void close();

 private:
  std::string path_;
  std::fstream stream_;
};

}  // namespace kestrel::sim
