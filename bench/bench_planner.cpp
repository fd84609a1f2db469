// Cost of planning one clock: SynthModel::configure with the board's
// 156.25 MHz reference and the standard loop option, over a spread of
// requested frequencies (divided and direct outputs, whole and fractional
// MHz).
#include <benchmark/benchmark.h>

#include <array>

#include "protocol/board_protocol.h"
#include "synth/synth_model.h"

namespace {

constexpr double kReference = kestrel::protocol::kBoardReferenceMHz;
constexpr int32_t kOption = 19;

constexpr std::array<double, 16> kRequests = {
    21.0,   25.0,    100.0,  156.25, 333.333, 622.08,   1000.0, 1234.567,
    1800.0, 2488.32, 3125.0, 3549.4, 4000.0,  4321.987, 5000.0, 5499.0,
};

void BM_Configure(benchmark::State& state) {
  kestrel::SynthModel model;
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.configure(kReference, kRequests[next], kOption));
    benchmark::ClobberMemory();
    next = (next + 1) % kRequests.size();
  }
  state.SetLabel("one configure, averaged over 16 requests");
}
BENCHMARK(BM_Configure);

void BM_ConfigureSingle(benchmark::State& state) {
  kestrel::SynthModel model;
  const double request = kRequests[static_cast<std::size_t>(state.range(0))];
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.configure(kReference, request, kOption));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ConfigureSingle)->DenseRange(0, static_cast<int>(kRequests.size()) - 1);

void BM_ConfigureExhaustiveSearch(benchmark::State& state) {
  kestrel::SynthModel model;
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.configureExhaustive(kReference, kRequests[next], kOption));
    benchmark::ClobberMemory();
    next = (next + 1) % kRequests.size();
  }
  state.SetLabel("reference form, for comparison");
}
BENCHMARK(BM_ConfigureExhaustiveSearch);

}  // namespace
