#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "synth/fraction.h"

namespace kestrel {
namespace {

constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();

struct FractionCase {
  double value;
  int32_t numerator;
  int32_t denominator;
};

void PrintTo(const FractionCase& c, std::ostream* os) {
  *os << c.value << " -> " << c.numerator << "/" << c.denominator;
}

class ApproximateFractionTest : public ::testing::TestWithParam<FractionCase> {};

TEST_P(ApproximateFractionTest, Convergent) {
  const auto [numerator, denominator] = approximateFraction(GetParam().value);
  EXPECT_EQ(numerator, GetParam().numerator);
  EXPECT_EQ(denominator, GetParam().denominator);
}

INSTANTIATE_TEST_SUITE_P(Exact, ApproximateFractionTest,
                         ::testing::Values(FractionCase{0.5, 1, 2}, FractionCase{0.25, 1, 4}, FractionCase{0.04, 1, 25},
                                           FractionCase{1.0 / 3.0, 1, 3}, FractionCase{0.1, 1, 10},
                                           FractionCase{0.75, 3, 4}, FractionCase{0.4, 2, 5}, FractionCase{0.6, 3, 5},
                                           FractionCase{0.888, 111, 125}, FractionCase{0.12345, 2469, 20000}));

INSTANTIATE_TEST_SUITE_P(NonPositive, ApproximateFractionTest,
                         ::testing::Values(FractionCase{0.0, 0, 1}, FractionCase{-0.0, 0, 1}, FractionCase{-0.25, 0, 1},
                                           FractionCase{-std::numeric_limits<double>::infinity(), 0, 1}));

INSTANTIATE_TEST_SUITE_P(PastTheBound, ApproximateFractionTest,
                         ::testing::Values(
                             // The first convergent's denominator (1e11) is already too large to
                             // hold: the result is the "does not fit" marker, read as fraction 0.
                             FractionCase{1e-11, 0, kInt32Min},
                             // The second convergent is too large: fall back to 1/1.
                             FractionCase{0.99999999999, 1, 1}));

TEST(ApproximateFraction, NotANumberOrInfinityGivesUnusableTerms) {
  for (double v : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    const auto [numerator, denominator] = approximateFraction(v);
    EXPECT_LT(numerator, 1) << v;
    EXPECT_LT(denominator, 1) << v;
  }
}

// Every value the planner can produce (at least 1/(2^31 - 1), below 1) gets
// a fraction that fits the registers and is accurate to the last convergent
// that fits: the error is below 1/(2^31 - 1).
TEST(ApproximateFraction, RandomValuesFitAndStayAccurate) {
  std::mt19937_64 generator(20240611);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (int n = 0; n < 200000; ++n) {
    // Spread over many magnitudes as well as uniformly.
    double v = uniform(generator);
    if (n % 2 == 1) {
      v = std::pow(10.0, -9.0 * uniform(generator));
    }
    if (v < 1.0 / 2147483647.0 || v >= 1.0) {
      continue;
    }
    const auto [numerator, denominator] = approximateFraction(v);
    ASSERT_GE(denominator, 1) << v;
    ASSERT_GE(numerator, 0) << v;
    ASSERT_LE(numerator, denominator) << v;
    ASSERT_LT(std::fabs(v - static_cast<double>(numerator) / denominator), 1.0 / 2147483647.0)
        << v << " -> " << numerator << "/" << denominator;
  }
}

// Convergents whose terms lie between 2^31 and 2^32 would not fit a signed
// register value; the one before them is taken instead.
TEST(ApproximateFraction, ConvergentBeyondSignedRangeIsSkipped) {
  // 1/3 + 1/(3 * 3 * 10^9): the convergent after 1/3 has a denominator of
  // about 3 * 10^9, between 2^31 and 2^32.
  const double v = 1.0 / 3.0 + 1.0 / 9e9;
  const auto [numerator, denominator] = approximateFraction(v);
  EXPECT_EQ(numerator, 1);
  EXPECT_EQ(denominator, 3);
}

}  // namespace
}  // namespace kestrel
