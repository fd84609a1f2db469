// Everything the host and the board agree on: frame layout, opcodes, register
// numbers, memory layout and the numbered settings. The library and the board
// emulator both take these from here, so the two can never drift apart.
#pragma once

#include <array>
#include <cstdint>

namespace kestrel::protocol {

// ---- Transport ---------------------------------------------------------------
inline constexpr uint16_t kBoardPort = 6653;
inline constexpr int kFrameSize = 256;
inline constexpr int kResponseCapacity = 1024;

// How long the host waits before it gives up on a board.
inline constexpr int kConnectTimeoutMs = 3000;
inline constexpr int kExchangeTimeoutMs = 2000;
// The board time kestreld gives one program message (one line) before it
// drops the rest of it: a remote instance waits that long for an answer,
// and an exchange's time limit more.
inline constexpr int kDaemonLineBudgetMs = 10000;

// ---- Frame layout -------------------------------------------------------------
inline constexpr uint8_t kOpRegisterAccess = 0xF0;
inline constexpr uint8_t kOpMemoryAndAux = 0xF1;

inline constexpr int kOffOpcode = 0;
// Register access
inline constexpr int kOffAddressLow = 4;
inline constexpr int kOffAddressHigh = 5;
inline constexpr int kOffValueLow = 6;
inline constexpr int kOffValueHigh = 7;
// Memory block transfers
inline constexpr int kOffSubCommand = 1;
inline constexpr int kOffDirection = 2;
inline constexpr int kOffBlockLength = 3;
inline constexpr int kOffSelector = 4;
inline constexpr int kOffMemoryAddress = 5;  // 4 bytes, least significant first
inline constexpr int kOffBlockData = 9;      // 128 bytes
// Auxiliary reads
inline constexpr int kOffAuxSelector = 2;
inline constexpr int kOffAuxArg1 = 3;
inline constexpr int kOffAuxArg2 = 4;

inline constexpr uint8_t kSubMemoryBlock = 0x00;
inline constexpr uint8_t kSubAuxRepeat = 0x02;
inline constexpr uint8_t kSubAux3 = 0x03;
inline constexpr uint8_t kSubAux4 = 0x04;
inline constexpr uint8_t kDirectionWrite = 0x00;
inline constexpr uint8_t kDirectionRead = 0x01;
inline constexpr int kBlockSize = 128;

// Register read answer: the value sits in bytes 1 (low) and 2 (high).
inline constexpr int kRespValueLow = 1;
inline constexpr int kRespValueHigh = 2;
inline constexpr int kRegisterReadAnswerBytes = 3;
inline constexpr int kRegisterAnswerSize = 4;

// Address word: register in bits 0-10, page in bits 11-14, direction in bit 15.
inline constexpr uint16_t kPageShift = 11;
inline constexpr uint16_t kRegisterMask = 0x07FF;
inline constexpr uint16_t kPageMask = 0x0F;
inline constexpr uint16_t kWriteBit = 0x8000;

constexpr uint16_t addressWord(uint16_t page, uint16_t reg, bool write) {
  const uint16_t word = static_cast<uint16_t>(reg | (page << kPageShift));
  return write ? static_cast<uint16_t>(word | kWriteBit) : static_cast<uint16_t>(word & ~kWriteBit);
}

// ---- Board registers (page 0 unless noted) -------------------------------------
namespace reg {
inline constexpr uint16_t kRegister9 = 9;
inline constexpr uint16_t kMemoryAddress = 10;
inline constexpr uint16_t kMemoryData = 11;
inline constexpr uint16_t kTemperature = 16;  // page = sensor (0 or 1)
inline constexpr uint16_t kBoardId = 20;
inline constexpr uint16_t kSerial0 = 21;  // serial words 21..25, least significant first
inline constexpr uint16_t kSerial1 = 22;
inline constexpr uint16_t kSerial2 = 23;
inline constexpr uint16_t kSerial3 = 24;
inline constexpr uint16_t kSerial4 = 25;
inline constexpr uint16_t kFMSwitch = 35;  // page = switch number
inline constexpr uint16_t kClockSource = 256;
inline constexpr uint16_t kTx2Divider = 257;
inline constexpr uint16_t kRegister261 = 261;
inline constexpr uint16_t kSynthNumber = 262;
inline constexpr uint16_t kSynthValue = 263;
inline constexpr uint16_t kTx2BUJAmplitude = 514;
inline constexpr uint16_t kTx2PMBUJLineRateApply = 517;
inline constexpr uint16_t kTx2PMBUJLineRate = 519;
inline constexpr uint16_t kTx2BUJPRBS = 527;
inline constexpr uint16_t kTx2BUJPatternLow = 529;
inline constexpr uint16_t kTx2BUJPatternHigh = 530;
inline constexpr uint16_t kTx2BUJPRBSFlag = 536;
inline constexpr uint16_t kTx2AMAmplitude = 1024;
inline constexpr uint16_t kTx2PMEnable = 1025;
inline constexpr uint16_t kTx2PMFrequencyHigh = 1026;
inline constexpr uint16_t kTx2PMFrequencyLow = 1027;
inline constexpr uint16_t kTx2PMAmplitude = 1028;
inline constexpr uint16_t kTx2PMPhaseShiftAmplitude = 1029;
inline constexpr uint16_t kTx2PMRJEnable = 1030;
inline constexpr uint16_t kTx2PMRJAmplitude = 1031;
inline constexpr uint16_t kTx2AMEnable = 1032;
inline constexpr uint16_t kTx2Slider = 1035;
inline constexpr uint16_t kTx2AMRJAmplitude = 1036;
inline constexpr uint16_t kFMFrequencyHigh = 1038;
inline constexpr uint16_t kFMFrequencyLow = 1039;
inline constexpr uint16_t kFMPhaseSkew = 1040;
inline constexpr uint16_t kFMEnable = 1041;
inline constexpr uint16_t kFMAmplitude = 1042;
inline constexpr uint16_t kVcoLock = 1047;
inline constexpr uint16_t kVcoVoltage = 1048;  // millivolts
inline constexpr uint16_t kTx2PMBUJEnable = 1049;
inline constexpr uint16_t kTx2PMBUJAmplitude = 1051;
inline constexpr uint16_t kFMRJAmplitude = 1052;
}  // namespace reg

inline constexpr int kRegisterPages = 16;
inline constexpr int kRegistersPerPage = 2048;
// A register holds one 16-bit word: every value a setter puts into one
// register lies in 0..kRegisterWordMax.
inline constexpr int kRegisterWordMax = 0xFFFF;
inline constexpr int kFMSwitchCount = 6;
inline constexpr int kTemperatureSensors = 2;

// ---- Non-volatile memory ----------------------------------------------------------
inline constexpr uint32_t kMemorySize = 65536;
inline constexpr uint8_t kBlankMemoryByte = 0xFF;
inline constexpr uint32_t kSettingsBase = 8192;
inline constexpr uint32_t kCalibrationTagAddress = 20430;
inline constexpr uint32_t kCalibrationTableBase = 20480;
inline constexpr int kCalibrationRows = 14;
inline constexpr int kCalibrationColumns = 7;
inline constexpr int kCalibrationValues = kCalibrationRows * kCalibrationColumns;
inline constexpr uint32_t kCalibrationRowBytes = kCalibrationColumns * 8;

// The last address a double (8 bytes) may be stored at.
inline constexpr uint32_t kLastDoubleAddress = kMemorySize - 8;

constexpr uint32_t calibrationAddress(int row, int column) {
  return kCalibrationTableBase + kCalibrationRowBytes * static_cast<uint32_t>(row) +
         8u * static_cast<uint32_t>(column);
}

// The numbered settings that the library mirrors into board memory.
enum class SettingIndex : uint8_t {
  ClockSource = 0,
  Register261 = 1,
  FMSwitch0 = 2,
  FMSwitch1 = 3,
  FMSwitch2 = 4,
  FMSwitch3 = 5,
  FMSwitch4 = 6,
  FMSwitch5 = 7,
  GenerateOption = 8,
  GenerateFrequency = 9,
  FMEnable = 10,
  FMFrequency = 11,
  FMAmplitude = 12,
  FMPhaseSkew = 13,
  FMRJAmplitude = 14,
  Tx2PMEnable = 15,
  Tx2PMFrequency = 16,
  Tx2PMAmplitude = 17,
  Tx2PMPhaseShiftAmplitude = 18,
  Tx2PMRJEnable = 19,
  Tx2PMRJAmplitude = 20,
  Tx2PMBUJEnable = 21,
  Tx2PMBUJAmplitude = 22,
  Tx2PMBUJLineRate = 23,
  Tx2AMEnable = 24,
  Tx2AMAmplitude = 25,
  Tx2AMRJAmplitude = 26,
  Tx2BUJAmplitude = 27,
  Tx2BUJPRBS = 28,
  Tx2BUJPRBSFlag = 29,
  ReferenceFrequency = 30,
  Tx2Divider = 31,
  Tx1Power = 32,
  Tx2Power = 33,
};
inline constexpr int kSettingCount = 34;

constexpr uint32_t settingAddress(int index) { return kSettingsBase + 8u * static_cast<uint32_t>(index); }
constexpr uint32_t settingAddress(SettingIndex index) { return settingAddress(static_cast<int>(index)); }

// ---- Ranges the host holds requests to ------------------------------------------------
// A generated clock lies strictly between these.
inline constexpr double kClockMinMHz = 20.0;
inline constexpr double kClockMaxMHz = 5500.0;
inline constexpr int kTx1PowerMin = 0;
inline constexpr int kTx1PowerMax = 31;
// The Tx2 power is written as its distance from the slider's full scale.
inline constexpr int kTx2SliderFullScale = 4096;
inline constexpr int kTx2PowerMin = 0;
inline constexpr int kTx2PowerMax = kTx2SliderFullScale;
// The Tx2 divider selection n puts 1 << n into its register.
inline constexpr int kTx2DividerMin = 0;
inline constexpr int kTx2DividerMax = 15;
inline constexpr double kTx2PMFrequencyMaxMHz = 80.0;

// The FM rates the board's loop is tuned for, slowest first. A custom rate
// runs on the first entry at or above it, within the first and last rate.
inline constexpr std::array<double, 12> kFMRatesMHz = {0.04, 0.1, 0.5, 1.0, 1.3, 2.0,
                                                      2.5,  3.0, 3.5, 4.0, 10.0, 50.0};
inline constexpr double kCustomFMMinMHz = kFMRatesMHz.front();
inline constexpr double kCustomFMMaxMHz = kFMRatesMHz.back();

// ---- Synthesizer ----------------------------------------------------------------
// The synthesizer's registers reach it through board registers 262 (number) and
// 263 (value); the board keeps one word per synthesizer register number.
inline constexpr int kSynthRegisterSlots = 65;
inline constexpr double kBoardReferenceMHz = 156.25;
// The loop profile the board runs: vxclk_generateClock applies it whatever
// option it is given.
inline constexpr int32_t kBoardLoopProfile = 19;
inline constexpr double kVcoMinMHz = 3550.0;
inline constexpr double kVcoMaxMHz = 7100.0;

}  // namespace kestrel::protocol
