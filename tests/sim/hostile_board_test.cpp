// The hostile board seen from the wire: answers split, delayed, preceded and
// followed by random bytes, resets and closes, and the contract that lets a
// careful host succeed.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "board_emulator.h"
#include "protocol/board_protocol.h"
#include "raw_client.h"

namespace kestrel::sim {
namespace {

namespace proto = kestrel::protocol;
using testing::blockFrame;
using testing::Frame;
using testing::RawClient;
using testing::registerFrame;

constexpr int kFrames = 90;

HostileOptions options(uint32_t seed) {
  HostileOptions o;
  o.seed = seed;
  o.maxPieces = 3;
  o.maxDelayMs = 3;
  o.maxExtraBytes = 8;
  o.resetPerMille = 40;
  o.closePerMille = 30;
  o.lateTailPerMille = 150;
  o.strayBeforePerMille = 150;
  return o;
}

struct Tally {
  int ends = 0;  // connections reset or closed
  int splits = 0;
  int extraBytes = 0;
  int strays = 0;
};

// One frame of the run: a register write, a register read or a block read.
struct Probe {
  Frame frame;
  int needed;  // bytes the host needs
  int answer;  // bytes of the answer proper
};

Probe probe(int i) {
  const auto reg = static_cast<uint16_t>(300 + i % 7);
  switch (i % 3) {
    case 0: return {registerFrame(2, reg, true, static_cast<uint16_t>(i)), 1, proto::kRegisterAnswerSize};
    case 1: return {registerFrame(2, reg, false), proto::kRegisterReadAnswerBytes, proto::kRegisterAnswerSize};
    default: return {blockFrame(static_cast<uint32_t>(128 * (i % 5)), true), proto::kBlockSize, proto::kBlockSize};
  }
}

// What the host must find in the answer proper: the register written or
// read, or the memory block.
std::vector<uint8_t> expectedStart(int i, BoardEmulator& board) {
  const auto reg = static_cast<uint16_t>(300 + i % 7);
  const uint16_t value = board.registerValue(2, reg);
  switch (i % 3) {
    case 0: return {proto::kOpRegisterAccess};
    case 1: return {proto::kOpRegisterAccess, static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
    default: return board.readMemory(static_cast<uint32_t>(128 * (i % 5)), proto::kBlockSize);
  }
}

// Runs kFrames frames against a hostile board: every byte the host saw, frame
// by frame, checked against the contract. The emulator's frame log says how
// many bytes each answer has, so every byte is read and none is waited for in vain.
std::vector<std::vector<uint8_t>> run(const std::string& address, uint32_t seed, Tally& tally) {
  BoardEmulator board([&] {
    EmulatorOptions o;
    o.address = address;
    return o;
  }());
  EXPECT_TRUE(board.start()) << board.lastError();
  board.hostileAnswers(options(seed));
  auto host = std::make_unique<RawClient>(address);
  std::vector<std::vector<uint8_t>> seen;
  for (int i = 0; i < kFrames; ++i) {
    const Probe p = probe(i);
    const uint16_t before = board.registerValue(2, static_cast<uint16_t>(300 + i % 7));
    EXPECT_TRUE(host->send(p.frame));
    EXPECT_TRUE(board.waitForFrameCount(static_cast<uint64_t>(i + 1), RawClient::kWaitMs));
    const FrameRecord sent = board.frames().at(static_cast<size_t>(i));
    int receives = 0;
    std::vector<uint8_t> bytes = host->receive(sent.answerBytes, RawClient::kWaitMs, &receives);
    EXPECT_EQ(static_cast<int>(bytes.size()), sent.answerBytes) << "frame " << i;
    seen.push_back(bytes);
    if (sent.answerBytes - sent.strayBytes < p.needed) {  // reset or closed instead of answered
      ++tally.ends;
      EXPECT_LE(host->receiveOnce(), 0) << "frame " << i << ": the connection lives on";
      EXPECT_EQ(board.registerValue(2, static_cast<uint16_t>(300 + i % 7)), before) << "frame " << i << " applied";
      host = std::make_unique<RawClient>(address);
      continue;
    }
    const std::vector<uint8_t> expected = expectedStart(i, board);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin() + sent.strayBytes)) << "frame " << i;
    const int extra = sent.answerBytes - sent.strayBytes - p.answer;
    EXPECT_GE(extra, 0) << "frame " << i;
    EXPECT_LE(extra, options(seed).maxExtraBytes) << "frame " << i;
    tally.extraBytes += extra;
    tally.splits += receives > 1 ? 1 : 0;
    tally.strays += sent.strayBytes > 0 ? 1 : 0;
  }
  board.clearFaults();
  EXPECT_EQ(host->exchange(registerFrame(0, proto::reg::kBoardId, false), proto::kRegisterAnswerSize).size(),
            static_cast<size_t>(proto::kRegisterAnswerSize));
  EXPECT_EQ(board.frames().back().answerBytes, proto::kRegisterAnswerSize) << "extra bytes after clearFaults()";
  return seen;
}

TEST(HostileBoard, AnswersAreSplitPaddedStrayedAndCutButKeepTheContract) {
  Tally tally;
  run("127.0.0.230", 7, tally);
  EXPECT_GT(tally.ends, 0);
  EXPECT_GT(tally.splits, 0);
  EXPECT_GT(tally.extraBytes, 0);
  EXPECT_GT(tally.strays, 0);
}

TEST(HostileBoard, TheSameSeedGivesTheSameRun) {
  Tally ignored;
  const auto first = run("127.0.0.231", 11, ignored);
  EXPECT_EQ(run("127.0.0.232", 11, ignored), first);
  EXPECT_NE(run("127.0.0.233", 12, ignored), first);
}

}  // namespace
}  // namespace kestrel::sim
