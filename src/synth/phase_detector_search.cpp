#include "synth/phase_detector_search.h"

#include <cfloat>
#include <cmath>
#include <limits>

// The fast search relies on every double expression being evaluated in
// double precision, as on x86-64 (SSE2) and AArch64; with excess precision
// a value computed once per row could differ from the same value computed
// inside the full expression.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0 && FLT_EVAL_METHOD != -1
#error "phase-detector search needs double expressions evaluated in double precision"
#endif

namespace kestrel {

PhaseDetectorPath findPhaseDetectorPathExhaustive(double reference, double target) {
  double bestError = std::numeric_limits<double>::max();
  PhaseDetectorPath best;
  for (int32_t i = 1; i <= 2; ++i) {
    for (int32_t j = 1; j <= kMaxSearchDivider; ++j) {
      for (int32_t k = 1; k <= kMaxSearchDivider; ++k) {
        const double error = std::fabs(reference * i / j / k - target);
        if (error < bestError) {
          bestError = error;
          best = {i, j, k};
        }
      }
    }
  }
  return best;
}

namespace {

// The best pre-divider of one row (fixed doubler and post-divider): the
// smallest k with the smallest error, and that error. No error compares
// below a NaN, so a row of NaN errors yields error NaN and is never chosen.
struct RowBest {
  double error;
  int32_t k;
};

// row = reference * i / j, so row / k is bit for bit the exhaustive
// search's reference * i / j / k (left-to-right evaluation).
inline double candidate(double row, int32_t k) { return row / k; }

inline double candidateError(double row, int32_t k, double target) { return std::fabs(candidate(row, k) - target); }

RowBest scanRow(double row, double target) {
  RowBest best{std::numeric_limits<double>::quiet_NaN(), 1};
  for (int32_t k = 1; k <= kMaxSearchDivider; ++k) {
    const double error = candidateError(row, k, target);
    if (error < best.error || (std::isnan(best.error) && !std::isnan(error))) {
      best = {error, k};
    }
  }
  return best;
}

// Row search for a finite positive row value and a finite target.
//
// Why it is exact: v(k) = row / k, rounded, never increases with k (the
// exact quotient falls and rounding is monotonic), so d(k) = v(k) - target,
// rounded, never increases either, and d(k) > 0 exactly when v(k) > target
// (a difference of finite doubles is zero only for equal operands and keeps
// the sign of the exact difference). Let P be the number of k with
// v(k) > target; those k are 1..P. On 1..P the error |d(k)| = d(k) never
// increases; on P+1..127 it is -d(k) and never decreases. So the row minimum
// is the smaller of the errors at P and P+1; at equal errors P's side comes
// first, and the first k carrying P's error is found by walking back over
// equal errors (a run of equal values is contiguous because the errors are
// monotonic on 1..P). On P+1's side no k before P+1 can reach its error.
RowBest bestInMonotonicRow(double row, double target) {
  // Start near the real-valued crossing row / k = target; the two walks
  // below land on P from any start, the estimate only keeps them short.
  int32_t p = kMaxSearchDivider;
  if (target > 0.0) {
    const double crossing = row / target;
    p = crossing >= kMaxSearchDivider ? kMaxSearchDivider : static_cast<int32_t>(crossing);
  }
  while (p < kMaxSearchDivider && candidate(row, p + 1) > target) {
    ++p;
  }
  while (p > 0 && !(candidate(row, p) > target)) {
    --p;
  }

  if (p == 0) {
    return {candidateError(row, 1, target), 1};
  }
  const double above = candidateError(row, p, target);
  if (p < kMaxSearchDivider) {
    const double below = candidateError(row, p + 1, target);
    if (below < above) {
      return {below, p + 1};
    }
  }
  int32_t k = p;
  while (k > 1 && candidateError(row, k - 1, target) == above) {
    --k;
  }
  return {above, k};
}

}  // namespace

PhaseDetectorPath findPhaseDetectorPath(double reference, double target) {
  // Rows are visited in the exhaustive search's order and a row replaces
  // the best only when strictly closer, so among equal errors the first
  // (i, j) wins, and within a row the first k (see above).
  double bestError = std::numeric_limits<double>::max();
  PhaseDetectorPath best;
  const bool finiteTarget = std::isfinite(target);
  for (int32_t i = 1; i <= 2; ++i) {
    for (int32_t j = 1; j <= kMaxSearchDivider; ++j) {
      const double row = reference * i / j;
      const RowBest rowBest =
          (finiteTarget && row > 0.0 && std::isfinite(row)) ? bestInMonotonicRow(row, target) : scanRow(row, target);
      if (rowBest.error < bestError) {
        bestError = rowBest.error;
        best = {i, j, rowBest.k};
      }
    }
  }
  return best;
}

}  // namespace kestrel
