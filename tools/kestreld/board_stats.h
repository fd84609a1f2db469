// Counters of one board for /metrics: requests and errors by face, and how
// long the board's worker spent on each job. Written by the faces and the
// worker, read by the metrics page, so plain atomics without ordering.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace kestreld {

enum class Face { Scpi, Http };
inline constexpr std::array<const char*, 2> kFaceNames = {"scpi", "http"};

class BoardStats {
 public:
  // Upper bounds, in seconds: a register read takes about 0.1 ms, a clock
  // about 6 ms, the stored configuration about 3 s.
  static constexpr std::array<double, 8> kBounds = {0.0001, 0.0005, 0.001, 0.005, 0.01, 0.1, 1.0, 5.0};

  void countRequest(Face face, bool failed) {
    requests_[index(face)].fetch_add(1, std::memory_order_relaxed);
    if (failed) errors_[index(face)].fetch_add(1, std::memory_order_relaxed);
  }

  void observe(double seconds) {
    for (size_t i = 0; i < kBounds.size(); ++i) {
      if (seconds <= kBounds[i]) {
        buckets_[i].fetch_add(1, std::memory_order_relaxed);
        break;
      }
    }
    count_.fetch_add(1, std::memory_order_relaxed);
    micros_.fetch_add(static_cast<uint64_t>(seconds * 1e6), std::memory_order_relaxed);
  }

  // Sweep points uploaded, and those whose upload outlasted their dwell.
  void countSweepPoint() { sweepPoints_.fetch_add(1, std::memory_order_relaxed); }
  void countLateSweepPoint() { lateSweepPoints_.fetch_add(1, std::memory_order_relaxed); }
  uint64_t sweepPoints() const { return sweepPoints_.load(std::memory_order_relaxed); }
  uint64_t lateSweepPoints() const { return lateSweepPoints_.load(std::memory_order_relaxed); }

  uint64_t requests(Face face) const { return requests_[index(face)].load(std::memory_order_relaxed); }
  uint64_t errors(Face face) const { return errors_[index(face)].load(std::memory_order_relaxed); }
  // Jobs that took at most kBounds[i] and more than kBounds[i - 1] (not cumulative).
  uint64_t bucket(size_t i) const { return buckets_[i].load(std::memory_order_relaxed); }
  uint64_t count() const { return count_.load(std::memory_order_relaxed); }
  double sumSeconds() const { return static_cast<double>(micros_.load(std::memory_order_relaxed)) / 1e6; }

 private:
  static size_t index(Face face) { return static_cast<size_t>(face); }

  std::array<std::atomic<uint64_t>, 2> requests_{};
  std::array<std::atomic<uint64_t>, 2> errors_{};
  std::array<std::atomic<uint64_t>, kBounds.size()> buckets_{};
  std::atomic<uint64_t> count_{0};
  std::atomic<uint64_t> micros_{0};
  std::atomic<uint64_t> sweepPoints_{0};
  std::atomic<uint64_t> lateSweepPoints_{0};
};

}  // namespace kestreld
