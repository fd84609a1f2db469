// The calibration text file: one number per line, up to 98 values (14 rows
// of c4, c3, c2, c1, c0, minimum, maximum).
#pragma once

#include <string_view>
#include <vector>

#include "config/device_state.h"

namespace kestrel {

// Parses into *table (values the text does not reach keep theirs); lines
// after the 98th are not read. Numbers are read the same in every locale (a
// full stop is the decimal point). False, with *table unchanged, when a line
// holds no finite number, one out of range or more than a few KiB, or when
// the text holds no number at all.
bool parseCalibrationText(std::string_view text, CalibrationTable* table);
// The same numbers in file order (at most 98), for a table kept elsewhere.
bool parseCalibrationValues(std::string_view text, std::vector<double>* values);

// The same from a file, read whole before it is parsed; false when it is not
// a regular file, cannot be read, keeps changing while it is read, or path
// is null.
bool readCalibrationFile(const char* path, CalibrationTable* table);
bool readCalibrationValues(const char* path, std::vector<double>* values);

}  // namespace kestrel
