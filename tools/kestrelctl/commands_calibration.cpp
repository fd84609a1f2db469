// calibration and config: where FM amplitude calibration comes from, the
// calibration rows stored on the board, and the configuration readback.
#include <array>

#include "KestrelLib.h"
#include "calibration_file.h"
#include "commands.h"
#include "progress.h"

namespace kestrelctl {

namespace {

constexpr int32_t kCalibrationRows = 14;

// The calibration source is kept by the library instance, not by the board:
// it only affects later commands on the same connection.
constexpr const char* kConnectionOnlyNote =
    "note: the choice lasts for this connection only; put it in a run file before the commands it should affect";

// The limits come from the calibration chosen earlier on the same connection.
constexpr const char* kLimitsNote =
    "note: these are the limits of the calibration chosen earlier on this connection; put 'calibration board' or "
    "'calibration file PATH' before it in a run file";

// Why vxclk_initializeInstance refused the source: for a file, the line.
std::string sourceFailure(int32_t source, const std::string& file) {
  if (source == VXCLK_CALIBRATION_BOARD) return "The board's calibration rows could not be read at connect.";
  const std::string problem = calibrationFileProblem(file);
  if (problem.empty()) return "The calibration file could not be read.";
  return "The calibration file is refused: " + (problem.rfind("line ", 0) == 0 ? file + ", " : std::string()) +
         problem + ".";
}

void addSource(CLI::App* calibration, Invocation& inv, const std::string& name, int32_t source,
               const std::string& help, const std::string& description) {
  CLI::App* command = calibration->add_subcommand(name, help);
  std::shared_ptr<std::string> path;
  if (source == VXCLK_CALIBRATION_FILE) {
    path = positional(command, "PATH", "text file, one number per line: 14 rows of c4 c3 c2 c1 c0 min max");
  }
  leaf(inv, command, true, [=] {
    const std::string file = path ? *path : std::string();
    return [=](Context& ctx, Result& r) {
      const int32_t status =
          vxclk_initializeInstance(ctx.board(), source, source == VXCLK_CALIBRATION_FILE ? file.c_str() : nullptr);
      if (status == VXCLK_FAILED) throw CallFailure("vxclk_initializeInstance", status, sourceFailure(source, file));
      check("vxclk_initializeInstance", status);
      r.line("calibration source: " + description + (file.empty() ? "" : " " + file));
      if (!ctx.script) r.line(kConnectionOnlyNote);
      r.data["source"] = name;
      if (!file.empty()) r.data["path"] = file;
    };
  });
}

void addCalibration(CLI::App& app, Invocation& inv) {
  CLI::App* calibration = group(app, "calibration",
                                "FM amplitude calibration: calibration none|board|file PATH, calibration limits ROW, "
                                "calibration save ROW TAG c4 c3 c2 c1 c0 min max");
  addSource(calibration, inv, "none", VXCLK_CALIBRATION_NONE, "Send FM amplitudes unmapped", "none");
  addSource(calibration, inv, "board", VXCLK_CALIBRATION_BOARD, "Map FM amplitudes through the board's stored rows",
            "the board's rows (as read at connect)");
  addSource(calibration, inv, "file", VXCLK_CALIBRATION_FILE, "Map FM amplitudes through the rows in a text file",
            "file");

  CLI::App* limits =
      calibration->add_subcommand("limits", "Minimum and maximum of one row of the calibration chosen earlier on the same connection");
  auto limitsRow = positional(limits, "ROW", "row, 0 to 13 (rows 0 to 11 belong to the FM rates)");
  leaf(inv, limits, true, [=] {
    const int32_t row = parseInt32(*limitsRow, "ROW", 0, kCalibrationRows - 1);
    return [=](Context& ctx, Result& r) {
      double minimum = 0;
      double maximum = 0;
      check("vxclk_getMinMaxCalibration", vxclk_getMinMaxCalibration(ctx.board(), row, &minimum, &maximum));
      r.line("calibration row " + std::to_string(row) + ": min " + formatNumber(minimum) + ", max " +
             formatNumber(maximum));
      if (!ctx.script) r.line(kLimitsNote);
      r.data["row"] = row;
      r.data["min"] = minimum;
      r.data["max"] = maximum;
    };
  });

  CLI::App* save = calibration->add_subcommand(
      "save", "Store a calibration row and the calibration tag in board memory (used from the next connect on)");
  auto saveRow = positional(save, "ROW", "row, 0 to 13");
  auto tag = positional(save, "TAG", "calibration tag, a real number");
  static const std::array<const char*, 7> kColumns = {"C4", "C3", "C2", "C1", "C0", "MIN", "MAX"};
  std::array<std::shared_ptr<std::string>, 7> columns;
  for (size_t i = 0; i < kColumns.size(); ++i) {
    columns[i] = positional(save, kColumns[i], i < 5 ? "polynomial coefficient" : "limit reported by 'limits'");
  }
  leaf(inv, save, true, [=] {
    const auto row = static_cast<uint16_t>(parseInteger(*saveRow, "ROW", 0, kCalibrationRows - 1));
    const double tagValue = parseFinite(*tag, "TAG");
    std::array<double, 7> values{};
    for (size_t i = 0; i < values.size(); ++i) values[i] = parseFinite(*columns[i], kColumns[i]);
    return [=](Context& ctx, Result& r) {
      check("vxclk_saveFMCalibrationValues", vxclk_saveFMCalibrationValues(ctx.board(), tagValue, row, values.data()));
      std::string text;
      for (const double v : values) text += " " + formatNumber(v);
      r.line("calibration row " + std::to_string(row) + " saved (tag " + formatNumber(tagValue) + "):" + text);
      r.line("it takes effect at the next connect ('calibration board' then uses it)");
      r.data["row"] = row;
      r.data["tag"] = tagValue;
      r.data["values"] = values;
    };
  });
}

std::string onOff(bool on) { return on ? "on" : "off"; }

void describeConfig(const ActiveConfig& c, Result& r) {
  const auto i = [](int32_t v) { return std::to_string(v); };
  r.table({
      {"clockSource", i(c.clockSource)},
      {"register261", i(c.register261)},
      {"generateOption", i(c.generateOption)},
      {"generateFrequency", formatNumber(c.generateFrequency) + " MHz"},
      {"fmEnable", onOff(c.fmEnable)},
      {"fmFrequency", i(c.fmFrequency) + " Hz"},
      {"fmAmplitude", i(c.fmAmplitude)},
      {"fmPhaseSkew", i(c.fmPhaseSkew)},
      {"fmRJAmplitude", i(c.fmRJAmplitude)},
      {"tx2PMEnable", onOff(c.tx2PMEnable)},
      {"tx2PMFrequency", i(c.tx2PMFrequency) + " Hz"},
      {"tx2PMAmplitude", i(c.tx2PMAmplitude)},
      {"tx2PMPhaseShiftAmplitude", i(c.tx2PMPhaseShiftAmplitude)},
      {"tx2PMRJEnable", onOff(c.tx2PMRJEnable)},
      {"tx2PMRJAmplitude", i(c.tx2PMRJAmplitude)},
      {"tx2PMBUJEnable", onOff(c.tx2PMBUJEnable)},
      {"tx2PMBUJAmplitude", i(c.tx2PMBUJAmplitude)},
      {"tx2PMBUJLineRate", i(c.tx2PMBUJLineRate)},
      {"tx2AMEnable", onOff(c.tx2AMEnable)},
      {"tx2AMAmplitude", i(c.tx2AMAmplitude)},
      {"tx2AMRJAmplitude", i(c.tx2AMRJAmplitude)},
      {"tx2BUJAmplitude", i(c.tx2BUJAmplitude)},
      {"tx2BUJPRBS", i(c.tx2BUJPRBS)},
      {"tx2BUJPRBSFlag", onOff(c.tx2BUJPRBSFlag)},
      {"referenceFrequency", formatNumber(c.referenceFrequency) + " MHz"},
      {"tx2Divider", i(c.tx2Divider)},
      {"tx1Power", i(c.tx1Power)},
      {"tx2Power", i(c.tx2Power)},
  });
  r.data["config"] = {
      {"clockSource", c.clockSource},
      {"register261", c.register261},
      {"generateOption", c.generateOption},
      {"generateFrequency", c.generateFrequency},
      {"fmEnable", c.fmEnable},
      {"fmFrequency", c.fmFrequency},
      {"fmAmplitude", c.fmAmplitude},
      {"fmPhaseSkew", c.fmPhaseSkew},
      {"fmRJAmplitude", c.fmRJAmplitude},
      {"tx2PMEnable", c.tx2PMEnable},
      {"tx2PMFrequency", c.tx2PMFrequency},
      {"tx2PMAmplitude", c.tx2PMAmplitude},
      {"tx2PMPhaseShiftAmplitude", c.tx2PMPhaseShiftAmplitude},
      {"tx2PMRJEnable", c.tx2PMRJEnable},
      {"tx2PMRJAmplitude", c.tx2PMRJAmplitude},
      {"tx2PMBUJEnable", c.tx2PMBUJEnable},
      {"tx2PMBUJAmplitude", c.tx2PMBUJAmplitude},
      {"tx2PMBUJLineRate", c.tx2PMBUJLineRate},
      {"tx2AMEnable", c.tx2AMEnable},
      {"tx2AMAmplitude", c.tx2AMAmplitude},
      {"tx2AMRJAmplitude", c.tx2AMRJAmplitude},
      {"tx2BUJAmplitude", c.tx2BUJAmplitude},
      {"tx2BUJPRBS", c.tx2BUJPRBS},
      {"tx2BUJPRBSFlag", c.tx2BUJPRBSFlag},
      {"referenceFrequency", c.referenceFrequency},
      {"tx2Divider", c.tx2Divider},
      {"tx1Power", c.tx1Power},
      {"tx2Power", c.tx2Power},
  };
}

void addConfig(CLI::App& app, Invocation& inv) {
  CLI::App* command = app.add_subcommand(
      "config", "Read back the configuration stored on the board (vxclk_getActiveConfig, about 3 s)");
  leaf(inv, command, true, [] {
    return [](Context& ctx, Result& r) {
      ActiveConfig config{};
      readActiveConfig(ctx, "config", config);
      describeConfig(config, r);
    };
  });
}

}  // namespace

void readActiveConfig(Context& ctx, const std::string& command, ActiveConfig& config) {
  void* board = ctx.board();
  int32_t status = VXCLK_OK;
  runWithProgress("reading the board's configuration", command, ctx.out,
                  [&] { status = vxclk_getActiveConfig(board, &config); });
  check("vxclk_getActiveConfig", status);
}

void addCalibrationCommands(CLI::App& app, Invocation& inv) {
  addCalibration(app, inv);
  addConfig(app, inv);
}

}  // namespace kestrelctl
