// The frame codec: how register and memory-block commands and their answers
// are laid out in bytes. The link encodes with it and the emulator decodes
// with it (and the other way round for answers), so the two ends cannot
// drift apart.
#pragma once

#include <array>
#include <cstdint>

#include "protocol/board_protocol.h"

namespace kestrel::protocol {

using Frame = std::array<uint8_t, kFrameSize>;

// The fields of an address word (see addressWord()).
struct RegisterAddress {
  uint16_t page = 0;
  uint16_t reg = 0;
  bool write = false;
};

constexpr RegisterAddress decodeAddressWord(uint16_t word) {
  return {static_cast<uint16_t>((word >> kPageShift) & kPageMask), static_cast<uint16_t>(word & kRegisterMask),
          (word & kWriteBit) != 0};
}

// The encoders write only the bytes their command uses and leave the rest of
// the frame as it was: the board ignores them, and a frame is reused from
// one command to the next.
void encodeRegisterRead(Frame& frame, uint16_t page, uint16_t reg);
void encodeRegisterWrite(Frame& frame, uint16_t page, uint16_t reg, uint16_t value);
void encodeBlockRead(Frame& frame, uint8_t selector, uint32_t address);
// data: kBlockSize bytes.
void encodeBlockWrite(Frame& frame, uint8_t selector, uint32_t address, const uint8_t* data);

enum class CommandKind { RegisterRead, RegisterWrite, BlockRead, BlockWrite, Other };

// One command frame as the board reads it.
struct Command {
  CommandKind kind = CommandKind::Other;
  uint16_t page = 0;                  // register commands
  uint16_t reg = 0;
  uint16_t value = 0;                 // register writes
  uint8_t selector = 0;               // block commands
  uint32_t address = 0;
  const uint8_t* blockData = nullptr;  // block writes: kBlockSize bytes inside the frame
};

// frame: kFrameSize bytes.
Command decodeCommand(const uint8_t* frame);

// The register command a host sends (a read carries no value).
constexpr Command registerCommand(bool write, uint16_t page, uint16_t reg, uint16_t value = 0) {
  Command c;
  c.kind = write ? CommandKind::RegisterWrite : CommandKind::RegisterRead;
  c.page = page;
  c.reg = reg;
  c.value = write ? value : 0;
  return c;
}

// A register answer: the opcode, the value (least significant byte first)
// and a zero, kRegisterAnswerSize bytes.
void encodeRegisterAnswer(uint8_t* answer, uint16_t value);
// The value of a register answer of at least kRegisterReadAnswerBytes bytes.
uint16_t decodeRegisterAnswer(const uint8_t* answer);

// How many answer bytes a host needs before it can take the answer as whole.
// A frame whose answer the host does not decode still needs one byte of it:
// without an answer the board may not have taken the frame.
constexpr int answerBytesNeeded(CommandKind kind) {
  if (kind == CommandKind::RegisterRead) return kRegisterReadAnswerBytes;
  if (kind == CommandKind::BlockRead) return kBlockSize;
  return 1;
}

}  // namespace kestrel::protocol
