// kestrelctl's own reading of a calibration file, with the library's rules,
// so that a file the library refuses can be explained: which line, and what
// is wrong with it. The library stays the judge; this only finds the reason.
#pragma once

#include <string>

namespace kestrelctl {

// Why the library refuses the file at `path` ("line 7: 'abc' holds no
// number"), or an empty string when these rules find nothing wrong.
std::string calibrationFileProblem(const std::string& path);

}  // namespace kestrelctl
