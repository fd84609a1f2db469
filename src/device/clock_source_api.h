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
  virtual int32_t connect(std::string address);
  virtual int32_t disconnect();
  virtual int32_t getBoardID();
  virtual int32_t getShortSerialNumber();
  virtual int32_t getSerialNumber(uint64_t* destination);
  virtual int32_t setShortSerialNumber(int32_t serial);
  virtual double getRegister9Tenths();
  virtual int32_t regAccess(uint8_t write, uint16_t page, uint16_t address, uint16_t* value);
  virtual int32_t writeSynthRegister(uint16_t number, uint16_t value);
  virtual int32_t setRegister261(int32_t value);
  virtual int32_t checkVCOLock(int32_t* destination);
  virtual int32_t checkVCOVoltage(double* destination);
  virtual int32_t setFMSwitch(int32_t page, int32_t value);
  virtual int32_t getFMSwitch(int32_t page, int32_t* destination);

  // ---- FM ----------------------------------------------------------------------
  virtual int32_t enableFM(int32_t on);
  virtual int32_t setFMFrequency(int32_t index);
  virtual int32_t setCustomFMFrequency(double frequencyMHz);
  virtual int32_t setFMAmplitude(int32_t amplitude);
  virtual int32_t setFMPhaseSkew(int32_t skew);
  virtual int32_t setFMRJAmplitude(int32_t amplitude);

  // ---- Tx2 modulation, jitter, clock source -------------------------------------
  virtual int32_t enableTx2PM(int32_t on);
  virtual int32_t setTx2PMFrequency(double frequencyMHz);
  virtual int32_t setTx2PMAmplitude(double amplitude);
  virtual int32_t setTx2PMPhaseShiftAmplitude(int32_t amplitude);
  virtual int32_t enableTx2PMRJ(int32_t on);
  virtual int32_t setTx2PMRJAmplitude(double amplitude);
  virtual int32_t enableTx2PMBUJ(int32_t on);
  virtual int32_t setTx2PMBUJAmplitude(int32_t amplitude);
  virtual int32_t setTx2PMBUJLineRate(int32_t rate);
  virtual int32_t setTx2BUJAmplitude(int32_t amplitude);
  virtual int32_t setTx2BUJPRBS(int32_t prbs, int32_t flag);
  virtual int32_t setTx2BUJUserDefinedPattern(uint32_t pattern);
  virtual int32_t enableTx2AM(int32_t on);
  virtual int32_t setTx2AMAmplitude(int32_t amplitude);
  virtual int32_t setTx2AMRJAmplitude(int32_t amplitude);
  virtual bool setClockSource(int32_t source);

  // ---- board memory --------------------------------------------------------------
  virtual double getTemperature(uint16_t sensor);
  virtual bool readSetting(uint8_t index, double* out);
  virtual bool writeSetting(int32_t index, double value);
  virtual int32_t resetCalibrationTable();
  virtual bool saveFMCalibrationValues(double tag, uint16_t row, const double* values);
  virtual int32_t readCalibrationTable(double* destination);
  virtual int32_t readCalibrationTag();
  virtual int32_t clearCalibrationFlag();
  virtual int32_t evaluateCalibration(int32_t row, double x);
  virtual bool writeEEPROMAddress(int32_t address, double value);
  virtual bool getEEPROMAddress(int32_t address, double* out);

  // ---- clock generation and outputs -----------------------------------------------
  virtual int32_t planClock(const double* reference, const double* frequency, int32_t option);
  virtual int32_t planAndWriteClock(const double* reference, const double* frequency, int32_t option);
  virtual bool recordTx1Power(double value);
  virtual int32_t generateClock(double frequencyMHz, int32_t option);
  virtual int32_t refreshFMSynth();
  virtual int32_t applyFMEntry();
  virtual int32_t applyCalibrationToFMTable();
  virtual int32_t setFMAmplitudeScaled(double amplitude, bool flagA, bool flagB, double scale, double* readout);
  virtual int32_t setTx1Power(int32_t power);
  virtual int32_t setTx2Power(double power);
  virtual int32_t setTx2Divider(int32_t divider);

  // ---- configuration -----------------------------------------------------------------
  virtual int32_t getActiveConfig(DeviceConfig* config);
  virtual int32_t initializeInstance(int32_t source, const char* path);
  virtual int32_t getMinMaxCalibration(int32_t row, double* minimum, double* maximum);
  virtual int32_t writeSynthRegisters();
  virtual std::string makeTimestampName();

  // ---- checked reads for the exported functions -------------------------------------
  // The operations above deliver a value even when the board did not answer;
  // these tell the caller whether the value is real.
  bool readBoardID(int32_t* boardIdOut);
  bool readSerialNumber(uint64_t* serialOut);
  bool readTemperature(uint16_t sensor, double* readingOut);
  // Failed exchanges over the link's life: a call that compares the count
  // before and after knows whether all of its exchanges succeeded.
  uint64_t failedExchangeCount() const { return link.failedExchanges; }
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
  bool readRegister(uint16_t page, uint16_t reg, uint16_t* value);
  bool writeRegister(uint16_t reg, uint16_t value);
  bool readSerialWords(std::array<uint16_t, 5>* words);
  bool readShortSerialNumber();
  bool readCalibrationRows(CalibrationTable* rows);
  int32_t writeFMFrequencyAndFinish();
  int32_t writeFMAmplitudeRegister();
  bool boardCalibrationRead = false;
  template <typename Control>
  friend int32_t applyTx2Control(ClockSource_API& device, const Control& control, double request);
};

}  // namespace kestrel
