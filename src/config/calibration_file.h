// The calibration text file: one number per line, up to 98 values (14 rows
// of c4, c3, c2, c1, c0, minimum, maximum).
#pragma once

#include <istream>

#include "config/device_state.h"

namespace kestrel {

// Parses into *table (values the input does not reach keep theirs); reading
// stops after the 98th line. False, with *table unchanged, when a line holds
// no number, one out of range or more than a few KiB, or when the input
// holds no number at all.
bool parseCalibrationLines(std::istream& in, CalibrationTable* table);

// The same from a file; false when it is not a regular file, cannot be
// opened, or path is null.
bool readCalibrationFile(const char* path, CalibrationTable* table);

}  // namespace kestrel
