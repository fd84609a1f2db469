// What the emulator exchanges, written as a libpcap capture: each payload gets
// made-up IPv4 and TCP headers (with the host's and the board's real addresses
// and ports, and running sequence numbers) so that Wireshark and tshark follow
// and reassemble the stream as if it had been captured on the wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

namespace kestrel::sim {

struct PcapEndpoint {
  std::array<uint8_t, 4> address{};  // as written on the wire
  uint16_t port = 0;
};

// An address as the socket layer gives it (network order) to wire bytes.
PcapEndpoint pcapEndpoint(uint32_t addressNetworkOrder, uint16_t port);

class PcapWriter {
 public:
  // Creates (or empties) the file and writes the capture header.
  bool open(const std::string& path, std::string& problem);
  bool isOpen() const;

  // Each call writes its packets and flushes them, so a capture cut short by
  // a killed emulator still reads up to its last exchange.
  void connectionOpened(const PcapEndpoint& host, const PcapEndpoint& board);
  void fromHost(const uint8_t* data, size_t length);
  void fromBoard(const uint8_t* data, size_t length);
  // The board is shown as the side that ends the connection.
  void connectionClosed(bool reset);

 private:
  void packet(bool hostToBoard, uint8_t flags, const uint8_t* data, size_t length);
  void payload(bool hostToBoard, const uint8_t* data, size_t length);

  mutable std::mutex mutex_;
  std::ofstream out_;
  bool connected_ = false;
  PcapEndpoint host_;
  PcapEndpoint board_;
  uint32_t hostSeq_ = 0;   // next sequence number each side sends
  uint32_t boardSeq_ = 0;
  uint16_t ipId_ = 0;
};

}  // namespace kestrel::sim
