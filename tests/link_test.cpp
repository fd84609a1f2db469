// The board link: frame bytes, exchanges, time-outs and socket hygiene.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#ifdef __linux__
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "link/hw_layer.h"
#include "support/board_fixture.h"

namespace kestrel::testing {
namespace {

namespace p = protocol;
using sim::FrameKind;

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(link.openLink(board.address().c_str(), p::kBoardPort)); }
  sim::FrameRecord lastFrame() {
    const auto frames = board->frames();
    EXPECT_FALSE(frames.empty());
    return frames.empty() ? sim::FrameRecord{} : frames.back();
  }
  EmulatorBoard board;
  HwLayer link;
};

struct RegisterFrameCase {
  bool write;
  uint16_t page;
  uint16_t reg;
  uint16_t value;
  uint8_t byte4;
  uint8_t byte5;
};

class RegisterFrameBytes : public LinkTest, public ::testing::WithParamInterface<RegisterFrameCase> {};

TEST_P(RegisterFrameBytes, AddressWordCarriesRegisterPageAndDirection) {
  const auto& c = GetParam();
  uint16_t value = c.value;
  ASSERT_TRUE(link.regAccess(c.write ? 1 : 0, c.page, c.reg, &value));
  const auto frame = lastFrame();
  EXPECT_EQ(frame.raw[0], 0xF0);
  EXPECT_EQ(frame.raw[4], c.byte4);
  EXPECT_EQ(frame.raw[5], c.byte5);
  if (c.write) {
    EXPECT_EQ(frame.raw[6], c.value & 0xFF);
    EXPECT_EQ(frame.raw[7], c.value >> 8);
  }
}

INSTANTIATE_TEST_SUITE_P(Frames, RegisterFrameBytes,
                         ::testing::Values(RegisterFrameCase{false, 0, 20, 0, 0x14, 0x00},
                                           RegisterFrameCase{true, 5, 35, 0x1234, 0x23, 0xA8},
                                           RegisterFrameCase{false, 0, 1047, 0, 0x17, 0x04},
                                           RegisterFrameCase{false, 1, 16, 0, 0x10, 0x08},
                                           // out-of-range pages fold into the word; bit 15 stays the direction
                                           RegisterFrameCase{false, 0x1F, 1, 0, 0x01, 0x78},
                                           RegisterFrameCase{true, 0, 2047, 1, 0xFF, 0x87}));

TEST_F(LinkTest, ReadCarriesOverTheBytesOfTheLastWrite) {
  uint16_t value = 0xBEEF;
  ASSERT_TRUE(link.regAccess(1, 0, 300, &value));
  ASSERT_TRUE(link.regAccess(0, 0, 300, &value));
  const auto frame = lastFrame();
  EXPECT_EQ(frame.kind, FrameKind::RegisterRead);
  EXPECT_EQ(frame.raw[6], 0xEF);
  EXPECT_EQ(frame.raw[7], 0xBE);
  EXPECT_EQ(value, 0xBEEF);
}

TEST_F(LinkTest, BlockReadFrameAndAnswer) {
  std::vector<uint8_t> bytes(128);
  for (int i = 0; i < 128; ++i) bytes[i] = static_cast<uint8_t>(i * 3);
  board->writeMemory(20480, bytes);
  std::array<uint8_t, 128> block{};
  ASSERT_TRUE(link.readMemBlock(0, 20480, block.data()));
  const auto frame = lastFrame();
  EXPECT_EQ(frame.kind, FrameKind::BlockRead);
  const std::array<uint8_t, 9> expected{0xF1, 0x00, 0x01, 0x80, 0x00, 0x00, 0x50, 0x00, 0x00};
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(frame.raw[i], expected[i]) << "byte " << i;
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), block.begin()));
}

TEST_F(LinkTest, FailedReadStillDeliversTheResponseBufferAndReportsFailure) {
  board->setRegister(0, 20, 0x4242);
  uint16_t value = 0;
  ASSERT_TRUE(link.regAccess(0, 0, 20, &value));
  board->resetAfterFrames(1);
  value = 0;
  EXPECT_FALSE(link.regAccess(0, 0, 21, &value));
  EXPECT_EQ(value, 0x4242);  // the previous answer's bytes
}

TEST_F(LinkTest, StrayBytesThatArriveAfterAnAnswerAreNeverTheNextAnswer) {
  // Every answer is followed, a few ms later, by two random bytes of its own
  // send: by the next frame they wait in the socket, where an undrained link
  // would take them for the start of the next answer.
  sim::HostileOptions late;
  late.maxPieces = 1;
  late.maxDelayMs = 0;
  late.maxExtraBytes = 0;
  late.resetPerMille = 0;
  late.closePerMille = 0;
  late.lateBytes = 2;
  late.lateDelayMs = 2;
  for (uint16_t reg = 20; reg < 26; ++reg) board->setRegister(0, reg, static_cast<uint16_t>(0x1111 * (reg - 19)));
  board->hostileAnswers(late);
  for (uint16_t reg = 20; reg < 26; ++reg) {
    uint16_t value = 0;
    ASSERT_TRUE(link.regAccess(0, 0, reg, &value));
    EXPECT_EQ(value, 0x1111 * (reg - 19)) << "register " << reg;
    // Wait (without reading) until the stray bytes are in, as they would be
    // on a host that sends its next frame a little later. A slow receive may
    // have taken them in with the answer already; then nothing comes.
    platform::waitReadable(link.sock, 1000);
  }
  EXPECT_GT(link.staleBytesDropped, 0u);
}

TEST_F(LinkTest, StalledBoardTimesOutAndLaterExchangesFailAtOnce) {
  board->stallAfterFrames(1);
  uint16_t value = 0;
  EXPECT_FALSE(link.regAccess(0, 0, 20, &value));
  const uint64_t framesAfterStall = board->frameCount();
  board->clearFaults();
  // The stream is no longer trusted: nothing is sent any more.
  EXPECT_FALSE(link.regAccess(0, 0, 20, &value));
  EXPECT_FALSE(link.regAccess(1, 0, 20, &value));
  EXPECT_EQ(board->frameCount(), framesAfterStall);
  EXPECT_TRUE(link.closeLink());
  ASSERT_TRUE(link.openLink(board.address().c_str(), p::kBoardPort));
  EXPECT_TRUE(link.regAccess(0, 0, 20, &value));
}

TEST_F(LinkTest, ShortAnswerToAReadFailsInsteadOfDeliveringPartialData) {
  board->shortAnswersAfterFrames(1, 2);
  uint16_t value = 0;
  EXPECT_FALSE(link.regAccess(0, 0, 20, &value));
}

TEST_F(LinkTest, ResetMidExchangeFailsWithoutSignal) {
  board->resetAfterFrames(2);
  uint16_t value = 1;
  EXPECT_TRUE(link.regAccess(1, 0, 300, &value));
  EXPECT_FALSE(link.regAccess(1, 0, 300, &value));
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(link.regAccess(1, 0, 300, &value));
}

TEST_F(LinkTest, OrderlyCloseByTheBoardFailsReadsAndWritesAndNeverRaisesSigpipe) {
  uint16_t value = 0;
  for (uint16_t write : {0, 1}) {
    board->closeAfterFrames(1);
    EXPECT_FALSE(link.regAccess(write, 0, 20, &value)) << "write " << write;  // a write's fate is unknown
    board->clearFaults();
    ASSERT_TRUE(link.openLink(board.address().c_str(), p::kBoardPort));
  }
  board->closeAfterFrames(1);
  EXPECT_FALSE(link.regAccess(0, 0, 20, &value));
  // Keep writing into the dead connection: a SIGPIPE would end the test program.
  for (int i = 0; i < 20; ++i) link.regAccess(1, 0, 300, &value);
  SUCCEED();
}

TEST_F(LinkTest, CloseTwiceReportsFailureTheSecondTime) {
  EXPECT_TRUE(link.closeLink());
  EXPECT_FALSE(link.closeLink());
}

TEST(LinkWithoutBoard, ExchangeBeforeConnectFails) {
  HwLayer link;
  uint16_t value = 7;
  EXPECT_FALSE(link.regAccess(0, 0, 20, &value));
  EXPECT_FALSE(link.closeLink());
}

TEST(LinkWithoutBoard, ConnectWhereNothingListensFails) {
  HwLayer link;
  EXPECT_FALSE(link.openLink(unusedLoopbackAddress().c_str(), p::kBoardPort));
  EXPECT_EQ(link.lastResult, -1);
  EXPECT_FALSE(link.openLink(unusedLoopbackAddress().c_str(), p::kBoardPort));
}

// The link keeps why its last exchange failed, so a tool can say what happened.
TEST_F(LinkTest, FailureCauseSaysTimedOutClosedOrReset) {
  using platform::SocketError;
  uint16_t value = 0;
  ASSERT_TRUE(link.regAccess(0, 0, 20, &value));
  EXPECT_EQ(link.lastFailure(), SocketError::None);

  link.exchangeTimeoutMs = 200;
  board->stallAfterFrames(0);
  EXPECT_FALSE(link.regAccess(0, 0, 20, &value));
  EXPECT_EQ(link.lastFailure(), SocketError::TimedOut);
  EXPECT_STREQ(platform::describe(link.lastFailure()), "timed out");

  board->clearFaults();
  ASSERT_TRUE(link.openLink(board.address().c_str(), p::kBoardPort));
  board->closeAfterFrames(0);
  EXPECT_FALSE(link.regAccess(1, 0, 300, &value));
  EXPECT_EQ(link.lastFailure(), SocketError::Closed);
  // A later exchange on the dropped link keeps saying why it was dropped.
  EXPECT_FALSE(link.regAccess(0, 0, 20, &value));
  EXPECT_EQ(link.lastFailure(), SocketError::Closed);

  board->clearFaults();
  ASSERT_TRUE(link.openLink(board.address().c_str(), p::kBoardPort));
  EXPECT_EQ(link.lastFailure(), SocketError::None);
  board->resetAfterFrames(0);
  EXPECT_FALSE(link.regAccess(0, 0, 20, &value));
  EXPECT_EQ(link.lastFailure(), SocketError::Reset);
}

TEST(LinkWithoutBoard, ConnectFailureSaysRefusedOrBadAddress) {
  HwLayer link;
  EXPECT_FALSE(link.openLink(unusedLoopbackAddress().c_str(), p::kBoardPort));
  EXPECT_EQ(link.lastFailure(), platform::SocketError::Refused);
  EXPECT_FALSE(link.openLink("127.0.0.01", p::kBoardPort));
  EXPECT_EQ(link.lastFailure(), platform::SocketError::BadAddress);
}

TEST(LinkWithoutBoard, AddressThatIsNotDottedIPv4IsRefused) {
  HwLayer link;
  // Leading zeros and hexadecimal parts too: some parsers read them as octal or hex.
  for (const char* text : {"", "localhost", "127.0.0", "127.0.0.1.5", "256.0.0.1", "127.0.0.1:6653", " 127.0.0.1",
                           "127.0.0.01", "0x7f.0.0.1"})
    EXPECT_FALSE(link.openLink(text, p::kBoardPort)) << text;
  EXPECT_FALSE(link.openLink(nullptr, p::kBoardPort));
}

#ifdef __linux__
// Client sockets this process holds: the emulator's own sockets (local port
// 6653) and anything the sanitizers open are left out.
size_t openClientSockets() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(entry.path().filename().c_str());
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || local.sin_family != AF_INET) continue;
    if (ntohs(local.sin_port) != p::kBoardPort) ++count;
  }
  return count;
}

TEST(LinkSockets, NoDescriptorLeaksOverManyConnectCycles) {
  EmulatorBoard board;
  HwLayer link;
  const std::string unused = unusedLoopbackAddress();
  ASSERT_TRUE(link.openLink(board.address().c_str(), p::kBoardPort));
  ASSERT_TRUE(link.closeLink());
  const size_t before = openClientSockets();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(link.openLink(board.address().c_str(), p::kBoardPort));
    if (i % 3 == 0) {
      ASSERT_TRUE(link.openLink(board.address().c_str(), p::kBoardPort));  // reconnect over an open link
    }
    if (i % 50 == 0) {
      EXPECT_FALSE(link.openLink(unused.c_str(), p::kBoardPort));
    } else {
      ASSERT_TRUE(link.closeLink());
    }
  }
  link.closeLink();
  EXPECT_EQ(openClientSockets(), before);
}
#endif

}  // namespace
}  // namespace kestrel::testing
