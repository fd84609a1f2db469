#include "token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

namespace kestreld {

namespace {

constexpr size_t kTokenBytes = 32;
constexpr size_t kShortestToken = 16;

[[noreturn]] void fail(const std::string& path, const std::string& what) {
  throw std::runtime_error("token file " + path + ": " + what);
}

void writeNew(int fd, const std::string& path, const std::string& token) {
  const std::string line = token + "\n";
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  if (!written) fail(path, "cannot be written");
}

std::string readExisting(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) fail(path, std::strerror(errno));
  struct stat info {};
  char text[256];
  ssize_t n = -1;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) == 0) n = ::read(fd, text, sizeof text);
  ::close(fd);
  if (!S_ISREG(info.st_mode)) fail(path, "is not a regular file");
  if ((info.st_mode & 077) != 0) fail(path, "may be read by others than its owner (chmod 600 it)");
  if (n < 0) fail(path, "cannot be read");
  std::string token(text, static_cast<size_t>(n));
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  const bool plain =
      std::all_of(token.begin(), token.end(), [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '_'; });
  if (token.size() < kShortestToken || !plain) fail(path, "must hold one token of 16 or more letters and digits");
  return token;
}

}  // namespace

std::string newToken() {
  std::random_device random;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (size_t i = 0; i < kTokenBytes; ++i) {
    const unsigned byte = random() & 0xFF;
    token += kHex[byte >> 4];
    token += kHex[byte & 0xF];
  }
  return token;
}

std::string tokenFromFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    std::string token = newToken();
    writeNew(fd, path, token);
    return token;
  }
  if (errno != EEXIST) fail(path, std::strerror(errno));
  return readExisting(path);
}

}  // namespace kestreld
