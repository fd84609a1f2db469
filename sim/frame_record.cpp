#include "frame_record.h"

#include <cstdio>
#include <cstring>

#include "protocol/board_protocol.h"

namespace kestrel::sim {

namespace proto = kestrel::protocol;

namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

FrameRecord decodeFrame(const uint8_t* frame) {
  FrameRecord record;
  std::memcpy(record.raw.data(), frame, record.raw.size());
  const uint8_t opcode = frame[proto::kOffOpcode];
  if (opcode == proto::kOpRegisterAccess) {
    const uint16_t word = le16(frame + proto::kOffAddressLow);
    record.kind = (word & proto::kWriteBit) ? FrameKind::RegisterWrite : FrameKind::RegisterRead;
    record.page = static_cast<uint16_t>((word >> proto::kPageShift) & proto::kPageMask);
    record.reg = static_cast<uint16_t>(word & proto::kRegisterMask);
    if (record.kind == FrameKind::RegisterWrite) record.value = le16(frame + proto::kOffValueLow);
  } else if (opcode == proto::kOpMemoryAndAux && frame[proto::kOffSubCommand] == proto::kSubMemoryBlock) {
    const uint8_t direction = frame[proto::kOffDirection];
    if (direction == proto::kDirectionRead || direction == proto::kDirectionWrite) {
      record.kind = direction == proto::kDirectionRead ? FrameKind::BlockRead : FrameKind::BlockWrite;
      record.address = le32(frame + proto::kOffMemoryAddress);
    }
  }
  return record;
}

std::string describeFrame(uint64_t number, const FrameRecord& r) {
  char detail[120];
  switch (r.kind) {
    case FrameKind::RegisterRead:
    case FrameKind::RegisterWrite:
      std::snprintf(detail, sizeof detail, "%s page %u register %u value 0x%04X",
                    r.kind == FrameKind::RegisterRead ? "read" : "write", static_cast<unsigned>(r.page),
                    static_cast<unsigned>(r.reg), static_cast<unsigned>(r.value));
      break;
    case FrameKind::BlockRead:
    case FrameKind::BlockWrite:
      std::snprintf(detail, sizeof detail, "block %s address %lu (0x%08lX)",
                    r.kind == FrameKind::BlockRead ? "read" : "write", static_cast<unsigned long>(r.address),
                    static_cast<unsigned long>(r.address));
      break;
    case FrameKind::Other:
      std::snprintf(detail, sizeof detail, "other opcode 0x%02X sub-command 0x%02X",
                    static_cast<unsigned>(r.raw[proto::kOffOpcode]), static_cast<unsigned>(r.raw[proto::kOffSubCommand]));
      break;
  }
  return "frame " + std::to_string(number) + ": " + detail;
}

}  // namespace kestrel::sim
