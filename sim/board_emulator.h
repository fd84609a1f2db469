// An in-process stand-in for the clock-source board: it listens on an IPv4
// address, answers the 256-byte command frames one at a time and keeps the
// board's registers, non-volatile memory and synthesizer registers. Tests
// drive it over real TCP; fault injection lives here, not in the library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/frame_codec.h"

namespace kestrel::sim {

// The kinds of command the shared frame codec tells apart.
using FrameKind = protocol::CommandKind;

// One frame the emulator received, decoded.
struct FrameRecord {
  FrameKind kind = FrameKind::Other;
  uint16_t page = 0;      // register frames
  uint16_t reg = 0;       // register frames
  uint16_t value = 0;     // register writes: the value written; reads: the value answered
  uint32_t address = 0;   // block frames
  protocol::Frame raw{};
  // What went back: every byte sent for this frame, and of those the stray
  // bytes sent before the answer proper (hostile mode).
  int answerBytes = 0;
  int strayBytes = 0;
};

// What the synthesizer's registers mean, worked out from the register fields
// alone (the board's 156.25 MHz reference).
struct SynthState {
  bool programmed = false;   // a complete upload (ending with register 0) arrived
  double pdFrequency = 0;    // MHz
  double vcoFrequency = 0;   // MHz
  int channelDivision = 0;
  double outputA = 0;        // MHz
  double outputB = 0;        // MHz
  bool outputAFromVco = false;
  bool outputBFromVco = false;
  int uploads = 0;           // completed uploads since start
};

// The port a host library in this process will dial: KESTREL_PORT when it
// holds a port number, else the board's own. Programs that start an emulator
// for their own library instances listen there.
uint16_t hostBoardPort();

struct EmulatorOptions {
  std::string address = "127.0.0.1";
  uint16_t port = protocol::kBoardPort;
  std::string memoryFile;    // non-volatile memory kept in this file when set
  bool trace = false;        // one line per frame on stdout
  std::string pcapFile;      // every frame and answer also written here as a pcap capture
  // Each answer leaves this long after its frame arrived, as over a network
  // with that round trip; frames that arrive meanwhile are read and applied
  // at once, and their answers follow each in its turn.
  int latencyUs = 0;
};

inline constexpr int kLongestLatencyUs = 1000000;

// A board whose answers are hard to read: every choice comes from the seed,
// so the same frames get the same answers, splits and resets again. A host
// needs 3 bytes of a register read's answer, all 128 of a block read and at
// least 1 of any other frame's: pauses come before those bytes are all sent,
// and the rest of the answer goes out in the same send as the extra bytes,
// unless a late tail or stray bytes are asked for below.
struct HostileOptions {
  uint32_t seed = 1;
  int maxPieces = 3;       // the needed bytes come in 1..maxPieces sends
  int maxDelayMs = 3;      // pause before each of those sends: 0..maxDelayMs
  int maxExtraBytes = 8;   // random bytes after each answer: 0..maxExtraBytes
  int resetPerMille = 10;  // frames in 1000 that reset the connection, not applied,
                           // after some random bytes fewer than the host needs
  int closePerMille = 5;   // the same, with an orderly close instead of a reset
  // After each answer, this many more random bytes in a send of their own,
  // lateDelayMs later: the stray bytes a host must drop before its next frame.
  int lateBytes = 0;
  int lateDelayMs = 5;
  // Answers in 1000 whose bytes past the needed ones (the 4th byte of a
  // register answer, say) come with the extra bytes lateDelayMs after the rest.
  int lateTailPerMille = 0;
  // Answers in 1000 that 1..maxExtraBytes random bytes precede, sent as soon
  // as the frame arrived: stray bytes that reach a host after its frame went
  // out, which it must never take for the answer.
  int strayBeforePerMille = 0;
};

class BoardEmulator {
 public:
  explicit BoardEmulator(EmulatorOptions options = {});
  ~BoardEmulator();  // stops the server and saves the memory file
  BoardEmulator(const BoardEmulator&) = delete;
  BoardEmulator& operator=(const BoardEmulator&) = delete;

  // Binds and listens; returns once the emulator accepts connections.
  // False (with a message in lastError()) when the address cannot be used or
  // the memory file is refused.
  bool start();
  void stop();
  bool running() const;
  std::string lastError() const;
  uint16_t port() const;  // the port actually bound

  // ---- board state (safe to call from any thread) --------------------------
  // What a host read would answer (register 11 on page 0 gives the memory
  // byte at the address in register 10).
  uint16_t registerValue(uint16_t page, uint16_t reg) const;
  // Stores the value as it stands, without the side effects a host write has
  // (no memory byte, no synthesizer word): for identity and health registers.
  void setRegister(uint16_t page, uint16_t reg, uint16_t value);

  uint8_t memoryByte(uint32_t address) const;
  std::vector<uint8_t> readMemory(uint32_t address, size_t length) const;
  void writeMemory(uint32_t address, const std::vector<uint8_t>& bytes);
  double memoryDouble(uint32_t address) const;
  void setMemoryDouble(uint32_t address, double value);
  void eraseMemory();  // every byte back to 0xFF

  std::array<uint16_t, protocol::kSynthRegisterSlots> synthRegisters() const;
  SynthState synthState() const;

  // ---- observation ------------------------------------------------------------
  // The log keeps the newest kFrameLogLimit frames; older ones are dropped.
  static constexpr size_t kFrameLogLimit = 16384;
  std::vector<FrameRecord> frames() const;  // every frame since the last clear
  void clearFrames();
  void setFrameLogging(bool enabled);       // on by default; off for benchmarks
  uint64_t frameCount() const;              // frames answered or refused since start
  // With a latency: the most answers ever held back at once, that is the
  // most frames a host had sent ahead of their answers.
  int deepestBacklog() const;
  int connectionsAccepted() const;
  bool clientConnected() const;
  // Block until frameCount() reaches count (true) or timeoutMs passes (false):
  // lets a test know a frame arrived even when no answer will come.
  bool waitForFrameCount(uint64_t count, int timeoutMs) const;
  // Block until every memory change has reached the memory file (true), or
  // timeoutMs passes (false). True at once without a memory file.
  bool waitForMemorySaved(int timeoutMs) const;

  // ---- fault injection ---------------------------------------------------------
  // The connection is reset (the host sees an error) when the n-th frame from
  // now arrives; that frame is neither answered nor applied.
  void resetAfterFrames(int n);
  // From the n-th frame from now on, frames are read but neither answered nor
  // applied (a hung board), until clearFaults().
  void stallAfterFrames(int n);
  // From the n-th frame from now on, answers are cut to `bytes` bytes, until
  // clearFaults(). The frames are applied.
  void shortAnswersAfterFrames(int n, int bytes);
  // Every write to this register resets the connection (the write is not
  // applied), until clearFaults(). May be called for several registers.
  void failRegisterWrite(uint16_t page, uint16_t reg);
  // The peer closes the connection in an orderly way when the n-th frame from
  // now arrives; that frame is neither answered nor applied.
  void closeAfterFrames(int n);
  // From the next frame on, answers as HostileOptions says, until clearFaults().
  void hostileAnswers(const HostileOptions& options);
  void clearFaults();
  // Frame numbers count every frame received since start, over all
  // connections; n below 1 counts as 1.

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrel::sim
