// The arithmetic of the FM controls: pure functions, checked alone.
#pragma once

#include <array>
#include <cstdint>

namespace kestrel {

// The FM table entry for a custom rate: the first entry at or above it.
uint16_t fmIndexForFrequency(double frequencyMHz);

// c4·x⁴ + c3·x³ + c2·x² + c1·x + c0 with the additions in this order.
double evaluatePolynomial(const std::array<double, 5>& coefficients, double x);

// The FM amplitude register value for a calibrated amplitude.
uint16_t calibratedRegisterValue(double y);

}  // namespace kestrel
