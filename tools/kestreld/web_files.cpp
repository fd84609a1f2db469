#include "web_files.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kestreld {

namespace {

struct Entry {
  const char* url;
  const char* file;  // under the web root
  const char* type;
};

// The plot's package is installed by the setup script; the page works without it.
constexpr Entry kEntries[] = {
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/index.html", "index.html", "text/html; charset=utf-8"},
    {"/app.js", "app.js", "text/javascript; charset=utf-8"},
    {"/style.css", "style.css", "text/css; charset=utf-8"},
    {"/vendor/uplot/uPlot.iife.min.js", "node_modules/uplot/dist/uPlot.iife.min.js", "text/javascript; charset=utf-8"},
    {"/vendor/uplot/uPlot.min.css", "node_modules/uplot/dist/uPlot.min.css", "text/css; charset=utf-8"},
};

constexpr uintmax_t kLargestFile = 4 * 1024 * 1024;

std::optional<std::string> realPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

}  // namespace

std::vector<std::string> WebFiles::paths() {
  std::vector<std::string> out;
  for (const Entry& e : kEntries) out.emplace_back(e.url);
  return out;
}

std::optional<WebFile> WebFiles::read(const std::string& urlPath) const {
  for (const Entry& e : kEntries) {
    if (urlPath != e.url) continue;
    const auto root = realPath(root_);
    const auto file = realPath(root_ + "/" + e.file);
    if (!root || !file || file->rfind(*root + "/", 0) != 0) return std::nullopt;
    std::error_code error;
    if (!std::filesystem::is_regular_file(*file, error) || std::filesystem::file_size(*file, error) > kLargestFile) {
      return std::nullopt;
    }
    std::ifstream in(*file, std::ios::binary);
    std::string content(std::istreambuf_iterator<char>(in), {});
    if (in.bad()) return std::nullopt;
    return WebFile{std::move(content), e.type};
  }
  return std::nullopt;
}

}  // namespace kestreld
