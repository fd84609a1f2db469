// Search for the reference path (doubler, post-divider, pre-divider) whose
// phase-detector frequency reference * doubler / post / pre is closest to a
// target. Among equally close paths the first in the order doubler 1..2,
// post-divider 1..127, pre-divider 1..127 wins.
#pragma once

#include <cstdint>

namespace kestrel {

struct PhaseDetectorPath {
  int32_t doublerFactor = 1;  // 1 or 2
  int32_t postDivider = 1;    // 1..127
  int32_t preDivider = 1;     // 1..127
};

inline bool operator==(const PhaseDetectorPath& a, const PhaseDetectorPath& b) {
  return a.doublerFactor == b.doublerFactor && a.postDivider == b.postDivider && a.preDivider == b.preDivider;
}

inline constexpr int32_t kMaxSearchDivider = 127;

// Tries every one of the 2 x 127 x 127 candidates.
PhaseDetectorPath findPhaseDetectorPathExhaustive(double reference, double target);

// Same answer as the exhaustive search, bit for bit, in a fraction of the
// time.
PhaseDetectorPath findPhaseDetectorPath(double reference, double target);

using PhaseDetectorSearch = PhaseDetectorPath (*)(double reference, double target);

}  // namespace kestrel
