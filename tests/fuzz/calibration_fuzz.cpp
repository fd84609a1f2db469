// libFuzzer target: the calibration text file parser. Whatever the bytes,
// parsing ends, and a refused input leaves the table as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "config/calibration_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrel::CalibrationTable table{};
  for (auto& row : table) row.fill(42.0);
  const kestrel::CalibrationTable before = table;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!kestrel::parseCalibrationText(text, &table) && std::memcmp(&table, &before, sizeof table) != 0) std::abort();
  return 0;
}
