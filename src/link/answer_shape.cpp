#include "link/answer_shape.h"

#include <algorithm>

namespace kestrel {

namespace p = protocol;

namespace {

// Longer register answers than this are not a shape but a stream of noise.
constexpr int kLongestRegisterAnswer = 16;

bool isRegisterCommand(p::CommandKind kind) {
  return kind == p::CommandKind::RegisterRead || kind == p::CommandKind::RegisterWrite;
}

// Byte 0 and the bytes past the value, as the read answers showed them.
bool framingFits(const AnswerShape& shape, const uint8_t* answer) {
  if (shape.echoesOpcode && answer[p::kOffOpcode] != p::kOpRegisterAccess) return false;
  for (int i = p::kRegisterReadAnswerBytes; i < shape.registerAnswerBytes; ++i)
    if (answer[i] != 0) return false;
  return true;
}

bool writeAnswerFits(const AnswerShape& shape, const uint8_t* answer, int bytes) {
  return bytes >= shape.registerAnswerBytes && framingFits(shape, answer);
}

}  // namespace

int AnswerShape::bytesNeeded(p::CommandKind kind) const {
  if (learned && kind == p::CommandKind::RegisterRead) return registerAnswerBytes;
  if (learned && writesShaped && kind == p::CommandKind::RegisterWrite) return registerAnswerBytes;
  return p::answerBytesNeeded(kind);
}

bool AnswerShape::fits(const p::Command& sent, const uint8_t* answer) const {
  if (!learned || !isRegisterCommand(sent.kind)) return true;
  if (sent.kind == p::CommandKind::RegisterWrite) {
    if (!writesShaped) return true;
    if (writeEchoesValue && p::decodeRegisterAnswer(answer) != sent.value) return false;
  }
  return framingFits(*this, answer);
}

bool AnswerShape::allowsAfter(const p::Command& sent, int bytes) const {
  const bool framed = isRegisterCommand(sent.kind) || sent.kind == p::CommandKind::BlockRead;
  return bytes == 0 || !learned || padded || !framed ||
         (sent.kind == p::CommandKind::RegisterWrite && !writesShaped);
}

std::string AnswerShape::describe() const {
  if (!learned) return "answer shape: none stable, answers taken as they come";
  std::string text = "answer shape: register answers of " + std::to_string(registerAnswerBytes) + " bytes";
  text += echoesOpcode ? ", opcode echoed" : ", no opcode echo";
  if (padded) text += ", padded";
  if (!writesShaped) return text + ", write answers unchecked";
  return text + (writeEchoesValue ? ", writes echo their value" : ", writes do not echo their value");
}

AnswerShape learnReadShape(const uint8_t* a, int aBytes, const uint8_t* b, int bBytes) {
  AnswerShape shape;
  const int common = std::min({aBytes, bBytes, kLongestRegisterAnswer});
  if (common < p::kRegisterReadAnswerBytes) return shape;
  // The same register read twice: the two answers agree up to the value.
  if (!std::equal(a, a + p::kRegisterReadAnswerBytes, b)) return shape;
  shape.learned = true;
  shape.echoesOpcode = a[p::kOffOpcode] == p::kOpRegisterAccess;
  int length = p::kRegisterReadAnswerBytes;
  while (length < common && a[length] == 0 && b[length] == 0) ++length;
  shape.registerAnswerBytes = length;
  shape.padded = aBytes > length || bBytes > length;
  return shape;
}

void learnWriteShape(AnswerShape& shape, const uint8_t* first, int firstBytes, uint16_t firstValue,
                     const uint8_t* second, int secondBytes, uint16_t secondValue) {
  shape.writesShaped = shape.learned && writeAnswerFits(shape, first, firstBytes) &&
                       writeAnswerFits(shape, second, secondBytes);
  shape.writeEchoesValue = shape.writesShaped && p::decodeRegisterAnswer(first) == firstValue &&
                           p::decodeRegisterAnswer(second) == secondValue;
  shape.padded = shape.padded || firstBytes > shape.registerAnswerBytes || secondBytes > shape.registerAnswerBytes;
}

}  // namespace kestrel
