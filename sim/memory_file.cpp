#include "memory_file.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "protocol/board_protocol.h"

namespace kestrel::sim {

namespace fs = std::filesystem;

MemoryFileLoad loadMemoryFile(const std::string& path, std::vector<uint8_t>& memory, std::string& error) {
  std::error_code ec;
  const fs::path file(path);
  if (!fs::exists(file, ec)) {
    if (ec) {
      error = "memory file " + path + ": " + ec.message();
      return MemoryFileLoad::Refused;
    }
    return MemoryFileLoad::Missing;
  }
  const auto size = fs::file_size(file, ec);
  if (ec) {
    error = "memory file " + path + ": " + ec.message();
    return MemoryFileLoad::Refused;
  }
  if (size != protocol::kMemorySize) {
    error = "memory file " + path + " holds " + std::to_string(size) + " bytes; a board memory image is exactly " +
            std::to_string(protocol::kMemorySize) + " bytes";
    return MemoryFileLoad::Refused;
  }
  std::ifstream in(file, std::ios::binary);
  std::vector<uint8_t> bytes(protocol::kMemorySize);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
    error = "memory file " + path + " could not be read";
    return MemoryFileLoad::Refused;
  }
  memory = std::move(bytes);
  return MemoryFileLoad::Loaded;
}

bool saveMemoryFile(const std::string& path, const std::vector<uint8_t>& memory, std::string& error) {
  const fs::path target(path);
  fs::path temporary = target;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(memory.data()), static_cast<std::streamsize>(memory.size()));
    out.close();
    if (!out) {
      error = "cannot write memory file " + temporary.string();
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temporary, target, ec);
  if (ec) {
    error = "cannot replace memory file " + path + ": " + ec.message();
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return false;
  }
  return true;
}

}  // namespace kestrel::sim
