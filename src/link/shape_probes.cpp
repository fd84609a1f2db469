// Learning the board's answer shape at connect: a few probes whose answers
// are known in advance (the board ID twice, two writes of the memory pointer).
#include "link/hw_layer.h"

namespace kestrel {

namespace p = protocol;
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
}  // namespace

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
  const p::Command readId = p::registerCommand(false, 0, p::reg::kBoardId, 0);
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
    const p::Command write = p::registerCommand(true, 0, p::reg::kMemoryAddress, kProbeValues[i]);
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

}  // namespace kestrel
