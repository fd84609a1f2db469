#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrel {

inline constexpr std::size_t kSynthImageWords = 43;

// Synthesizer registers carried by the image, in image order (ascending).
// Registers not listed here keep their power-on values on the chip.
inline constexpr std::array<uint8_t, kSynthImageWords> kSynthImageRegisters = {
    0,  1,  2,  4,  7,  8,  9,  10, 11, 12, 13, 14, 19, 20, 22, 23, 24, 25, 28, 29, 30, 31,
    32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 59, 61, 62, 64};

// An image word: register number in bits 23:16, register value in 15:0.
inline constexpr uint16_t imageWordValue(uint32_t word) { return static_cast<uint16_t>(word & 0xFFFFu); }
inline constexpr uint8_t imageWordRegister(uint32_t word) { return static_cast<uint8_t>((word >> 16) & 0xFFu); }

}  // namespace kestrel
