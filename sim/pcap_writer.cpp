#include "pcap_writer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace kestrel::sim {

namespace {

// libpcap's classic format: the reader tells the byte order from the magic
// number, so writing it little-endian on every platform is enough.
constexpr uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond timestamps
constexpr uint16_t kPcapMajor = 2;
constexpr uint16_t kPcapMinor = 4;
constexpr uint32_t kSnapLength = 65535;
constexpr uint32_t kLinkTypeRaw = 101;  // packets start with the IP header

constexpr size_t kIpHeaderSize = 20;
constexpr size_t kTcpHeaderSize = 20;
// Payloads longer than this are cut into several segments, as a real link would.
constexpr size_t kMaxSegment = 1460;

constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kRst = 0x04;
constexpr uint8_t kPsh = 0x08;
constexpr uint8_t kAck = 0x10;

// Initial sequence numbers: any value works; distinct ones make a mix-up of
// the two directions visible at once.
constexpr uint32_t kHostInitialSeq = 0x10000000;
constexpr uint32_t kBoardInitialSeq = 0x20000000;

void putLe16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void putLe32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void putBe16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void putBe32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The Internet checksum over 16-bit big-endian words; `sum` carries a
// pseudo-header's part in.
uint16_t checksum(const uint8_t* data, size_t length, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (length % 2 != 0) sum += static_cast<uint32_t>(data[length - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

uint32_t addressSum(const PcapEndpoint& e) {
  return static_cast<uint32_t>(e.address[0] << 8 | e.address[1]) + static_cast<uint32_t>(e.address[2] << 8 | e.address[3]);
}

}  // namespace

PcapEndpoint pcapEndpoint(uint32_t addressNetworkOrder, uint16_t port) {
  PcapEndpoint e;
  std::memcpy(e.address.data(), &addressNetworkOrder, e.address.size());
  e.port = port;
  return e;
}

bool PcapWriter::open(const std::string& path, std::string& problem) {
  std::lock_guard<std::mutex> lock(mutex_);
  out_.close();
  out_.clear();
  out_.open(path, std::ios::binary | std::ios::trunc);
  std::vector<uint8_t> header;
  putLe32(header, kPcapMagic);
  putLe16(header, kPcapMajor);
  putLe16(header, kPcapMinor);
  putLe32(header, 0);  // time zone: timestamps are UTC
  putLe32(header, 0);  // timestamp accuracy
  putLe32(header, kSnapLength);
  putLe32(header, kLinkTypeRaw);
  out_.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
  out_.flush();
  if (!out_) {
    problem = "cannot write the capture file " + path;
    out_.close();
    return false;
  }
  return true;
}

bool PcapWriter::isOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_.is_open();
}

void PcapWriter::connectionOpened(const PcapEndpoint& host, const PcapEndpoint& board) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!out_.is_open()) return;
  host_ = host;
  board_ = board;
  hostSeq_ = kHostInitialSeq;
  boardSeq_ = kBoardInitialSeq;
  connected_ = true;
  // The handshake lets Wireshark see where each stream starts, so that
  // sequence numbers, and the reassembly built on them, begin at zero.
  packet(true, kSyn, nullptr, 0);
  ++hostSeq_;
  packet(false, kSyn | kAck, nullptr, 0);
  ++boardSeq_;
  packet(true, kAck, nullptr, 0);
}

void PcapWriter::fromHost(const uint8_t* data, size_t length) { payload(true, data, length); }

void PcapWriter::fromBoard(const uint8_t* data, size_t length) { payload(false, data, length); }

void PcapWriter::connectionClosed(bool reset) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!out_.is_open() || !connected_) return;
  connected_ = false;
  if (reset) {
    packet(false, kRst | kAck, nullptr, 0);
    return;
  }
  packet(false, kFin | kAck, nullptr, 0);
  ++boardSeq_;
  packet(true, kFin | kAck, nullptr, 0);
  ++hostSeq_;
  packet(false, kAck, nullptr, 0);
}

void PcapWriter::payload(bool hostToBoard, const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!out_.is_open() || !connected_) return;
  for (size_t done = 0; done < length;) {
    const size_t piece = std::min(length - done, kMaxSegment);
    packet(hostToBoard, kPsh | kAck, data + done, piece);
    (hostToBoard ? hostSeq_ : boardSeq_) += static_cast<uint32_t>(piece);
    done += piece;
  }
}

// Lock held.
void PcapWriter::packet(bool hostToBoard, uint8_t flags, const uint8_t* data, size_t length) {
  const PcapEndpoint& from = hostToBoard ? host_ : board_;
  const PcapEndpoint& to = hostToBoard ? board_ : host_;
  const uint32_t seq = hostToBoard ? hostSeq_ : boardSeq_;
  const uint32_t ack = (flags & kAck) ? (hostToBoard ? boardSeq_ : hostSeq_) : 0;
  const size_t ipLength = kIpHeaderSize + kTcpHeaderSize + length;

  std::vector<uint8_t> ip;
  ip.reserve(ipLength);
  ip.push_back(0x45);  // version 4, five-word header
  ip.push_back(0);
  putBe16(ip, static_cast<uint16_t>(ipLength));
  putBe16(ip, ipId_++);
  putBe16(ip, 0x4000);  // don't fragment
  ip.push_back(64);     // time to live
  ip.push_back(6);      // TCP
  putBe16(ip, 0);       // checksum, filled in below
  ip.insert(ip.end(), from.address.begin(), from.address.end());
  ip.insert(ip.end(), to.address.begin(), to.address.end());
  const uint16_t ipSum = checksum(ip.data(), kIpHeaderSize);
  ip[10] = static_cast<uint8_t>(ipSum >> 8);
  ip[11] = static_cast<uint8_t>(ipSum);

  putBe16(ip, from.port);
  putBe16(ip, to.port);
  putBe32(ip, seq);
  putBe32(ip, ack);
  ip.push_back(static_cast<uint8_t>((kTcpHeaderSize / 4) << 4));
  ip.push_back(flags);
  putBe16(ip, 0xFFFF);  // window
  putBe16(ip, 0);       // checksum, filled in below
  putBe16(ip, 0);       // urgent pointer
  if (length > 0) ip.insert(ip.end(), data, data + length);
  const size_t tcpLength = ipLength - kIpHeaderSize;
  const uint32_t pseudo = addressSum(from) + addressSum(to) + 6 + static_cast<uint32_t>(tcpLength);
  const uint16_t tcpSum = checksum(ip.data() + kIpHeaderSize, tcpLength, pseudo);
  ip[kIpHeaderSize + 16] = static_cast<uint8_t>(tcpSum >> 8);
  ip[kIpHeaderSize + 17] = static_cast<uint8_t>(tcpSum);

  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  std::vector<uint8_t> record;
  putLe32(record, static_cast<uint32_t>(now / 1000000));
  putLe32(record, static_cast<uint32_t>(now % 1000000));
  putLe32(record, static_cast<uint32_t>(ip.size()));
  putLe32(record, static_cast<uint32_t>(ip.size()));
  out_.write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
  out_.write(reinterpret_cast<const char*>(ip.data()), static_cast<std::streamsize>(ip.size()));
  out_.flush();
}

}  // namespace kestrel::sim
