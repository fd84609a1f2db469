// What each board operation costs, measured against the floor of the link:
// one bare 256-byte exchange on the library instance's own connection to the
// same emulator, with no library code. The floor is measured interleaved with
// the operation it is set against, so both meet the same warm (or cold) CPU,
// scheduler and emulator. bench/run turns the figures into ratios.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "KestrelLib.h"
#include "api/api_instance.h"
#include "board_emulator.h"
#include "protocol/board_protocol.h"
#include "protocol/frame_codec.h"
#include "synth/synth_model.h"

// ---- allocation counting ----------------------------------------------------------
// Counts the allocations made on the calling thread, so the emulator's own
// thread does not blur what the library does on the exchange path.
namespace {
thread_local uint64_t threadAllocations = 0;
}

void* operator new(std::size_t size) {
  ++threadAllocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace p = kestrel::protocol;
using kestrel::sim::BoardEmulator;
using kestrel::sim::EmulatorOptions;

std::atomic<int> nextHost{1};

// Loopback timings wander with whatever else the machine does: the table uses
// the median of several runs of each fast benchmark.
constexpr int kRepetitions = 5;

// An emulator on its own loopback address with its frame log off, and a
// library instance connected to it.
struct Bench {
  // latencyUs: the emulator's answer delay (a network's round trip);
  // pipeline: whether the instance may send frames ahead of answers.
  explicit Bench(int latencyUs = 0, bool pipeline = true) {
    EmulatorOptions options;
    options.address = "127.77." + std::to_string(getpid() % 250) + "." + std::to_string(nextHost++ % 250 + 1);
    options.latencyUs = latencyUs;
    emulator = std::make_unique<BoardEmulator>(options);
    if (!emulator->start()) std::abort();
    emulator->setFrameLogging(false);
    address = options.address;
    instance = vxclk_createInstance();
    static_cast<kestrel::ApiInstance*>(instance)->device.link.pipelineAllowed = pipeline;
    if (vxclk_connect(instance, address.c_str()) != VXCLK_OK) std::abort();
    if (static_cast<kestrel::ApiInstance*>(instance)->device.link.pipelining() != pipeline) std::abort();
  }
  ~Bench() {
    vxclk_disconnect(instance);
    vxclk_destroyInstance(instance);
  }
  std::unique_ptr<BoardEmulator> emulator;
  std::string address;
  void* instance = nullptr;
};

void reportExchanges(benchmark::State& state, const Bench& bench, uint64_t framesBefore) {
  const double perOp = static_cast<double>(bench.emulator->frameCount() - framesBefore) /
                       static_cast<double>(state.iterations());
  state.counters["exchanges"] = perOp;
}

using Clock = std::chrono::steady_clock;

double secondsOf(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The floor, the way the library is used: the same process, the same
// emulator and the same connection (the instance's own socket), one frame and
// its whole answer by plain blocking calls.
class BareClient {
 public:
  explicit BareClient(void* instance)
      : fd_(static_cast<int>(static_cast<kestrel::ApiInstance*>(instance)->device.link.sock)) {
    p::encodeRegisterRead(frame_, 0, p::reg::kBoardId);
  }
  // A register read of the board ID.
  void exchange() { exchange(frame_.data()); }
  // Any frame, receiving until the answer is whole.
  void exchange(const uint8_t* frame) {
    if (::send(fd_, frame, p::kFrameSize, MSG_NOSIGNAL) != p::kFrameSize) std::abort();
    const int needed = p::answerBytesNeeded(p::decodeCommand(frame).kind);
    int received = 0;
    while (received < needed) {
      const ssize_t n = ::recv(fd_, answer_.data() + received, answer_.size() - static_cast<size_t>(received), 0);
      if (n <= 0) std::abort();
      received += static_cast<int>(n);
    }
  }

 private:
  int fd_;
  p::Frame frame_{};
  std::array<uint8_t, p::kResponseCapacity> answer_{};
};

template <typename Work>
Clock::duration timed(Work&& work) {
  const Clock::time_point start = Clock::now();
  work();
  return Clock::now() - start;
}

// Timings taken in pairs (the operation and its bare floor), summed up by
// their lower quartiles. Load from elsewhere on the machine only ever adds
// time, in bursts that fall on some pairs and not others; sums and even
// medians move with it, while the lower quartile is where both ran
// undisturbed, and the ratio of the two stays put from run to run.
class PairedTimes {
 public:
  void add(Clock::duration operation, Clock::duration floor) {
    operations_.push_back(secondsOf(operation));
    floors_.push_back(secondsOf(floor));
  }
  double operation() { return quantile(operations_, kQuartile); }
  double floor() { return quantile(floors_, kQuartile); }

 private:
  static constexpr double kQuartile = 0.25;
  static double quantile(std::vector<double>& values, double q) {
    if (values.empty()) return 0.0;
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(static_cast<double>(values.size() - 1) * q);
    std::nth_element(values.begin(), at, values.end());
    return *at;
  }
  std::vector<double> operations_;
  std::vector<double> floors_;
};

// One library exchange (a register read) against one bare exchange, in turns.
void BM_Exchange(benchmark::State& state) {
  Bench bench;
  BareClient bare(bench.instance);
  uint16_t value = 0;
  PairedTimes times;
  uint64_t allocations = 0;
  for (auto _ : state) {
    const Clock::duration floor = timed([&] { bare.exchange(); });
    const uint64_t allocationsBefore = threadAllocations;
    const Clock::duration library = timed([&] {
      if (vxclk_setClock(bench.instance, 0, 0, p::reg::kBoardId, &value) != VXCLK_OK) std::abort();
    });
    allocations += threadAllocations - allocationsBefore;
    times.add(library, floor);
    state.SetIterationTime(secondsOf(library));
  }
  state.counters["floor_s"] = times.floor();
  state.counters["ratio"] = times.operation() / times.floor();
  state.counters["allocations"] = static_cast<double>(allocations) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Exchange)->UseManualTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// A register write through the library: most of a clock upload is writes.
void BM_LibraryWrite(benchmark::State& state) {
  Bench bench;
  uint16_t value = 0;
  for (auto _ : state) {
    ++value;
    if (vxclk_setClock(bench.instance, 1, 0, 300, &value) != VXCLK_OK) std::abort();
  }
}
BENCHMARK(BM_LibraryWrite)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// The frames one clock request sends, recorded by the emulator.
std::vector<p::Frame> framesOfOneClock(Bench& bench, double frequencyMHz) {
  bench.emulator->setFrameLogging(true);
  bench.emulator->clearFrames();
  if (vxclk_generateClock(bench.instance, frequencyMHz, 19) != VXCLK_OK) std::abort();
  std::vector<p::Frame> frames;
  for (const auto& record : bench.emulator->frames()) {
    p::Frame frame{};
    std::copy(record.raw.begin(), record.raw.end(), frame.begin());
    frames.push_back(frame);
  }
  bench.emulator->setFrameLogging(false);
  bench.emulator->clearFrames();
  return frames;
}

void sendBare(BareClient& bare, const std::vector<p::Frame>& frames) {
  for (const p::Frame& frame : frames) bare.exchange(frame.data());
}

// A clock request against the same frames sent bare, in turns: the emulator
// does the same work for both, so the ratio is what the library adds.
void BM_GenerateClock(benchmark::State& state) {
  Bench bench;
  BareClient bare(bench.instance);
  constexpr double kRequestMHz = 1800.0;
  const std::vector<p::Frame> frames = framesOfOneClock(bench, kRequestMHz);
  PairedTimes times;
  uint64_t allocations = 0;
  bool bareFirst = false;
  for (auto _ : state) {
    // Which goes first alternates, so that neither always meets the CPU
    // just after the other.
    bareFirst = !bareFirst;
    const Clock::duration bareTime = bareFirst ? timed([&] { sendBare(bare, frames); }) : Clock::duration{};
    const uint64_t allocationsBefore = threadAllocations;
    const Clock::duration clockTime = timed([&] {
      if (vxclk_generateClock(bench.instance, kRequestMHz, 19) != VXCLK_OK) std::abort();
    });
    allocations += threadAllocations - allocationsBefore;
    const Clock::duration bareAfter = bareFirst ? Clock::duration{} : timed([&] { sendBare(bare, frames); });
    times.add(clockTime, bareTime + bareAfter);
    state.SetIterationTime(secondsOf(clockTime));
  }
  state.counters["exchanges"] = static_cast<double>(frames.size());
  state.counters["floor_s"] = times.floor() / static_cast<double>(frames.size());
  state.counters["ratio"] = times.operation() / times.floor();
  state.counters["allocations"] = static_cast<double>(allocations) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_GenerateClock)->UseManualTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

void BM_SetFMFrequency(benchmark::State& state) {
  Bench bench;
  int32_t index = 0;
  const uint64_t frames = bench.emulator->frameCount();
  for (auto _ : state) {
    if (vxclk_setFMFrequency(bench.instance, index++ % 12) != VXCLK_OK) std::abort();
  }
  reportExchanges(state, bench, frames);
}
BENCHMARK(BM_SetFMFrequency)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

void BM_SetTx2PMAmplitude(benchmark::State& state) {
  Bench bench;
  vxclk_enableTx2PM(bench.instance, 1);
  int32_t amplitude = 0;
  const uint64_t frames = bench.emulator->frameCount();
  for (auto _ : state) {
    if (vxclk_setTx2PMAmplitude(bench.instance, amplitude++ % 1000) != VXCLK_OK) std::abort();
  }
  reportExchanges(state, bench, frames);
}
BENCHMARK(BM_SetTx2PMAmplitude)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

void BM_GetEEPROMAddress(benchmark::State& state) {
  Bench bench;
  double value = 0;
  const uint64_t frames = bench.emulator->frameCount();
  for (auto _ : state) {
    if (vxclk_getEEPROMAddress(bench.instance, 30000, &value) != VXCLK_OK) std::abort();
  }
  reportExchanges(state, bench, frames);
  state.counters["pause_ms"] = 8 * 10;
}
BENCHMARK(BM_GetEEPROMAddress)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(25);

void BM_GetActiveConfig(benchmark::State& state) {
  Bench bench;
  ActiveConfig config{};
  const uint64_t frames = bench.emulator->frameCount();
  for (auto _ : state) {
    if (vxclk_getActiveConfig(bench.instance, &config) != VXCLK_OK) std::abort();
  }
  reportExchanges(state, bench, frames);
  state.counters["pause_ms"] = p::kSettingCount * 8 * 10;
}
BENCHMARK(BM_GetActiveConfig)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(2);

// Three calls over a link with a round trip of range(1) µs, with frames sent
// ahead of answers (range(2) 1) or one at a time (0): range(0) picks the call.
void BM_OverLatency(benchmark::State& state) {
  Bench bench(static_cast<int>(state.range(1)), state.range(2) == 1);
  const double value = 2.5;
  int32_t step = 0;
  const auto call = [&]() -> int32_t {
    switch (state.range(0)) {
      case 0: return vxclk_generateClock(bench.instance, 1800.0 + (step++ % 2), 19);
      case 1: return vxclk_setFMFrequency(bench.instance, step++ % 12);
      default: return vxclk_writeEEPROMAddress(bench.instance, 40000, &value);
    }
  };
  if (call() != VXCLK_OK) std::abort();  // the first call also adopts the board's clock
  const uint64_t frames = bench.emulator->frameCount();
  for (auto _ : state) {
    if (call() != VXCLK_OK) std::abort();
  }
  reportExchanges(state, bench, frames);
}
BENCHMARK(BM_OverLatency)
    ->ArgsProduct({{0, 1, 2}, {0, 200, 1000}, {1, 0}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// Planning alone, no I/O: the share of a clock request that is not the link.
void BM_Configure(benchmark::State& state) {
  kestrel::SynthModel model;
  const double requests[] = {21.0, 100.0, 156.25, 622.08, 1234.567, 1800.0, 2488.32, 3549.4, 4000.0, 5499.0};
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.configure(p::kBoardReferenceMHz, requests[next++ % 10], 19));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Configure)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// Throughput of n instances, each on its own thread with its own emulator.
void BM_Scaling(benchmark::State& state) {
  const int instances = static_cast<int>(state.range(0));
  constexpr int kClocksPerThread = 150;
  std::vector<std::unique_ptr<Bench>> benches;
  for (int i = 0; i < instances; ++i) benches.push_back(std::make_unique<Bench>());
  double operations = 0;
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int i = 0; i < instances; ++i) {
      threads.emplace_back([&bench = *benches[i]] {
        for (int k = 0; k < kClocksPerThread; ++k) vxclk_generateClock(bench.instance, 1000.0 + k, 19);
      });
    }
    for (auto& t : threads) t.join();
    operations += instances * kClocksPerThread;
  }
  state.counters["ops_per_second"] = benchmark::Counter(operations, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Scaling)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

// For counting system calls (bench/run runs this under strace -c, which
// follows only the main thread, not the emulator's): n exchanges of one kind.
int probe(const std::string& kind, int n) {
  Bench bench;
  BareClient bare(bench.instance);
  uint16_t value = 0;
  for (int i = 0; i < n; ++i) {
    if (kind == "bare") {
      bare.exchange();
    } else if (vxclk_setClock(bench.instance, 0, 0, p::reg::kBoardId, &value) != VXCLK_OK) {
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--syscall-probe") return probe(argv[2], std::atoi(argv[3]));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
