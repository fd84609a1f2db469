// The synthesizer words of a finished 1800 MHz plan (156.25 MHz reference):
// VCO 3600 MHz at a 78.125 MHz phase detector, channel divider 2.
#pragma once

#include <array>
#include <cstdint>

namespace kestrel::sim::testing {

inline constexpr std::array<uint8_t, 43> kClock1800Registers{
    0,  1,  2,  4,  7,  8,  9,  10, 11, 12, 13, 14, 19, 20, 22, 23, 24, 25, 28, 29, 30, 31,
    32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 59, 61, 62, 64};

inline constexpr std::array<uint16_t, 43> kClock1800Words{
    0x221C, 0x0808, 0x0500, 0x1943, 0x28B2, 0x1084, 0x0302, 0x10D8, 0x0018, 0x7002, 0x4000,
    0x0420, 0x0965, 0x012C, 0x2300, 0x8842, 0x0509, 0x0000, 0x2924, 0x0084, 0x0034, 0x0601,
    0x210A, 0x2A0A, 0xC3EA, 0x021B, 0x0C11, 0x4000, 0x002E, 0x8204, 0x0000, 0x0019, 0x0000,
    0x0000, 0x0000, 0x0001, 0x0F23, 0x00CA, 0x03FC, 0x0000, 0x0001, 0x0000, 0x0077};

}  // namespace kestrel::sim::testing
