// demo: a short guided tour against the built-in board emulator. Every step
// goes through the library's public C interface, as a host program would.
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "KestrelLib.h"
#include "commands.h"
#include "protocol/board_protocol.h"

namespace kestrelctl {

namespace {

constexpr double kDemoClockMHz = 1800.0;
constexpr int32_t kOneMHzRate = 3;  // FM table entry 3: 1 MHz
constexpr int32_t kDemoAmplitude = 300;
constexpr int kSteps = 5;

// The calibration file of the tour: identity rows (y = x, limits 0..4095),
// except the 1 MHz row, which maps x to 2x + 5 so the effect is visible.
constexpr double kSlope = 2.0;
constexpr double kOffset = 5.0;
constexpr int kRows = 14;
constexpr double kRowMax = 4095.0;


std::string step(int n, const std::string& text) {
  return std::to_string(n) + "/" + std::to_string(kSteps) + " " + text;
}

// A temporary calibration file, removed when the tour ends.
class TemporaryFile {
 public:
  TemporaryFile() {
    std::random_device entropy;
    path_ = std::filesystem::temp_directory_path() / ("kestrelctl-demo-" + std::to_string(entropy()) + ".txt");
  }
  ~TemporaryFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

void writeCalibrationFile(const std::string& path) {
  std::ofstream out(path);
  for (int row = 0; row < kRows; ++row) {
    const bool special = row == kOneMHzRate;
    const double values[7] = {0, 0, 0, special ? kSlope : 1.0, special ? kOffset : 0.0, 0, kRowMax};
    for (const double v : values) out << formatNumber(v) << "\n";
  }
  if (!out) throw UsageError("cannot write the calibration file " + path);
}

void identityStep(Context& ctx, Result& r) {
  void* board = ctx.board();
  int32_t version[3] = {0, 0, 0};
  vxclk_APIVersion(version);
  int32_t boardId = 0;
  check("vxclk_getBoardID", vxclk_getBoardID(board, &boardId));
  uint64_t serial = 0;
  check("vxclk_getSerialNumber", vxclk_getSerialNumber(board, &serial));
  int32_t t0 = 0, t1 = 0;
  check("vxclk_getTemperature", vxclk_getTemperature(board, 0, &t0));
  check("vxclk_getTemperature", vxclk_getTemperature(board, 1, &t1));
  int32_t lock = 0;
  check("vxclk_checkVCOLock", vxclk_checkVCOLock(board, &lock));
  double volts = 0;
  check("vxclk_checkVCOVoltage", vxclk_checkVCOVoltage(board, &volts));
  r.line(step(1, "identity: board ID " + hex(static_cast<uint32_t>(boardId), 4) + ", serial number " +
                     std::to_string(serial) + ", temperature sensors " + std::to_string(t0) + " and " +
                     std::to_string(t1) + " (raw)"));
  r.line("    VCO lock value " + std::to_string(lock) + ", tuning voltage " + formatFixed(volts, 3) + " V");
  r.data = {{"boardId", boardId}, {"serialNumber", serial},  {"temperatures", {t0, t1}},
            {"vcoLock", lock},    {"vcoVoltage", volts}};
}

void clockStep(Context& ctx, Result& r) {
  check("vxclk_generateClock", vxclk_generateClock(ctx.board(), kDemoClockMHz, kBoardLoopProfile));
  r.line(step(2, "clock: asked for " + mhz(kDemoClockMHz) + " on both outputs"));
  r.data["requestedMHz"] = kDemoClockMHz;
  if (const SimulatedBoard* sim = ctx.session.simulator()) {
    const auto s = sim->synthState();
    r.line("    the board decoded VCO " + mhz(s.vcoFrequency) + " / " + std::to_string(s.channelDivision) +
           " = " + mhz(s.outputA) + " (output B " + mhz(s.outputB) + ", phase detector " + mhz(s.pdFrequency) + ")");
    r.data["decoded"] = {{"vcoMHz", s.vcoFrequency},   {"channelDivision", s.channelDivision},
                         {"outputAMHz", s.outputA},    {"outputBMHz", s.outputB},
                         {"pdMHz", s.pdFrequency}};
  }
}

void fmStep(Context& ctx, Result& r) {
  void* board = ctx.board();
  check("vxclk_enableFM", vxclk_enableFM(board, 1));
  check("vxclk_setFMFrequency", vxclk_setFMFrequency(board, kOneMHzRate));
  r.line(step(3, "FM: enabled at table rate " + std::to_string(kOneMHzRate) + " (1 MHz)"));
  r.data = {{"enabled", true}, {"rateIndex", kOneMHzRate}, {"rateMHz", 1.0}};
}

void calibrationStep(Context& ctx, Result& r) {
  void* board = ctx.board();
  TemporaryFile file;
  writeCalibrationFile(file.path());
  check("vxclk_initializeInstance", vxclk_initializeInstance(board, VXCLK_CALIBRATION_FILE, file.path().c_str()));
  double minimum = 0, maximum = 0;
  check("vxclk_getMinMaxCalibration", vxclk_getMinMaxCalibration(board, kOneMHzRate, &minimum, &maximum));
  check("vxclk_setFMAmplitude", vxclk_setFMAmplitude(board, kDemoAmplitude));
  uint16_t received = 0;
  check("vxclk_setClock", vxclk_setClock(board, 0, 0, kestrel::protocol::reg::kFMAmplitude, &received));
  r.line(step(4, "calibration: a temporary file maps the 1 MHz row to 2x + 5, limits " + formatNumber(minimum) +
                     " to " + formatNumber(maximum)));
  r.line("    FM amplitude " + std::to_string(kDemoAmplitude) + " went through it: the board received " +
         std::to_string(received));
  r.data = {{"path", file.path()}, {"row", kOneMHzRate},  {"min", minimum},
            {"max", maximum},      {"amplitude", kDemoAmplitude}, {"received", received}};
}

void readbackStep(Context& ctx, Result& r) {
  ActiveConfig c{};
  readActiveConfig(ctx, "demo", c);
  r.line(step(5, "readback from board memory: clock " + mhz(c.generateFrequency) + " (profile " +
                     std::to_string(c.generateOption) + "), FM " + (c.fmEnable ? "on" : "off") + " at " +
                     std::to_string(c.fmFrequency) + " Hz, amplitude " + std::to_string(c.fmAmplitude) +
                     ", Tx1 power " + std::to_string(c.tx1Power)));
  r.data = {{"generateFrequency", c.generateFrequency}, {"generateOption", c.generateOption},
            {"fmEnable", c.fmEnable},                   {"fmFrequency", c.fmFrequency},
            {"fmAmplitude", c.fmAmplitude},             {"tx1Power", c.tx1Power}};
}

#if defined(_WIN32)
constexpr char kPathListSeparator = ';';
#else
constexpr char kPathListSeparator = ':';
#endif

// The program the shell runs for `name`: the first match on PATH.
std::filesystem::path foundOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return {};
  std::string directories = path;
  size_t begin = 0;
  while (begin <= directories.size()) {
    size_t end = directories.find(kPathListSeparator, begin);
    if (end == std::string::npos) end = directories.size();
    const std::string directory = directories.substr(begin, end - begin);
    std::error_code error;
    const std::filesystem::path candidate = std::filesystem::path(directory.empty() ? "." : directory) / name;
    if (std::filesystem::is_regular_file(candidate, error)) return candidate;
    begin = end + 1;
  }
  return {};
}

// Quoted for a POSIX shell when it holds anything but plain path characters.
std::string shellWord(const std::string& text) {
  bool plain = !text.empty();
  for (const unsigned char c : text) {
    if (!std::isalnum(c) && std::string("/._-+:,=@%").find(static_cast<char>(c)) == std::string::npos) plain = false;
  }
  if (plain) return text;
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

std::string commandForHints(const char* argv0) {
  if (argv0 == nullptr || *argv0 == '\0') return "kestrelctl";
  const std::filesystem::path started(argv0);
  const std::string name = started.filename().string();
  if (!started.has_parent_path()) return shellWord(name);  // the shell found it on PATH
  std::error_code error;
  const std::filesystem::path onPath = foundOnPath(name);
  if (!onPath.empty() && std::filesystem::equivalent(onPath, started, error)) return shellWord(name);
  return shellWord(argv0);
}

void addDemoCommand(CLI::App& app, Invocation& inv) {
  CLI::App* command =
      app.add_subcommand("demo", "A short guided tour against the built-in board emulator (needs no board)");
  leaf(inv, command, false, [&inv] {
    return [&inv](Context& ctx, Result& r) {
      ctx.board();  // starts the emulator and connects
      ctx.out.note("kestrelctl demo: KestrelLib's C interface against the built-in board emulator at " +
                   ctx.session.address());
      const struct {
        const char* name;
        void (*run)(Context&, Result&);
      } steps[] = {{"identity", identityStep}, {"clock", clockStep}, {"fm", fmStep}, {"calibration", calibrationStep},
                   {"readback", readbackStep}};
      for (const auto& s : steps) {
        Result stepResult;
        s.run(ctx, stepResult);
        ctx.out.success(std::string("demo ") + s.name, stepResult);
      }
      const std::vector<std::string> next = {inv.program + " --sim info", inv.program + " plan 2500",
                                             inv.program + " --help"};
      r.line("done. Try:  " + next[0] + "  or  " + next[1] + "  or  " + next[2]);
      r.data["address"] = ctx.session.address();
      r.data["next"] = next;
    };
  });
}

}  // namespace kestrelctl
