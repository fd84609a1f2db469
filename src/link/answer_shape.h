// How a board lays out its register answers, learned from its first whole
// answers after connect. A host that knows the shape waits for whole answers
// and refuses one that departs from it, so that a late byte of one answer is
// never read as the start of the next, and stray bytes that arrive after a
// frame went out are caught instead of taken for its answer.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/frame_codec.h"

namespace kestrel {

struct AnswerShape {
  // False: the board showed no stable shape, and answers are taken as they
  // come (3 bytes of a register read, 1 of anything else, nothing checked).
  bool learned = false;
  // Bytes of a register answer; those past the value (bytes 1 and 2) are 0.
  int registerAnswerBytes = protocol::kRegisterReadAnswerBytes;
  // Byte 0 of a register answer repeats the frame's opcode.
  bool echoesOpcode = false;
  // Write answers have the read answers' shape ...
  bool writesShaped = false;
  // ... and carry the value written in bytes 1 and 2.
  bool writeEchoesValue = false;
  // Some answer came with bytes after it: in a stream of answers those bytes
  // would hide where the next one starts.
  bool padded = false;

  // How many answer bytes make the answer to this command whole.
  int bytesNeeded(protocol::CommandKind kind) const;
  // Whether a whole answer (bytesNeeded() bytes) fits the shape.
  bool fits(const protocol::Command& sent, const uint8_t* answer) const;
  // Whether `bytes` more bytes may follow the whole answer to `sent` with
  // nothing else due: a board that never pads has answered no more than
  // asked, so more means the answer started early (stray bytes before it).
  bool allowsAfter(const protocol::Command& sent, int bytes) const;
  // One line for the trace.
  std::string describe() const;
};

// What two whole answers to the same register read share: the learned shape,
// or an unlearned one when they differ before the value ends or do not
// echo the opcode alike. `a` and `b` hold every byte that came.
AnswerShape learnReadShape(const uint8_t* a, int aBytes, const uint8_t* b, int bBytes);

// Completes the shape with what two whole answers to register writes of two
// different values say: whether writes have the read answers' shape, whether
// they echo the value written, and whether the board pads its answers.
void learnWriteShape(AnswerShape& shape, const uint8_t* first, int firstBytes, uint16_t firstValue,
                     const uint8_t* second, int secondBytes, uint16_t secondValue);

}  // namespace kestrel
