// One ClockSource_API object stands for one board. It owns the board link,
// the synthesizer planner and the host-side device state; every board
// operation of the library is one of its virtual operations.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>

#include "config/device_state.h"
#include "config/device_config.h"
#include "config/timestamp_name.h"
#include "link/hw_layer.h"
#include "protocol/status.h"
#include "synth/synth_model.h"

namespace kestrel {

// The broken-down UTC time with milliseconds that timestamped names use.
struct SystemTime {
  uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0;
  uint16_t hour = 0, minute = 0, second = 0, milliseconds = 0;
};

class ClockSource_API final {
 public:
  ClockSource_API();
  ClockSource_API(const ClockSource_API&) = delete;
  ClockSource_API& operator=(const ClockSource_API&) = delete;

  // ---- connection and identity -------------------------------------------
  virtual double getRevision();
  virtual Status connect(std::string address);
  virtual Status disconnect();
  virtual int32_t getBoardID();
  virtual int32_t getShortSerialNumber();
  virtual Status getSerialNumber(uint64_t* destination);
  virtual Status setShortSerialNumber(int32_t serial);
  virtual double getRegister9Tenths();
  virtual int32_t regAccess(uint8_t write, uint16_t page, uint16_t address, uint16_t* value);
  virtual Status writeSynthRegister(uint16_t number, uint16_t value);
  virtual Status setRegister261(int32_t value);
  virtual Status checkVCOLock(int32_t* destination);
  virtual Status checkVCOVoltage(double* destination);
  virtual Status setFMSwitch(int32_t page, int32_t value);
  virtual Status getFMSwitch(int32_t page, int32_t* destination);

  // ---- FM ----------------------------------------------------------------------
  virtual Status enableFM(int32_t on);
  virtual Status setFMFrequency(int32_t index);
  virtual Status setCustomFMFrequency(double frequencyMHz);
  virtual Status setFMAmplitude(int32_t amplitude);
  virtual Status setFMPhaseSkew(int32_t skew);
  virtual Status setFMRJAmplitude(int32_t amplitude);

  // ---- Tx2 modulation, jitter, clock source -------------------------------------
  virtual Status enableTx2PM(int32_t on);
  virtual Status setTx2PMFrequency(double frequencyMHz);
  virtual Status setTx2PMAmplitude(double amplitude);
  virtual Status setTx2PMPhaseShiftAmplitude(int32_t amplitude);
  virtual Status enableTx2PMRJ(int32_t on);
  virtual Status setTx2PMRJAmplitude(double amplitude);
  virtual Status enableTx2PMBUJ(int32_t on);
  virtual Status setTx2PMBUJAmplitude(int32_t amplitude);
  virtual Status setTx2PMBUJLineRate(int32_t rate);
  virtual Status setTx2BUJAmplitude(int32_t amplitude);
  virtual Status setTx2BUJPRBS(int32_t prbs, int32_t flag);
  virtual Status setTx2BUJUserDefinedPattern(uint32_t pattern);
  virtual Status enableTx2AM(int32_t on);
  virtual Status setTx2AMAmplitude(int32_t amplitude);
  virtual Status setTx2AMRJAmplitude(int32_t amplitude);
  virtual Status setClockSource(int32_t source);

  // ---- board memory --------------------------------------------------------------
  virtual double getTemperature(uint16_t sensor);
  virtual Status readSetting(uint8_t index, double* out);
  virtual Status writeSetting(int32_t index, double value);
  virtual Status resetCalibrationTable();
  virtual Status saveFMCalibrationValues(double tag, uint16_t row, const double* values);
  virtual Status readCalibrationTable(double* destination);
  virtual int32_t readCalibrationTag();
  virtual Status clearCalibrationFlag();
  virtual int32_t evaluateCalibration(int32_t row, double x);
  virtual Status writeEEPROMAddress(int32_t address, double value);
  virtual Status getEEPROMAddress(int32_t address, double* out);

  // ---- clock generation and outputs -----------------------------------------------
  virtual int32_t planClock(const double* reference, const double* frequency, int32_t option);
  virtual Status planAndWriteClock(const double* reference, const double* frequency, int32_t option);
  virtual Status recordTx1Power(double value);
  virtual Status generateClock(double frequencyMHz, int32_t option);
  virtual Status refreshFMSynth();
  virtual Status applyFMEntry();
  virtual Status applyCalibrationToFMTable();
  virtual Status setFMAmplitudeScaled(double amplitude, bool flagA, bool flagB, double scale, double* readout);
  virtual Status setTx1Power(int32_t power);
  virtual Status setTx2Power(double power);
  virtual Status setTx2Divider(int32_t divider);

  // ---- configuration -----------------------------------------------------------------
  virtual Status getActiveConfig(DeviceConfig* config);
  virtual Status initializeInstance(int32_t source, const char* path);
  virtual Status getMinMaxCalibration(int32_t row, double* minimum, double* maximum);
  virtual Status writeSynthRegisters();
  virtual std::string makeTimestampName();

  // Before an operation that uploads the synthesizer: makes a model that
  // this instance has not planned since it connected hold the clock the
  // board stores, so that the upload keeps it. Failed only when the board
  // could not be read.
  Status adoptBoardClock();

  // ---- checked reads for the exported functions -------------------------------------
  // The value getters above deliver a value even when the board did not
  // answer; these tell the caller whether the value is real.
  Status readBoardID(int32_t* boardIdOut);
  Status readSerialNumber(uint64_t* serialOut);
  Status readTemperature(uint16_t sensor, double* readingOut);
  // Failed exchanges over the link's life: a call that compares the count
  // before and after knows whether all of its exchanges succeeded. Answers
  // still due are read first, so that the count includes them.
  uint64_t failedExchangeCount() {
    link.settle();
    return link.failedExchanges;
  }
  // True when connect could read the board's calibration rows.
  bool boardCalibrationValid() const { return boardCalibrationRead; }

  HwLayer link;
  SynthModel synth;
  DeviceState state;
  std::string ipAddress;
  int32_t boardID = 0;
  uint16_t idValue = 0;           // board ID and register 9
  uint16_t serialLowValue = 0;    // register 21
  uint16_t serialHighValue = 0;   // register 22
  uint16_t registerValue = 0;     // switches, VCO, register 261, synthesizer words
  uint16_t temperatureValue = 0;  // register 16
  int32_t shortSerialNumber = 0;

  CalibrationTable boardCalibration{};
  int32_t calibrationTag = 0;
  bool calibrationInUse = false;
  uint16_t regAddress = 0;
  uint16_t memoryDataValue = 0;
  std::array<uint8_t, 8> stagingBuffer{};
  std::array<uint8_t, protocol::kBlockSize> blockReceiveArea{};

  int64_t timestampSeconds = 0;
  std::tm timestampLocal{};
  std::array<char, 64> timestampText{};
  SystemTime timestampSystemTime{};

 private:
  bool openAndLearn();
  bool readRegister(uint16_t page, uint16_t reg, uint16_t* value);
  bool writeRegister(uint16_t reg, uint16_t value);
  bool readSerialWords(std::array<uint16_t, 5>* words);
  bool readShortSerialNumber();
  bool readCalibrationRows(CalibrationTable* rows);
  Status writeFMFrequencyAndFinish();
  Status writeFMAmplitudeRegister();
  bool boardCalibrationRead = false;
  // The synthesizer model holds a clock planned by, or adopted into, this
  // instance since it connected.
  bool modelHoldsBoardClock = false;
  template <typename Control>
  friend Status applyTx2Control(ClockSource_API& device, const Control& control, double request);
};

}  // namespace kestrel
