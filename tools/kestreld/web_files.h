// The front panel's own files, and nothing else of the web root: a fixed list
// of paths, each with its type; a file that resolves outside the root (through
// a symbolic link) is not served, nor is anything not on the list
// (package.json, node_modules at large).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestreld {

struct WebFile {
  std::string content;
  std::string type;
};

class WebFiles {
 public:
  explicit WebFiles(std::string root) : root_(std::move(root)) {}

  // The URL paths served.
  static std::vector<std::string> paths();
  // The file behind a URL path, read now; nullopt when there is none.
  std::optional<WebFile> read(const std::string& urlPath) const;

 private:
  std::string root_;
};

}  // namespace kestreld
