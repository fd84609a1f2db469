#include "link/hw_layer.h"

#include <cstring>

namespace kestrel {

namespace p = protocol;
using platform::kInvalidSocket;
using platform::SocketError;

namespace {
// While the shape is learned, the rest of an answer that came split gets
// this long to arrive.
constexpr int kShapeSettleMs = 50;
// The memory pointer values of the write probes: two different values, both
// addresses the library itself sets.
constexpr uint16_t kProbeValues[2] = {static_cast<uint16_t>(p::kSettingsBase),
                                      static_cast<uint16_t>(p::kCalibrationTableBase)};
constexpr int kShapeRounds = 3;
constexpr int kProbeCapacity = 64;

p::Command otherCommand() { return {}; }

p::Command registerCommand(bool write, uint16_t page, uint16_t reg, uint16_t value) {
  p::Command c;
  c.kind = write ? p::CommandKind::RegisterWrite : p::CommandKind::RegisterRead;
  c.page = page;
  c.reg = reg;
  c.value = write ? value : 0;
  return c;
}
}  // namespace

HwLayer::HwLayer() : HwLayer(linkSettingsFromEnvironment()) {}

HwLayer::HwLayer(const LinkSettings& settings)
    : boardPort(settings.port),
      connectTimeoutMs(settings.connectTimeoutMs),
      exchangeTimeoutMs(settings.exchangeTimeoutMs),
      trace(ExchangeTrace::open(settings.trace)) {}

HwLayer::~HwLayer() { releaseSocket(); }

void HwLayer::releaseSocket() {
  if (sock != kInvalidSocket) platform::closeSocket(sock);
  sock = kInvalidSocket;
}

bool HwLayer::failOpen(platform::SocketError cause) {
  lastResult = -1;
  failure = cause;
  releaseSocket();
  return false;
}

bool HwLayer::openLink(const char* address, uint16_t port) {
  platform::startSockets();
  releaseSocket();  // a new connection never leaks the previous one
  streamBroken = false;
  shape = {};
  armedTimeoutMs = 0;
  uint32_t peer = 0;
  if (!platform::parseIPv4(address, &peer)) {
    if (trace) trace->connected(address, port, SocketError::BadAddress);
    return failOpen(SocketError::BadAddress);
  }
  sock = platform::openTcpSocket();
  if (sock == kInvalidSocket) return failOpen(platform::systemError());
  if (platform::bindAnyLocal(sock) != 0) return failOpen(platform::systemError());
  const SocketError connected = platform::connectTimed(sock, peer, port, connectTimeoutMs);
  if (trace) trace->connected(address, port, connected);
  if (connected != SocketError::None) return failOpen(connected);
  // Armed once per connection: an exchange then costs one send and one
  // receive, no option calls.
  if (!armExchangeTimeouts()) return failOpen(platform::systemError());
  lastResult = 0;
  failure = SocketError::None;
  return true;
}

bool HwLayer::closeLink() {
  if (sock == kInvalidSocket) {
    lastResult = -1;
    return false;
  }
  lastResult = platform::closeSocket(sock);
  sock = kInvalidSocket;  // never close a descriptor number that may since have been reused
  streamBroken = false;
  return lastResult == 0;
}

void HwLayer::markBroken() {
  // A late answer would otherwise be taken for the answer to the next frame.
  if (sock != kInvalidSocket && !streamBroken) platform::shutdownSocket(sock);
  streamBroken = true;
}

bool HwLayer::transact(const uint8_t* frame, int32_t length, uint8_t* destination, int32_t capacity) {
  if (frame != cmdFrame.data()) {
    // Callers always pass the link's own frame; accept others by copying them in.
    const int32_t n = length < p::kFrameSize ? length : p::kFrameSize;
    if (n > 0) std::memcpy(cmdFrame.data(), frame, static_cast<size_t>(n));
  }
  return length == p::kFrameSize && exchange(otherCommand(), destination, capacity);
}

bool HwLayer::failExchange(SocketError cause, int32_t result) {
  lastResult = result;
  failure = cause;
  markBroken();
  ++failedExchanges;
  return false;
}

bool HwLayer::armExchangeTimeouts() {
  const int timeoutMs = exchangeTimeoutMs > 0 ? exchangeTimeoutMs : 1;  // 0 would mean "wait forever"
  if (armedTimeoutMs == timeoutMs) return true;
  using platform::Direction;
  if (platform::armTimeout(sock, Direction::Send, timeoutMs) != 0 ||
      platform::armTimeout(sock, Direction::Receive, timeoutMs) != 0)
    return false;
  armedTimeoutMs = timeoutMs;
  return true;
}

bool HwLayer::exchange(const p::Command& sent, uint8_t* destination, int32_t capacity) {
  if (!usable()) {
    const SocketError cause = sock == kInvalidSocket || failure == SocketError::None ? SocketError::Closed : failure;
    if (trace) trace->notSent(cmdFrame, cause);
    return failExchange(cause);
  }
  // Bytes that arrived after the last answer was complete (a board that
  // answered more than we needed, or late) are nobody's answer: drop them so
  // they cannot be read as the start of this one.
  const platform::Transfer stale = platform::discardPending(sock);
  staleBytesDropped += static_cast<uint64_t>(stale.bytes);
  if (trace) trace->staleBytesDropped(stale.bytes);
  if (!stale.ok()) {
    if (trace) trace->notSent(cmdFrame, stale.error);
    return failExchange(stale.error);
  }
  if (trace) trace->sent(cmdFrame);
  if (!armExchangeTimeouts()) return failExchange(platform::systemError());
  const int64_t deadline = platform::monotonicMs() + armedTimeoutMs;
  bool rearmed = false;
  const platform::Transfer sentFrame =
      platform::sendAllArmed(sock, cmdFrame.data(), p::kFrameSize, deadline, &rearmed);
  if (!sentFrame.ok()) {
    if (rearmed) armedTimeoutMs = 0;
    if (trace) trace->received(destination, 0, sentFrame.error);
    return failExchange(sentFrame.error);
  }
  const platform::Transfer answer =
      platform::receiveAtLeast(sock, destination, capacity, shape.bytesNeeded(sent.kind), deadline, &rearmed);
  if (rearmed) armedTimeoutMs = 0;  // the next exchange gets its whole time-out again
  // A late byte of an earlier answer, or stray bytes that came after this
  // frame went out, show as an answer out of shape.
  const SocketError outcome = !answer.ok()                      ? answer.error
                              : !shape.fits(sent, destination) ? SocketError::BadAnswer
                                                               : SocketError::None;
  if (trace) trace->received(destination, answer.bytes, outcome);
  // A receive that saw the close leaves 0 as its result, as recv() does.
  if (outcome != SocketError::None) return failExchange(outcome, outcome == SocketError::Closed ? 0 : -1);
  lastResult = answer.bytes;
  failure = SocketError::None;
  return true;
}

bool HwLayer::probe(const p::Command& sent, int expected, uint8_t* answer, int capacity, int* bytes) {
  if (!exchange(sent, answer, capacity)) return false;
  *bytes = lastResult;
  const int64_t settleEnd = platform::monotonicMs() + kShapeSettleMs;
  while (*bytes <= expected && *bytes < capacity) {
    const int64_t left = settleEnd - platform::monotonicMs();
    if (left <= 0 || platform::waitReadable(sock, static_cast<int>(left)) <= 0) break;
    const int n = platform::receiveSome(sock, answer + *bytes, capacity - *bytes);
    if (n == platform::kInterrupted) continue;
    if (n <= 0) return failExchange(n == 0 ? SocketError::Closed : platform::systemError(), n);
    *bytes += n;
  }
  return true;
}

bool HwLayer::probeReadShape(AnswerShape* learned) {
  uint8_t answers[2][kProbeCapacity]{};
  int bytes[2]{};
  const p::Command readId = registerCommand(false, 0, p::reg::kBoardId, 0);
  for (int i = 0; i < 2; ++i) {
    p::encodeRegisterRead(cmdFrame, readId.page, readId.reg);
    if (!probe(readId, p::kRegisterReadAnswerBytes, answers[i], kProbeCapacity, &bytes[i])) return false;
  }
  *learned = learnReadShape(answers[0], bytes[0], answers[1], bytes[1]);
  return true;
}

bool HwLayer::probeWriteShape(AnswerShape* learned) {
  uint8_t answers[2][kProbeCapacity]{};
  int bytes[2]{};
  for (int i = 0; i < 2; ++i) {
    const p::Command write = registerCommand(true, 0, p::reg::kMemoryAddress, kProbeValues[i]);
    p::encodeRegisterWrite(cmdFrame, write.page, write.reg, write.value);
    if (!probe(write, learned->registerAnswerBytes - 1, answers[i], kProbeCapacity, &bytes[i])) return false;
  }
  learnWriteShape(*learned, answers[0], bytes[0], kProbeValues[0], answers[1], bytes[1], kProbeValues[1]);
  return true;
}

bool HwLayer::learnAnswerShape() {
  shape = {};
  // A stray byte or an answer split past the settling time spoils a round;
  // a board whose answers have a shape shows it in one of a few.
  AnswerShape learned;
  for (int round = 0; round < kShapeRounds && !learned.learned; ++round)
    if (!probeReadShape(&learned)) return false;
  for (int round = 0; round < kShapeRounds && learned.learned && !learned.writesShaped; ++round)
    if (!probeWriteShape(&learned)) return false;
  shape = learned;
  if (trace) trace->note(shape.describe());
  return true;
}

bool HwLayer::regAccess(uint16_t write, uint16_t page, uint16_t address, uint16_t* value) {
  if (write != 0) {
    p::encodeRegisterWrite(cmdFrame, page, address, *value);
    return exchange(registerCommand(true, page, address, *value), respBuffer.data(), p::kResponseCapacity);
  }
  p::encodeRegisterRead(cmdFrame, page, address);
  const bool ok = exchange(registerCommand(false, page, address, 0), respBuffer.data(), p::kResponseCapacity);
  lastResult = ok ? 1 : 0;
  *value = p::decodeRegisterAnswer(respBuffer.data());
  return ok;
}

bool HwLayer::writeMemBlock(uint8_t selector, uint32_t address, const uint8_t* data) {
  blockData = data;
  p::encodeBlockWrite(cmdFrame, selector, address, blockData);
  byteIndex = p::kBlockSize;
  blockData = nullptr;
  return exchange(otherCommand(), respBuffer.data(), p::kResponseCapacity);
}

bool HwLayer::readMemBlock(uint8_t selector, uint32_t address, uint8_t* destination) {
  p::encodeBlockRead(cmdFrame, selector, address);
  p::Command blockRead;
  blockRead.kind = p::CommandKind::BlockRead;
  const bool ok = exchange(blockRead, respBuffer.data(), p::kResponseCapacity);
  lastResult = ok ? 1 : 0;
  std::memcpy(destination, respBuffer.data(), p::kBlockSize);
  return ok;
}

void HwLayer::startAuxFrame(uint8_t subCommand) {
  cmdFrame[p::kOffOpcode] = p::kOpMemoryAndAux;
  cmdFrame[p::kOffSubCommand] = subCommand;
}

bool HwLayer::auxReadRepeat(uint8_t selector, uint16_t count, uint8_t* buffer) {
  startAuxFrame(p::kSubAuxRepeat);
  cmdFrame[p::kOffAuxSelector] = selector;
  bool ok = true;
  for (blockCounter = 0; blockCounter < count; ++blockCounter) {
    ok = exchange(otherCommand(), buffer + static_cast<size_t>(p::kResponseCapacity) * blockCounter, p::kResponseCapacity) && ok;
    lastResult = ok ? 1 : 0;
  }
  return ok;
}

bool HwLayer::auxReadPlain(uint8_t* buffer) {
  startAuxFrame(p::kSubAuxRepeat);
  return exchange(otherCommand(), buffer, p::kResponseCapacity);
}

bool HwLayer::auxReadIndexed(uint8_t selector, uint16_t count, uint8_t* buffer) {
  startAuxFrame(p::kSubAuxRepeat);
  cmdFrame[p::kOffAuxSelector] = selector;
  cmdFrame[p::kOffAuxArg2] = 0;
  bool ok = true;
  for (blockCounter = 0; blockCounter < count; ++blockCounter) {
    cmdFrame[p::kOffAuxArg1] = static_cast<uint8_t>(blockCounter);
    ok = exchange(otherCommand(), buffer + static_cast<size_t>(p::kResponseCapacity) * blockCounter, p::kResponseCapacity) && ok;
  }
  return ok;
}

bool HwLayer::auxReadAt(uint8_t selector, uint16_t index, uint8_t* buffer) {
  startAuxFrame(p::kSubAuxRepeat);
  cmdFrame[p::kOffAuxSelector] = selector;
  cmdFrame[p::kOffAuxArg1] = static_cast<uint8_t>(index);
  cmdFrame[p::kOffAuxArg2] = 0;
  return exchange(otherCommand(), buffer + static_cast<size_t>(p::kResponseCapacity) * index, p::kResponseCapacity);
}

bool HwLayer::auxReadDefault(uint8_t selector, uint8_t* buffer) {
  startAuxFrame(p::kSubAuxRepeat);
  cmdFrame[p::kOffAuxSelector] = selector;
  cmdFrame[p::kOffAuxArg1] = 0x7F;
  cmdFrame[p::kOffAuxArg2] = 0x7F;
  return exchange(otherCommand(), buffer, p::kResponseCapacity);
}

bool HwLayer::auxRead4(uint8_t selector, uint8_t argument, uint8_t* buffer) {
  startAuxFrame(p::kSubAux4);
  cmdFrame[p::kOffAuxSelector] = selector;
  cmdFrame[p::kOffAuxArg1] = argument;
  cmdFrame[p::kOffAuxArg2] = 0x7F;
  return exchange(otherCommand(), buffer, p::kResponseCapacity);
}

bool HwLayer::auxRead3(uint8_t selector, uint8_t first, uint8_t second, uint8_t* buffer) {
  startAuxFrame(p::kSubAux3);
  cmdFrame[p::kOffAuxSelector] = selector;
  cmdFrame[p::kOffAuxArg1] = first;
  cmdFrame[p::kOffAuxArg2] = second;
  return exchange(otherCommand(), buffer, p::kResponseCapacity);
}

}  // namespace kestrel
