#include "link/hw_layer.h"

#include <cstring>

namespace kestrel {

namespace p = protocol;
using platform::kInvalidSocket;
using platform::SocketError;

namespace {
p::Command otherCommand() { return {}; }
}  // namespace

HwLayer::HwLayer() : HwLayer(linkSettingsFromEnvironment()) {}

HwLayer::HwLayer(const LinkSettings& settings)
    : boardPort(settings.port),
      connectTimeoutMs(settings.connectTimeoutMs),
      exchangeTimeoutMs(settings.exchangeTimeoutMs),
      pipelineAllowed(settings.pipeline),
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
  pipelined = false;
  forgetDueAnswers();
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
  pipelined = false;
  forgetDueAnswers();
  return lastResult == 0;
}

void HwLayer::markBroken() {
  // A late answer would otherwise be taken for the answer to the next frame.
  if (sock != kInvalidSocket && !streamBroken) platform::shutdownSocket(sock);
  streamBroken = true;
  forgetDueAnswers();  // their answers can no longer be told from anything else
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

bool HwLayer::dropStrayBytes() {
  // Bytes that arrived after the last answer was complete (a board that
  // answered more than we needed, or late) are nobody's answer: drop them so
  // they cannot be read as the start of the next one.
  const platform::Transfer stale = platform::discardPending(sock);
  const int dropped = stale.bytes + (inboxEnd - inboxStart);
  inboxStart = inboxEnd = 0;
  staleBytesDropped += static_cast<uint64_t>(dropped);
  if (trace) trace->staleBytesDropped(dropped);
  if (stale.ok()) return true;
  if (trace) trace->notSent(cmdFrame, stale.error);
  return failExchange(stale.error);
}

bool HwLayer::exchange(const p::Command& sent, uint8_t* destination, int32_t capacity) {
  if (dueCount > 0) settle();  // a failure there leaves the link unusable: this frame fails below
  if (!usable()) {
    const SocketError cause = sock == kInvalidSocket || failure == SocketError::None ? SocketError::Closed : failure;
    if (trace) trace->notSent(cmdFrame, cause);
    return failExchange(cause);
  }
  if (!dropStrayBytes()) return false;
  ExchangeTrace::Clock::time_point sentAt{};
  if (trace) sentAt = trace->sent(cmdFrame);
  if (!armExchangeTimeouts()) return failExchange(platform::systemError());
  const int64_t deadline = platform::monotonicMs() + armedTimeoutMs;
  bool rearmed = false;
  const platform::Transfer sentFrame =
      platform::sendAllArmed(sock, cmdFrame.data(), p::kFrameSize, deadline, &rearmed);
  if (!sentFrame.ok()) {
    if (rearmed) armedTimeoutMs = 0;
    if (trace) trace->received(sent, sentAt, destination, 0, sentFrame.error);
    return failExchange(sentFrame.error);
  }
  const platform::Transfer answer =
      platform::receiveAtLeast(sock, destination, capacity, shape.bytesNeeded(sent.kind), deadline, &rearmed);
  if (rearmed) armedTimeoutMs = 0;  // the next exchange gets its whole time-out again
  // A late byte of an earlier answer, or stray bytes that came after this
  // frame went out, show as an answer out of shape.
  const bool inShape = shape.fits(sent, destination) &&
                       shape.allowsAfter(sent, answer.bytes - shape.bytesNeeded(sent.kind));
  const SocketError outcome = !answer.ok() ? answer.error : !inShape ? SocketError::BadAnswer : SocketError::None;
  if (trace) trace->received(sent, sentAt, destination, answer.bytes, outcome);
  // A receive that saw the close leaves 0 as its result, as recv() does.
  if (outcome != SocketError::None) return failExchange(outcome, outcome == SocketError::Closed ? 0 : -1);
  lastResult = answer.bytes;
  failure = SocketError::None;
  return true;
}

bool HwLayer::regAccess(uint16_t write, uint16_t page, uint16_t address, uint16_t* value) {
  if (write != 0) {
    p::encodeRegisterWrite(cmdFrame, page, address, *value);
    const p::Command sent = p::registerCommand(true, page, address, *value);
    return pipelined ? sendAhead(sent) : exchange(sent, respBuffer.data(), p::kResponseCapacity);
  }
  p::encodeRegisterRead(cmdFrame, page, address);
  const bool ok = exchange(p::registerCommand(false, page, address), respBuffer.data(), p::kResponseCapacity);
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
  blockRead.address = address;
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
