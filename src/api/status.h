// Status codes of the C interface and the mappings from the device's results.
#pragma once

#include <cstdint>

namespace kestrel::status {

inline constexpr int32_t kOk = 0;
inline constexpr int32_t kFailed = 1;
inline constexpr int32_t kNotConnected = 2;
inline constexpr int32_t kOutOfRange = 3;
inline constexpr int32_t kInvalidInstance = 4;

// A success flag (non-zero means success) as a status.
constexpr int32_t fromFlag(int32_t flag) { return flag != 0 ? kOk : kFailed; }
// A code with 0 for success as a status.
constexpr int32_t fromCode(int32_t code) { return code == 0 ? kOk : kFailed; }

}  // namespace kestrel::status
