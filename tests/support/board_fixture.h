// Test support: every test gets its own board emulator on its own loopback
// address (127.0.0.0/8), so tests never share state or ports. When
// KESTREL_TEST_BOARD names a real board, or a board kestreld serves
// ("kestreld://HOST:PORT"), tests that need no fault injection run against it
// instead, and the emulator-only tests skip themselves.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KestrelLib.h"
#include "board_emulator.h"
#include "protocol/board_protocol.h"

// Skips the current test when it runs against a real board.
#define KESTREL_REQUIRE_EMULATOR() \
  if (!board) GTEST_SKIP() << "needs the emulator's observation or fault injection"

// Skips the current test when its instance is kestreld's (a remote
// instance): that one keeps its host-side state from one client to the next.
#define KESTREL_REQUIRE_OWN_INSTANCE()                                   \
  if (address.rfind("kestreld://", 0) == 0)                              \
  GTEST_SKIP() << "needs an instance of its own, not kestreld's shared one"

namespace kestrel::testing {

// A fresh loopback address for each call: 127.1.x.y.
std::string nextLoopbackAddress();

// An address on which nothing listens.
std::string unusedLoopbackAddress();

inline const char* realBoardAddress() {
  const char* board = std::getenv("KESTREL_TEST_BOARD");
  return (board != nullptr && *board != '\0') ? board : nullptr;
}

// Register writes among the frames, in order.
std::vector<sim::FrameRecord> registerWrites(const std::vector<sim::FrameRecord>& frames);
std::vector<sim::FrameRecord> writesTo(const std::vector<sim::FrameRecord>& frames, uint16_t reg, uint16_t page = 0);
// Register writes outside the memory byte path (registers 10 and 11).
std::vector<sim::FrameRecord> boardRegisterWrites(const std::vector<sim::FrameRecord>& frames);
// The synthesizer words of each upload (register 262/263 pairs), grouped by upload.
std::vector<std::vector<std::pair<uint16_t, uint16_t>>> synthUploads(const std::vector<sim::FrameRecord>& frames);

// An emulator started on its own loopback address.
class EmulatorBoard {
 public:
  EmulatorBoard();
  ~EmulatorBoard();
  sim::BoardEmulator& operator*() { return *emulator_; }
  sim::BoardEmulator* operator->() { return emulator_.get(); }
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  std::unique_ptr<sim::BoardEmulator> emulator_;
};

// A library instance connected to an emulator of its own.
class ConnectedBoard : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Settings as the board stores them (8 bytes at the setting's address).
  double storedSetting(protocol::SettingIndex index);
  void reconnect();

  std::unique_ptr<EmulatorBoard> board;
  void* instance = nullptr;
  std::string address;
};

}  // namespace kestrel::testing
