#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "image_decode.h"
#include "synth/synth_model.h"

namespace kestrel {
namespace {

constexpr double kReference = 156.25;
constexpr int32_t kOption = 19;

std::vector<double> sweepRequests() {
  std::vector<double> requests;
  for (int mhz = 21; mhz <= 5499; ++mhz) {
    requests.push_back(mhz);
  }
  std::mt19937_64 generator(0x5EED5EEDull);
  std::uniform_real_distribution<double> anywhere(20.0, 5500.0);
  std::uniform_real_distribution<double> low(20.0, 200.0);
  for (int n = 0; n < 3000; ++n) {
    double f = (n % 4 == 0) ? low(generator) : anywhere(generator);
    if (f <= 20.0 || f >= 5500.0) {
      continue;
    }
    requests.push_back(f);
  }
  // Around the switch from divided to direct output.
  for (double f : {3549.0, 3549.4999, 3549.5, 3549.9, 3550.0, 5499.4, 5499.5, 5499.99}) {
    requests.push_back(f);
  }
  return requests;
}

double relative(double got, double want) { return std::fabs(got - want) / std::fabs(want); }

// The register image is what reaches the chip: decode the output frequency
// it programs and hold it against both the model and the request.
TEST(PlanProperty, ImageProgramsTheRequestedFrequency) {
  SynthModel m;
  int failures = 0;
  for (double request : sweepRequests()) {
    ASSERT_EQ(m.configure(kReference, request, kOption), 1);
    const testing::DecodedPlan decoded = testing::decodeImage(m, kReference);

    EXPECT_LT(relative(decoded.outputAFrequency, m.outputAFrequency), 1e-12)
        << "request " << request << ": image " << decoded.outputAFrequency << ", model " << m.outputAFrequency;
    EXPECT_EQ(decoded.nInteger, m.nInteger) << request;

    const double whole = std::round(request);
    const double expected = (whole <= 3549.9) ? request : std::min(whole, 5500.0);
    if (relative(m.outputAFrequency, expected) >= 1e-12) {
      ++failures;
      ADD_FAILURE() << "request " << request << " gives " << m.outputAFrequency << " (N " << m.nInteger << " + "
                    << m.fractionNumerator << "/" << m.fractionDenominator << ")";
    }
    // Output B is planned for the same frequency.
    EXPECT_EQ(m.outputBFrequency, m.outputAFrequency) << request;
    // The plan stays inside the chip's ranges.
    EXPECT_GE(m.vcoFrequency, 3550.0 * (1 - 1e-12)) << request;
    EXPECT_LE(m.vcoFrequency, 7100.0 * (1 + 1e-12)) << request;
    EXPECT_GE(m.pdFrequency, 0.25) << request;
    EXPECT_LE(m.pdFrequency, 200.01) << request;
    if (failures > 20) {
      FAIL() << "too many failures";
    }
  }
}

// Nothing a caller passes may crash, hang or leave the settings outside the
// ranges the register fields can express.
TEST(PlanProperty, AnyDoubleIsPlannedWithoutHarm) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double values[] = {nan,
                           inf,
                           -inf,
                           0.0,
                           -0.0,
                           -1.0,
                           -156.25,
                           1e-300,
                           1e-9,
                           0.3,
                           20.0,
                           156.25,
                           5500.0,
                           1e9,
                           1e300,
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::denorm_min()};
  for (double reference : values) {
    for (double frequency : values) {
      for (int32_t option : {19, 0, 7, 42}) {
        SynthModel m;
        ASSERT_EQ(m.configure(reference, frequency, option), 1) << reference << " " << frequency;
        EXPECT_GE(m.preDivider, 1);
        EXPECT_LE(m.preDivider, 128);
        EXPECT_GE(m.postDivider, 1);
        EXPECT_LE(m.postDivider, 128);
        EXPECT_GE(m.nInteger, 9);
        EXPECT_LE(m.nInteger, 4095);
        EXPECT_GE(m.referenceDoubler, 0);
        EXPECT_LE(m.referenceDoubler, 1);
        EXPECT_NE(m.referenceMultiplier, 2);
        EXPECT_GE(m.chargePumpCode, 1);
        EXPECT_LE(m.chargePumpCode, 31);
        for (std::size_t n = 0; n < kSynthImageWords; ++n) {
          EXPECT_EQ(m.registerImage[n] >> 16, kSynthImageRegisters[n]);
        }
      }
    }
  }
}

TEST(PlanProperty, HandlersSurviveWildSettings) {
  const int32_t wild[] = {std::numeric_limits<int32_t>::min(), -1, 0, 2, 129, 4096,
                          std::numeric_limits<int32_t>::max()};
  for (int32_t v : wild) {
    SynthModel m;
    m.configure(156.25, 1800.0, 19);
    m.preDivider = v;
    m.postDivider = v;
    m.referenceDoubler = v;
    m.referenceMultiplier = v;
    m.prescalerSelect = v;
    m.vcoDoubler = v;
    m.nInteger = v;
    m.fractionNumerator = v;
    m.fractionDenominator = v;
    m.segmentsInUse = v;
    m.chargePumpCode = v;
    m.chargePumpGain = v;
    m.recalculate();
    m.onOutputSettingChanged();
    m.onVcoSettingChanged();
    m.roundPostDivider();
    m.validatePlan();
    m.buildRegisterImage();
    EXPECT_GE(m.nInteger, 9) << v;
    EXPECT_LE(m.nInteger, 4095) << v;
  }
}

}  // namespace
}  // namespace kestrel
