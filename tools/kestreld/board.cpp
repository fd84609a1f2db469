#include "board.h"

#include <cmath>
#include <cstdio>

#include "board_emulator.h"
#include "calibration_dir.h"

namespace kestreld {

namespace {

using IntCall = int32_t (*)(void*, int32_t);

template <typename Id>
struct LibraryCall {
  Id id;
  const char* name;
  IntCall call;
};

// The library call of each setting, in the order of Setting.
constexpr LibraryCall<Setting> kSettingCalls[] = {
    {Setting::ClockSource, "vxclk_setClockSource", vxclk_setClockSource},
    {Setting::Tx1Power, "vxclk_setTx1Power", vxclk_setTx1Power},
    {Setting::Tx2Power, "vxclk_setTx2Power", vxclk_setTx2Power},
    {Setting::Tx2Divider, "vxclk_setTx2Divider", vxclk_setTx2Divider},
    {Setting::FMDeviation, "vxclk_setFMAmplitude", vxclk_setFMAmplitude},
    {Setting::FMSkew, "vxclk_setFMPhaseSkew", vxclk_setFMPhaseSkew},
    {Setting::FMRJ, "vxclk_setFMRJAmplitude", vxclk_setFMRJAmplitude},
    {Setting::PMDeviation, "vxclk_setTx2PMAmplitude", vxclk_setTx2PMAmplitude},
    {Setting::PMPhaseShift, "vxclk_setTx2PMPhaseShiftAmplitude", vxclk_setTx2PMPhaseShiftAmplitude},
    {Setting::PMRJ, "vxclk_setTx2PMRJAmplitude", vxclk_setTx2PMRJAmplitude},
    {Setting::PMBUJ, "vxclk_setTx2PMBUJAmplitude", vxclk_setTx2PMBUJAmplitude},
    {Setting::PMBUJLineRate, "vxclk_setTx2PMBUJLineRate", vxclk_setTx2PMBUJLineRate},
    {Setting::BUJAmplitude, "vxclk_setTx2BUJAmplitude", vxclk_setTx2BUJAmplitude},
    {Setting::AMDepth, "vxclk_setTx2AMAmplitude", vxclk_setTx2AMAmplitude},
    {Setting::AMRJ, "vxclk_setTx2AMRJAmplitude", vxclk_setTx2AMRJAmplitude},
};

// In the order of Switch.
constexpr LibraryCall<Switch> kSwitchCalls[] = {
    {Switch::FM, "vxclk_enableFM", vxclk_enableFM},
    {Switch::PM, "vxclk_enableTx2PM", vxclk_enableTx2PM},
    {Switch::PMRJ, "vxclk_enableTx2PMRJ", vxclk_enableTx2PMRJ},
    {Switch::PMBUJ, "vxclk_enableTx2PMBUJ", vxclk_enableTx2PMBUJ},
    {Switch::AM, "vxclk_enableTx2AM", vxclk_enableTx2AM},
};

static_assert(std::size(kSettingCalls) == kSettingCount && std::size(kSwitchCalls) == kSwitchCount &&
                  indexedById(kSettingCalls) && indexedById(kSwitchCalls),
              "one call per setting and switch, indexed by their enums");

const LibraryCall<Setting>& callOf(Setting setting) { return kSettingCalls[static_cast<size_t>(setting)]; }
const LibraryCall<Switch>& callOf(Switch which) { return kSwitchCalls[static_cast<size_t>(which)]; }

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

void checkRange(const char* what, const Range& range, double value) {
  if (!range.contains(value)) {
    throw BoardError(BoardFault::OutOfRange, std::string(what) + " must be " + range.text() + ", not " + number(value));
  }
}

// A frequency in MHz as the board stores it: whole Hz.
int32_t storedHz(double mhz) { return static_cast<int32_t>(std::llround(mhz * 1e6)); }

// Modulation goes off before the *RST clock, so that the clock is planned unmodulated.
constexpr Switch kResetSwitches[] = {Switch::FM, Switch::PMRJ, Switch::PMBUJ, Switch::PM, Switch::AM};

// What *RCL sets before the clock; the powers and the divider follow it.
constexpr Setting kRestoredBeforeClock[] = {
    Setting::ClockSource, Setting::FMDeviation,   Setting::FMSkew,       Setting::FMRJ,    Setting::PMDeviation,
    Setting::PMPhaseShift, Setting::PMRJ,         Setting::PMBUJ,        Setting::PMBUJLineRate,
    Setting::BUJAmplitude, Setting::AMDepth,      Setting::AMRJ,
};

}  // namespace

const char* exportOf(Setting setting) { return callOf(setting).name; }
const char* exportOf(Switch which) { return callOf(which).name; }

const char* nameOf(CalibrationSource source) {
  switch (source) {
    case CalibrationSource::Board:
      return "BOARD";
    case CalibrationSource::File:
      return "FILE";
    case CalibrationSource::None:
      break;
  }
  return "NONE";
}

Board::Board(std::string name, std::string address, kestrel::sim::BoardEmulator* emulator)
    : name_(std::move(name)), address_(std::move(address)), emulator_(emulator), instance_(vxclk_createInstance()) {}

Board::~Board() {
  disconnect();
  vxclk_destroyInstance(instance_);
}

// ---- the connection ----------------------------------------------------------------

bool Board::connect() {
  if (instance_ == nullptr || vxclk_connect(instance_, address_.c_str()) != VXCLK_OK) return false;
  // Another host, or a restart, may have changed the board while it was away.
  ActiveConfig stored{};
  if (vxclk_getActiveConfig(instance_, &stored) != VXCLK_OK) {
    vxclk_disconnect(instance_);
    return false;
  }
  storeConfig(stored);
  connected_ = true;
  std::fprintf(stderr, "kestreld: board %s connected at %s\n", name_.c_str(), address_.c_str());
  return true;
}

void Board::disconnect() {
  if (connected_ && instance_ != nullptr) vxclk_disconnect(instance_);
  connected_ = false;
}

void Board::markLost() {
  if (!connected_) return;
  connected_ = false;
  std::fprintf(stderr, "kestreld: board %s lost; reconnecting\n", name_.c_str());
}

void* Board::instance() {
  if (!connected_) throw BoardError(BoardFault::Missing, "board " + name_ + " is not connected");
  return instance_;
}

int32_t Board::noted(int32_t status) {
  if (status == VXCLK_NOT_CONNECTED || (status == VXCLK_FAILED && !stillAnswers())) markLost();
  return status;
}

bool Board::stillAnswers() {
  int32_t id = 0;
  return vxclk_getBoardID(instance_, &id) == VXCLK_OK;
}

void Board::raise(const char* call, int32_t status, std::optional<Switch> needs) {
  switch (status) {
    case VXCLK_FAILED:
      if (stillAnswers()) {
        if (needs) throw BoardError(BoardFault::Conflict, std::string(factsOf(*needs).name) + " is off", needs);
        throw BoardError(BoardFault::Failed, call);
      }
      markLost();
      throw BoardError(BoardFault::Failed, std::string(call) + ": the board stopped answering");
    case VXCLK_NOT_CONNECTED:
      markLost();
      throw BoardError(BoardFault::Missing, call);
    case VXCLK_OUT_OF_RANGE:
      throw BoardError(BoardFault::OutOfRange, call);
    case VXCLK_CALIBRATION_SELECTED:
      throw BoardError(BoardFault::Conflict, "custom FM rates need the calibration source NONE");
    default:
      throw BoardError(BoardFault::Failed, std::string(call) + ": status " + std::to_string(status));
  }
}

void Board::storeConfig(const ActiveConfig& config) {
  view_.stored = config;
  view_.seeded = true;
  lastConfigRead_ = Clock::now();
}

// ---- settings ------------------------------------------------------------------------

void Board::check(Setting setting, int64_t value) {
  checkRange(factsOf(setting).name, factsOf(setting).range, static_cast<double>(value));
}

int32_t Board::apply(Setting setting, int32_t value) {
  const int32_t status = callOf(setting).call(instance(), value);
  if (status == VXCLK_OK) view_.stored.*(factsOf(setting).field) = value;
  return status;
}

void Board::set(Setting setting, int64_t value) {
  check(setting, value);
  fail(callOf(setting).name, apply(setting, static_cast<int32_t>(value)), factsOf(setting).needs);
}

int32_t Board::apply(Switch which, int32_t on) {
  const int32_t status = callOf(which).call(instance(), on);
  if (status == VXCLK_OK) view_.stored.*(factsOf(which).field) = on != 0;
  return status;
}

void Board::set(Switch which, bool on) { fail(callOf(which).name, apply(which, on)); }

void Board::checkClock(double mhz) { checkRange("the clock (MHz)", facts::kClockMHz, mhz); }

int32_t Board::applyClock(double mhz, int32_t option) {
  if (clockHeld_) throw BoardError(BoardFault::Conflict, "a sweep is running: send ABOR first");
  const int32_t status = vxclk_generateClock(instance(), mhz, option);
  if (status == VXCLK_OK) {
    view_.stored.generateFrequency = mhz;
    cwClockMHz_.reset();
  }
  return status;
}

void Board::stepClock(double mhz) {
  checkClock(mhz);
  const double cw = cwClockMHz();
  fail("vxclk_generateClock", vxclk_generateClock(instance(), mhz, facts::kLoopProfile));
  cwClockMHz_ = cw;
  view_.stored.generateFrequency = mhz;
}

void Board::returnToCwClock() {
  if (!cwClockMHz_) return;
  const double cw = *cwClockMHz_;
  if (facts::kClockMHz.contains(cw)) fail("vxclk_generateClock", applyClock(cw));
  cwClockMHz_.reset();
}

void Board::setClock(double mhz) {
  checkClock(mhz);
  fail("vxclk_generateClock", applyClock(mhz));
}

void Board::checkFMRate(double mhz) { checkRange("the FM rate (MHz)", facts::kFMRateMHz, mhz); }

int32_t Board::applyFMRate(double mhz) {
  if (const auto index = facts::fmRateIndex(mhz)) return applyFMRateIndex(*index);
  return applyCustomFMRate(mhz);
}

int32_t Board::applyCustomFMRate(double mhz) {
  const int32_t status = vxclk_setCustomFMFrequency(instance(), mhz);
  if (status == VXCLK_OK) view_.stored.fmFrequency = storedHz(mhz);
  return status;
}

void Board::setFMRate(double mhz) {
  checkFMRate(mhz);
  const bool custom = !facts::fmRateIndex(mhz);
  fail(custom ? "vxclk_setCustomFMFrequency" : "vxclk_setFMFrequency", applyFMRate(mhz));
}

void Board::checkFMRateIndex(int64_t index) {
  checkRange("the FM rate index", facts::kFMRateIndex, static_cast<double>(index));
}

int32_t Board::applyFMRateIndex(int32_t index) {
  const int32_t status = vxclk_setFMFrequency(instance(), index);
  if (status == VXCLK_OK && index >= 0 && static_cast<size_t>(index) < facts::kFMRatesMHz.size()) {
    view_.stored.fmFrequency = storedHz(facts::kFMRatesMHz[static_cast<size_t>(index)]);
  }
  return status;
}

void Board::setFMRateIndex(int64_t index) {
  checkFMRateIndex(index);
  fail("vxclk_setFMFrequency", applyFMRateIndex(static_cast<int32_t>(index)));
}

void Board::checkPMFrequency(double mhz) { checkRange("the PM frequency (MHz)", facts::kPMFrequencyMHz, mhz); }

int32_t Board::applyPMFrequency(double mhz) {
  const int32_t status = vxclk_setTx2PMFrequency(instance(), mhz);
  if (status == VXCLK_OK) view_.stored.tx2PMFrequency = storedHz(mhz);
  return status;
}

void Board::setPMFrequency(double mhz) {
  checkPMFrequency(mhz);
  fail("vxclk_setTx2PMFrequency", applyPMFrequency(mhz));
}

void Board::checkPRBS(int64_t code) { checkRange("the PRBS code", facts::kRegisterWord, static_cast<double>(code)); }

int32_t Board::applyPRBS(int32_t code, int32_t flag) {
  const int32_t status = vxclk_setTx2BUJPRBS(instance(), code, flag);
  if (status == VXCLK_OK) {
    view_.stored.tx2BUJPRBS = code;
    view_.stored.tx2BUJPRBSFlag = flag;
  }
  return status;
}

void Board::setPRBS(int64_t code, bool flag) {
  checkPRBS(code);
  fail("vxclk_setTx2BUJPRBS", applyPRBS(static_cast<int32_t>(code), flag ? 1 : 0));
}

void Board::checkPattern(int64_t pattern) {
  checkRange("the BUJ pattern", facts::kPattern, static_cast<double>(pattern));
}

int32_t Board::applyPattern(uint32_t pattern) {
  const int32_t status = vxclk_setTx2BUJUserDefinedPattern(instance(), pattern);
  if (status == VXCLK_OK) view_.bujPattern = pattern;
  return status;
}

void Board::setPattern(int64_t pattern) {
  checkPattern(pattern);
  fail("vxclk_setTx2BUJUserDefinedPattern", applyPattern(static_cast<uint32_t>(pattern)));
}

void Board::setCalibrationSource(CalibrationSource source, const std::string& file) {
  std::string path;
  if (source == CalibrationSource::File) {
    if (!calibrationDirectory_) {
      throw BoardError(BoardFault::Unusable, "calibration files are off: kestreld runs without --calibration-dir");
    }
    const auto found = calibrationFileIn(*calibrationDirectory_, file);
    if (!found) throw BoardError(BoardFault::Unusable, "no such calibration file in the calibration directory");
    path = *found;
  }
  const int32_t code = source == CalibrationSource::None    ? VXCLK_CALIBRATION_NONE
                       : source == CalibrationSource::Board ? VXCLK_CALIBRATION_BOARD
                                                            : VXCLK_CALIBRATION_FILE;
  const int32_t status = vxclk_initializeInstance(instance(), code, path.empty() ? nullptr : path.c_str());
  // Status 1 here is about the calibration's source, not the link.
  if (status == VXCLK_FAILED) throw BoardError(BoardFault::Unusable, "the calibration could not be read");
  fail("vxclk_initializeInstance", status);
  view_.calibrationSource = source;
  view_.calibrationFile = source == CalibrationSource::File ? file : std::string();
}

int32_t Board::applyCalibration(int32_t source, const char* path, const std::string& file) {
  const int32_t status = run([&](void* instance) { return vxclk_initializeInstance(instance, source, path); });
  if (status != VXCLK_OK) return status;
  view_.calibrationSource = source == VXCLK_CALIBRATION_BOARD  ? CalibrationSource::Board
                            : source == VXCLK_CALIBRATION_FILE ? CalibrationSource::File
                                                               : CalibrationSource::None;
  view_.calibrationFile = view_.calibrationSource == CalibrationSource::File ? file : std::string();
  return status;
}

std::pair<double, double> Board::calibrationLimits(int64_t row) {
  checkRange("the calibration row", facts::kCalibrationRow, static_cast<double>(row));
  double minimum = 0;
  double maximum = 0;
  fail("vxclk_getMinMaxCalibration",
       vxclk_getMinMaxCalibration(instance(), static_cast<int32_t>(row), &minimum, &maximum));
  return {minimum, maximum};
}

void Board::saveCalibration(int64_t row, double tag, const std::array<double, facts::kCalibrationColumns>& values) {
  checkRange("the calibration row", facts::kCalibrationRow, static_cast<double>(row));
  fail("vxclk_saveFMCalibrationValues",
       vxclk_saveFMCalibrationValues(instance(), tag, static_cast<uint16_t>(row), values.data()));
}

void Board::reset() {
  setCalibrationSource(CalibrationSource::None);
  for (Switch which : kResetSwitches) set(which, false);
  setClock(kResetClockMHz);
  set(Setting::Tx1Power, kResetTx1Power);
  set(Setting::Tx2Power, 0);
  set(Setting::Tx2Divider, 0);
}

void Board::restore(const BoardSettings& saved) {
  const ActiveConfig& c = saved.stored;
  setCalibrationSource(saved.calibrationSource, saved.calibrationFile);
  for (Switch which : kResetSwitches) {
    if (c.*(factsOf(which).field)) set(which, true);
  }
  if (facts::kFMRateMHz.contains(c.fmFrequency / 1e6)) setFMRate(c.fmFrequency / 1e6);
  if (facts::kPMFrequencyMHz.contains(c.tx2PMFrequency / 1e6)) setPMFrequency(c.tx2PMFrequency / 1e6);
  for (const Setting setting : kRestoredBeforeClock) {
    const SettingFacts& f = factsOf(setting);
    if (!f.needs || c.*(factsOf(*f.needs).field)) set(setting, c.*(f.field));
  }
  setPRBS(c.tx2BUJPRBS, c.tx2BUJPRBSFlag);
  setPattern(saved.bujPattern);
  if (facts::kClockMHz.contains(c.generateFrequency)) setClock(c.generateFrequency);
  for (Switch which : kResetSwitches) {
    if (!(c.*(factsOf(which).field))) set(which, false);
  }
  for (const Setting setting : {Setting::Tx1Power, Setting::Tx2Power, Setting::Tx2Divider}) {
    set(setting, c.*(factsOf(setting).field));
  }
}

// ---- readback ------------------------------------------------------------------------------

BoardIdentity Board::identity() {
  BoardIdentity id;
  fail("vxclk_getBoardID", vxclk_getBoardID(instance(), &id.boardId));
  fail("vxclk_getSerialNumber", vxclk_getSerialNumber(instance(), &id.serial));
  vxclk_APIVersion(id.libraryVersion.data());
  return id;
}

int32_t Board::temperature(int64_t sensor) {
  checkRange("the sensor", facts::kTemperatureSensor, static_cast<double>(sensor));
  int32_t value = 0;
  fail("vxclk_getTemperature", vxclk_getTemperature(instance(), static_cast<int32_t>(sensor), &value));
  return value;
}

int32_t Board::vcoLock() {
  int32_t lock = 0;
  fail("vxclk_checkVCOLock", vxclk_checkVCOLock(instance(), &lock));
  return lock;
}

double Board::vcoVoltage() {
  double volts = 0;
  fail("vxclk_checkVCOVoltage", vxclk_checkVCOVoltage(instance(), &volts));
  return volts;
}

bool Board::answers() { return connected_ && stillAnswers(); }

const ActiveConfig& Board::readStoredConfig(Clock::time_point askedAt) {
  if (askedAt > lastConfigRead_ || !view_.seeded) {
    ActiveConfig read{};
    fail("vxclk_getActiveConfig", vxclk_getActiveConfig(instance(), &read));
    storeConfig(read);
  }
  return view_.stored;
}

void Board::afterMemoryWrite(uint32_t address) {
  namespace p = kestrel::protocol;
  const uint32_t settingsEnd = p::settingAddress(p::kSettingCount);
  if (address + sizeof(double) <= p::kSettingsBase || address >= settingsEnd) return;
  ActiveConfig read{};
  if (connected_ && vxclk_getActiveConfig(instance_, &read) == VXCLK_OK) storeConfig(read);
}

kestrel::sim::SynthState Board::simulatedSynthesizer() const {
  if (emulator_ == nullptr) throw BoardError(BoardFault::Missing, "not a built-in emulator (--sim)");
  return emulator_->synthState();
}

// ---- raw access ----------------------------------------------------------------------------

uint16_t Board::readRegister(int64_t page, int64_t reg) {
  checkRange("the page", facts::kRegisterPage, static_cast<double>(page));
  checkRange("the register", facts::kRegisterNumber, static_cast<double>(reg));
  uint16_t value = 0;
  fail("vxclk_setClock",
       vxclk_setClock(instance(), 0, static_cast<uint16_t>(page), static_cast<uint16_t>(reg), &value));
  return value;
}

void Board::writeRegister(int64_t page, int64_t reg, int64_t value) {
  checkRange("the page", facts::kRegisterPage, static_cast<double>(page));
  checkRange("the register", facts::kRegisterNumber, static_cast<double>(reg));
  checkRange("the value", facts::kRegisterWord, static_cast<double>(value));
  auto word = static_cast<uint16_t>(value);
  fail("vxclk_setClock",
       vxclk_setClock(instance(), 1, static_cast<uint16_t>(page), static_cast<uint16_t>(reg), &word));
}

double Board::readMemory(int64_t address) {
  checkRange("the address", facts::kMemoryAddress, static_cast<double>(address));
  double value = 0;
  fail("vxclk_getEEPROMAddress", vxclk_getEEPROMAddress(instance(), static_cast<uint32_t>(address), &value));
  return value;
}

void Board::writeMemory(int64_t address, double value) {
  checkRange("the address", facts::kMemoryAddress, static_cast<double>(address));
  fail("vxclk_writeEEPROMAddress", vxclk_writeEEPROMAddress(instance(), static_cast<uint32_t>(address), &value));
}

}  // namespace kestreld
