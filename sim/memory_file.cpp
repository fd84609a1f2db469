#include "memory_file.h"

#include <algorithm>
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

namespace {
// Told at start-up rather than as a failed save at exit, when the host's
// writes would already be lost.
bool folderExists(const std::string& path, std::string& error) {
  const fs::path folder = fs::path(path).parent_path();
  std::error_code ec;
  if (folder.empty() || fs::is_directory(folder, ec)) return true;
  error = "memory file " + path + ": folder " + folder.string() + " does not exist";
  return false;
}
}  // namespace

bool MemoryFile::open(const std::string& path, const std::vector<uint8_t>& memory, std::string& error) {
  close();
  if (!folderExists(path, error) || !saveMemoryFile(path, memory, error)) return false;
  stream_.open(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!stream_.is_open()) {
    error = "cannot open memory file " + path + " for writing";
    return false;
  }
  path_ = path;
  return true;
}

bool MemoryFile::writeThrough(const std::vector<uint8_t>& memory, size_t offset, size_t length, std::string& error) {
  if (!isOpen()) return false;
  // Block writes may reach past the end of memory; those bytes do not exist.
  if (offset >= memory.size()) return true;
  length = std::min(length, memory.size() - offset);
  stream_.seekp(static_cast<std::streamoff>(offset));
  stream_.write(reinterpret_cast<const char*>(memory.data() + offset), static_cast<std::streamsize>(length));
  stream_.flush();
  if (stream_) return true;
  error = "cannot write memory file " + path_;
  close();
  return false;
}

void MemoryFile::close() {
  if (stream_.is_open()) stream_.close();
  stream_.clear();
}

}  // namespace kestrel::sim
