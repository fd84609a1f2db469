// The command tree of a board: every SCPI command and query as one table
// entry, built from a few shapes (an integer setting, a switch, a query) so
// that the table reads like the programming manual in docs/scpi.md.
#include <array>
#include <cfloat>
#include <climits>
#include <cmath>

#include "board_emulator.h"
#include "board_worker.h"
#include "calibration_dir.h"
#include "config_fields.h"
#include "scpi_session.h"

namespace kestreld {

using namespace scpi;

namespace {

using IntCall = int32_t (*)(void*, int32_t);

constexpr int32_t kLoopProfile = 19;  // vxclk_generateClock applies the board's profile 19 whatever it gets
constexpr double kResetClockHz = 1e9;
constexpr int32_t kResetTx1Power = 1;  // the library's own starting value

const NumericRange kClockRange{20e6, 5500e6, kResetClockHz, true};
const NumericRange kTx1PowerRange{0, 31, kResetTx1Power};
const NumericRange kTx2PowerRange{0, 4096, 0};
const NumericRange kDividerRange{0, 15, 0};
const NumericRange kInt32Range{INT32_MIN, INT32_MAX, 0};
const NumericRange kFMRateRange{0.04e6, 50e6, 1e6};
const NumericRange kFMIndexRange{0, 11, 3};
const NumericRange kPMFrequencyRange{0, 80e6, 0};
const NumericRange kCalibrationRowRange{0, 13, 0};
const NumericRange kRealRange{-DBL_MAX, DBL_MAX, 0};
const NumericRange kPageRange{0, 15, 0};
const NumericRange kRegisterRange{0, 2047, 0};
const NumericRange kWordRange{0, 65535, 0};
const NumericRange kMemoryRange{0, 65528, 0};
const NumericRange kPatternRange{0, 4294967295.0, 0};

// The board's FM rate table, in Hz, by index.
constexpr std::array<double, 12> kFMRatesHz = {0.04e6, 0.1e6, 0.5e6, 1e6, 1.3e6, 2e6,
                                               2.5e6,  3e6,   3.5e6, 4e6, 10e6,  50e6};

const Param& arg(const Call& call, size_t i) {
  if (i >= call.params.size()) throw ScpiError(kMissingParameter);
  return call.params[i];
}

int32_t intArg(const Call& call, size_t i, const NumericRange& range) {
  return static_cast<int32_t>(integerValue(arg(call, i), range));
}

ActiveConfig& view(Call& call) { return call.board.settings().stored; }

CommandEntry entry(std::string pattern, SetHandler set, QueryHandler query, int setParams = 1, int queryParams = 0) {
  CommandEntry e;
  e.pattern = std::move(pattern);
  e.set = std::move(set);
  e.query = std::move(query);
  e.setParams = setParams;
  e.queryParams = queryParams;
  return e;
}

CommandEntry queryOnly(std::string pattern, QueryHandler query, int queryParams = 0) {
  return entry(std::move(pattern), nullptr, std::move(query), 0, queryParams);
}

CommandEntry intSetting(std::string pattern, const char* name, IntCall fn, int32_t ActiveConfig::*field,
                        NumericRange range = kInt32Range, const char* conflict = nullptr) {
  return entry(
      std::move(pattern),
      [=](Call& call) {
        const int32_t value = intArg(call, 0, range);
        call.board.check(name, fn(call.board.instance(), value), conflict);
        view(call).*field = value;
      },
      [=](Call& call) { return std::to_string(view(call).*field); });
}

CommandEntry switchSetting(std::string pattern, const char* name, IntCall fn, bool ActiveConfig::*field) {
  return entry(
      std::move(pattern),
      [=](Call& call) {
        const bool on = booleanValue(arg(call, 0));
        call.board.check(name, fn(call.board.instance(), on ? 1 : 0));
        view(call).*field = on;
      },
      [=](Call& call) { return std::string(view(call).*field ? "1" : "0"); });
}

// "FREQ? MIN" answers a limit instead of the setting.
std::string limitOr(Call& call, const NumericRange& range, double value) {
  if (call.params.empty()) return formatReal(value);
  if (call.params[0].kind != ParamKind::Character) throw ScpiError(kIllegalParameterValue, "MIN, MAX or DEF");
  return formatReal(numericValue(call.params[0], Unit::Hertz, range));
}

void setClock(Call& call) {
  const double hz = numericValue(arg(call, 0), Unit::Hertz, kClockRange);
  call.board.check("vxclk_generateClock", vxclk_generateClock(call.board.instance(), hz / 1e6, kLoopProfile));
  view(call).generateFrequency = hz / 1e6;
}

int fmIndexOf(double hz) {
  for (size_t i = 0; i < kFMRatesHz.size(); ++i) {
    if (std::fabs(kFMRatesHz[i] - hz) < 0.5) return static_cast<int>(i);
  }
  return -1;
}

void setFMIndex(Call& call, int32_t index) {
  call.board.check("vxclk_setFMFrequency", vxclk_setFMFrequency(call.board.instance(), index));
  view(call).fmFrequency = static_cast<int32_t>(kFMRatesHz[static_cast<size_t>(index)]);
}

// A rate from the table goes as its index, which calibration rows are kept by.
void setFMRate(Call& call) {
  const double hz = numericValue(arg(call, 0), Unit::Hertz, kFMRateRange);
  if (const int index = fmIndexOf(hz); index >= 0) return setFMIndex(call, index);
  call.board.check("vxclk_setCustomFMFrequency", vxclk_setCustomFMFrequency(call.board.instance(), hz / 1e6));
  view(call).fmFrequency = static_cast<int32_t>(std::llround(hz));
}

void setPMFrequency(Call& call) {
  const double hz = numericValue(arg(call, 0), Unit::Hertz, kPMFrequencyRange);
  call.board.check("vxclk_setTx2PMFrequency", vxclk_setTx2PMFrequency(call.board.instance(), hz / 1e6));
  view(call).tx2PMFrequency = static_cast<int32_t>(std::llround(hz));
}

void setPRBS(Call& call) {
  const int32_t code = intArg(call, 0, kInt32Range);
  const bool flag = booleanValue(arg(call, 1));
  call.board.check("vxclk_setTx2BUJPRBS", vxclk_setTx2BUJPRBS(call.board.instance(), code, flag ? 1 : 0));
  view(call).tx2BUJPRBS = code;
  view(call).tx2BUJPRBSFlag = flag;
}

void setPattern(Call& call) {
  const auto pattern = static_cast<uint32_t>(integerValue(arg(call, 0), kPatternRange));
  call.board.check("vxclk_setTx2BUJUserDefinedPattern",
                   vxclk_setTx2BUJUserDefinedPattern(call.board.instance(), pattern));
  call.board.settings().bujPattern = pattern;
}

// A FILE source names a file in the calibration directory, and nothing outside it.
std::string calibrationFile(Call& call, const std::string& name) {
  const auto& directory = call.board.calibrationDirectory();
  if (!directory)
    throw ScpiError(kExecutionError, "calibration files are off: kestreld runs without --calibration-dir");
  const auto path = calibrationFileIn(*directory, name);
  if (!path) throw ScpiError(kExecutionError, "no such calibration file in the calibration directory");
  return *path;
}

void setCalibrationSource(Call& call) {
  const std::string source = choiceValue(arg(call, 0), {"NONE", "BOARd", "FILE"});
  const int32_t code = source == "NONE"    ? VXCLK_CALIBRATION_NONE
                       : source == "BOARD" ? VXCLK_CALIBRATION_BOARD
                                           : VXCLK_CALIBRATION_FILE;
  std::string name;
  std::string path;
  if (code == VXCLK_CALIBRATION_FILE) {
    name = stringValue(arg(call, 1));
    path = calibrationFile(call, name);
  } else if (call.params.size() > 1) {
    throw ScpiError(kParameterNotAllowed);
  }
  const int32_t status = vxclk_initializeInstance(call.board.instance(), code, path.empty() ? nullptr : path.c_str());
  // Status 1 here is about the calibration's source, not the link.
  if (status == VXCLK_FAILED) throw ScpiError(kExecutionError, "the calibration could not be read");
  call.board.check("vxclk_initializeInstance", status);
  call.board.settings().calibrationSource = source;
  call.board.settings().calibrationPath = name;
}

std::string calibrationSource(Call& call) {
  const BoardSettings& s = call.board.settings();
  if (s.calibrationSource == "FILE") return "FILE," + quoted(s.calibrationPath);
  return s.calibrationSource;
}

// CAL:SOUR NONE|BOARD, or FILE with its name.
CommandEntry calibrationSourceEntry() {
  CommandEntry e = entry("CALibration:SOURce", setCalibrationSource, calibrationSource, 2);
  e.setMin = 1;
  return e;
}

std::string calibrationLimits(Call& call) {
  const int32_t row = intArg(call, 0, kCalibrationRowRange);
  double minimum = 0;
  double maximum = 0;
  call.board.check("vxclk_getMinMaxCalibration",
                   vxclk_getMinMaxCalibration(call.board.instance(), row, &minimum, &maximum));
  return formatReal(minimum) + "," + formatReal(maximum);
}

void saveCalibration(Call& call) {
  const auto row = static_cast<uint16_t>(intArg(call, 0, kCalibrationRowRange));
  const double tag = numericValue(arg(call, 1), Unit::None, kRealRange);
  double values[7];
  for (size_t i = 0; i < 7; ++i) values[i] = numericValue(arg(call, i + 2), Unit::None, kRealRange);
  call.board.check("vxclk_saveFMCalibrationValues",
                   vxclk_saveFMCalibrationValues(call.board.instance(), tag, row, values));
}

std::string formatField(const ConfigValue& value) {
  if (const bool* b = std::get_if<bool>(&value)) return *b ? "1" : "0";
  if (const double* d = std::get_if<double>(&value)) return formatReal(*d);
  return std::to_string(std::get<int32_t>(value));
}

std::string configurationValues(const ActiveConfig& c) {
  std::string out;
  forEachConfigField(
      c, [&](const char*, const ConfigValue& value) { out += (out.empty() ? "" : ",") + formatField(value); });
  return out;
}

// Reads the board only when no read has ended since the line arrived: a
// client that asks while another's read runs shares it.
std::string readConfiguration(Call& call) {
  return configurationValues(call.board.readStoredConfig(call.client.askedAt()));
}

std::string configurationNames(Call& call) {
  std::string out;
  forEachConfigField(view(call),
                     [&](const char* name, const ConfigValue&) { out += (out.empty() ? "" : ",") + quoted(name); });
  return out;
}

std::string temperature(Call& call, int32_t sensor) {
  int32_t value = 0;
  call.board.check("vxclk_getTemperature", vxclk_getTemperature(call.board.instance(), sensor, &value));
  return std::to_string(value);
}

std::string vcoLock(Call& call) {
  int32_t lock = 0;
  call.board.check("vxclk_checkVCOLock", vxclk_checkVCOLock(call.board.instance(), &lock));
  return std::to_string(lock);
}

std::string vcoVoltage(Call& call) {
  double volts = 0;
  call.board.check("vxclk_checkVCOVoltage", vxclk_checkVCOVoltage(call.board.instance(), &volts));
  return formatReal(volts);
}

uint16_t registerAccess(Call& call, bool write) {
  const auto page = static_cast<uint16_t>(intArg(call, 0, kPageRange));
  const auto reg = static_cast<uint16_t>(intArg(call, 1, kRegisterRange));
  auto value = static_cast<uint16_t>(write ? intArg(call, 2, kWordRange) : 0);
  call.board.check("vxclk_setClock", vxclk_setClock(call.board.instance(), write ? 1 : 0, page, reg, &value));
  return value;
}

void writeMemory(Call& call) {
  const auto address = static_cast<uint32_t>(intArg(call, 0, kMemoryRange));
  const double value = numericValue(arg(call, 1), Unit::None, kRealRange);
  call.board.check("vxclk_writeEEPROMAddress", vxclk_writeEEPROMAddress(call.board.instance(), address, &value));
}

std::string readMemory(Call& call) {
  const auto address = static_cast<uint32_t>(intArg(call, 0, kMemoryRange));
  double value = 0;
  call.board.check("vxclk_getEEPROMAddress", vxclk_getEEPROMAddress(call.board.instance(), address, &value));
  return formatReal(value);
}

// What the built-in emulator decoded from the synthesizer words it received.
std::string simulatedSynthesizer(Call& call) {
  const kestrel::sim::BoardEmulator* emulator = call.board.emulator();
  if (emulator == nullptr) throw ScpiError(kHardwareMissing, "not a built-in emulator (--sim)");
  const kestrel::sim::SynthState s = emulator->synthState();
  return std::string(s.programmed ? "1" : "0") + "," + formatReal(s.vcoFrequency * 1e6) + "," +
         formatReal(s.pdFrequency * 1e6) + "," + std::to_string(s.channelDivision) + "," + formatReal(s.outputA * 1e6) +
         "," + formatReal(s.outputB * 1e6) + "," + std::to_string(s.uploads);
}

std::vector<CommandEntry> outputCommands() {
  return {
      entry(
          "[SOURce]:FREQuency[:CW]", setClock,
          [](Call& c) { return limitOr(c, kClockRange, view(c).generateFrequency * 1e6); }, 1, 1),
      intSetting("OUTPut1:POWer", "vxclk_setTx1Power", vxclk_setTx1Power, &ActiveConfig::tx1Power, kTx1PowerRange),
      intSetting("OUTPut2:POWer", "vxclk_setTx2Power", vxclk_setTx2Power, &ActiveConfig::tx2Power, kTx2PowerRange),
      intSetting("OUTPut2:DIVider", "vxclk_setTx2Divider", vxclk_setTx2Divider, &ActiveConfig::tx2Divider,
                 kDividerRange),
      intSetting("[SOURce]:CLOCk:SOURce", "vxclk_setClockSource", vxclk_setClockSource, &ActiveConfig::clockSource),
  };
}

std::vector<CommandEntry> fmCommands() {
  return {
      switchSetting("[SOURce]:FM:STATe", "vxclk_enableFM", vxclk_enableFM, &ActiveConfig::fmEnable),
      entry(
          "[SOURce]:FM:RATE", setFMRate, [](Call& c) { return limitOr(c, kFMRateRange, view(c).fmFrequency); }, 1, 1),
      entry(
          "[SOURce]:FM:RATE:INDex", [](Call& c) { setFMIndex(c, intArg(c, 0, kFMIndexRange)); },
          [](Call& c) { return std::to_string(fmIndexOf(view(c).fmFrequency)); }),
      intSetting("[SOURce]:FM:DEViation", "vxclk_setFMAmplitude", vxclk_setFMAmplitude, &ActiveConfig::fmAmplitude),
      intSetting("[SOURce]:FM:SKEW", "vxclk_setFMPhaseSkew", vxclk_setFMPhaseSkew, &ActiveConfig::fmPhaseSkew),
      intSetting("[SOURce]:FM:RJ[:AMPLitude]", "vxclk_setFMRJAmplitude", vxclk_setFMRJAmplitude,
                 &ActiveConfig::fmRJAmplitude),
  };
}

std::vector<CommandEntry> tx2Commands() {
  const char* pmOff = "PM is off: send PM:STAT ON first";
  return {
      switchSetting("[SOURce]:PM:STATe", "vxclk_enableTx2PM", vxclk_enableTx2PM, &ActiveConfig::tx2PMEnable),
      entry(
          "[SOURce]:PM:FREQuency", setPMFrequency,
          [](Call& c) { return limitOr(c, kPMFrequencyRange, view(c).tx2PMFrequency); }, 1, 1),
      intSetting("[SOURce]:PM:DEViation", "vxclk_setTx2PMAmplitude", vxclk_setTx2PMAmplitude,
                 &ActiveConfig::tx2PMAmplitude, kInt32Range, pmOff),
      intSetting("[SOURce]:PM:PSHift", "vxclk_setTx2PMPhaseShiftAmplitude", vxclk_setTx2PMPhaseShiftAmplitude,
                 &ActiveConfig::tx2PMPhaseShiftAmplitude, kInt32Range, pmOff),
      switchSetting("[SOURce]:PM:RJ:STATe", "vxclk_enableTx2PMRJ", vxclk_enableTx2PMRJ, &ActiveConfig::tx2PMRJEnable),
      intSetting("[SOURce]:PM:RJ[:AMPLitude]", "vxclk_setTx2PMRJAmplitude", vxclk_setTx2PMRJAmplitude,
                 &ActiveConfig::tx2PMRJAmplitude, kInt32Range, "PM RJ is off: send PM:RJ:STAT ON first"),
      switchSetting("[SOURce]:PM:BUJ:STATe", "vxclk_enableTx2PMBUJ", vxclk_enableTx2PMBUJ,
                    &ActiveConfig::tx2PMBUJEnable),
      intSetting("[SOURce]:PM:BUJ[:AMPLitude]", "vxclk_setTx2PMBUJAmplitude", vxclk_setTx2PMBUJAmplitude,
                 &ActiveConfig::tx2PMBUJAmplitude, kInt32Range, "PM BUJ is off: send PM:BUJ:STAT ON first"),
      intSetting("[SOURce]:PM:BUJ:LRATe", "vxclk_setTx2PMBUJLineRate", vxclk_setTx2PMBUJLineRate,
                 &ActiveConfig::tx2PMBUJLineRate),
      intSetting("[SOURce]:BUJ[:AMPLitude]", "vxclk_setTx2BUJAmplitude", vxclk_setTx2BUJAmplitude,
                 &ActiveConfig::tx2BUJAmplitude),
      entry(
          "[SOURce]:BUJ:PRBS", setPRBS,
          [](Call& c) { return std::to_string(view(c).tx2BUJPRBS) + "," + (view(c).tx2BUJPRBSFlag ? "1" : "0"); }, 2),
      entry("[SOURce]:BUJ:PATTern", setPattern, [](Call& c) { return std::to_string(c.board.settings().bujPattern); }),
      switchSetting("[SOURce]:AM:STATe", "vxclk_enableTx2AM", vxclk_enableTx2AM, &ActiveConfig::tx2AMEnable),
      intSetting("[SOURce]:AM:DEPTh", "vxclk_setTx2AMAmplitude", vxclk_setTx2AMAmplitude, &ActiveConfig::tx2AMAmplitude,
                 kInt32Range, "AM is off: send AM:STAT ON first"),
      intSetting("[SOURce]:AM:RJ[:AMPLitude]", "vxclk_setTx2AMRJAmplitude", vxclk_setTx2AMRJAmplitude,
                 &ActiveConfig::tx2AMRJAmplitude),
  };
}

std::vector<CommandEntry> systemCommands() {
  std::vector<CommandEntry> list = {
      queryOnly("SYSTem:ERRor[:NEXT]", [](Call& c) { return c.client.popError(); }),
      queryOnly("SYSTem:ERRor:COUNt", [](Call& c) { return std::to_string(c.client.errorCount()); }),
      queryOnly("SYSTem:VERSion", [](Call&) { return std::string("1999.0"); }),
      queryOnly("SYSTem:CONFiguration", [](Call& c) { return configurationValues(view(c)); }),
      queryOnly("SYSTem:CONFiguration:READ", readConfiguration),
      queryOnly("SYSTem:CONFiguration:CATalog", configurationNames),
      queryOnly("SYSTem:TEMPerature1", [](Call& c) { return temperature(c, 0); }),
      queryOnly("SYSTem:TEMPerature2", [](Call& c) { return temperature(c, 1); }),
      queryOnly("[SOURce]:VCO:LOCK", vcoLock),
      queryOnly("[SOURce]:VCO:VOLTage", vcoVoltage),
      calibrationSourceEntry(),
      queryOnly("CALibration:LIMits", calibrationLimits, 1),
      entry("CALibration:SAVE", saveCalibration, nullptr, 9),
      entry(
          "DIAGnostic:REGister", [](Call& c) { registerAccess(c, true); },
          [](Call& c) { return std::to_string(registerAccess(c, false)); }, 3, 2),
      entry("DIAGnostic:MEMory", writeMemory, readMemory, 2, 1),
      queryOnly("DIAGnostic:CONNected", [](Call& c) { return std::string(c.board.connected() ? "1" : "0"); }),
      queryOnly("DIAGnostic:SIMulation:SYNThesizer", simulatedSynthesizer),
  };
  return list;
}

}  // namespace

const CommandTree& commandTree() {
  static const CommandTree tree([] {
    std::vector<CommandEntry> all;
    for (auto group : {outputCommands(), fmCommands(), tx2Commands(), systemCommands()}) {
      for (CommandEntry& e : group) all.push_back(std::move(e));
    }
    return all;
  }());
  return tree;
}

std::string identify(BoardWorker& board) {
  int32_t id = 0;
  uint64_t serial = 0;
  board.check("vxclk_getBoardID", vxclk_getBoardID(board.instance(), &id));
  board.check("vxclk_getSerialNumber", vxclk_getSerialNumber(board.instance(), &serial));
  int32_t version[3] = {0, 0, 0};
  vxclk_APIVersion(version);
  char model[32];
  std::snprintf(model, sizeof model, "Clock source board %04X", static_cast<unsigned>(id));
  return std::string("Kestrel,") + model + "," + std::to_string(serial) + ",KestrelLib " + std::to_string(version[0]) +
         "." + std::to_string(version[1]) + "." + std::to_string(version[2]);
}

int selfTest(BoardWorker& board) {
  int32_t id = 0;
  return board.connected() && vxclk_getBoardID(board.instance(), &id) == VXCLK_OK ? 0 : 1;
}

void resetBoard(BoardWorker& board) {
  void* instance = board.instance();
  BoardSettings& s = board.settings();
  board.check("vxclk_initializeInstance", vxclk_initializeInstance(instance, VXCLK_CALIBRATION_NONE, nullptr));
  s.calibrationSource = "NONE";
  s.calibrationPath.clear();
  // Modulation off first, so that the clock below is planned unmodulated.
  const std::pair<const char*, IntCall> switches[] = {{"vxclk_enableFM", vxclk_enableFM},
                                                      {"vxclk_enableTx2PMRJ", vxclk_enableTx2PMRJ},
                                                      {"vxclk_enableTx2PMBUJ", vxclk_enableTx2PMBUJ},
                                                      {"vxclk_enableTx2PM", vxclk_enableTx2PM},
                                                      {"vxclk_enableTx2AM", vxclk_enableTx2AM}};
  for (const auto& [name, fn] : switches) board.check(name, fn(instance, 0));
  s.stored.fmEnable = s.stored.tx2PMRJEnable = s.stored.tx2PMBUJEnable = false;
  s.stored.tx2PMEnable = s.stored.tx2AMEnable = false;
  board.check("vxclk_generateClock", vxclk_generateClock(instance, kResetClockHz / 1e6, kLoopProfile));
  s.stored.generateFrequency = kResetClockHz / 1e6;
  board.check("vxclk_setTx1Power", vxclk_setTx1Power(instance, kResetTx1Power));
  board.check("vxclk_setTx2Power", vxclk_setTx2Power(instance, 0));
  board.check("vxclk_setTx2Divider", vxclk_setTx2Divider(instance, 0));
  s.stored.tx1Power = kResetTx1Power;
  s.stored.tx2Power = 0;
  s.stored.tx2Divider = 0;
}

}  // namespace kestreld
