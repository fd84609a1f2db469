// Frames sent ahead of their answers. A board reads its TCP stream one frame
// at a time and answers each in turn, so writes need not wait for the answer
// before them; the learned answer shape says where each answer ends.
#include <cstring>

#include "link/hw_layer.h"

namespace kestrel {

namespace p = protocol;
using platform::SocketError;

void HwLayer::forgetDueAnswers() {
  dueFirst = dueCount = 0;
  inboxStart = inboxEnd = 0;
}

bool HwLayer::tryPipelining() {
  pipelined = false;
  if (!pipelineAllowed || !shape.learned || !shape.writesShaped || shape.padded) {
    if (trace) trace->note("one frame at a time");
    return true;
  }
  // Two reads of the board ID back to back: both answers must come whole,
  // in order and alike.
  pipelined = true;
  const uint64_t failuresBefore = failedExchanges;
  std::array<std::array<uint8_t, p::kResponseCapacity>, 2> answers{};
  bool ok = true;
  for (int i = 0; i < 2 && ok; ++i) {
    p::encodeRegisterRead(cmdFrame, 0, p::reg::kBoardId);
    ok = sendAhead(p::registerCommand(false, 0, p::reg::kBoardId));
  }
  for (int i = 0; i < 2 && ok; ++i) ok = takeAnswer(answers[static_cast<size_t>(i)].data());
  ok = ok && p::decodeRegisterAnswer(answers[0].data()) == p::decodeRegisterAnswer(answers[1].data());
  if (!ok) {
    // A probe, not a request: its failure only decides the mode.
    failedExchanges = failuresBefore;
    pipelined = false;
    markBroken();
  }
  if (trace) trace->note(ok ? "frames go out ahead of answers, up to " + std::to_string(kWindow)
                            : "frames sent back to back were not answered in turn: one frame at a time");
  return ok;
}

bool HwLayer::sendAhead(const p::Command& sent) {
  if (!usable()) {
    const SocketError cause = sock == platform::kInvalidSocket || failure == SocketError::None ? SocketError::Closed
                                                                                                 : failure;
    if (trace) trace->notSent(cmdFrame, cause);
    return failExchange(cause);
  }
  if (dueCount == 0 && !dropStrayBytes()) return false;
  ExchangeTrace::Clock::time_point sentAt{};
  if (trace) sentAt = trace->sent(cmdFrame);
  if (!armExchangeTimeouts()) return failExchange(platform::systemError());
  bool rearmed = false;
  const platform::Transfer out = platform::sendAllArmed(sock, cmdFrame.data(), p::kFrameSize,
                                                        platform::monotonicMs() + armedTimeoutMs, &rearmed);
  if (rearmed) armedTimeoutMs = 0;
  if (!out.ok()) {
    if (trace) trace->received(sent, sentAt, nullptr, 0, out.error);
    return failExchange(out.error);
  }
  due[static_cast<size_t>((dueFirst + dueCount) % kWindow)] = {sent, sentAt};
  ++dueCount;
  lastResult = p::kFrameSize;
  return dueCount < kWindow || takeAnswer();
}

bool HwLayer::takeAnswer(uint8_t* answer) {
  const DueAnswer oldest = due[static_cast<size_t>(dueFirst)];
  const int needed = shape.bytesNeeded(oldest.sent.kind);
  if (inboxEnd - inboxStart < needed) {
    // Room for the rest of this answer and whatever follows it.
    std::memmove(inbox.data(), inbox.data() + inboxStart, static_cast<size_t>(inboxEnd - inboxStart));
    inboxEnd -= inboxStart;
    inboxStart = 0;
    if (!armExchangeTimeouts()) return failExchange(platform::systemError());
    bool rearmed = false;
    const platform::Transfer in =
        platform::receiveAtLeast(sock, inbox.data() + inboxEnd, static_cast<int>(inbox.size()) - inboxEnd,
                                 needed - inboxEnd, platform::monotonicMs() + armedTimeoutMs, &rearmed);
    if (rearmed) armedTimeoutMs = 0;
    inboxEnd += in.bytes;
    if (!in.ok()) {
      if (trace) trace->received(oldest.sent, oldest.sentAt, inbox.data(), inboxEnd, in.error);
      return failExchange(in.error, in.error == SocketError::Closed ? 0 : -1);
    }
  }
  const uint8_t* whole = inbox.data() + inboxStart;
  inboxStart += needed;
  dueFirst = (dueFirst + 1) % kWindow;
  --dueCount;
  if (answer != nullptr) std::memcpy(answer, whole, static_cast<size_t>(needed));
  const int after = dueCount == 0 ? inboxEnd - inboxStart : 0;
  const bool inShape = shape.fits(oldest.sent, whole) && shape.allowsAfter(oldest.sent, after);
  const SocketError outcome = inShape ? SocketError::None : SocketError::BadAnswer;
  if (trace) trace->received(oldest.sent, oldest.sentAt, whole, needed, outcome);
  if (outcome != SocketError::None) return failExchange(outcome);
  return true;
}

bool HwLayer::settle() {
  while (dueCount > 0)
    if (!takeAnswer()) return false;  // the rest are dropped with the link
  return true;
}

}  // namespace kestrel
