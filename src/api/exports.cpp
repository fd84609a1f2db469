// The C interface: instance and connection checks, argument checks, and the
// mapping of each device operation's result to a status code. No exception
// leaves this file.
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "KestrelLib.h"
#include "api/api_instance.h"
#include "api/status.h"

using kestrel::ApiInstance;
using kestrel::ClockSource_API;
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
    const uint64_t failuresBefore = api.device.failedExchangeCount();
    const Status result = body(api);
    // An operation may go on after one of its exchanges failed (the settings
    // mirror after the register write, say); the call as a whole did not
    // happen then, whatever the operation itself reported.
    if (result == Status::Ok && api.device.failedExchangeCount() != failuresBefore) return Status::Failed;
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

// For calls that only pass one argument to a device operation.
template <typename Body>
int32_t onDevice(void* instance, Body&& body) {
  return run(instance, Needs::Connection, [&](ApiInstance& api) { return body(api.device); });
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
    if (api.device.connect(std::string(address)) != Status::Ok) return Status::NotConnected;
    api.instanceConnected = true;
    return Status::Ok;
  });
}

int32_t vxclk_disconnect(void* instance) {
  return run(instance, Needs::Nothing, [&](ApiInstance& api) {
    if (api.device.disconnect() != Status::Ok) return Status::NotConnected;
    api.instanceConnected = false;
    return Status::Ok;
  });
}

int32_t vxclk_getBoardID(void* instance, int32_t* boardID) {
  return onDevice(instance, [&](ClockSource_API& device) {
    if (boardID == nullptr) return Status::Failed;
    return device.readBoardID(boardID);
  });
}

int32_t vxclk_getSerialNumber(void* instance, uint64_t* serialNumber) {
  return onDevice(instance, [&](ClockSource_API& device) {
    if (serialNumber == nullptr) return Status::OutOfRange;
    uint64_t serial = 0;
    if (device.readSerialNumber(&serial) != Status::Ok) return Status::Failed;
    *serialNumber = serial;
    return Status::Ok;
  });
}

int32_t vxclk_checkVCOLock(void* instance, int32_t* lock) {
  return onDevice(instance, [&](ClockSource_API& device) {
    return lock == nullptr ? Status::OutOfRange : device.checkVCOLock(lock);
  });
}

int32_t vxclk_checkVCOVoltage(void* instance, double* voltage) {
  return onDevice(instance, [&](ClockSource_API& device) {
    return voltage == nullptr ? Status::OutOfRange : device.checkVCOVoltage(voltage);
  });
}

int32_t vxclk_setClock(void* instance, uint8_t write, uint16_t page, uint16_t reg, uint16_t* value) {
  return onDevice(instance, [&](ClockSource_API& device) {
    // A page or register number past its field would spill into the
    // neighbouring bits of the address word and reach another register.
    if (value == nullptr || page >= p::kRegisterPages || reg >= p::kRegistersPerPage) return Status::OutOfRange;
    return kestrel::fromFlag(device.regAccess(write, page, reg, value));
  });
}

// ---- board memory -------------------------------------------------------------------

int32_t vxclk_getTemperature(void* instance, int32_t sensor, int32_t* temperature) {
  return run(instance, Needs::Nothing, [&](ApiInstance& api) {
    if (temperature == nullptr || (sensor != 0 && sensor != 1)) return Status::OutOfRange;
    double reading = 0.0;
    if (api.device.readTemperature(static_cast<uint16_t>(sensor), &reading) != Status::Ok || reading <= 0.0)
      return Status::Failed;
    *temperature = static_cast<int32_t>(reading);
    return Status::Ok;
  });
}

int32_t vxclk_getEEPROMAddress(void* instance, uint32_t address, double* value) {
  return onDevice(instance, [&](ClockSource_API& device) {
    if (value == nullptr || !validMemoryAddress(address)) return Status::OutOfRange;
    double read = 0.0;
    if (device.getEEPROMAddress(static_cast<int32_t>(address), &read) != Status::Ok) return Status::Failed;
    *value = read;
    return Status::Ok;
  });
}

int32_t vxclk_writeEEPROMAddress(void* instance, uint32_t address, const double* value) {
  return onDevice(instance, [&](ClockSource_API& device) {
    if (value == nullptr || !validMemoryAddress(address)) return Status::OutOfRange;
    return device.writeEEPROMAddress(static_cast<int32_t>(address), *value);
  });
}

int32_t vxclk_saveFMCalibrationValues(void* instance, double tag, uint16_t row, const double* values) {
  return onDevice(instance, [&](ClockSource_API& device) {
    if (values == nullptr || row >= p::kCalibrationRows) return Status::OutOfRange;
    return device.saveFMCalibrationValues(tag, row, values);
  });
}

// ---- FM ----------------------------------------------------------------------------------

int32_t vxclk_enableFM(void* instance, int32_t on) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.enableFM(on); });
}

int32_t vxclk_setFMFrequency(void* instance, int32_t index) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setFMFrequency(index); });
}

int32_t vxclk_setCustomFMFrequency(void* instance, double frequencyMHz) {
  return onDevice(instance, [&](ClockSource_API& device) {
    if (!(frequencyMHz >= p::kCustomFMMinMHz && frequencyMHz <= p::kCustomFMMaxMHz)) return Status::OutOfRange;  // NaN too
    return device.setCustomFMFrequency(frequencyMHz);
  });
}

int32_t vxclk_setFMAmplitude(void* instance, int32_t amplitude) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setFMAmplitude(amplitude); });
}

int32_t vxclk_setFMPhaseSkew(void* instance, int32_t skew) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setFMPhaseSkew(skew); });
}

int32_t vxclk_setFMRJAmplitude(void* instance, int32_t amplitude) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setFMRJAmplitude(amplitude); });
}

// ---- Tx2 -------------------------------------------------------------------------------

int32_t vxclk_enableTx2PM(void* instance, int32_t on) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.enableTx2PM(on); });
}

int32_t vxclk_setTx2PMFrequency(void* instance, double frequencyMHz) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setTx2PMFrequency(frequencyMHz); });
}

int32_t vxclk_setTx2PMAmplitude(void* instance, int32_t amplitude) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setTx2PMAmplitude(amplitude); });
}

int32_t vxclk_setTx2PMPhaseShiftAmplitude(void* instance, int32_t amplitude) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setTx2PMPhaseShiftAmplitude(amplitude); });
}

int32_t vxclk_enableTx2PMRJ(void* instance, int32_t on) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.enableTx2PMRJ(on); });
}

int32_t vxclk_setTx2PMRJAmplitude(void* instance, int32_t amplitude) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setTx2PMRJAmplitude(amplitude); });
}

int32_t vxclk_enableTx2PMBUJ(void* instance, int32_t on) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.enableTx2PMBUJ(on); });
}

int32_t vxclk_setTx2PMBUJAmplitude(void* instance, int32_t amplitude) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setTx2PMBUJAmplitude(amplitude); });
}

int32_t vxclk_setTx2PMBUJLineRate(void* instance, int32_t rate) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setTx2PMBUJLineRate(rate); });
}

int32_t vxclk_setTx2BUJAmplitude(void* instance, int32_t amplitude) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setTx2BUJAmplitude(amplitude); });
}

int32_t vxclk_setTx2BUJPRBS(void* instance, int32_t prbs, int32_t flag) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setTx2BUJPRBS(prbs, flag); });
}

int32_t vxclk_setTx2BUJUserDefinedPattern(void* instance, uint32_t pattern) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setTx2BUJUserDefinedPattern(pattern); });
}

int32_t vxclk_enableTx2AM(void* instance, int32_t on) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.enableTx2AM(on); });
}

int32_t vxclk_setTx2AMAmplitude(void* instance, int32_t amplitude) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setTx2AMAmplitude(amplitude); });
}

int32_t vxclk_setTx2AMRJAmplitude(void* instance, int32_t amplitude) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.setTx2AMRJAmplitude(amplitude); });
}

int32_t vxclk_setClockSource(void* instance, int32_t source) {
  return onDevice(instance, [&](ClockSource_API& device) {
    return device.setClockSource(source);
  });
}

// ---- clock and outputs --------------------------------------------------------------------

int32_t vxclk_generateClock(void* instance, double frequencyMHz, int32_t option) {
  return onDevice(instance, [&](ClockSource_API& device) { return device.generateClock(frequencyMHz, option); });
}

int32_t vxclk_setTx1Power(void* instance, int32_t power) {
  return onDevice(instance, [&](ClockSource_API& device) { return kestrel::failedUnlessOk(device.setTx1Power(power)); });
}

int32_t vxclk_setTx2Power(void* instance, int32_t power) {
  return onDevice(instance, [&](ClockSource_API& device) { return kestrel::failedUnlessOk(device.setTx2Power(power)); });
}

int32_t vxclk_setTx2Divider(void* instance, int32_t divider) {
  return onDevice(instance, [&](ClockSource_API& device) { return kestrel::failedUnlessOk(device.setTx2Divider(divider)); });
}

// ---- configuration and calibration --------------------------------------------------------

int32_t vxclk_getActiveConfig(void* instance, ActiveConfig* config) {
  return run(instance, Needs::Connection, [&](ApiInstance& api) {
    if (config == nullptr) return Status::OutOfRange;
    if (api.device.getActiveConfig(&api.config) != Status::Ok) return Status::Failed;
    copyOut(api.config, config);
    return Status::Ok;
  });
}

int32_t vxclk_initializeInstance(void* instance, int32_t source, const char* path) {
  return onDevice(instance, [&](ClockSource_API& device) {
    return kestrel::failedUnlessOk(device.initializeInstance(source, path));
  });
}

int32_t vxclk_getMinMaxCalibration(void* instance, int32_t row, double* minimum, double* maximum) {
  return onDevice(instance, [&](ClockSource_API& device) {
    if (minimum == nullptr || maximum == nullptr || row < 0 || row >= p::kCalibrationRows)
      return Status::OutOfRange;
    return device.getMinMaxCalibration(row, minimum, maximum);
  });
}

}  // extern "C"
