// The C interface: instance and connection checks, argument checks, and the
// mapping of each device operation's result to a status code. No exception
// leaves this file.
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "KestrelLib.h"
#include "api/api_instance.h"
#include "api/remote_outputs.h"
#include "api/status.h"
#include "config/calibration_file.h"

using kestrel::ApiInstance;
using kestrel::ClockSource_API;
using kestrel::RemoteBoard;
using kestrel::Status;
namespace p = kestrel::protocol;

namespace {

enum class Needs { Connection, Nothing };

// The common shape: null instance 4, unconnected 2, then the body; anything
// thrown inside, or any failed exchange, makes it status 1.
template <typename Body>
Status runChecked(void* instance, Needs needs, Body&& body) {
  if (instance == nullptr) return Status::InvalidInstance;
  auto& api = *static_cast<ApiInstance*>(instance);
  if (needs == Needs::Connection && !api.instanceConnected) return Status::NotConnected;
  try {
    const uint64_t failuresBefore = api.failedExchanges();
    const Status result = body(api);
    // An operation may go on after one of its exchanges failed (the settings
    // mirror after the register write, say); the call as a whole did not
    // happen then, whatever the operation itself reported.
    if (result == Status::Ok && api.failedExchanges() != failuresBefore) return Status::Failed;
    return result;
  } catch (...) {
    return Status::Failed;
  }
}

// The C interface's number for the outcome.
template <typename Body>
int32_t run(void* instance, Needs needs, Body&& body) {
  return kestrel::code(runChecked(instance, needs, std::forward<Body>(body)));
}

// A call on a connected instance: `refused` is what its own argument checks
// decided (Ok to go on); then the instance's board answers, its own or, for
// a remote instance, the daemon's.
template <typename Direct, typename Remote>
int32_t onBoard(void* instance, Status refused, Direct&& direct, Remote&& remote) {
  return run(instance, Needs::Connection, [&](ApiInstance& api) {
    if (refused != Status::Ok) return refused;
    RemoteBoard* board = api.remote();
    return board != nullptr ? remote(*board) : direct(api.device);
  });
}

// A remote call whose outputs go to `targets` when it succeeded.
template <typename... T>
Status remoteInto(RemoteBoard& board, std::string_view name, const std::vector<kestrel::RemoteArgument>& arguments,
                  T*... targets) {
  std::vector<std::string> outputs;
  const Status status = board.call(name, arguments, &outputs);
  if (status != Status::Ok) return status;
  return kestrel::readOutputs(outputs, targets...) ? Status::Ok : Status::Failed;
}

// A setter with one argument, on either board.
template <typename Arg, typename Direct>
int32_t set(void* instance, const char* name, Arg argument, Direct&& direct) {
  return onBoard(instance, Status::Ok, [&](ClockSource_API& device) { return direct(device, argument); },
                 [&](RemoteBoard& board) { return board.call(name, {argument}); });
}

Status connectRemote(ApiInstance& api, const char* address) {
  kestrel::RemoteAddress remote;
  if (!kestrel::parseRemoteAddress(address, &remote)) return Status::NotConnected;
  if (!api.remoteBoard) api.remoteBoard = std::make_unique<RemoteBoard>(kestrel::linkSettingsFromEnvironment());
  if (api.remoteBoard->connect(remote) != Status::Ok) return Status::NotConnected;
  if (api.device.state.connected) api.device.disconnect();  // one board at a time
  api.remoteInUse = true;
  api.instanceConnected = true;
  return Status::Ok;
}

// A calibration file names a file of the caller's machine: a remote instance
// reads it here and hands the daemon its numbers.
Status initializeRemote(RemoteBoard& board, int32_t source, const char* path) {
  if (source != kestrel::kCalibrationFile) return board.call("initializeInstance", {source});
  std::vector<double> values;
  if (!kestrel::readCalibrationValues(path, &values)) return Status::Failed;
  std::vector<kestrel::RemoteArgument> arguments = {source};
  arguments.insert(arguments.end(), values.begin(), values.end());
  return board.call("initializeInstance", arguments);
}

// An 8-byte transfer must stay inside the 16-bit address space of the memory.
bool validMemoryAddress(uint32_t address) { return address <= p::kMemorySize - 8; }

void copyOut(const kestrel::DeviceConfig& from, ActiveConfig* to) {
  to->clockSource = from.clockSource;
  to->register261 = from.register261;
  to->generateOption = from.generateOption;
  to->generateFrequency = from.generateFrequency;
  to->fmEnable = from.fmEnable;
  to->fmFrequency = from.fmFrequency;
  to->fmAmplitude = from.fmAmplitude;
  to->fmPhaseSkew = from.fmPhaseSkew;
  to->fmRJAmplitude = from.fmRJAmplitude;
  to->tx2PMEnable = from.tx2PMEnable;
  to->tx2PMFrequency = from.tx2PMFrequency;
  to->tx2PMAmplitude = from.tx2PMAmplitude;
  to->tx2PMPhaseShiftAmplitude = from.tx2PMPhaseShiftAmplitude;
  to->tx2PMRJEnable = from.tx2PMRJEnable;
  to->tx2PMRJAmplitude = from.tx2PMRJAmplitude;
  to->tx2PMBUJEnable = from.tx2PMBUJEnable;
  to->tx2PMBUJAmplitude = from.tx2PMBUJAmplitude;
  to->tx2PMBUJLineRate = from.tx2PMBUJLineRate;
  to->tx2AMEnable = from.tx2AMEnable;
  to->tx2AMAmplitude = from.tx2AMAmplitude;
  to->tx2AMRJAmplitude = from.tx2AMRJAmplitude;
  to->tx2BUJAmplitude = from.tx2BUJAmplitude;
  to->tx2BUJPRBS = from.tx2BUJPRBS;
  to->tx2BUJPRBSFlag = from.tx2BUJPRBSFlag;
  to->referenceFrequency = from.referenceFrequency;
  to->tx2Divider = from.tx2Divider;
  to->tx1Power = from.tx1Power;
  to->tx2Power = from.tx2Power;
}

}  // namespace

static_assert(sizeof(ActiveConfig) == 128);
static_assert(offsetof(ActiveConfig, generateFrequency) == 16);
static_assert(offsetof(ActiveConfig, fmFrequency) == 28);
static_assert(offsetof(ActiveConfig, referenceFrequency) == 104);
static_assert(offsetof(ActiveConfig, tx2Power) == 120);

extern "C" {

// ---- instance, connection, identity --------------------------------------------

int32_t* vxclk_APIVersion(int32_t* version) {
  if (version != nullptr) {
    version[0] = 2;
    version[1] = 2;
    version[2] = 1;
  }
  return version;
}

void* vxclk_createInstance(void) {
  try {
    return new (std::nothrow) ApiInstance();
  } catch (...) {
    return nullptr;
  }
}

void vxclk_destroyInstance(void* instance) { delete static_cast<ApiInstance*>(instance); }

int32_t vxclk_connect(void* instance, const char* address) {
  return run(instance, Needs::Nothing, [&](ApiInstance& api) {
    if (address == nullptr) return Status::OutOfRange;
    if (kestrel::isRemoteAddress(address)) return connectRemote(api, address);
    if (api.device.connect(std::string(address)) != Status::Ok) return Status::NotConnected;
    if (api.remoteInUse) api.remoteBoard->disconnect();
    api.remoteInUse = false;
    api.instanceConnected = true;
    return Status::Ok;
  });
}

int32_t vxclk_disconnect(void* instance) {
  return run(instance, Needs::Nothing, [&](ApiInstance& api) {
    const Status closed = api.remoteInUse ? api.remoteBoard->disconnect() : api.device.disconnect();
    if (closed != Status::Ok) return Status::NotConnected;
    api.instanceConnected = false;
    return Status::Ok;
  });
}

int32_t vxclk_getBoardID(void* instance, int32_t* boardID) {
  return onBoard(
      instance, boardID == nullptr ? Status::Failed : Status::Ok,
      [&](ClockSource_API& device) { return device.readBoardID(boardID); },
      [&](RemoteBoard& board) { return remoteInto(board, "getBoardID", {}, boardID); });
}

int32_t vxclk_getSerialNumber(void* instance, uint64_t* serialNumber) {
  return onBoard(
      instance, serialNumber == nullptr ? Status::OutOfRange : Status::Ok,
      [&](ClockSource_API& device) {
        uint64_t serial = 0;
        if (device.readSerialNumber(&serial) != Status::Ok) return Status::Failed;
        *serialNumber = serial;
        return Status::Ok;
      },
      [&](RemoteBoard& board) { return remoteInto(board, "getSerialNumber", {}, serialNumber); });
}

int32_t vxclk_checkVCOLock(void* instance, int32_t* lock) {
  return onBoard(
      instance, lock == nullptr ? Status::OutOfRange : Status::Ok,
      [&](ClockSource_API& device) { return device.checkVCOLock(lock); },
      [&](RemoteBoard& board) { return remoteInto(board, "checkVCOLock", {}, lock); });
}

int32_t vxclk_checkVCOVoltage(void* instance, double* voltage) {
  return onBoard(
      instance, voltage == nullptr ? Status::OutOfRange : Status::Ok,
      [&](ClockSource_API& device) { return device.checkVCOVoltage(voltage); },
      [&](RemoteBoard& board) { return remoteInto(board, "checkVCOVoltage", {}, voltage); });
}

int32_t vxclk_setClock(void* instance, uint8_t write, uint16_t page, uint16_t reg, uint16_t* value) {
  // A page or register number past its field would spill into the
  // neighbouring bits of the address word and reach another register.
  const bool refused = value == nullptr || page >= p::kRegisterPages || reg >= p::kRegistersPerPage;
  return onBoard(
      instance, refused ? Status::OutOfRange : Status::Ok,
      [&](ClockSource_API& device) { return kestrel::fromFlag(device.regAccess(write, page, reg, value)); },
      [&](RemoteBoard& board) {
        const std::vector<kestrel::RemoteArgument> arguments = {int32_t{write}, int32_t{page}, int32_t{reg},
                                                                 int32_t{*value}};
        return write != 0 ? board.call("setClock", arguments) : remoteInto(board, "setClock", arguments, value);
      });
}

// ---- board memory -------------------------------------------------------------------

int32_t vxclk_getTemperature(void* instance, int32_t sensor, int32_t* temperature) {
  return run(instance, Needs::Nothing, [&](ApiInstance& api) {
    if (temperature == nullptr || (sensor != 0 && sensor != 1)) return Status::OutOfRange;
    if (RemoteBoard* board = api.remote()) return remoteInto(*board, "getTemperature", {sensor}, temperature);
    double reading = 0.0;
    if (api.device.readTemperature(static_cast<uint16_t>(sensor), &reading) != Status::Ok || reading <= 0.0)
      return Status::Failed;
    *temperature = static_cast<int32_t>(reading);
    return Status::Ok;
  });
}

int32_t vxclk_getEEPROMAddress(void* instance, uint32_t address, double* value) {
  return onBoard(
      instance, value == nullptr || !validMemoryAddress(address) ? Status::OutOfRange : Status::Ok,
      [&](ClockSource_API& device) {
        double read = 0.0;
        if (device.getEEPROMAddress(static_cast<int32_t>(address), &read) != Status::Ok) return Status::Failed;
        *value = read;
        return Status::Ok;
      },
      [&](RemoteBoard& board) { return remoteInto(board, "getEEPROMAddress", {address}, value); });
}

int32_t vxclk_writeEEPROMAddress(void* instance, uint32_t address, const double* value) {
  return onBoard(
      instance, value == nullptr || !validMemoryAddress(address) ? Status::OutOfRange : Status::Ok,
      [&](ClockSource_API& device) { return device.writeEEPROMAddress(static_cast<int32_t>(address), *value); },
      [&](RemoteBoard& board) { return board.call("writeEEPROMAddress", {address, *value}); });
}

int32_t vxclk_saveFMCalibrationValues(void* instance, double tag, uint16_t row, const double* values) {
  return onBoard(
      instance, values == nullptr || row >= p::kCalibrationRows ? Status::OutOfRange : Status::Ok,
      [&](ClockSource_API& device) { return device.saveFMCalibrationValues(tag, row, values); },
      [&](RemoteBoard& board) {
        return board.call("saveFMCalibrationValues", {tag, int32_t{row}, values[0], values[1], values[2], values[3],
                                                      values[4], values[5], values[6]});
      });
}

// ---- FM ----------------------------------------------------------------------------------

int32_t vxclk_enableFM(void* instance, int32_t on) {
  return set(instance, "enableFM", on, [](ClockSource_API& d, int32_t v) { return d.enableFM(v); });
}

int32_t vxclk_setFMFrequency(void* instance, int32_t index) {
  return set(instance, "setFMFrequency", index, [](ClockSource_API& d, int32_t v) { return d.setFMFrequency(v); });
}

int32_t vxclk_setCustomFMFrequency(void* instance, double frequencyMHz) {
  const bool inRange = frequencyMHz >= p::kCustomFMMinMHz && frequencyMHz <= p::kCustomFMMaxMHz;  // NaN is not
  return onBoard(
      instance, inRange ? Status::Ok : Status::OutOfRange,
      [&](ClockSource_API& device) { return device.setCustomFMFrequency(frequencyMHz); },
      [&](RemoteBoard& board) { return board.call("setCustomFMFrequency", {frequencyMHz}); });
}

int32_t vxclk_setFMAmplitude(void* instance, int32_t amplitude) {
  return set(instance, "setFMAmplitude", amplitude, [](ClockSource_API& d, int32_t v) { return d.setFMAmplitude(v); });
}

int32_t vxclk_setFMPhaseSkew(void* instance, int32_t skew) {
  return set(instance, "setFMPhaseSkew", skew, [](ClockSource_API& d, int32_t v) { return d.setFMPhaseSkew(v); });
}

int32_t vxclk_setFMRJAmplitude(void* instance, int32_t amplitude) {
  return set(instance, "setFMRJAmplitude", amplitude,
             [](ClockSource_API& d, int32_t v) { return d.setFMRJAmplitude(v); });
}

// ---- Tx2 -------------------------------------------------------------------------------

int32_t vxclk_enableTx2PM(void* instance, int32_t on) {
  return set(instance, "enableTx2PM", on, [](ClockSource_API& d, int32_t v) { return d.enableTx2PM(v); });
}

int32_t vxclk_setTx2PMFrequency(void* instance, double frequencyMHz) {
  return set(instance, "setTx2PMFrequency", frequencyMHz,
             [](ClockSource_API& d, double v) { return d.setTx2PMFrequency(v); });
}

int32_t vxclk_setTx2PMAmplitude(void* instance, int32_t amplitude) {
  return set(instance, "setTx2PMAmplitude", amplitude,
             [](ClockSource_API& d, int32_t v) { return d.setTx2PMAmplitude(v); });
}

int32_t vxclk_setTx2PMPhaseShiftAmplitude(void* instance, int32_t amplitude) {
  return set(instance, "setTx2PMPhaseShiftAmplitude", amplitude,
             [](ClockSource_API& d, int32_t v) { return d.setTx2PMPhaseShiftAmplitude(v); });
}

int32_t vxclk_enableTx2PMRJ(void* instance, int32_t on) {
  return set(instance, "enableTx2PMRJ", on, [](ClockSource_API& d, int32_t v) { return d.enableTx2PMRJ(v); });
}

int32_t vxclk_setTx2PMRJAmplitude(void* instance, int32_t amplitude) {
  return set(instance, "setTx2PMRJAmplitude", amplitude,
             [](ClockSource_API& d, int32_t v) { return d.setTx2PMRJAmplitude(v); });
}

int32_t vxclk_enableTx2PMBUJ(void* instance, int32_t on) {
  return set(instance, "enableTx2PMBUJ", on, [](ClockSource_API& d, int32_t v) { return d.enableTx2PMBUJ(v); });
}

int32_t vxclk_setTx2PMBUJAmplitude(void* instance, int32_t amplitude) {
  return set(instance, "setTx2PMBUJAmplitude", amplitude,
             [](ClockSource_API& d, int32_t v) { return d.setTx2PMBUJAmplitude(v); });
}

int32_t vxclk_setTx2PMBUJLineRate(void* instance, int32_t rate) {
  return set(instance, "setTx2PMBUJLineRate", rate,
             [](ClockSource_API& d, int32_t v) { return d.setTx2PMBUJLineRate(v); });
}

int32_t vxclk_setTx2BUJAmplitude(void* instance, int32_t amplitude) {
  return set(instance, "setTx2BUJAmplitude", amplitude,
             [](ClockSource_API& d, int32_t v) { return d.setTx2BUJAmplitude(v); });
}

int32_t vxclk_setTx2BUJPRBS(void* instance, int32_t prbs, int32_t flag) {
  return onBoard(
      instance, Status::Ok, [&](ClockSource_API& device) { return device.setTx2BUJPRBS(prbs, flag); },
      [&](RemoteBoard& board) { return board.call("setTx2BUJPRBS", {prbs, flag}); });
}

int32_t vxclk_setTx2BUJUserDefinedPattern(void* instance, uint32_t pattern) {
  return set(instance, "setTx2BUJUserDefinedPattern", pattern,
             [](ClockSource_API& d, uint32_t v) { return d.setTx2BUJUserDefinedPattern(v); });
}

int32_t vxclk_enableTx2AM(void* instance, int32_t on) {
  return set(instance, "enableTx2AM", on, [](ClockSource_API& d, int32_t v) { return d.enableTx2AM(v); });
}

int32_t vxclk_setTx2AMAmplitude(void* instance, int32_t amplitude) {
  return set(instance, "setTx2AMAmplitude", amplitude,
             [](ClockSource_API& d, int32_t v) { return d.setTx2AMAmplitude(v); });
}

int32_t vxclk_setTx2AMRJAmplitude(void* instance, int32_t amplitude) {
  return set(instance, "setTx2AMRJAmplitude", amplitude,
             [](ClockSource_API& d, int32_t v) { return d.setTx2AMRJAmplitude(v); });
}

int32_t vxclk_setClockSource(void* instance, int32_t source) {
  return set(instance, "setClockSource", source, [](ClockSource_API& d, int32_t v) { return d.setClockSource(v); });
}

// ---- clock and outputs --------------------------------------------------------------------

int32_t vxclk_generateClock(void* instance, double frequencyMHz, int32_t option) {
  return onBoard(
      instance, Status::Ok, [&](ClockSource_API& device) { return device.generateClock(frequencyMHz, option); },
      [&](RemoteBoard& board) { return board.call("generateClock", {frequencyMHz, option}); });
}

int32_t vxclk_setTx1Power(void* instance, int32_t power) {
  return set(instance, "setTx1Power", power,
             [](ClockSource_API& d, int32_t v) { return kestrel::failedUnlessOk(d.setTx1Power(v)); });
}

int32_t vxclk_setTx2Power(void* instance, int32_t power) {
  return set(instance, "setTx2Power", power,
             [](ClockSource_API& d, int32_t v) { return kestrel::failedUnlessOk(d.setTx2Power(v)); });
}

int32_t vxclk_setTx2Divider(void* instance, int32_t divider) {
  return set(instance, "setTx2Divider", divider,
             [](ClockSource_API& d, int32_t v) { return kestrel::failedUnlessOk(d.setTx2Divider(v)); });
}

// ---- configuration and calibration --------------------------------------------------------

int32_t vxclk_getActiveConfig(void* instance, ActiveConfig* config) {
  return run(instance, Needs::Connection, [&](ApiInstance& api) {
    if (config == nullptr) return Status::OutOfRange;
    if (RemoteBoard* board = api.remote()) return remoteInto(*board, "getActiveConfig", {}, config);
    if (api.device.getActiveConfig(&api.config) != Status::Ok) return Status::Failed;
    copyOut(api.config, config);
    return Status::Ok;
  });
}

int32_t vxclk_initializeInstance(void* instance, int32_t source, const char* path) {
  return onBoard(
      instance, Status::Ok,
      [&](ClockSource_API& device) { return kestrel::failedUnlessOk(device.initializeInstance(source, path)); },
      [&](RemoteBoard& board) { return initializeRemote(board, source, path); });
}

int32_t vxclk_getMinMaxCalibration(void* instance, int32_t row, double* minimum, double* maximum) {
  const bool refused = minimum == nullptr || maximum == nullptr || row < 0 || row >= p::kCalibrationRows;
  return onBoard(
      instance, refused ? Status::OutOfRange : Status::Ok,
      [&](ClockSource_API& device) { return device.getMinMaxCalibration(row, minimum, maximum); },
      [&](RemoteBoard& board) { return remoteInto(board, "getMinMaxCalibration", {row}, minimum, maximum); });
}

}  // extern "C"
