// Calibration files come only from the directory the operator names
// (--calibration-dir): a name a client gives is resolved inside it, with no
// way out through "..", an absolute path elsewhere or a symbolic link.
#pragma once

#include <optional>
#include <string>

namespace kestreld {

// The file's real path when `name` is a regular file inside `directory`,
// else nullopt, whatever the reason (so that a client learns nothing of
// the files outside).
std::optional<std::string> calibrationFileIn(const std::string& directory, const std::string& name);

}  // namespace kestreld
