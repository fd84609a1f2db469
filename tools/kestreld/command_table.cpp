// The command tree of a board: every SCPI command and query as one table
// entry, the common (*) commands included, built from a few shapes (a
// setting, a switch, a frequency, a query) over the board service, so that
// the table reads like the programming manual in docs/scpi.md (a test holds
// the two together). Ranges come from the service's facts; SCPI speaks Hz
// where the service takes MHz.
#include <array>
#include <chrono>
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "board.h"
#include "board_emulator.h"
#include "board_worker.h"
#include "config_fields.h"
#include "remote_calls.h"
#include "scpi_session.h"

namespace kestreld {

using namespace scpi;

namespace {

constexpr double kHzPerMHz = 1e6;
constexpr double kResetClockHz = Board::kResetClockMHz * kHzPerMHz;
constexpr double kDefaultFMRateHz = 1e6;
constexpr int kDefaultFMRateIndex = 3;  // 1 MHz
const NumericRange kRealRange{-DBL_MAX, DBL_MAX, 0};
const NumericRange kEventRegisterRange{0, 255, 0};

// A range of the service in SCPI's units, with what DEFault stands for.
NumericRange scpiRange(const Range& range, double scale = 1, double def = 0) {
  return {range.min * scale, range.max * scale, def, range.exclusive};
}

// The switches, and the header that turns each on: a conflict names it.
constexpr std::pair<Switch, const char*> kSwitchHeaders[] = {
    {Switch::FM, "[SOURce]:FM:STATe"},          {Switch::PM, "[SOURce]:PM:STATe"},
    {Switch::PMRJ, "[SOURce]:PM:RJ:STATe"},     {Switch::PMBUJ, "[SOURce]:PM:BUJ:STATe"},
    {Switch::AM, "[SOURce]:AM:STATe"},
};

const Param& arg(const Call& call, size_t i) {
  if (i >= call.params.size()) throw ScpiError(kMissingParameter);
  return call.params[i];
}

int64_t intArg(const Call& call, size_t i, const NumericRange& range) { return integerValue(arg(call, i), range); }
double hzArg(const Call& call, const Range& mhz, double defHz) {
  return numericValue(arg(call, 0), Unit::Hertz, scpiRange(mhz, kHzPerMHz, defHz));
}

const ActiveConfig& view(const Call& call) { return call.board.view().stored; }
std::string flag(bool on) { return on ? "1" : "0"; }

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

CommandEntry command(std::string pattern, SetHandler set, int params = 0) {
  return entry(std::move(pattern), std::move(set), nullptr, params);
}

// "FM:DEV? MAX" answers a limit instead of the setting.
void expectLimitName(const Call& call) {
  if (call.params[0].kind != ParamKind::Character) throw ScpiError(kIllegalParameterValue, "MIN, MAX or DEF");
}

CommandEntry setting(std::string pattern, Setting which, double def = 0) {
  return entry(
      std::move(pattern),
      [=](Call& c) { c.board.set(which, intArg(c, 0, scpiRange(factsOf(which).range, 1, def))); },
      [=](Call& c) {
        if (c.params.empty()) return std::to_string(view(c).*(factsOf(which).field));
        expectLimitName(c);
        return std::to_string(intArg(c, 0, scpiRange(factsOf(which).range, 1, def)));
      },
      1, 1);
}

CommandEntry switchEntry(std::string pattern, Switch which) {
  return entry(
      std::move(pattern), [=](Call& c) { c.board.set(which, booleanValue(arg(c, 0))); },
      [=](Call& c) { return flag(view(c).*(factsOf(which).field)); });
}

// "FREQ? MIN" answers a limit instead of the setting.
std::string limitOr(Call& call, const Range& mhz, double defHz, double valueHz) {
  if (call.params.empty()) return formatReal(valueHz);
  expectLimitName(call);
  return formatReal(hzArg(call, mhz, defHz));
}

// A frequency setting: set in Hz (units allowed), the service called in MHz.
template <typename Set>
CommandEntry frequency(std::string pattern, const Range& mhz, double defHz, Set set, int32_t ActiveConfig::*hz) {
  return entry(
      std::move(pattern), [=](Call& c) { (c.board.*set)(hzArg(c, mhz, defHz) / kHzPerMHz); },
      [=](Call& c) { return limitOr(c, mhz, defHz, view(c).*hz); }, 1, 1);
}

CommandEntry clockEntry() {
  return entry(
      "[SOURce]:FREQuency[:CW]", [](Call& c) { c.board.setClock(hzArg(c, facts::kClockMHz, kResetClockHz) / kHzPerMHz); },
      [](Call& c) { return limitOr(c, facts::kClockMHz, kResetClockHz, c.board.cwClockMHz() * kHzPerMHz); }, 1, 1);
}

// What the board makes of the clock asked for: above the VCO's low edge the
// plan takes whole MHz.
std::string producedClock(Call& call) {
  const double mhz = view(call).generateFrequency;
  return formatReal(facts::kClockMHz.contains(mhz) ? facts::producedMHz(mhz) * kHzPerMHz : NAN);
}

std::string fmRateIndex(Call& call) {
  const auto index = facts::fmRateIndex(view(call).fmFrequency / kHzPerMHz);
  return std::to_string(index ? *index : -1);
}

void setCalibrationSource(Call& call) {
  const std::string source = choiceValue(arg(call, 0), {"NONE", "BOARd", "FILE"});
  if (source != "FILE" && call.params.size() > 1) throw ScpiError(kParameterNotAllowed);
  if (source == "FILE") return call.board.setCalibrationSource(CalibrationSource::File, stringValue(arg(call, 1)));
  call.board.setCalibrationSource(source == "NONE" ? CalibrationSource::None : CalibrationSource::Board);
}

std::string calibrationSource(Call& call) {
  const BoardSettings& s = call.board.view();
  if (s.calibrationSource == CalibrationSource::File) return "FILE," + quoted(s.calibrationFile);
  return nameOf(s.calibrationSource);
}

// CAL:SOUR NONE|BOARD, or FILE with its name.
CommandEntry calibrationSourceEntry() {
  CommandEntry e = entry("CALibration:SOURce", setCalibrationSource, calibrationSource, 2);
  e.setMin = 1;
  return e;
}

std::string calibrationLimits(Call& call) {
  const auto [minimum, maximum] = call.board.calibrationLimits(intArg(call, 0, scpiRange(facts::kCalibrationRow)));
  return formatReal(minimum) + "," + formatReal(maximum);
}

void saveCalibration(Call& call) {
  const int64_t row = intArg(call, 0, scpiRange(facts::kCalibrationRow));
  const double tag = numericValue(arg(call, 1), Unit::None, kRealRange);
  std::array<double, facts::kCalibrationColumns> values{};
  for (size_t i = 0; i < values.size(); ++i) values[i] = numericValue(arg(call, i + 2), Unit::None, kRealRange);
  call.board.saveCalibration(row, tag, values);
}

std::string formatField(const ConfigValue& value) {
  if (const bool* b = std::get_if<bool>(&value)) return flag(*b);
  if (const double* d = std::get_if<double>(&value)) return formatReal(*d);
  return std::to_string(std::get<int32_t>(value));
}

std::string configurationValues(const ActiveConfig& c) {
  std::string out;
  forEachConfigField(c, [&](const char*, const ConfigValue& value) {
    if (!out.empty()) out += ',';
    out += formatField(value);
  });
  return out;
}

// Reads the board only when no read has ended since the line arrived: a
// client that asks while another's read runs shares it.
std::string readConfiguration(Call& call) {
  return configurationValues(call.board.readStoredConfig(call.client.askedAt()));
}

std::string configurationNames(Call& call) {
  std::string out;
  forEachConfigField(view(call), [&](const char* name, const ConfigValue&) {
    if (!out.empty()) out += ',';
    out += quoted(name);
  });
  return out;
}

std::string readRegister(Call& call) {
  return std::to_string(call.board.readRegister(intArg(call, 0, scpiRange(facts::kRegisterPage)),
                                                intArg(call, 1, scpiRange(facts::kRegisterNumber))));
}

void writeRegister(Call& call) {
  call.board.writeRegister(intArg(call, 0, scpiRange(facts::kRegisterPage)),
                           intArg(call, 1, scpiRange(facts::kRegisterNumber)),
                           intArg(call, 2, scpiRange(facts::kRegisterWord)));
}

void writeMemory(Call& call) {
  call.board.writeMemory(intArg(call, 0, scpiRange(facts::kMemoryAddress)),
                         numericValue(arg(call, 1), Unit::None, kRealRange));
}

std::string readMemory(Call& call) {
  return formatReal(call.board.readMemory(intArg(call, 0, scpiRange(facts::kMemoryAddress))));
}

// What the built-in emulator decoded from the synthesizer words it received.
std::string simulatedSynthesizer(Call& call) {
  const kestrel::sim::SynthState s = call.board.simulatedSynthesizer();
  return flag(s.programmed) + "," + formatReal(s.vcoFrequency * kHzPerMHz) + "," +
         formatReal(s.pdFrequency * kHzPerMHz) + "," + std::to_string(s.channelDivision) + "," +
         formatReal(s.outputA * kHzPerMHz) + "," + formatReal(s.outputB * kHzPerMHz) + "," + std::to_string(s.uploads);
}

// *RST stops a sweep and returns to CW; the sweep's other settings stay.
void resetBoard(Call& call) {
  SweepRunner& sweep = call.worker.sweep();
  sweep.abort();
  sweep.change([](SweepSettings& s) {
    s.mode = FrequencyMode::Cw;
    s.trigger = TriggerSource::Immediate;
  });
  call.board.reset();
}

void operationCompleteWhenIdle(Call& call) {
  if (!call.worker.sweep().pendingFor(&call.client)) return call.client.operationComplete();
  call.worker.sweep().whenIdle([session = call.client.weak_from_this()] {
    if (const auto client = session.lock()) client->operationComplete();
  });
}

int stateSlot(const Call& call) { return static_cast<int>(intArg(call, 0, scpiRange(StateStore::kSlots))); }

// The board's settings with the clock asked for (not a sweep's last point),
// and the sweep's settings.
void saveState(Call& call) {
  const int slot = stateSlot(call);
  SavedState state{call.board.view(), call.worker.sweep().settings()};
  state.board.stored.generateFrequency = call.board.cwClockMHz();
  state.sweep.continuous = false;
  call.worker.states().save(slot, state);
}

void recallState(Call& call) {
  const int slot = stateSlot(call);
  const std::optional<SavedState> state = call.worker.states().load(slot);
  if (!state) throw BoardError(BoardFault::Unusable, "nothing was saved in slot " + std::to_string(slot));
  call.worker.sweep().replace(state->sweep);
  call.board.restore(state->board);
}

}  // namespace

std::vector<CommandEntry> commonCommands() {
  auto eventRegister = [](uint8_t ClientSession::*reg) {
    return entry(
        "", [=](Call& c) { c.client.*reg = static_cast<uint8_t>(intArg(c, 0, kEventRegisterRange)); },
        [=](Call& c) { return std::to_string(c.client.*reg); });
  };
  CommandEntry ese = eventRegister(&ClientSession::eventEnable);
  ese.pattern = "*ESE";
  CommandEntry sre = eventRegister(&ClientSession::serviceEnable);
  sre.pattern = "*SRE";
  return {
      queryOnly("*IDN", [](Call& c) { return idnResponse(c.board.identity()); }),
      command("*RST", resetBoard),
      queryOnly("*TST", [](Call& c) { return std::string(c.board.answers() ? "0" : "1"); }),
      command("*CLS", [](Call& c) { c.client.clearStatus(); }),
      ese,
      queryOnly("*ESR", [](Call& c) { return std::to_string(c.client.takeEventStatus()); }),
      sre,
      queryOnly("*STB", [](Call& c) { return std::to_string(c.client.statusByte()); }),
      // A line runs to its end before the next one starts; only a sweep this
      // client started is pending, and the session holds its *OPC? and *WAI
      // until it ends (when they get here, nothing is pending).
      entry("*OPC", operationCompleteWhenIdle, [](Call&) { return std::string("1"); }, 0),
      command("*WAI", [](Call&) {}),
      command("*TRG", [](Call& c) { c.worker.sweep().trigger(); }),
      command("*SAV", saveState, 1),
      command("*RCL", recallState, 1),
  };
}

namespace {

std::vector<CommandEntry> outputCommands() {
  return {
      clockEntry(),
      queryOnly("[SOURce]:FREQuency:ACTual", producedClock),
      setting("OUTPut1:POWer", Setting::Tx1Power, Board::kResetTx1Power),
      setting("OUTPut2:POWer", Setting::Tx2Power),
      setting("OUTPut2:DIVider", Setting::Tx2Divider),
      setting("[SOURce]:CLOCk:SOURce", Setting::ClockSource),
  };
}

std::vector<CommandEntry> fmCommands() {
  return {
      frequency("[SOURce]:FM:RATE", facts::kFMRateMHz, kDefaultFMRateHz, &Board::setFMRate,
                &ActiveConfig::fmFrequency),
      entry(
          "[SOURce]:FM:RATE:INDex",
          [](Call& c) { c.board.setFMRateIndex(intArg(c, 0, scpiRange(facts::kFMRateIndex, 1, kDefaultFMRateIndex))); },
          fmRateIndex),
      setting("[SOURce]:FM:DEViation", Setting::FMDeviation),
      setting("[SOURce]:FM:SKEW", Setting::FMSkew),
      setting("[SOURce]:FM:RJ[:AMPLitude]", Setting::FMRJ),
  };
}

std::vector<CommandEntry> tx2Commands() {
  return {
      frequency("[SOURce]:PM:FREQuency", facts::kPMFrequencyMHz, 0, &Board::setPMFrequency,
                &ActiveConfig::tx2PMFrequency),
      setting("[SOURce]:PM:DEViation", Setting::PMDeviation),
      setting("[SOURce]:PM:PSHift", Setting::PMPhaseShift),
      setting("[SOURce]:PM:RJ[:AMPLitude]", Setting::PMRJ),
      setting("[SOURce]:PM:BUJ[:AMPLitude]", Setting::PMBUJ),
      setting("[SOURce]:PM:BUJ:LRATe", Setting::PMBUJLineRate),
      setting("[SOURce]:BUJ[:AMPLitude]", Setting::BUJAmplitude),
      entry(
          "[SOURce]:BUJ:PRBS",
          [](Call& c) { c.board.setPRBS(intArg(c, 0, scpiRange(facts::kRegisterWord)), booleanValue(arg(c, 1))); },
          [](Call& c) { return std::to_string(view(c).tx2BUJPRBS) + "," + flag(view(c).tx2BUJPRBSFlag); }, 2),
      entry(
          "[SOURce]:BUJ:PATTern", [](Call& c) { c.board.setPattern(intArg(c, 0, scpiRange(facts::kPattern))); },
          [](Call& c) { return std::to_string(c.board.view().bujPattern); }),
      setting("[SOURce]:AM:DEPTh", Setting::AMDepth),
      setting("[SOURce]:AM:RJ[:AMPLitude]", Setting::AMRJ),
  };
}

std::vector<CommandEntry> systemCommands() {
  return {
      queryOnly("SYSTem:ERRor[:NEXT]", [](Call& c) { return c.client.popError(); }),
      queryOnly("SYSTem:ERRor:COUNt", [](Call& c) { return std::to_string(c.client.errorCount()); }),
      queryOnly("SYSTem:VERSion", [](Call&) { return std::string("1999.0"); }),
      queryOnly("SYSTem:CONFiguration", [](Call& c) { return configurationValues(view(c)); }),
      queryOnly("SYSTem:CONFiguration:READ", readConfiguration),
      queryOnly("SYSTem:CONFiguration:CATalog", configurationNames),
      queryOnly("SYSTem:TEMPerature1", [](Call& c) { return std::to_string(c.board.temperature(0)); }),
      queryOnly("SYSTem:TEMPerature2", [](Call& c) { return std::to_string(c.board.temperature(1)); }),
      queryOnly("[SOURce]:VCO:LOCK", [](Call& c) { return std::to_string(c.board.vcoLock()); }),
      queryOnly("[SOURce]:VCO:VOLTage", [](Call& c) { return formatReal(c.board.vcoVoltage()); }),
      calibrationSourceEntry(),
      queryOnly("CALibration:LIMits", calibrationLimits, 1),
      command("CALibration:SAVE", saveCalibration, 2 + facts::kCalibrationColumns),
      entry("DIAGnostic:REGister", writeRegister, readRegister, 3, 2),
      entry("DIAGnostic:MEMory", writeMemory, readMemory, 2, 1),
      queryOnly("DIAGnostic:CONNected", [](Call& c) { return flag(c.board.connected()); }),
      // The export's name, then its arguments; a FILE calibration brings its values.
      queryOnly("DIAGnostic:CALL", [](Call& c) { return runRemoteCall(c.board, c.params); },
                2 + static_cast<int>(facts::kCalibrationValues)),
      queryOnly("DIAGnostic:SIMulation:SYNThesizer", simulatedSynthesizer),
  };
}

// ---- frequency lists and sweeps ------------------------------------------------------

const NumericRange kDwellRange = scpiRange(sweep::kDwellSeconds, 1, 0.01);
const NumericRange kPointsRange = scpiRange(sweep::kPoints, 1, 11);
const NumericRange kCountRange = scpiRange(sweep::kCount, 1, 1);
const NumericRange kSpanRange{0, (facts::kClockMHz.max - facts::kClockMHz.min) * kHzPerMHz, 0};

double clockHzAt(const Call& call, size_t i) {
  return numericValue(arg(call, i), Unit::Hertz, scpiRange(facts::kClockMHz, kHzPerMHz, kResetClockHz));
}

std::string joinedReals(const std::vector<double>& values, double scale) {
  std::string out;
  for (double v : values) out += (out.empty() ? "" : ",") + formatReal(v * scale);
  return out;
}

const SweepSettings& sweepSettings(const Call& call) { return call.worker.sweep().settings(); }

template <typename Edit>
void changeSweep(Call& call, Edit&& edit) {
  call.worker.sweep().change(std::forward<Edit>(edit));
}

void setFrequencyMode(Call& call) {
  const std::string mode = choiceValue(arg(call, 0), {"CW", "FIXed", "LIST", "SWEep"});
  call.worker.sweep().setMode(mode == "LIST"    ? FrequencyMode::List
                              : mode == "SWEEP" ? FrequencyMode::Sweep
                                                : FrequencyMode::Cw);
}

void setListFrequencies(Call& call) {
  std::vector<double> mhz;
  for (size_t i = 0; i < call.params.size(); ++i) mhz.push_back(clockHzAt(call, i) / kHzPerMHz);
  changeSweep(call, [&](SweepSettings& s) { s.listMHz = std::move(mhz); });
}

void setListDwells(Call& call) {
  std::vector<double> dwells;
  for (size_t i = 0; i < call.params.size(); ++i) dwells.push_back(numericValue(arg(call, i), Unit::None, kDwellRange));
  changeSweep(call, [&](SweepSettings& s) { s.listDwellSeconds = std::move(dwells); });
}

// A list of up to sweep::kMaxPoints values.
CommandEntry listEntry(std::string pattern, SetHandler set, QueryHandler query) {
  CommandEntry e = entry(std::move(pattern), std::move(set), std::move(query), static_cast<int>(sweep::kMaxPoints));
  e.setMin = 1;
  return e;
}

bool isInfinity(const Param& param) {
  return param.kind == ParamKind::Character && (param.text == "INF" || param.text == "INFINITY");
}

void setListCount(Call& call) {
  const int64_t count = isInfinity(arg(call, 0)) ? sweep::kInfinite : intArg(call, 0, kCountRange);
  changeSweep(call, [&](SweepSettings& s) { s.count = count; });
}

std::string listCount(Call& call) {
  const int64_t count = sweepSettings(call).count;
  return count == sweep::kInfinite ? std::string("INF") : std::to_string(count);
}

// Both ends of a sweep stay inside the clock's range.
void setSweepEnds(Call& call, double startMHz, double stopMHz) {
  Board::checkClock(startMHz);
  Board::checkClock(stopMHz);
  changeSweep(call, [&](SweepSettings& s) {
    s.startMHz = startMHz;
    s.stopMHz = stopMHz;
  });
}

double centerMHz(const SweepSettings& s) { return (s.startMHz + s.stopMHz) / 2; }
double spanMHz(const SweepSettings& s) { return s.stopMHz - s.startMHz; }

std::vector<CommandEntry> sweepEndCommands() {
  return {
      entry(
          "[SOURce]:FREQuency:STARt",
          [](Call& c) { setSweepEnds(c, clockHzAt(c, 0) / kHzPerMHz, sweepSettings(c).stopMHz); },
          [](Call& c) { return formatReal(sweepSettings(c).startMHz * kHzPerMHz); }),
      entry(
          "[SOURce]:FREQuency:STOP",
          [](Call& c) { setSweepEnds(c, sweepSettings(c).startMHz, clockHzAt(c, 0) / kHzPerMHz); },
          [](Call& c) { return formatReal(sweepSettings(c).stopMHz * kHzPerMHz); }),
      entry(
          "[SOURce]:FREQuency:CENTer",
          [](Call& c) {
            const double half = spanMHz(sweepSettings(c)) / 2, center = clockHzAt(c, 0) / kHzPerMHz;
            setSweepEnds(c, center - half, center + half);
          },
          [](Call& c) { return formatReal(centerMHz(sweepSettings(c)) * kHzPerMHz); }),
      entry(
          "[SOURce]:FREQuency:SPAN",
          [](Call& c) {
            const double half = numericValue(arg(c, 0), Unit::Hertz, kSpanRange) / kHzPerMHz / 2;
            const double center = centerMHz(sweepSettings(c));
            setSweepEnds(c, center - half, center + half);
          },
          [](Call& c) { return formatReal(spanMHz(sweepSettings(c)) * kHzPerMHz); }),
  };
}

SweepOwner ownerOf(Call& call) {
  const std::weak_ptr<ClientSession> session = call.client.weak_from_this();
  return {&call.client,
          [session](const std::string& detail) {
            if (const auto client = session.lock()) client->pushError(kExecutionError, detail);
          },
          [session](const BoardError& error) {
            const auto client = session.lock();
            if (!client) return;
            const auto [code, detail] = scpiErrorFor(error);
            client->pushError(code, "the sweep stopped: " + detail);
          }};
}

// The count of points recorded, then each one's lateness in seconds.
std::string latenessRecord(Call& call) {
  const auto& lateness = call.worker.sweep().lateness();
  std::string out = std::to_string(lateness.size());
  for (const auto late : lateness) out += "," + formatReal(std::chrono::duration<double>(late).count());
  return out;
}

std::vector<CommandEntry> sweepCommands() {
  std::vector<CommandEntry> commands = {
      entry("[SOURce]:FREQuency:MODE", setFrequencyMode,
            [](Call& c) { return std::string(nameOf(sweepSettings(c).mode)); }),
      listEntry("[SOURce]:LIST:FREQuency", setListFrequencies,
                [](Call& c) { return joinedReals(sweepSettings(c).listMHz, kHzPerMHz); }),
      listEntry("[SOURce]:LIST:DWELl", setListDwells,
                [](Call& c) { return joinedReals(sweepSettings(c).listDwellSeconds, 1); }),
      queryOnly("[SOURce]:LIST:POINts", [](Call& c) { return std::to_string(sweepSettings(c).listMHz.size()); }),
      entry("[SOURce]:LIST:COUNt", setListCount, listCount),
      queryOnly("[SOURce]:LIST:INDex", [](Call& c) { return std::to_string(c.worker.sweep().index()); }),
      queryOnly("[SOURce]:LIST:TIMing", latenessRecord),
      entry(
          "[SOURce]:SWEep:POINts",
          [](Call& c) { changeSweep(c, [n = intArg(c, 0, kPointsRange)](SweepSettings& s) { s.points = n; }); },
          [](Call& c) { return std::to_string(sweepSettings(c).points); }),
      entry(
          "[SOURce]:SWEep:DWELl",
          [](Call& c) {
            const double dwell = numericValue(arg(c, 0), Unit::None, kDwellRange);
            changeSweep(c, [=](SweepSettings& s) { s.dwellSeconds = dwell; });
          },
          [](Call& c) { return formatReal(sweepSettings(c).dwellSeconds); }),
      entry(
          "[SOURce]:SWEep:SPACing",
          [](Call& c) {
            const bool log = choiceValue(arg(c, 0), {"LINear", "LOGarithmic"}) == "LOGARITHMIC";
            changeSweep(c, [=](SweepSettings& s) { s.spacing = log ? Spacing::Logarithmic : Spacing::Linear; });
          },
          [](Call& c) { return std::string(nameOf(sweepSettings(c).spacing)); }),
      entry(
          "[SOURce]:SWEep:DIRection",
          [](Call& c) {
            const bool down = choiceValue(arg(c, 0), {"UP", "DOWN"}) == "DOWN";
            changeSweep(c, [=](SweepSettings& s) { s.direction = down ? Direction::Down : Direction::Up; });
          },
          [](Call& c) { return std::string(nameOf(sweepSettings(c).direction)); }),
      entry(
          "TRIGger[:SEQuence]:SOURce",
          [](Call& c) {
            const bool bus = choiceValue(arg(c, 0), {"IMMediate", "BUS"}) == "BUS";
            changeSweep(c, [=](SweepSettings& s) { s.trigger = bus ? TriggerSource::Bus : TriggerSource::Immediate; });
          },
          [](Call& c) { return std::string(nameOf(sweepSettings(c).trigger)); }),
      command("INITiate[:IMMediate]", [](Call& c) { c.worker.sweep().initiate(ownerOf(c)); }),
      entry(
          "INITiate:CONTinuous", [](Call& c) { c.worker.sweep().setContinuous(booleanValue(arg(c, 0)), ownerOf(c)); },
          [](Call& c) { return flag(sweepSettings(c).continuous); }),
      command("ABORt", [](Call& c) { c.worker.sweep().abort(); }),
      queryOnly("STATus:OPERation:CONDition",
                [](Call& c) { return std::to_string(c.worker.sweep().operationCondition()); }),
  };
  for (CommandEntry& e : sweepEndCommands()) commands.push_back(std::move(e));
  return commands;
}

// The header to send, in short form without its optional nodes: "PM:STAT".
std::string shortHeader(const std::string& pattern) {
  std::string header;
  for (const PatternNode& node : compilePattern(pattern)) {
    if (!node.optional) header += (header.empty() ? "" : ":") + node.shortName;
  }
  return header;
}

}  // namespace

const CommandTree& commandTree() {
  static const CommandTree tree([] {
    std::vector<CommandEntry> all;
    for (auto group :
         {commonCommands(), outputCommands(), fmCommands(), tx2Commands(), systemCommands(), sweepCommands()}) {
      for (CommandEntry& e : group) all.push_back(std::move(e));
    }
    for (const auto& [which, pattern] : kSwitchHeaders) all.push_back(switchEntry(pattern, which));
    return all;
  }());
  return tree;
}

std::string idnResponse(const BoardIdentity& id) {
  char model[32];
  std::snprintf(model, sizeof model, "Clock source board %04X", static_cast<unsigned>(id.boardId));
  const auto& v = id.libraryVersion;
  return std::string("Kestrel,") + model + "," + std::to_string(id.serial) + ",KestrelLib " + std::to_string(v[0]) +
         "." + std::to_string(v[1]) + "." + std::to_string(v[2]);
}

std::pair<int, std::string> scpiErrorFor(const BoardError& error) {
  switch (error.fault) {
    case BoardFault::OutOfRange:
      return {kDataOutOfRange, error.what()};
    case BoardFault::Conflict: {
      std::string detail = error.what();
      for (const auto& [which, pattern] : kSwitchHeaders) {
        if (error.needs == which) detail += ": send " + shortHeader(pattern) + " ON first";
      }
      return {kSettingsConflict, detail};
    }
    case BoardFault::Unusable:
      return {kExecutionError, error.what()};
    case BoardFault::Failed:
      return {kHardwareError, error.what()};
    case BoardFault::Missing:
      break;
  }
  return {kHardwareMissing, error.what()};
}

}  // namespace kestreld
