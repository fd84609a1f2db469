// The frame codec both ends use: what the link encodes, the emulator decodes
// to the same command, and the other way round for answers.
#include <gtest/gtest.h>

#include <numeric>

#include "protocol/frame_codec.h"

namespace kestrel::testing {
namespace {

namespace p = protocol;

TEST(FrameCodec, AddressWordRoundTripsEveryPageAndDirection) {
  for (uint16_t page = 0; page < p::kRegisterPages; ++page) {
    for (uint16_t reg : {0, 1, 20, 1042, 2047}) {
      for (bool write : {false, true}) {
        const p::RegisterAddress fields = p::decodeAddressWord(p::addressWord(page, reg, write));
        EXPECT_EQ(fields.page, page);
        EXPECT_EQ(fields.reg, reg);
        EXPECT_EQ(fields.write, write);
      }
    }
  }
}

TEST(FrameCodec, RegisterWriteBytesAndTheirDecoding) {
  p::Frame frame{};
  p::encodeRegisterWrite(frame, 5, 35, 0x1234);
  EXPECT_EQ(frame[0], 0xF0);
  EXPECT_EQ(frame[4], 0x23);
  EXPECT_EQ(frame[5], 0xA8);
  EXPECT_EQ(frame[6], 0x34);
  EXPECT_EQ(frame[7], 0x12);
  const p::Command command = p::decodeCommand(frame.data());
  EXPECT_EQ(command.kind, p::CommandKind::RegisterWrite);
  EXPECT_EQ(command.page, 5);
  EXPECT_EQ(command.reg, 35);
  EXPECT_EQ(command.value, 0x1234);
}

TEST(FrameCodec, RegisterReadLeavesTheValueBytesAlone) {
  p::Frame frame{};
  frame[6] = 0xAB;
  frame[7] = 0xCD;
  p::encodeRegisterRead(frame, 0, 20);
  EXPECT_EQ(frame[4], 20);
  EXPECT_EQ(frame[5], 0);
  EXPECT_EQ(frame[6], 0xAB);
  EXPECT_EQ(frame[7], 0xCD);
  const p::Command command = p::decodeCommand(frame.data());
  EXPECT_EQ(command.kind, p::CommandKind::RegisterRead);
  EXPECT_EQ(command.reg, 20);
  EXPECT_EQ(command.value, 0);
}

TEST(FrameCodec, BlockFramesCarryAddressSelectorAndData) {
  std::array<uint8_t, p::kBlockSize> data{};
  std::iota(data.begin(), data.end(), uint8_t{1});
  p::Frame frame{};
  p::encodeBlockWrite(frame, 3, 0x00015000, data.data());
  EXPECT_EQ(frame[0], 0xF1);
  EXPECT_EQ(frame[3], p::kBlockSize);
  EXPECT_EQ(frame[5], 0x00);
  EXPECT_EQ(frame[6], 0x50);
  EXPECT_EQ(frame[7], 0x01);
  p::Command command = p::decodeCommand(frame.data());
  EXPECT_EQ(command.kind, p::CommandKind::BlockWrite);
  EXPECT_EQ(command.selector, 3);
  EXPECT_EQ(command.address, 0x00015000u);
  ASSERT_NE(command.blockData, nullptr);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), command.blockData));

  p::encodeBlockRead(frame, 0, p::kCalibrationTableBase);
  command = p::decodeCommand(frame.data());
  EXPECT_EQ(command.kind, p::CommandKind::BlockRead);
  EXPECT_EQ(command.address, p::kCalibrationTableBase);
  EXPECT_EQ(command.blockData, nullptr);
}

TEST(FrameCodec, OtherFramesDecodeAsOther) {
  p::Frame frame{};
  frame[0] = p::kOpMemoryAndAux;
  frame[1] = p::kSubAux3;
  EXPECT_EQ(p::decodeCommand(frame.data()).kind, p::CommandKind::Other);
  frame[0] = 0x42;
  EXPECT_EQ(p::decodeCommand(frame.data()).kind, p::CommandKind::Other);
}

TEST(FrameCodec, RegisterAnswerRoundTrips) {
  std::array<uint8_t, p::kRegisterAnswerSize> answer{};
  p::encodeRegisterAnswer(answer.data(), 0x4B31);
  EXPECT_EQ(answer, (std::array<uint8_t, 4>{0xF0, 0x31, 0x4B, 0x00}));
  EXPECT_EQ(p::decodeRegisterAnswer(answer.data()), 0x4B31);
}

}  // namespace
}  // namespace kestrel::testing
