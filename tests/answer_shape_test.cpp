// The board's answer shape: learned at connect, then every answer held to it,
// so that late tails and stray bytes fail an exchange instead of becoming the
// next answer; and time limits that signals cannot stretch.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>
#ifdef __linux__
#include <pthread.h>
#include <signal.h>
#endif

#include "device/clock_source_api.h"
#include "link/answer_shape.h"
#include "support/board_fixture.h"

namespace kestrel::testing {
namespace {

namespace p = protocol;

p::Command registerCommand(bool write, uint16_t value = 0) {
  p::Command c;
  c.kind = write ? p::CommandKind::RegisterWrite : p::CommandKind::RegisterRead;
  c.value = value;
  return c;
}

TEST(AnswerShape, LearnedFromTwoAnswersToTheSameRead) {
  struct Case {
    std::vector<uint8_t> a, b;
    bool learned;
    int bytes;
    bool echoesOpcode;
  };
  const Case cases[] = {
      {{0xF0, 0x31, 0x4B, 0x00}, {0xF0, 0x31, 0x4B, 0x00, 0x7A}, true, 4, true},  // padding is not the shape
      {{0xF0, 0x31, 0x4B}, {0xF0, 0x31, 0x4B}, true, 3, true},
      {{0x00, 0x31, 0x4B, 0x00, 0x00}, {0x00, 0x31, 0x4B, 0x00, 0x00}, true, 5, false},
      {{0xF0, 0x31, 0x4B, 0x00}, {0x00, 0xF0, 0x31, 0x4B}, false, 3, false},  // a late byte shifted one
      {{0xF0, 0x31}, {0xF0, 0x31, 0x4B}, false, 3, false},                   // too short
  };
  for (const Case& c : cases) {
    const AnswerShape shape = learnReadShape(c.a.data(), static_cast<int>(c.a.size()), c.b.data(),
                                             static_cast<int>(c.b.size()));
    EXPECT_EQ(shape.learned, c.learned) << shape.describe();
    if (!c.learned) continue;
    EXPECT_EQ(shape.registerAnswerBytes, c.bytes);
    EXPECT_EQ(shape.echoesOpcode, c.echoesOpcode);
  }
}

TEST(AnswerShape, AnswersThatDepartFromTheShapeDoNotFit) {
  AnswerShape shape = learnReadShape(std::vector<uint8_t>{0xF0, 1, 2, 0}.data(), 4,
                                     std::vector<uint8_t>{0xF0, 1, 2, 0}.data(), 4);
  const uint8_t first[] = {0xF0, 0x00, 0x20, 0x00};
  const uint8_t second[] = {0xF0, 0x00, 0x50, 0x00};
  learnWriteShape(shape, first, 4, 0x2000, second, 4, 0x5000);
  ASSERT_TRUE(shape.writesShaped && shape.writeEchoesValue) << shape.describe();
  struct Case {
    p::Command sent;
    std::vector<uint8_t> answer;
    bool fits;
  };
  const Case cases[] = {
      {registerCommand(false), {0xF0, 0x34, 0x12, 0x00}, true},
      {registerCommand(false), {0x55, 0xF0, 0x34, 0x12}, false},  // a stray byte before the answer
      {registerCommand(false), {0xF0, 0x34, 0x12, 0x09}, false},  // a non-zero trailing byte
      {registerCommand(true, 0x1234), {0xF0, 0x34, 0x12, 0x00}, true},
      {registerCommand(true, 0x1234), {0xF0, 0x35, 0x12, 0x00}, false},  // not the value written
  };
  for (const Case& c : cases) EXPECT_EQ(shape.fits(c.sent, c.answer.data()), c.fits);
  EXPECT_EQ(shape.bytesNeeded(p::CommandKind::RegisterWrite), 4);
  EXPECT_EQ(AnswerShape{}.bytesNeeded(p::CommandKind::RegisterWrite), 1);  // unlearned: today's rules
}

sim::HostileOptions onlyThese(int lateTailPerMille, int strayBeforePerMille) {
  sim::HostileOptions o;
  o.maxPieces = 1;
  o.maxDelayMs = 0;
  o.maxExtraBytes = 2;
  o.resetPerMille = 0;
  o.closePerMille = 0;
  o.lateTailPerMille = lateTailPerMille;
  o.strayBeforePerMille = strayBeforePerMille;
  return o;
}

TEST(LearnedShape, TheEmulatorsShapeIsLearnedAtConnect) {
  EmulatorBoard board;
  ClockSource_API device;
  ASSERT_EQ(device.connect(board.address()), Status::Ok);
  const AnswerShape& shape = device.link.answerShape();
  EXPECT_TRUE(shape.learned && shape.echoesOpcode && shape.writesShaped && shape.writeEchoesValue);
  EXPECT_EQ(shape.registerAnswerBytes, p::kRegisterAnswerSize);
}

// Every answer's last byte comes 5 ms after the rest: each read waits for it,
// and a write that follows does not take it for its own answer.
TEST(LearnedShape, ALateLastByteIsWaitedForNotReadAsTheNextAnswer) {
  EmulatorBoard board;
  board->hostileAnswers(onlyThese(1000, 0));
  board->failRegisterWrite(0, 300);  // resets without applying
  void* h = vxclk_createInstance();
  ASSERT_EQ(vxclk_connect(h, board.address().c_str()), VXCLK_OK);
  for (int i = 0; i < 3; ++i) {
    int32_t id = 0;
    EXPECT_EQ(vxclk_getBoardID(h, &id), VXCLK_OK);
    EXPECT_EQ(id, board->registerValue(0, p::reg::kBoardId));
  }
  uint16_t value = 0xABCD;
  EXPECT_EQ(vxclk_setClock(h, 1, 0, 300, &value), VXCLK_FAILED);
  EXPECT_EQ(board->registerValue(0, 300), 0);
  vxclk_destroyInstance(h);
}

// Random bytes before every answer, after the frame went out: no read takes
// them for its answer.
TEST(LearnedShape, StrayBytesAfterAFrameWentOutAreNeverItsAnswer) {
  EmulatorBoard board;
  void* h = vxclk_createInstance();
  int failed = 0;
  for (int round = 0; round < 10; ++round) {
    board->clearFaults();
    ASSERT_EQ(vxclk_connect(h, board.address().c_str()), VXCLK_OK);
    board->hostileAnswers(onlyThese(0, 1000));
    uint16_t value = 0;
    const int32_t status = vxclk_setClock(h, 0, 0, p::reg::kBoardId, &value);
    if (status == VXCLK_OK) {
      EXPECT_EQ(value, board->registerValue(0, p::reg::kBoardId)) << "round " << round;
    }
    failed += status == VXCLK_FAILED ? 1 : 0;
  }
  EXPECT_GT(failed, 0);
  vxclk_destroyInstance(h);
}

#ifdef __linux__
void ignoreSignal(int) {}

// A signal every 50 ms during a stalled exchange with a 1 s limit: the
// exchange still ends after about a second, with or without SA_RESTART.
TEST(LinkDeadline, SignalsDoNotStretchTheTimeLimit) {
  for (int flags : {0, SA_RESTART}) {
    struct sigaction action {};
    action.sa_handler = ignoreSignal;
    action.sa_flags = flags;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    EmulatorBoard board;
    HwLayer link;
    link.exchangeTimeoutMs = 1000;
    ASSERT_TRUE(link.openLink(board.address().c_str(), p::kBoardPort));
    board->stallAfterFrames(0);
    std::atomic<bool> done{false};
    const pthread_t caller = pthread_self();
    // Signals for 8 s at most, so that a link that restarts its wait after
    // each one still ends the test.
    std::thread signaller([&] {
      for (int i = 0; i < 160 && !done; ++i) {
        pthread_kill(caller, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
    const auto start = std::chrono::steady_clock::now();
    uint16_t value = 0;
    EXPECT_FALSE(link.regAccess(0, 0, 20, &value));
    const auto took = std::chrono::steady_clock::now() - start;
    done = true;
    signaller.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(link.lastFailure(), platform::SocketError::TimedOut);
    EXPECT_LT(took, std::chrono::seconds(4)) << "SA_RESTART " << (flags != 0);
  }
}
#endif

}  // namespace
}  // namespace kestrel::testing
