#include "calibration_dir.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <sstream>

namespace kestreld {

namespace {

bool climbsOut(const std::string& name) {
  std::istringstream parts(name);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part == "..") return true;
  }
  return false;
}

std::optional<std::string> realPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

}  // namespace

std::optional<std::string> calibrationFileIn(const std::string& directory, const std::string& name) {
  if (name.empty() || directory.empty() || climbsOut(name)) return std::nullopt;
  const auto base = realPath(directory);
  const auto file = realPath(name.front() == '/' ? name : directory + "/" + name);
  if (!base || !file || file->rfind(*base + "/", 0) != 0) return std::nullopt;
  struct stat info {};
  if (::stat(file->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return file;
}

}  // namespace kestreld
