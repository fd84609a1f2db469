// The board service: every operation a client may ask of one board, typed,
// under the faces (SCPI, HTTP/JSON, later ones). Each setter is one typed
// operation in two steps that can be used apart:
//
//   check(...)  its arguments against the board's ranges (board_facts.h),
//               throwing BoardError{OutOfRange} before the board is touched;
//   apply(...)  the library call, and on success the settings view, giving
//               back the call's status as it is;
//
// and set(...) runs both and turns a status other than 0 into one neutral
// BoardError, which each face maps to its own codes. Used on the board's own
// thread only (its worker), except where a member says otherwise.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "KestrelLib.h"
#include "board_facts.h"

namespace kestrel::sim {
class BoardEmulator;
struct SynthState;
}  // namespace kestrel::sim

namespace kestreld {

// Why an operation did not happen, in words every face maps to its own.
enum class BoardFault {
  OutOfRange,  // an argument outside its range: nothing was sent
  Conflict,    // the board's state forbids it (a switch is off, a calibration is selected)
  Unusable,    // what it names cannot be had (a calibration file, an emulator)
  Failed,      // the board did not take it, or stopped answering
  Missing,     // the board is not connected
};

struct BoardError : std::runtime_error {
  BoardError(BoardFault fault, const std::string& sentence, std::optional<Switch> needs = std::nullopt)
      : std::runtime_error(sentence), fault(fault), needs(needs) {}
  BoardFault fault;
  std::optional<Switch> needs;  // Conflict: the switch to turn on first
};

enum class CalibrationSource { None, Board, File };

// The library export behind a setting or a switch ("vxclk_setTx1Power").
const char* exportOf(Setting setting);
const char* exportOf(Switch which);
// "NONE", "BOARD" or "FILE", as both faces name them.
const char* nameOf(CalibrationSource source);

// What the daemon knows of the board's settings: the configuration the board
// stored, read at every connect, followed by every setter that succeeds, so
// that queries answer at once and every client sees what the others left.
struct BoardSettings {
  ActiveConfig stored{};
  bool seeded = false;  // `stored` was read from the board
  CalibrationSource calibrationSource = CalibrationSource::None;
  std::string calibrationFile;  // as the client named it
  uint32_t bujPattern = 0;
};

struct BoardIdentity {
  int32_t boardId = 0;
  uint64_t serial = 0;
  std::array<int32_t, 3> libraryVersion{};
};

class Board {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr double kResetClockMHz = 1000.0;  // what *RST sets
  static constexpr int32_t kResetTx1Power = 1;      // the library's own starting value

  Board(std::string name, std::string address, kestrel::sim::BoardEmulator* emulator = nullptr);
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  const std::string& name() const { return name_; }
  const std::string& address() const { return address_; }
  kestrel::sim::BoardEmulator* emulator() const { return emulator_; }
  // Any thread.
  bool connected() const { return connected_; }
  // Other threads read the copy BoardWorker::view() publishes.
  const BoardSettings& view() const { return view_; }

  // Where a FILE calibration source may read from; none: nowhere.
  void setCalibrationDirectory(std::string directory) { calibrationDirectory_ = std::move(directory); }

  // ---- the connection ------------------------------------------------------------
  // Connects, and reads the configuration the board stores into the view
  // (about 3 s), so that nothing is answered from a view of an earlier
  // connection. False when either fails.
  bool connect();
  void disconnect();
  // The link failed under a call: connected() turns false and the worker reconnects.
  void markLost();

  // ---- settings ------------------------------------------------------------------------
  static void check(Setting setting, int64_t value);
  int32_t apply(Setting setting, int32_t value);
  void set(Setting setting, int64_t value);

  int32_t apply(Switch which, int32_t on);  // the library's own value: 2 goes as 2
  void set(Switch which, bool on);

  static void checkClock(double mhz);
  int32_t applyClock(double mhz, int32_t option = facts::kLoopProfile);
  void setClock(double mhz);

  // A rate of the table goes as its index (calibration rows are kept by
  // index), any other as a custom rate.
  static void checkFMRate(double mhz);
  int32_t applyFMRate(double mhz);
  int32_t applyCustomFMRate(double mhz);  // a custom rate even where the table has it
  void setFMRate(double mhz);
  static void checkFMRateIndex(int64_t index);
  int32_t applyFMRateIndex(int32_t index);
  void setFMRateIndex(int64_t index);

  static void checkPMFrequency(double mhz);
  int32_t applyPMFrequency(double mhz);
  void setPMFrequency(double mhz);

  static void checkPRBS(int64_t code);
  int32_t applyPRBS(int32_t code, int32_t flag);
  void setPRBS(int64_t code, bool flag);

  static void checkPattern(int64_t pattern);
  int32_t applyPattern(uint32_t pattern);
  void setPattern(int64_t pattern);

  // FILE names a file inside the calibration directory.
  void setCalibrationSource(CalibrationSource source, const std::string& file = {});
  std::pair<double, double> calibrationLimits(int64_t row);
  void saveCalibration(int64_t row, double tag, const std::array<double, facts::kCalibrationColumns>& values);

  // ---- the clock under a sweep ---------------------------------------------------------
  // While a sweep holds the clock, a client's clock request would fight it:
  // setClock and applyClock give Conflict. stepClock moves it to a point
  // (range-checked), keeping the clock asked for before to return to.
  void holdClock(bool held) { clockHeld_ = held; }
  bool clockHeld() const { return clockHeld_; }
  void stepClock(double mhz);
  // The clock asked for outside a sweep (FREQ?), and a return to it.
  double cwClockMHz() const { return cwClockMHz_ ? *cwClockMHz_ : view_.stored.generateFrequency; }
  void returnToCwClock();

  // *RCL: the settings of a saved view, in an order the board takes them
  // (calibration, the switches that must be on, the settings under them,
  // the clock, the switches that stay off, the powers).
  void restore(const BoardSettings& saved);

  // *RST: calibration none, modulation off, a 1 GHz clock, default powers and divider.
  void reset();

  // ---- readback -------------------------------------------------------------------------
  BoardIdentity identity();
  int32_t temperature(int64_t sensor);
  int32_t vcoLock();
  double vcoVoltage();
  bool answers();  // the board reads its ID (a self test)
  // The stored configuration read now, unless a read that ended after
  // `askedAt` already has it: callers that ask while a read runs, or wait
  // behind it, share that read. Makes it the view.
  const ActiveConfig& readStoredConfig(Clock::time_point askedAt);
  // What the built-in emulator decoded from the synthesizer words.
  kestrel::sim::SynthState simulatedSynthesizer() const;

  // ---- any library call (a remote instance's, DIAGnostic:CALL?) ----------------
  // A status given back as it is, once a failure the board did not survive
  // has marked it lost, as for every other call.
  int32_t noted(int32_t status);
  // Runs call(instance), noted.
  template <typename Call>
  int32_t run(Call&& call) {
    return noted(call(instance()));
  }
  // After a memory write at `address`: when it reached the stored
  // configuration, the view reads that again (it stays as it was when that
  // read fails).
  void afterMemoryWrite(uint32_t address);
  // A configuration just read from the board becomes the view.
  void storeConfig(const ActiveConfig& config);
  // initializeInstance as a remote instance asked; `path` is the daemon's
  // copy of a caller's file (FILE), named `file` in the view.
  int32_t applyCalibration(int32_t source, const char* path, const std::string& file);

  // ---- raw access --------------------------------------------------------------------------
  uint16_t readRegister(int64_t page, int64_t reg);
  void writeRegister(int64_t page, int64_t reg, int64_t value);
  double readMemory(int64_t address);
  void writeMemory(int64_t address, double value);

 private:
  void* instance();  // throws Missing while not connected
  // Turns a library status into a BoardError. Status 1 from a board that
  // still answers is the library refusing the request: `needs` names why.
  void raise(const char* call, int32_t status, std::optional<Switch> needs = std::nullopt);
  void fail(const char* call, int32_t status, std::optional<Switch> needs = std::nullopt) {
    if (status != VXCLK_OK) raise(call, status, needs);
  }
  bool stillAnswers();

  std::string name_;
  std::string address_;
  kestrel::sim::BoardEmulator* emulator_;
  void* instance_ = nullptr;
  std::atomic<bool> connected_{false};
  BoardSettings view_;
  std::optional<std::string> calibrationDirectory_;
  Clock::time_point lastConfigRead_{};
  bool clockHeld_ = false;
  std::optional<double> cwClockMHz_;  // while a sweep's point is the board's clock
};

}  // namespace kestreld
