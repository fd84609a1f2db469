// The calibration text file: one number per line, up to 98 values (14 rows
// of c4, c3, c2, c1, c0, minimum, maximum).
#pragma once

#include <istream>

#include "config/device_state.h"

namespace kestrel {

// Parses into *table (values the input does not reach keep theirs). False,
// with *table unchanged, when a line holds no number or one out of range.
bool parseCalibrationLines(std::istream& in, CalibrationTable* table);

// The same from a file; false when it cannot be opened (or path is null).
bool readCalibrationFile(const char* path, CalibrationTable* table);

}  // namespace kestrel
