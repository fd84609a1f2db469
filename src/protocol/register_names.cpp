#include "protocol/register_names.h"

#include "protocol/board_protocol.h"

namespace kestrel::protocol {

namespace {

struct NamedRegister {
  uint16_t reg;
  const char* name;
  bool anyPage;  // the page selects a sensor or a switch
};

// Kept equal to the constants of board_protocol.h (a test compares them).
constexpr NamedRegister kNamedRegisters[] = {
    {reg::kRegister9, "Register9", false},
    {reg::kMemoryAddress, "MemoryAddress", false},
    {reg::kMemoryData, "MemoryData", false},
    {reg::kTemperature, "Temperature", true},
    {reg::kBoardId, "BoardId", false},
    {reg::kSerial0, "Serial0", false},
    {reg::kSerial1, "Serial1", false},
    {reg::kSerial2, "Serial2", false},
    {reg::kSerial3, "Serial3", false},
    {reg::kSerial4, "Serial4", false},
    {reg::kFMSwitch, "FMSwitch", true},
    {reg::kClockSource, "ClockSource", false},
    {reg::kTx2Divider, "Tx2Divider", false},
    {reg::kRegister261, "Register261", false},
    {reg::kSynthNumber, "SynthNumber", false},
    {reg::kSynthValue, "SynthValue", false},
    {reg::kTx2BUJAmplitude, "Tx2BUJAmplitude", false},
    {reg::kTx2PMBUJLineRateApply, "Tx2PMBUJLineRateApply", false},
    {reg::kTx2PMBUJLineRate, "Tx2PMBUJLineRate", false},
    {reg::kTx2BUJPRBS, "Tx2BUJPRBS", false},
    {reg::kTx2BUJPatternLow, "Tx2BUJPatternLow", false},
    {reg::kTx2BUJPatternHigh, "Tx2BUJPatternHigh", false},
    {reg::kTx2BUJPRBSFlag, "Tx2BUJPRBSFlag", false},
    {reg::kTx2AMAmplitude, "Tx2AMAmplitude", false},
    {reg::kTx2PMEnable, "Tx2PMEnable", false},
    {reg::kTx2PMFrequencyHigh, "Tx2PMFrequencyHigh", false},
    {reg::kTx2PMFrequencyLow, "Tx2PMFrequencyLow", false},
    {reg::kTx2PMAmplitude, "Tx2PMAmplitude", false},
    {reg::kTx2PMPhaseShiftAmplitude, "Tx2PMPhaseShiftAmplitude", false},
    {reg::kTx2PMRJEnable, "Tx2PMRJEnable", false},
    {reg::kTx2PMRJAmplitude, "Tx2PMRJAmplitude", false},
    {reg::kTx2AMEnable, "Tx2AMEnable", false},
    {reg::kTx2Slider, "Tx2Slider", false},
    {reg::kTx2AMRJAmplitude, "Tx2AMRJAmplitude", false},
    {reg::kFMFrequencyHigh, "FMFrequencyHigh", false},
    {reg::kFMFrequencyLow, "FMFrequencyLow", false},
    {reg::kFMPhaseSkew, "FMPhaseSkew", false},
    {reg::kFMEnable, "FMEnable", false},
    {reg::kFMAmplitude, "FMAmplitude", false},
    {reg::kVcoLock, "VcoLock", false},
    {reg::kVcoVoltage, "VcoVoltage", false},
    {reg::kTx2PMBUJEnable, "Tx2PMBUJEnable", false},
    {reg::kTx2PMBUJAmplitude, "Tx2PMBUJAmplitude", false},
    {reg::kFMRJAmplitude, "FMRJAmplitude", false},
};

}  // namespace

const char* registerName(uint16_t page, uint16_t reg) {
  for (const NamedRegister& r : kNamedRegisters)
    if (r.reg == reg && (page == 0 || r.anyPage)) return r.name;
  return nullptr;
}

}  // namespace kestrel::protocol
