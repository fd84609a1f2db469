#include "remote_calls.h"

#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "api/active_config_fields.h"
#include "board.h"
#include "protocol/remote_call.h"

namespace kestreld {

using namespace scpi;

namespace {

// The arguments after the export's name, taken in order as the export's
// own types; each must be exactly what a remote instance writes.
class Arguments {
 public:
  explicit Arguments(const std::vector<Param>& params) : params_(params) {}

  int64_t integer(int64_t min, int64_t max) {
    const Param& p = next();
    if (p.kind != ParamKind::Numeric || !p.unit.empty() || p.text.front() == '#' || p.number != std::trunc(p.number))
      throw ScpiError(kDataTypeError, "an integer argument");
    if (p.number < static_cast<double>(min) || p.number > static_cast<double>(max))
      throw ScpiError(kDataTypeError, "an argument outside its type");
    return static_cast<int64_t>(p.number);
  }
  int32_t i32() { return static_cast<int32_t>(integer(INT32_MIN, INT32_MAX)); }
  uint32_t u32() { return static_cast<uint32_t>(integer(0, UINT32_MAX)); }
  uint16_t u16() { return static_cast<uint16_t>(integer(0, UINT16_MAX)); }
  double real() {
    const Param& p = next();
    double value = 0;
    if (p.kind != ParamKind::Numeric || !p.unit.empty() || !kestrel::protocol::parseExactDouble(p.text, &value))
      throw ScpiError(kDataTypeError, "a real argument");
    return value;
  }
  // The calibration values a caller read from its own file: all that is left.
  std::vector<double> rest() {
    std::vector<double> values;
    while (at_ < params_.size()) values.push_back(real());
    return values;
  }
  void end() const {
    if (at_ != params_.size()) throw ScpiError(kParameterNotAllowed, "more arguments than the export takes");
  }

 private:
  const Param& next() {
    if (at_ >= params_.size()) throw ScpiError(kMissingParameter, "fewer arguments than the export takes");
    return params_[at_++];
  }
  const std::vector<Param>& params_;
  size_t at_ = 1;  // after the export's name
};

// The answer line, its outputs kept apart until the status is known.
class Answer {
 public:
  void add(int64_t value) { outputs_ += "," + std::to_string(value); }
  void add(uint64_t value) { outputs_ += "," + std::to_string(value); }
  void add(int32_t value) { add(static_cast<int64_t>(value)); }
  void add(uint16_t value) { add(static_cast<int64_t>(value)); }
  void add(bool value) { add(static_cast<int64_t>(value)); }
  void add(double value) { outputs_ += "," + kestrel::protocol::formatExactDouble(value); }
  std::string line(int32_t status) const { return std::to_string(status) + (status == VXCLK_OK ? outputs_ : ""); }

 private:
  std::string outputs_;
};

using Handler = int32_t (*)(Board&, Arguments&, Answer&);

struct RemoteCall {
  std::string_view name;  // without vxclk_
  Handler run;
};

// A read with one output and no arguments.
template <typename T, int32_t (*Read)(void*, T*)>
int32_t readOne(Board& board, Arguments& args, Answer& answer) {
  args.end();
  T value{};
  const int32_t status = board.run([&](void* h) { return Read(h, &value); });
  answer.add(value);
  return status;
}

int32_t setClock(Board& board, Arguments& args, Answer& answer) {
  const auto write = static_cast<uint8_t>(args.integer(0, UINT8_MAX));
  const uint16_t page = args.u16();
  const uint16_t reg = args.u16();
  uint16_t value = args.u16();
  args.end();
  const int32_t status = board.run([&](void* h) { return vxclk_setClock(h, write, page, reg, &value); });
  if (write == 0) answer.add(value);
  return status;
}

// A read with one argument and one output.
template <typename In, In (Arguments::*Take)(), typename Out, int32_t (*Read)(void*, In, Out*)>
int32_t readAt(Board& board, Arguments& args, Answer& answer) {
  const In at = (args.*Take)();
  args.end();
  Out value{};
  const int32_t status = board.run([&](void* h) { return Read(h, at, &value); });
  answer.add(value);
  return status;
}

int32_t writeEEPROMAddress(Board& board, Arguments& args, Answer&) {
  const uint32_t address = args.u32();
  const double value = args.real();
  args.end();
  const int32_t status = board.run([&](void* h) { return vxclk_writeEEPROMAddress(h, address, &value); });
  if (status == VXCLK_OK) board.afterMemoryWrite(address);
  return status;
}

int32_t saveFMCalibrationValues(Board& board, Arguments& args, Answer&) {
  const double tag = args.real();
  const uint16_t row = args.u16();
  std::array<double, facts::kCalibrationColumns> values{};
  for (double& value : values) value = args.real();
  args.end();
  return board.run([&](void* h) { return vxclk_saveFMCalibrationValues(h, tag, row, values.data()); });
}

int32_t setFMFrequency(Board& board, Arguments& args, Answer&) {
  const int32_t index = args.i32();
  args.end();
  return board.noted(board.applyFMRateIndex(index));
}

template <int32_t (Board::*Apply)(double)>
int32_t applyReal(Board& board, Arguments& args, Answer&) {
  const double value = args.real();
  args.end();
  return board.noted((board.*Apply)(value));
}

int32_t setTx2BUJPRBS(Board& board, Arguments& args, Answer&) {
  const int32_t prbs = args.i32();
  const int32_t flag = args.i32();
  args.end();
  return board.noted(board.applyPRBS(prbs, flag));
}

int32_t setTx2BUJUserDefinedPattern(Board& board, Arguments& args, Answer&) {
  const uint32_t pattern = args.u32();
  args.end();
  return board.noted(board.applyPattern(pattern));
}

int32_t generateClock(Board& board, Arguments& args, Answer&) {
  const double mhz = args.real();
  const int32_t option = args.i32();
  args.end();
  // A sweep holds the clock: refused as the library refuses what the board's state forbids.
  if (board.clockHeld()) return VXCLK_FAILED;
  return board.noted(board.applyClock(mhz, option));
}

int32_t getActiveConfig(Board& board, Arguments& args, Answer& answer) {
  args.end();
  ActiveConfig config{};
  const int32_t status = board.run([&](void* h) { return vxclk_getActiveConfig(h, &config); });
  if (status == VXCLK_OK) board.storeConfig(config);
  kestrel::forEachActiveConfigField(config, [&](const char*, const auto& field) { answer.add(field); });
  return status;
}

// A FILE source comes with the numbers the caller read from its own file:
// they go to a private file of the daemon's, which the library reads as it
// would the caller's.
class PrivateCopy {
 public:
  explicit PrivateCopy(const std::vector<double>& values) {
    const char* tmp = std::getenv("TMPDIR");
    path_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kestreld-calibration-XXXXXX";
    const int fd = mkstemp(path_.data());  // 0600, a new file
    if (fd < 0) {
      path_.clear();
      return;
    }
    std::string text;
    for (double value : values) text += kestrel::protocol::formatExactDouble(value) + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!written) {
      unlink(path_.c_str());
      path_.clear();
    }
  }
  ~PrivateCopy() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  PrivateCopy(const PrivateCopy&) = delete;
  PrivateCopy& operator=(const PrivateCopy&) = delete;
  const char* path() const { return path_.empty() ? nullptr : path_.c_str(); }

 private:
  std::string path_;
};

int32_t initializeInstance(Board& board, Arguments& args, Answer&) {
  const int32_t source = args.i32();
  if (source != VXCLK_CALIBRATION_FILE) {
    args.end();
    return board.applyCalibration(source, nullptr, {});
  }
  const std::vector<double> values = args.rest();
  if (values.empty() || values.size() > facts::kCalibrationValues) {
    throw ScpiError(kParameterNotAllowed, "1 to " + std::to_string(facts::kCalibrationValues) + " calibration values");
  }
  const PrivateCopy copy(values);
  if (copy.path() == nullptr) throw ScpiError(kExecutionError, "no room for the calibration values");
  return board.applyCalibration(source, copy.path(), "(from a remote instance)");
}

int32_t getMinMaxCalibration(Board& board, Arguments& args, Answer& answer) {
  const int32_t row = args.i32();
  args.end();
  double minimum = 0, maximum = 0;
  const int32_t status = board.run([&](void* h) { return vxclk_getMinMaxCalibration(h, row, &minimum, &maximum); });
  answer.add(minimum);
  answer.add(maximum);
  return status;
}

constexpr RemoteCall kCalls[] = {
    {"getBoardID", readOne<int32_t, vxclk_getBoardID>},
    {"getSerialNumber", readOne<uint64_t, vxclk_getSerialNumber>},
    {"checkVCOLock", readOne<int32_t, vxclk_checkVCOLock>},
    {"checkVCOVoltage", readOne<double, vxclk_checkVCOVoltage>},
    {"setClock", setClock},
    {"getTemperature", readAt<int32_t, &Arguments::i32, int32_t, vxclk_getTemperature>},
    {"getEEPROMAddress", readAt<uint32_t, &Arguments::u32, double, vxclk_getEEPROMAddress>},
    {"writeEEPROMAddress", writeEEPROMAddress},
    {"saveFMCalibrationValues", saveFMCalibrationValues},
    {"setFMFrequency", setFMFrequency},
    {"setCustomFMFrequency", applyReal<&Board::applyCustomFMRate>},
    {"setTx2PMFrequency", applyReal<&Board::applyPMFrequency>},
    {"setTx2BUJPRBS", setTx2BUJPRBS},
    {"setTx2BUJUserDefinedPattern", setTx2BUJUserDefinedPattern},
    {"generateClock", generateClock},
    {"getActiveConfig", getActiveConfig},
    {"initializeInstance", initializeInstance},
    {"getMinMaxCalibration", getMinMaxCalibration},
};

constexpr std::string_view kExportPrefix = "vxclk_";

bool sameName(std::string_view spelled, std::string_view name) {
  if (spelled.size() != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(spelled[i])) != std::toupper(static_cast<unsigned char>(name[i])))
      return false;
  }
  return true;
}

std::string_view withoutPrefix(const char* exportName) { return std::string_view(exportName).substr(kExportPrefix.size()); }

// The settings and switches, one typed call each, keep the view as SCPI's own commands do.
int32_t runTyped(Board& board, std::string_view name, Arguments& args, bool* found) {
  *found = true;
  for (size_t i = 0; i < kSettingCount; ++i) {
    const auto setting = static_cast<Setting>(i);
    if (!sameName(name, withoutPrefix(exportOf(setting)))) continue;
    const int32_t value = args.i32();
    args.end();
    return board.noted(board.apply(setting, value));
  }
  for (size_t i = 0; i < kSwitchCount; ++i) {
    const auto which = static_cast<Switch>(i);
    if (!sameName(name, withoutPrefix(exportOf(which)))) continue;
    const int32_t on = args.i32();
    args.end();
    return board.noted(board.apply(which, on));
  }
  *found = false;
  return VXCLK_FAILED;
}

}  // namespace

std::string runRemoteCall(Board& board, const std::vector<Param>& params) {
  if (params.empty() || params.front().kind != ParamKind::Character) {
    throw ScpiError(kMissingParameter, "the name of an export");
  }
  const std::string& name = params.front().text;
  Arguments args(params);
  Answer answer;
  bool typed = false;
  int32_t status = runTyped(board, name, args, &typed);
  if (!typed) {
    const RemoteCall* call = nullptr;
    for (const RemoteCall& c : kCalls) {
      if (sameName(name, c.name)) call = &c;
    }
    if (call == nullptr) throw ScpiError(kExecutionError, "no export " + name + " for a remote instance");
    status = call->run(board, args, answer);
  }
  return answer.line(status);
}

std::vector<std::string> remoteCallNames() {
  std::vector<std::string> names;
  for (size_t i = 0; i < kSettingCount; ++i) names.emplace_back(withoutPrefix(exportOf(static_cast<Setting>(i))));
  for (size_t i = 0; i < kSwitchCount; ++i) names.emplace_back(withoutPrefix(exportOf(static_cast<Switch>(i))));
  for (const RemoteCall& c : kCalls) names.emplace_back(c.name);
  return names;
}

}  // namespace kestreld
