#include "protocol/frame_codec.h"

#include <cstring>

namespace kestrel::protocol {

static_assert(kRespValueHigh == kRespValueLow + 1, "answer values are little-endian pairs");
static_assert(kOffValueHigh == kOffValueLow + 1 && kOffAddressHigh == kOffAddressLow + 1);

namespace {

void putLe16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value & 0xFF);
  at[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t le16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

void putLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t le32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
         (static_cast<uint32_t>(at[3]) << 24);
}

void encodeRegisterHeader(Frame& frame, uint16_t page, uint16_t reg, bool write) {
  frame[kOffOpcode] = kOpRegisterAccess;
  putLe16(frame.data() + kOffAddressLow, addressWord(page, reg, write));
}

void encodeBlockHeader(Frame& frame, uint8_t direction, uint8_t selector, uint32_t address) {
  frame[kOffOpcode] = kOpMemoryAndAux;
  frame[kOffSubCommand] = kSubMemoryBlock;
  frame[kOffDirection] = direction;
  frame[kOffBlockLength] = kBlockSize;
  frame[kOffSelector] = selector;
  putLe32(frame.data() + kOffMemoryAddress, address);
}

}  // namespace

void encodeRegisterRead(Frame& frame, uint16_t page, uint16_t reg) { encodeRegisterHeader(frame, page, reg, false); }

void encodeRegisterWrite(Frame& frame, uint16_t page, uint16_t reg, uint16_t value) {
  encodeRegisterHeader(frame, page, reg, true);
  putLe16(frame.data() + kOffValueLow, value);
}

void encodeBlockRead(Frame& frame, uint8_t selector, uint32_t address) {
  encodeBlockHeader(frame, kDirectionRead, selector, address);
}

void encodeBlockWrite(Frame& frame, uint8_t selector, uint32_t address, const uint8_t* data) {
  encodeBlockHeader(frame, kDirectionWrite, selector, address);
  std::memcpy(frame.data() + kOffBlockData, data, kBlockSize);
}

Command decodeCommand(const uint8_t* frame) {
  Command command;
  const uint8_t opcode = frame[kOffOpcode];
  if (opcode == kOpRegisterAccess) {
    const RegisterAddress address = decodeAddressWord(le16(frame + kOffAddressLow));
    command.kind = address.write ? CommandKind::RegisterWrite : CommandKind::RegisterRead;
    command.page = address.page;
    command.reg = address.reg;
    if (address.write) command.value = le16(frame + kOffValueLow);
  } else if (opcode == kOpMemoryAndAux && frame[kOffSubCommand] == kSubMemoryBlock) {
    const uint8_t direction = frame[kOffDirection];
    if (direction == kDirectionRead || direction == kDirectionWrite) {
      command.kind = direction == kDirectionRead ? CommandKind::BlockRead : CommandKind::BlockWrite;
      command.selector = frame[kOffSelector];
      command.address = le32(frame + kOffMemoryAddress);
      if (direction == kDirectionWrite) command.blockData = frame + kOffBlockData;
    }
  }
  return command;
}

void encodeRegisterAnswer(uint8_t* answer, uint16_t value) {
  answer[0] = kOpRegisterAccess;
  putLe16(answer + kRespValueLow, value);
  answer[3] = 0;
}

uint16_t decodeRegisterAnswer(const uint8_t* answer) { return le16(answer + kRespValueLow); }

}  // namespace kestrel::protocol
