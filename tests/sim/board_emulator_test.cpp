// The emulator seen from the wire: each test runs its own emulator on its own
// loopback address (all on the board's port) and talks to it with raw frames.
#include "board_emulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/board_protocol.h"
#include "raw_client.h"
#include "synth_words.h"

namespace kestrel::sim {
namespace {

namespace proto = kestrel::protocol;
namespace fs = std::filesystem;
using testing::blockFrame;
using testing::kClock1800Registers;
using testing::kClock1800Words;
using testing::RawClient;
using testing::registerFrame;

constexpr int kWaitMs = 3000;

EmulatorOptions at(const std::string& address, const std::string& memoryFile = {}) {
  EmulatorOptions o;
  o.address = address;
  o.memoryFile = memoryFile;
  return o;
}

// A fresh folder per test for memory files, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("kestrel-sim-" + std::to_string(random()) + std::to_string(random()));
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::vector<uint8_t> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(BoardEmulator, RegisterWriteAndReadAnswerWithFourBytes) {
  BoardEmulator board(at("127.0.0.201"));
  ASSERT_TRUE(board.start()) << board.lastError();
  EXPECT_EQ(board.port(), proto::kBoardPort);
  RawClient host("127.0.0.201");
  ASSERT_TRUE(host.connected());

  const auto written = host.exchange(registerFrame(5, 35, true, 0x1234), 4);
  EXPECT_EQ(written, (std::vector<uint8_t>{0xF0, 0x34, 0x12, 0x00}));
  const auto read = host.exchange(registerFrame(5, 35, false), 4);
  EXPECT_EQ(read, (std::vector<uint8_t>{0xF0, 0x34, 0x12, 0x00}));
  EXPECT_EQ(board.registerValue(5, 35), 0x1234);
  EXPECT_EQ(board.registerValue(0, 35), 0);  // other pages untouched

  const auto frames = board.frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].kind, FrameKind::RegisterWrite);
  EXPECT_EQ(frames[0].page, 5);
  EXPECT_EQ(frames[0].reg, 35);
  EXPECT_EQ(frames[0].value, 0x1234);
  EXPECT_EQ(frames[0].raw[5], 0xA8);
  EXPECT_EQ(frames[1].kind, FrameKind::RegisterRead);
  EXPECT_EQ(frames[1].value, 0x1234);
  EXPECT_EQ(board.frameCount(), 2u);
  EXPECT_EQ(board.connectionsAccepted(), 1);
  EXPECT_TRUE(board.clientConnected());
}

TEST(BoardEmulator, IdentityAndHealthRegistersHaveUsableDefaults) {
  BoardEmulator board(at("127.0.0.202"));
  board.setRegister(0, proto::reg::kBoardId, 0x4B32);
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient host("127.0.0.202");
  ASSERT_TRUE(host.connected());

  EXPECT_EQ(host.readRegister(0, proto::reg::kBoardId), 0x4B32);
  const int word24 = host.readRegister(0, proto::reg::kSerial3);
  const int word25 = host.readRegister(0, proto::reg::kSerial4);
  EXPECT_EQ(word25 / 5, word24);  // a valid 64-bit serial
  EXPECT_GT(host.readRegister(0, proto::reg::kTemperature), 0);
  EXPECT_GT(host.readRegister(1, proto::reg::kTemperature), 0);
  EXPECT_GT(host.readRegister(0, proto::reg::kRegister9), 0);
  EXPECT_EQ(host.readRegister(0, proto::reg::kVcoLock), 1);
  EXPECT_GT(host.readRegister(0, proto::reg::kVcoVoltage), 0);
}

TEST(BoardEmulator, BytePathThroughRegisters10And11) {
  BoardEmulator board(at("127.0.0.203"));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient host("127.0.0.203");
  ASSERT_TRUE(host.connected());

  ASSERT_TRUE(host.writeRegister(0, proto::reg::kMemoryAddress, 8192));
  ASSERT_TRUE(host.writeRegister(0, proto::reg::kMemoryData, 0x1234));  // only the low byte is kept
  EXPECT_EQ(board.memoryByte(8192), 0x34);
  EXPECT_EQ(host.readRegister(0, proto::reg::kMemoryData), 0x34);

  ASSERT_TRUE(host.writeRegister(0, proto::reg::kMemoryAddress, 65535));
  EXPECT_EQ(host.readRegister(0, proto::reg::kMemoryData), 0xFF);  // blank memory

  // A double, byte by byte, least significant first: 1.0 at 8192.
  const uint8_t one[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
  for (uint16_t i = 0; i < 8; ++i) {
    ASSERT_TRUE(host.writeRegister(0, proto::reg::kMemoryAddress, static_cast<uint16_t>(8192 + i)));
    ASSERT_TRUE(host.writeRegister(0, proto::reg::kMemoryData, one[i]));
  }
  EXPECT_EQ(board.memoryDouble(proto::settingAddress(0)), 1.0);
}

TEST(BoardEmulator, BlockReadAnswersExactly128MemoryBytes) {
  BoardEmulator board(at("127.0.0.204"));
  ASSERT_TRUE(board.start()) << board.lastError();
  board.setMemoryDouble(proto::calibrationAddress(0, 3), 1.0);
  board.setMemoryDouble(proto::calibrationAddress(0, 6), 4095.0);
  RawClient host("127.0.0.204");
  ASSERT_TRUE(host.connected());

  const auto block = host.exchange(blockFrame(proto::kCalibrationTableBase, true), proto::kBlockSize);
  EXPECT_EQ(block, board.readMemory(proto::kCalibrationTableBase, proto::kBlockSize));
  // Nothing follows the 128 bytes: the next bytes on the wire answer the next frame.
  EXPECT_EQ(host.readRegister(0, proto::reg::kBoardId), board.registerValue(0, proto::reg::kBoardId));

  // Past the end of memory reads as blank.
  const auto tail = host.exchange(blockFrame(65500, true), proto::kBlockSize);
  ASSERT_EQ(tail.size(), 128u);
  for (size_t i = 36; i < tail.size(); ++i) EXPECT_EQ(tail[i], 0xFF) << i;
  EXPECT_EQ(board.frames()[0].kind, FrameKind::BlockRead);
  EXPECT_EQ(board.frames()[0].address, proto::kCalibrationTableBase);
}

TEST(BoardEmulator, BlockWriteStores128BytesAndOtherFramesAreAcknowledged) {
  BoardEmulator board(at("127.0.0.205"));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient host("127.0.0.205");
  ASSERT_TRUE(host.connected());

  std::vector<uint8_t> data(128);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 3);
  const auto ack = host.exchange(blockFrame(1000, false, data), 4);
  ASSERT_EQ(ack.size(), 4u);
  EXPECT_EQ(ack[0], proto::kOpMemoryAndAux);
  EXPECT_EQ(board.readMemory(1000, 128), data);
  EXPECT_EQ(board.memoryByte(999), 0xFF);
  EXPECT_EQ(board.memoryByte(1128), 0xFF);

  testing::Frame aux{};
  aux[proto::kOffOpcode] = proto::kOpMemoryAndAux;
  aux[proto::kOffSubCommand] = proto::kSubAuxRepeat;
  EXPECT_EQ(host.exchange(aux, 4).size(), 4u);
  testing::Frame unknown{};
  unknown[proto::kOffOpcode] = 0x42;
  EXPECT_EQ(host.exchange(unknown, 4).size(), 4u);
  EXPECT_EQ(host.readRegister(0, proto::reg::kBoardId), board.registerValue(0, proto::reg::kBoardId));
  EXPECT_EQ(board.frames()[1].kind, FrameKind::Other);
}

TEST(BoardEmulator, FrameSplitIntoPiecesIsStillOneFrame) {
  BoardEmulator board(at("127.0.0.206"));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient host("127.0.0.206");
  ASSERT_TRUE(host.connected());

  const testing::Frame f = registerFrame(0, 500, true, 0x0BAD);
  ASSERT_TRUE(host.sendBytes(f.data(), 1));
  ASSERT_TRUE(host.sendBytes(f.data() + 1, 100));
  ASSERT_TRUE(host.sendBytes(f.data() + 101, 155));
  EXPECT_EQ(host.receive(4).size(), 4u);
  EXPECT_EQ(board.registerValue(0, 500), 0x0BAD);
  EXPECT_EQ(board.frameCount(), 1u);
}

TEST(BoardEmulator, SynthesizerUploadIsDecoded) {
  BoardEmulator board(at("127.0.0.207"));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient host("127.0.0.207");
  ASSERT_TRUE(host.connected());

  // Register 64 first, register 0 last, as the host uploads a plan.
  for (size_t i = kClock1800Registers.size(); i-- > 0;) {
    ASSERT_TRUE(host.writeRegister(0, proto::reg::kSynthNumber, kClock1800Registers[i]));
    if (i == 0) {
      EXPECT_FALSE(board.synthState().programmed);
    }
    ASSERT_TRUE(host.writeRegister(0, proto::reg::kSynthValue, kClock1800Words[i]));
  }

  const SynthState s = board.synthState();
  EXPECT_TRUE(s.programmed);
  EXPECT_EQ(s.uploads, 1);
  EXPECT_DOUBLE_EQ(s.pdFrequency, 78.125);
  EXPECT_DOUBLE_EQ(s.vcoFrequency, 3600.0);
  EXPECT_EQ(s.channelDivision, 2);
  EXPECT_DOUBLE_EQ(s.outputA, 1800.0);
  EXPECT_DOUBLE_EQ(s.outputB, 1800.0);

  const auto words = board.synthRegisters();
  for (size_t i = 0; i < kClock1800Registers.size(); ++i) EXPECT_EQ(words[kClock1800Registers[i]], kClock1800Words[i]);
  EXPECT_EQ(host.readRegister(0, proto::reg::kVcoLock), 1);
  EXPECT_EQ(host.readRegister(0, proto::reg::kVcoVoltage), 528);  // 3600 MHz, near the bottom of the range
}

TEST(BoardEmulator, SynthesizerVcoOutsideItsRangeDoesNotLock) {
  BoardEmulator board(at("127.0.0.208"));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient host("127.0.0.208");
  ASSERT_TRUE(host.connected());

  // Numbers above 64 name no synthesizer register.
  ASSERT_TRUE(host.writeRegister(0, proto::reg::kSynthNumber, 65));
  ASSERT_TRUE(host.writeRegister(0, proto::reg::kSynthValue, 0x7777));
  // N = 5 at the bare reference: 5 x 2 x 156.25 = 1562.5 MHz.
  ASSERT_TRUE(host.writeRegister(0, proto::reg::kSynthNumber, 10));
  ASSERT_TRUE(host.writeRegister(0, proto::reg::kSynthValue, 1 << 7));
  ASSERT_TRUE(host.writeRegister(0, proto::reg::kSynthNumber, 38));
  ASSERT_TRUE(host.writeRegister(0, proto::reg::kSynthValue, 5 << 1));
  ASSERT_TRUE(host.writeRegister(0, proto::reg::kSynthNumber, 0));
  ASSERT_TRUE(host.writeRegister(0, proto::reg::kSynthValue, 0x221C));

  for (uint16_t w : board.synthRegisters()) EXPECT_NE(w, 0x7777);
  EXPECT_DOUBLE_EQ(board.synthState().vcoFrequency, 1562.5);
  EXPECT_EQ(board.registerValue(0, proto::reg::kVcoLock), 0);
  EXPECT_EQ(board.registerValue(0, proto::reg::kVcoVoltage), 500);
}

// ---- fault injection -----------------------------------------------------------

TEST(BoardEmulatorFaults, ResetDropsTheFrameAndTheConnection) {
  BoardEmulator board(at("127.0.0.210"));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient host("127.0.0.210");
  ASSERT_TRUE(host.connected());

  board.resetAfterFrames(2);
  ASSERT_TRUE(host.writeRegister(0, 100, 1));
  ASSERT_TRUE(host.send(registerFrame(0, 100, true, 2)));
  EXPECT_EQ(host.receiveOnce(), -1);  // reset, not an orderly close
  EXPECT_EQ(board.registerValue(0, 100), 1);
  EXPECT_EQ(board.frameCount(), 2u);
  EXPECT_FALSE(board.clientConnected());

  // One shot: the next connection is served.
  RawClient again("127.0.0.210");
  ASSERT_TRUE(again.connected());
  EXPECT_EQ(again.readRegister(0, 100), 1);
}

TEST(BoardEmulatorFaults, HostThatStopsReadingIsDroppedSoOthersAreServed) {
  BoardEmulator board(at("127.0.0.224"));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient flooder("127.0.0.224");
  ASSERT_TRUE(flooder.connected());
  // Block reads: 128 answer bytes a frame fill the socket buffers soonest.
  std::thread flood([&flooder] {
    const auto frame = blockFrame(0, true);
    while (flooder.send(frame)) {
    }
  });
  // Once frames stop being counted, the emulator is stuck sending.
  uint64_t counted = 0;
  for (int i = 0; i < 100 && (counted == 0 || counted != board.frameCount()); ++i) {
    counted = board.frameCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  RawClient other("127.0.0.224");
  ASSERT_TRUE(other.connected());
  ASSERT_TRUE(other.send(registerFrame(0, proto::reg::kBoardId, false)));
  EXPECT_EQ(other.receive(4, 2 * kWaitMs).size(), 4u);
  flood.join();
}

TEST(BoardEmulatorFaults, StallReadsButNeverAnswers) {
  BoardEmulator board(at("127.0.0.211"));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient host("127.0.0.211");
  ASSERT_TRUE(host.connected());

  board.stallAfterFrames(2);
  ASSERT_TRUE(host.writeRegister(0, 100, 1));
  ASSERT_TRUE(host.send(registerFrame(0, 100, true, 2)));
  ASSERT_TRUE(host.send(registerFrame(0, 100, true, 3)));
  ASSERT_TRUE(board.waitForFrameCount(3, kWaitMs));
  EXPECT_EQ(board.registerValue(0, 100), 1);
  EXPECT_TRUE(board.clientConnected());

  // Once cleared, the first bytes the host sees answer the next frame: the
  // stalled frames got nothing.
  board.clearFaults();
  EXPECT_EQ(host.readRegister(0, proto::reg::kBoardId), board.registerValue(0, proto::reg::kBoardId));
}

TEST(BoardEmulatorFaults, ShortAnswersAreCut) {
  BoardEmulator board(at("127.0.0.212"));
  ASSERT_TRUE(board.start()) << board.lastError();
  board.setRegister(0, 100, 0xA1B2);
  RawClient host("127.0.0.212");
  ASSERT_TRUE(host.connected());

  board.shortAnswersAfterFrames(1, 2);
  ASSERT_TRUE(host.send(registerFrame(0, 100, true, 0x0102)));
  ASSERT_TRUE(host.send(registerFrame(0, 100, false)));
  // Two answers of two bytes each, back to back; the write was applied.
  EXPECT_EQ(host.receive(4), (std::vector<uint8_t>{0xF0, 0x02, 0xF0, 0x02}));
  EXPECT_EQ(board.registerValue(0, 100), 0x0102);

  board.clearFaults();
  EXPECT_EQ(host.readRegister(0, 100), 0x0102);
}

TEST(BoardEmulatorFaults, FailedRegisterWriteResetsWithoutApplying) {
  BoardEmulator board(at("127.0.0.213"));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient host("127.0.0.213");
  ASSERT_TRUE(host.connected());

  board.failRegisterWrite(0, proto::reg::kSynthValue);
  EXPECT_GE(host.readRegister(0, proto::reg::kSynthValue), 0);  // reads still served
  ASSERT_TRUE(host.writeRegister(0, proto::reg::kSynthNumber, 7));
  ASSERT_TRUE(host.send(registerFrame(0, proto::reg::kSynthValue, true, 0x28B2)));
  EXPECT_EQ(host.receiveOnce(), -1);
  EXPECT_EQ(board.synthRegisters()[7], 0);
  EXPECT_EQ(board.registerValue(0, proto::reg::kSynthValue), 0);

  board.clearFaults();
  RawClient again("127.0.0.213");
  ASSERT_TRUE(again.connected());
  ASSERT_TRUE(again.writeRegister(0, proto::reg::kSynthValue, 0x28B2));
  EXPECT_EQ(board.synthRegisters()[7], 0x28B2);
}

TEST(BoardEmulatorFaults, OrderlyCloseAfterFrames) {
  BoardEmulator board(at("127.0.0.214"));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient host("127.0.0.214");
  ASSERT_TRUE(host.connected());

  board.closeAfterFrames(1);
  ASSERT_TRUE(host.send(registerFrame(0, 100, true, 9)));
  EXPECT_EQ(host.receiveOnce(), 0);  // the peer closed
  EXPECT_EQ(board.registerValue(0, 100), 0);
  EXPECT_FALSE(board.clientConnected());
}

// ---- connections and lifecycle ----------------------------------------------------

TEST(BoardEmulator, NewerConnectionReplacesTheCurrentOne) {
  BoardEmulator board(at("127.0.0.215"));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient first("127.0.0.215");
  ASSERT_TRUE(first.connected());
  ASSERT_TRUE(first.writeRegister(0, 100, 1));

  RawClient second("127.0.0.215");
  ASSERT_TRUE(second.connected());
  EXPECT_EQ(second.readRegister(0, 100), 1);
  EXPECT_EQ(board.connectionsAccepted(), 2);
  // The old connection was dropped before the new one was served.
  EXPECT_LE(first.receiveOnce(), 0);
}

TEST(BoardEmulator, SeveralBoardsShareThePortOnDistinctAddresses) {
  BoardEmulator a(at("127.0.0.216"));
  BoardEmulator b(at("127.0.0.217"));
  ASSERT_TRUE(a.start()) << a.lastError();
  ASSERT_TRUE(b.start()) << b.lastError();
  a.setRegister(0, proto::reg::kBoardId, 0x0A0A);
  b.setRegister(0, proto::reg::kBoardId, 0x0B0B);
  RawClient hostA("127.0.0.216");
  RawClient hostB("127.0.0.217");
  EXPECT_EQ(hostA.readRegister(0, proto::reg::kBoardId), 0x0A0A);
  EXPECT_EQ(hostB.readRegister(0, proto::reg::kBoardId), 0x0B0B);

  BoardEmulator clash(at("127.0.0.216"));
  EXPECT_FALSE(clash.start());
  EXPECT_NE(clash.lastError(), "");
}

TEST(BoardEmulator, StopIsPromptWithAHostConnected) {
  BoardEmulator board(at("127.0.0.218"));
  ASSERT_TRUE(board.start()) << board.lastError();
  EXPECT_TRUE(board.running());
  RawClient host("127.0.0.218");
  ASSERT_TRUE(host.connected());
  ASSERT_TRUE(host.writeRegister(0, 100, 1));
  const testing::Frame half = registerFrame(0, 100, true, 2);
  ASSERT_TRUE(host.sendBytes(half.data(), 100));  // a frame left half-sent

  const auto before = std::chrono::steady_clock::now();
  board.stop();
  const auto took = std::chrono::steady_clock::now() - before;
  EXPECT_LT(took, std::chrono::milliseconds(1500));  // well below the 2 s a send may wait
  EXPECT_FALSE(board.running());
  EXPECT_LE(host.receiveOnce(), 0);

  // And it comes back on the same address.
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient again("127.0.0.218");
  EXPECT_EQ(again.readRegister(0, 100), 1);
}

TEST(BoardEmulator, FrameLogIsBoundedAndCanBeTurnedOff) {
  BoardEmulator board(at("127.0.0.219"));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient host("127.0.0.219");
  ASSERT_TRUE(host.connected());

  board.setFrameLogging(false);
  ASSERT_TRUE(host.writeRegister(0, 100, 1));
  EXPECT_TRUE(board.frames().empty());
  EXPECT_EQ(board.frameCount(), 1u);

  board.setFrameLogging(true);
  ASSERT_TRUE(host.writeRegister(0, 100, 2));
  EXPECT_EQ(board.frames().size(), 1u);
  board.clearFrames();
  EXPECT_TRUE(board.frames().empty());
  EXPECT_EQ(board.frameCount(), 2u);
}

// ---- persistence ----------------------------------------------------------------------

TEST(BoardEmulatorMemoryFile, RoundTripThroughAFile) {
  TempFolder folder;
  const std::string file = folder.file("board.mem");
  {
    BoardEmulator board(at("127.0.0.220", file));
    ASSERT_TRUE(board.start()) << board.lastError();
    EXPECT_EQ(board.memoryByte(0), 0xFF);  // no file yet: blank
    RawClient host("127.0.0.220");
    ASSERT_TRUE(host.connected());
    ASSERT_TRUE(host.writeRegister(0, proto::reg::kMemoryAddress, 4242));
    ASSERT_TRUE(host.writeRegister(0, proto::reg::kMemoryData, 0x5A));
    board.setMemoryDouble(proto::kCalibrationTagAddress, 3.7);
  }  // destruction saves

  const std::vector<uint8_t> image = fileBytes(file);
  ASSERT_EQ(image.size(), proto::kMemorySize);
  EXPECT_EQ(image[4242], 0x5A);
  EXPECT_FALSE(fs::exists(file + ".tmp"));

  BoardEmulator again(at("127.0.0.220", file));
  ASSERT_TRUE(again.start()) << again.lastError();
  RawClient host("127.0.0.220");
  ASSERT_TRUE(host.writeRegister(0, proto::reg::kMemoryAddress, 4242));
  EXPECT_EQ(host.readRegister(0, proto::reg::kMemoryData), 0x5A);
  EXPECT_EQ(again.memoryDouble(proto::kCalibrationTagAddress), 3.7);
}

TEST(BoardEmulatorMemoryFile, EveryAcknowledgedWriteIsAlreadyInTheFile) {
  TempFolder folder;
  const std::string file = folder.file("board.mem");
  BoardEmulator board(at("127.0.0.226", file));
  ASSERT_TRUE(board.start()) << board.lastError();
  RawClient host("127.0.0.226");
  ASSERT_TRUE(host.connected());
  // Written without a pause, the way a host stores a calibration.
  for (uint16_t i = 0; i < 16; ++i) {
    const auto value = static_cast<uint8_t>(i * 7 + 1);
    const uint32_t block = 1000u + 128u * i;
    ASSERT_TRUE(host.writeRegister(0, proto::reg::kMemoryAddress, static_cast<uint16_t>(100 + i)));
    ASSERT_TRUE(host.writeRegister(0, proto::reg::kMemoryData, value));
    ASSERT_EQ(host.exchange(blockFrame(block, false, std::vector<uint8_t>(128, value)), 4).size(), 4u);
    const std::vector<uint8_t> image = fileBytes(file);
    ASSERT_EQ(image.size(), proto::kMemorySize) << "after write " << i;
    EXPECT_EQ(image[100 + i], value);
    EXPECT_EQ(image[block], value);
    EXPECT_EQ(image[block + 127], value);
    EXPECT_EQ(image[block + 128], 0xFF);
  }
  EXPECT_TRUE(board.waitForMemorySaved(0));
}

TEST(BoardEmulatorMemoryFile, MissingFolderIsRefusedAtStart) {
  TempFolder folder;
  const std::string file = (folder.path() / "absent" / "board.mem").string();
  BoardEmulator board(at("127.0.0.225", file));
  EXPECT_FALSE(board.start());
  EXPECT_NE(board.lastError().find("does not exist"), std::string::npos) << board.lastError();
  EXPECT_FALSE(board.running());
  EXPECT_FALSE(fs::exists(folder.path() / "absent"));
}

TEST(BoardEmulatorMemoryFile, SavedWhenTheHostDisconnects) {
  TempFolder folder;
  const std::string file = folder.file("board.mem");
  BoardEmulator board(at("127.0.0.222", file));
  ASSERT_TRUE(board.start()) << board.lastError();
  {
    RawClient host("127.0.0.222");
    ASSERT_TRUE(host.writeRegister(0, proto::reg::kMemoryAddress, 7));
    ASSERT_TRUE(host.writeRegister(0, proto::reg::kMemoryData, 0x77));
  }
  ASSERT_TRUE(board.waitForMemorySaved(kWaitMs));
  EXPECT_EQ(fileBytes(file).at(7), 0x77);
}

TEST(BoardEmulatorMemoryFile, WrongSizeIsRefused) {
  TempFolder folder;
  const std::string file = folder.file("short.mem");
  {
    std::ofstream out(file, std::ios::binary);
    out << "not a memory image";
  }
  BoardEmulator board(at("127.0.0.223", file));
  EXPECT_FALSE(board.start());
  EXPECT_NE(board.lastError().find("65536"), std::string::npos) << board.lastError();
  EXPECT_FALSE(board.running());
  RawClient host("127.0.0.223");
  EXPECT_FALSE(host.connected());
  board.setMemoryDouble(0, 1.0);
  board.stop();
  EXPECT_EQ(fileBytes(file).size(), 18u);  // left alone
}

}  // namespace
}  // namespace kestrel::sim
