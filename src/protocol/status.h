// The one result vocabulary of the library: every device operation that
// reports an outcome returns one of these, and the C interface passes the
// same numbers on (api/status.h ties them to KestrelLib.h). It lives here,
// at the bottom, so that every layer may name a result.
#pragma once

#include <cstdint>

namespace kestrel {

enum class Status : int32_t {
  Ok = 0,
  Failed = 1,                     // the board did not answer or did not take a write
  NotConnected = 2,
  OutOfRange = 3,
  InvalidInstance = 4,
  CalibrationSourceSelected = 5,  // a custom FM rate while calibration is in use
};

// The number the C interface returns.
constexpr int32_t code(Status status) { return static_cast<int32_t>(status); }

// Success or a plain failure, from an exchange's outcome.
constexpr Status okOrFailed(bool ok) { return ok ? Status::Ok : Status::Failed; }

// The same from raw register access, which answers 1 for success.
constexpr Status fromFlag(int32_t flag) { return okOrFailed(flag != 0); }

}  // namespace kestrel
