// The emulator's capture file read back byte by byte: a pcap of raw IPv4
// packets whose TCP streams hold exactly what went over the wire, with
// sequence numbers that let a reader put each stream back together.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "board_emulator.h"
#include "protocol/board_protocol.h"
#include "raw_client.h"

namespace kestrel::sim {
namespace {

namespace proto = kestrel::protocol;
namespace fs = std::filesystem;
using testing::blockFrame;
using testing::Frame;
using testing::RawClient;
using testing::registerFrame;

constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kAck = 0x10;
constexpr uint8_t kPshAck = 0x18;

struct Packet {
  bool fromBoard = false;
  uint8_t flags = 0;
  uint32_t seq = 0;
  uint32_t ack = 0;
  std::vector<uint8_t> payload;
};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint32_t be32(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Ones' complement sum of 16-bit words: a header with a correct checksum sums to 0xFFFF.
uint32_t wordSum(const uint8_t* p, size_t n, uint32_t sum = 0) {
  for (size_t i = 0; i < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | (i + 1 < n ? p[i + 1] : 0));
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum;
}

// Every packet of the capture, checked on the way for the header fields a
// reader relies on.
std::vector<Packet> readCapture(const std::string& path, const std::string& boardAddress) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<Packet> packets;
  EXPECT_GE(file.size(), 24u);
  if (file.size() < 24) return packets;
  EXPECT_EQ(le32(file.data()), 0xA1B2C3D4u);
  EXPECT_EQ(le32(file.data() + 20), 101u) << "raw IPv4 packets";
  uint32_t board = 0;
  platform::parseIPv4(boardAddress.c_str(), &board);
  for (size_t at = 24; at + 16 <= file.size();) {
    const uint32_t length = le32(file.data() + at + 8);
    EXPECT_EQ(length, le32(file.data() + at + 12));
    const uint8_t* ip = file.data() + at + 16;
    at += 16 + length;
    EXPECT_LE(at, file.size());
    if (at > file.size()) break;
    EXPECT_EQ(ip[0], 0x45);
    EXPECT_EQ(be16(ip + 2), length);
    EXPECT_EQ(wordSum(ip, 20), 0xFFFFu) << "IPv4 checksum";
    const uint8_t* tcp = ip + 20;
    const uint32_t pseudo = wordSum(ip + 12, 8, 6 + (length - 20));
    EXPECT_EQ(wordSum(tcp, length - 20, pseudo), 0xFFFFu) << "TCP checksum";
    Packet p;
    // The host's own address may equal the board's on a loopback link: the ports tell the sides apart.
    p.fromBoard = be16(tcp) == proto::kBoardPort;
    EXPECT_EQ(std::memcmp(ip + (p.fromBoard ? 12 : 16), &board, 4), 0) << "the board's address";
    EXPECT_NE(be16(tcp + (p.fromBoard ? 2 : 0)), proto::kBoardPort) << "the host's port";
    p.seq = be32(tcp + 4);
    p.ack = be32(tcp + 8);
    p.flags = tcp[13];
    p.payload.assign(tcp + 20, ip + length);
    packets.push_back(std::move(p));
  }
  return packets;
}

// Each direction's bytes in order, checking that every packet starts where
// the one before it ended and acknowledges all the other side has sent.
void expectStreams(const std::vector<Packet>& packets, const std::vector<uint8_t>& hostBytes,
                   const std::vector<uint8_t>& boardBytes) {
  ASSERT_GE(packets.size(), 3u);
  EXPECT_EQ(packets[0].flags, kSyn);
  EXPECT_EQ(packets[1].flags, kSyn | kAck);
  EXPECT_EQ(packets[2].flags, kAck);
  uint32_t next[2] = {packets[0].seq + 1, packets[1].seq + 1};
  std::vector<uint8_t> sent[2];
  for (size_t i = 3; i < packets.size() && packets[i].flags == kPshAck; ++i) {
    const Packet& p = packets[i];
    EXPECT_EQ(p.seq, next[p.fromBoard]) << "packet " << i;
    EXPECT_EQ(p.ack, next[!p.fromBoard]) << "packet " << i;
    next[p.fromBoard] += static_cast<uint32_t>(p.payload.size());
    sent[p.fromBoard].insert(sent[p.fromBoard].end(), p.payload.begin(), p.payload.end());
  }
  EXPECT_EQ(sent[0], hostBytes);
  EXPECT_EQ(sent[1], boardBytes);
}

// The close reaches the capture only once the emulator has seen it.
void stopAfterHostLeft(BoardEmulator& board) {
  const int64_t deadline = platform::monotonicMs() + RawClient::kWaitMs;
  while (board.clientConnected() && platform::monotonicMs() < deadline) platform::sleepMs(1);
  board.stop();
}

class PcapCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    folder_ = fs::temp_directory_path() / ("kestrel-pcap-" + std::to_string(random()) + std::to_string(random()));
    fs::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  EmulatorOptions options(const std::string& address) const {
    EmulatorOptions o;
    o.address = address;
    o.pcapFile = (folder_ / "board.pcap").string();
    return o;
  }
  fs::path folder_;
};

TEST_F(PcapCapture, HoldsEveryFrameAndAnswerInOrder) {
  const std::string address = "127.0.0.240";
  BoardEmulator board(options(address));
  ASSERT_TRUE(board.start()) << board.lastError();
  const std::vector<Frame> frames = {registerFrame(0, proto::reg::kSynthNumber, true, 7),
                                     registerFrame(0, proto::reg::kBoardId, false), blockFrame(0, true)};
  std::vector<uint8_t> hostBytes, boardBytes;
  {
    RawClient host(address);
    ASSERT_TRUE(host.connected());
    for (const Frame& f : frames) {
      ASSERT_TRUE(host.send(f));
      const bool block = f[proto::kOffOpcode] == proto::kOpMemoryAndAux;
      const std::vector<uint8_t> answer = host.receive(block ? proto::kBlockSize : proto::kRegisterAnswerSize);
      hostBytes.insert(hostBytes.end(), f.begin(), f.end());
      boardBytes.insert(boardBytes.end(), answer.begin(), answer.end());
    }
  }
  stopAfterHostLeft(board);
  const std::vector<Packet> packets = readCapture(options(address).pcapFile, address);
  expectStreams(packets, hostBytes, boardBytes);
  EXPECT_EQ(packets.size(), 3 + 2 * frames.size() + 3) << "handshake, frames and answers, close";
}

TEST_F(PcapCapture, SplitAnswersAreWrittenAsSent) {
  const std::string address = "127.0.0.241";
  BoardEmulator board(options(address));
  ASSERT_TRUE(board.start()) << board.lastError();
  HostileOptions hostile;
  hostile.seed = 14;
  hostile.maxExtraBytes = 0;
  hostile.resetPerMille = 0;
  hostile.closePerMille = 0;
  board.hostileAnswers(hostile);
  constexpr int kFrames = 20;
  std::vector<uint8_t> hostBytes, boardBytes;
  {
    RawClient host(address);
    ASSERT_TRUE(host.connected());
    for (int i = 0; i < kFrames; ++i) {
      const Frame f = registerFrame(0, proto::reg::kSerial0, false);
      ASSERT_TRUE(host.send(f));
      const std::vector<uint8_t> answer = host.receive(proto::kRegisterAnswerSize);
      hostBytes.insert(hostBytes.end(), f.begin(), f.end());
      boardBytes.insert(boardBytes.end(), answer.begin(), answer.end());
    }
  }
  board.stop();
  const std::vector<Packet> packets = readCapture(options(address).pcapFile, address);
  expectStreams(packets, hostBytes, boardBytes);
  size_t fromBoard = 0;
  for (const Packet& p : packets) fromBoard += p.fromBoard && !p.payload.empty();
  EXPECT_GT(fromBoard, static_cast<size_t>(kFrames)) << "some answers came in pieces";
}

}  // namespace
}  // namespace kestrel::sim
