// SCPI error numbers and their standard texts, and the exception that carries
// one from wherever a command fails to the client's error queue.
#pragma once

#include <stdexcept>
#include <string>

namespace kestreld::scpi {

enum ErrorCode : int {
  kNoError = 0,
  kCommandError = -100,
  kSyntaxError = -102,
  kDataTypeError = -104,
  kParameterNotAllowed = -108,
  kMissingParameter = -109,
  kUndefinedHeader = -113,
  kHeaderSuffixOutOfRange = -114,
  kInvalidSuffix = -131,
  kExecutionError = -200,
  kSettingsConflict = -221,
  kDataOutOfRange = -222,
  kTooMuchData = -223,
  kIllegalParameterValue = -224,
  kHardwareError = -240,
  kHardwareMissing = -241,
  kQueueOverflow = -350,
  kInputBufferOverrun = -363,
};

// The standard text of a number ("Undefined header").
const char* errorText(int code);

// A command that failed: the number, and optional detail that follows the
// standard text after a semicolon, as instruments do.
struct ScpiError : std::runtime_error {
  explicit ScpiError(int errorCode, const std::string& detail = {}) : std::runtime_error(detail), code(errorCode) {}
  int code;
};

}  // namespace kestreld::scpi
