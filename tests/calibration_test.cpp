// Calibration source selection and the calibration text file.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>
#ifdef __linux__
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <thread>
#endif

#include "config/calibration_file.h"
#include "device/clock_source_api.h"
#include "support/board_fixture.h"

namespace kestrel::testing {
namespace {

std::string writeFile(const std::string& name, const std::string& content) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

std::string sequenceFile(int count, const char* lineEnd = "\n") {
  std::string text;
  for (int i = 0; i < count; ++i) text += std::to_string(i) + lineEnd;
  return text;
}

TEST(CalibrationFile, LineFormsThatConvert) {
  const struct {
    const char* line;
    double value;
  } cases[] = {{"1.5e3 ; comment", 1500.0}, {"  -2", -2.0}, {"+7.25", 7.25}, {"3.0\r", 3.0},
               {"0x10", 16.0},             {"4,5", 4.0},   {"\t9", 9.0}};
  for (const auto& c : cases) {
    CalibrationTable table{};
    ASSERT_TRUE(parseCalibrationText(c.line, &table)) << c.line;
    EXPECT_EQ(table[0][0], c.value) << c.line;
  }
}

TEST(CalibrationFile, RefusedInputsChangeNothing) {
  const std::string longLine = "1" + std::string(5000, '0') + "\n";
  for (const std::string& text :
       {std::string("1\n\n2\n"), std::string("1\nabc\n"), std::string("1e999\n"), std::string("-1e999\n"),
        std::string("\n1\n"), std::string("1e-400\n"), std::string(""), std::string("\n \n\t\n"), longLine,
        std::string("nan\n"), std::string("inf\n"), std::string("-INFINITY\n"), std::string("+-1\n")}) {
    CalibrationTable table{};
    table[0][0] = 42.0;
    EXPECT_FALSE(parseCalibrationText(text, &table)) << text.substr(0, 20);
    EXPECT_EQ(table[0][0], 42.0);
  }
}

TEST(CalibrationFile, SubnormalValuesAreNumbers) {
  CalibrationTable table{};
  ASSERT_TRUE(parseCalibrationText("1e-320\n-4.9e-324\n", &table));
  EXPECT_EQ(table[0][0], 1e-320);
  EXPECT_EQ(table[0][1], -4.9e-324);
}

TEST(CalibrationFile, OnlyRegularFilesAreRead) {
  std::vector<std::string> refused = {::testing::TempDir(), "/dev/zero"};
#ifdef __linux__
  const std::string fifo = ::testing::TempDir() + "calibration_fifo_" + std::to_string(::getpid());
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // no writer: opening it would block
  refused.push_back(fifo);
#endif
  for (const std::string& path : refused) {
    CalibrationTable table{};
    EXPECT_FALSE(readCalibrationFile(path.c_str(), &table)) << path;
  }
#ifdef __linux__
  ::unlink(fifo.c_str());
#endif
}

#ifdef __linux__
// A host program in a locale with a decimal comma (LabVIEW or Excel on a
// German system) reads 0.25 as a quarter, not as 0.
TEST(CalibrationFile, NumbersReadTheSameInADecimalCommaLocale) {
  const std::string locales = ::testing::TempDir() + "locales_" + std::to_string(::getpid());
  std::filesystem::create_directories(locales);
  ASSERT_EQ(std::system(("localedef -i de_DE -f UTF-8 " + locales + "/de_DE.UTF-8").c_str()), 0);
  ::setenv("LOCPATH", locales.c_str(), 1);
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
  const double localeReads = std::strtod("0.25", nullptr);
  CalibrationTable table{};
  const bool parsed = parseCalibrationText("0.25\n4095.75\n", &table);
  std::setlocale(LC_ALL, previous.c_str());
  ::unsetenv("LOCPATH");
  std::filesystem::remove_all(locales);
  EXPECT_EQ(localeReads, 0.0) << "the decimal-comma locale was not in force";
  ASSERT_TRUE(parsed);
  EXPECT_EQ(table[0][0], 0.25);
  EXPECT_EQ(table[0][1], 4095.75);
}

// Runs `reads` in a thread while `meddle` runs here until it is done; a read
// that blocks for 10 s is freed by `unblock` and fails the test.
template <typename Reads, typename Meddle, typename Unblock>
void whileMeddling(Reads reads, Meddle meddle, Unblock unblock) {
  std::atomic<bool> done{false};
  std::thread reader([&] {
    reads();
    done = true;
  });
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done && std::chrono::steady_clock::now() < limit) meddle();
  EXPECT_TRUE(done) << "a calibration file read blocked";
  while (!done) unblock();
  reader.join();
}

// A path that flips between a calibration file and a FIFO never blocks a read.
TEST(CalibrationFile, APathSwappedToAFifoNeverBlocks) {
  const std::string dir = ::testing::TempDir() + "swap_" + std::to_string(::getpid()) + "/";
  std::filesystem::create_directories(dir);
  const std::string path = dir + "calibration.txt";
  writeFile("swap_" + std::to_string(::getpid()) + "/regular", sequenceFile(98));
  ASSERT_EQ(::mkfifo((dir + "fifo").c_str(), 0600), 0);
  bool fifoAtPath = false;
  ::link((dir + "regular").c_str(), (dir + "spare").c_str());
  whileMeddling(
      [&] {
        for (int i = 0; i < 3000; ++i) {
          CalibrationTable table{};
          readCalibrationFile(path.c_str(), &table);
        }
      },
      [&] {
        // Swap by renaming a hard link of each, so that each stays to swap back.
        ::link((dir + (fifoAtPath ? "regular" : "fifo")).c_str(), (dir + "next").c_str());
        ::rename((dir + "next").c_str(), path.c_str());
        fifoAtPath = !fifoAtPath;
      },
      [&] { ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK)); });
  std::filesystem::remove_all(dir);
}

#endif

TEST(CalibrationFile, ShortFilesKeepTheRestAndLongFilesStopAt98) {
  CalibrationTable table{};
  table[1][0] = -5.0;
  ASSERT_TRUE(parseCalibrationText(sequenceFile(7, "\r\n"), &table));
  EXPECT_EQ(table[0][6], 6.0);
  EXPECT_EQ(table[1][0], -5.0);
  ASSERT_TRUE(parseCalibrationText(sequenceFile(98) + "not a number\n", &table));
  EXPECT_EQ(table[13][6], 97.0);
  ASSERT_TRUE(parseCalibrationText("1\n2\n\n  \n", &table));
  ASSERT_TRUE(parseCalibrationText("8\n9", &table));
  EXPECT_EQ(table[0][1], 9.0);
}

using CalibrationSource = ConnectedBoard;

TEST_F(CalibrationSource, FileOfNinetyEightValuesFillsTheTableAndTheLimits) {
  const std::string path = writeFile("cal98.txt", sequenceFile(98));
  ASSERT_EQ(vxclk_initializeInstance(instance, 2, path.c_str()), VXCLK_OK);
  double lo = 0, hi = 0;
  ASSERT_EQ(vxclk_getMinMaxCalibration(instance, 0, &lo, &hi), VXCLK_OK);
  EXPECT_EQ(lo, 5.0);
  EXPECT_EQ(hi, 6.0);
  ASSERT_EQ(vxclk_getMinMaxCalibration(instance, 13, &lo, &hi), VXCLK_OK);
  EXPECT_EQ(lo, 96.0);
  EXPECT_EQ(hi, 97.0);
  EXPECT_EQ(vxclk_getMinMaxCalibration(instance, 14, &lo, &hi), VXCLK_OUT_OF_RANGE);
  EXPECT_EQ(vxclk_getMinMaxCalibration(instance, -1, &lo, &hi), VXCLK_OUT_OF_RANGE);
  EXPECT_EQ(vxclk_getMinMaxCalibration(instance, 0, nullptr, &hi), VXCLK_OUT_OF_RANGE);
  if (board) {
    EXPECT_TRUE((*board)->frames().empty());  // choosing a source makes no traffic
  }
}

TEST_F(CalibrationSource, RefusedFilesLeaveEverythingAsItWas) {
  const std::string good = writeFile("cal_good.txt", sequenceFile(98));
  ASSERT_EQ(vxclk_initializeInstance(instance, 2, good.c_str()), VXCLK_OK);
  const std::string bad = writeFile("cal_bad.txt", "1\n\n3\n");
  EXPECT_EQ(vxclk_initializeInstance(instance, 2, bad.c_str()), VXCLK_FAILED);
  EXPECT_EQ(vxclk_initializeInstance(instance, 2, (::testing::TempDir() + "missing.txt").c_str()), VXCLK_FAILED);
  EXPECT_EQ(vxclk_initializeInstance(instance, 2, nullptr), VXCLK_FAILED);
  double lo = 0, hi = 0;
  ASSERT_EQ(vxclk_getMinMaxCalibration(instance, 0, &lo, &hi), VXCLK_OK);
  EXPECT_EQ(lo, 5.0);
  // Still source 2, so custom FM rates stay locked.
  EXPECT_EQ(vxclk_setCustomFMFrequency(instance, 1.0), VXCLK_CALIBRATION_SELECTED);
}

TEST_F(CalibrationSource, BoardRowsAfterConnect) {
  KESTREL_REQUIRE_EMULATOR();
  for (int r = 0; r < 14; ++r) {
    const double row[7] = {0, 0, 0, 1, 0, 0, 4095};
    (*board)->setMemoryDouble(protocol::calibrationAddress(r, 5), row[5]);
    for (int j = 0; j < 7; ++j) (*board)->setMemoryDouble(protocol::calibrationAddress(r, j), row[j]);
  }
  reconnect();
  ASSERT_EQ(vxclk_initializeInstance(instance, 1, nullptr), VXCLK_OK);
  for (int r = 0; r < 14; ++r) {
    double lo = -1, hi = -1;
    ASSERT_EQ(vxclk_getMinMaxCalibration(instance, r, &lo, &hi), VXCLK_OK);
    EXPECT_EQ(lo, 0.0);
    EXPECT_EQ(hi, 4095.0);
  }
}

TEST_F(CalibrationSource, OtherSourcesAreStoredAndLoadNothing) {
  KESTREL_REQUIRE_OWN_INSTANCE();
  ASSERT_EQ(vxclk_initializeInstance(instance, 3, nullptr), VXCLK_OK);
  double lo = -1, hi = -1;
  ASSERT_EQ(vxclk_getMinMaxCalibration(instance, 0, &lo, &hi), VXCLK_OK);
  EXPECT_EQ(lo, 0.0);  // nothing loaded yet: zeros
  EXPECT_EQ(hi, 0.0);
  EXPECT_EQ(vxclk_setCustomFMFrequency(instance, 1.0), VXCLK_CALIBRATION_SELECTED);
}

TEST(CalibrationDevice, SevenLineFileReplacesOnlyRowZeroAndSpreadsIntoTheFMTable) {
  EmulatorBoard board;
  ClockSource_API device;
  ASSERT_EQ(device.connect(board.address()), Status::Ok);
  const std::string all = writeFile("cal_all.txt", sequenceFile(98));
  ASSERT_EQ(device.initializeInstance(2, all.c_str()), Status::Ok);
  EXPECT_EQ(device.state.fmTable[1].coefficients, (std::array<double, 5>{7, 8, 9, 10, 11}));
  EXPECT_EQ(device.state.fmTable[1].calibrationMin, 12.0);
  EXPECT_EQ(device.state.fmTable[1].calibrationMax, 13.0);
  EXPECT_TRUE(device.calibrationInUse);
  const std::string seven = writeFile("cal_seven.txt", "10\n11\n12\n13\n14\n15\n16\n");
  ASSERT_EQ(device.initializeInstance(2, seven.c_str()), Status::Ok);
  EXPECT_EQ(device.state.fileCalibration[0][0], 10.0);
  EXPECT_EQ(device.state.fileCalibration[1][0], 7.0);
  EXPECT_EQ(device.state.fmTable[0].calibrationMax, 16.0);
  // Source 0 keeps the rows but stops using them.
  ASSERT_EQ(device.initializeInstance(0, nullptr), Status::Ok);
  EXPECT_FALSE(device.calibrationInUse);
  EXPECT_EQ(device.state.activeCalibration[0][0], 10.0);
  EXPECT_EQ(device.state.fmTable[0].coefficients[0], 10.0);
  device.state.connected = 0;
  EXPECT_EQ(device.initializeInstance(1, nullptr), Status::NotConnected);
  EXPECT_EQ(device.state.calibrationSource, 0);
}

}  // namespace
}  // namespace kestrel::testing
