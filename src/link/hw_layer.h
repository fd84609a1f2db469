// The board link: one TCP connection, one 256-byte command frame and one
// response buffer. Every board operation is built from its exchanges.
//
// With a board that takes frames back to back, register writes go out ahead
// of the answers to earlier frames (up to a window of them); their answers
// are read in order as the window fills, before any read, and by settle().
// Frames, their order and their content are the same either way.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "link/answer_shape.h"
#include "link/exchange_trace.h"
#include "link/link_settings.h"
#include "platform/socket.h"
#include "protocol/board_protocol.h"
#include "protocol/frame_codec.h"

namespace kestrel {

class HwLayer {
 public:
  // Port, time limits and trace from the environment (KESTREL_PORT, ...).
  HwLayer();
  explicit HwLayer(const LinkSettings& settings);
  virtual ~HwLayer();
  HwLayer(const HwLayer&) = delete;
  HwLayer& operator=(const HwLayer&) = delete;

  // A new connection starts with no answer shape and one frame at a time.
  bool openLink(const char* address, uint16_t port);
  // Learns the board's answer shape from two reads of the board ID and two
  // writes of the memory address register (which only moves the memory
  // pointer every memory access sets anyway). False when an exchange failed.
  bool learnAnswerShape();
  const AnswerShape& answerShape() const { return shape; }
  // With a learned shape: sends two reads of the board ID back to back and
  // pipelines from then on when both answers come whole and in order. False
  // when they did not (the link is then dropped: open it again to go on one
  // frame at a time).
  bool tryPipelining();
  bool pipelining() const { return pipelined; }
  // Reads the answers of every frame still out: false when any failed (the
  // link is dropped then, as after any failed exchange).
  bool settle();
  bool closeLink();
  // One exchange: send the whole frame, then one receive into destination.
  bool transact(const uint8_t* frame, int32_t length, uint8_t* destination, int32_t capacity);

  bool regAccess(uint16_t write, uint16_t page, uint16_t address, uint16_t* value);
  bool writeMemBlock(uint8_t selector, uint32_t address, const uint8_t* data);
  bool readMemBlock(uint8_t selector, uint32_t address, uint8_t* destination);

  // Auxiliary reads: the link sends them and hands back the raw answers.
  // The buffer must hold 1024 bytes per exchange.
  bool auxReadRepeat(uint8_t selector, uint16_t count, uint8_t* buffer);
  bool auxReadPlain(uint8_t* buffer);
  bool auxReadIndexed(uint8_t selector, uint16_t count, uint8_t* buffer);
  bool auxReadAt(uint8_t selector, uint16_t index, uint8_t* buffer);
  bool auxReadDefault(uint8_t selector, uint8_t* buffer);
  bool auxRead4(uint8_t selector, uint8_t argument, uint8_t* buffer);
  bool auxRead3(uint8_t selector, uint8_t first, uint8_t second, uint8_t* buffer);

  // True while a connection is open and its byte stream can still be trusted.
  bool usable() const { return sock != platform::kInvalidSocket && !streamBroken; }

  // Why the last failed open or exchange failed (None after a success), so
  // that a caller can say "timed out" or "refused" rather than "failed".
  platform::SocketError lastFailure() const { return failure; }

  protocol::Frame cmdFrame{};
  std::array<uint8_t, protocol::kResponseCapacity> respBuffer{};
  platform::SocketHandle sock = platform::kInvalidSocket;
  uint16_t blockCounter = 0;
  uint8_t byteIndex = 0;
  const uint8_t* blockData = nullptr;
  int32_t lastResult = 0;
  // The board's TCP port, and how long a connect and one exchange (send and
  // answer together) may take.
  uint16_t boardPort = protocol::kBoardPort;
  int connectTimeoutMs = protocol::kConnectTimeoutMs;
  int exchangeTimeoutMs = protocol::kExchangeTimeoutMs;
  // Whether frames may go out ahead of answers with a board that takes it
  // (KESTREL_PIPELINE), and how many at most.
  bool pipelineAllowed = true;
  static constexpr int kWindow = 32;
  // Null unless tracing: then every exchange is logged (a null test is all
  // an exchange costs otherwise).
  std::unique_ptr<ExchangeTrace> trace;
  // Counters over the link's life: exchanges that failed (a call compares
  // them before and after to know whether any of its exchanges failed), and
  // stray bytes dropped before a frame was sent.
  uint64_t failedExchanges = 0;
  uint64_t staleBytesDropped = 0;

 private:
  // Sends the command frame and receives until the answer to `sent` is
  // whole, within one deadline; an answer out of the learned shape fails.
  bool exchange(const protocol::Command& sent, uint8_t* destination, int32_t capacity);
  // One probe of learnAnswerShape(): the exchange, then, when no more than
  // `expected` bytes came, a short wait for the rest of a split answer.
  bool probe(const protocol::Command& sent, int expected, uint8_t* answer, int capacity, int* bytes);
  // One round of probes: two reads of the board ID, or (once reads have a
  // shape) two writes of the memory pointer. False when an exchange failed.
  bool probeReadShape(AnswerShape* learned);
  bool probeWriteShape(AnswerShape* learned);
  // Pipelined: sends the command frame and notes its answer as due; reads
  // the oldest answer when the window is full.
  bool sendAhead(const protocol::Command& sent);
  // Reads and checks the oldest due answer, a copy of it into `answer` when given.
  bool takeAnswer(uint8_t* answer = nullptr);
  // Drops what arrived after the last whole answer, before a frame goes out
  // with no answer due (those bytes are nobody's answer).
  bool dropStrayBytes();
  void forgetDueAnswers();
  bool failExchange(platform::SocketError cause, int32_t result = -1);
  bool failOpen(platform::SocketError cause);
  // Arms the socket's send and receive time-outs to exchangeTimeoutMs when
  // they are not armed to it already.
  bool armExchangeTimeouts();
  void markBroken();
  void releaseSocket();
  void startAuxFrame(uint8_t subCommand);

  AnswerShape shape;
  bool pipelined = false;
  // Frames sent whose answers are still due, oldest first (a ring).
  struct DueAnswer {
    protocol::Command sent;
    ExchangeTrace::Clock::time_point sentAt;
  };
  std::array<DueAnswer, kWindow> due{};
  int dueFirst = 0;
  int dueCount = 0;
  // Answer bytes received but not yet taken: a receive may bring several
  // answers, or part of the next one.
  std::array<uint8_t, kWindow * protocol::kRegisterAnswerSize * 4 + protocol::kResponseCapacity> inbox{};
  int inboxStart = 0;
  int inboxEnd = 0;
  bool streamBroken = false;
  platform::SocketError failure = platform::SocketError::None;
  // The time-out the socket is armed with; 0 when it must be armed again.
  int armedTimeoutMs = 0;
};

}  // namespace kestrel
