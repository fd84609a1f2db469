// What each board operation costs, measured against the floor of the link:
// one bare 256-byte exchange with the same emulator, with no library code.
// bench/run turns the figures into ratios; every ratio's parts come from the
// same run.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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
#include "board_emulator.h"
#include "protocol/board_protocol.h"
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
  Bench() {
    EmulatorOptions options;
    options.address = "127.77." + std::to_string(getpid() % 250) + "." + std::to_string(nextHost++ % 250 + 1);
    emulator = std::make_unique<BoardEmulator>(options);
    if (!emulator->start()) std::abort();
    emulator->setFrameLogging(false);
    address = options.address;
    instance = vxclk_createInstance();
    if (vxclk_connect(instance, address.c_str()) != VXCLK_OK) std::abort();
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

// The floor: a plain blocking client, one register-read frame, one answer.
void BM_Floor(benchmark::State& state) {
  Bench bench;
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(p::kBoardPort);
  inet_pton(AF_INET, bench.address.c_str(), &peer.sin_addr);
  if (::connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) std::abort();
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::array<uint8_t, p::kFrameSize> frame{};
  frame[p::kOffOpcode] = p::kOpRegisterAccess;
  frame[p::kOffAddressLow] = p::reg::kBoardId;
  std::array<uint8_t, p::kResponseCapacity> answer{};
  for (auto _ : state) {
    if (::send(s, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) std::abort();
    if (::recv(s, answer.data(), answer.size(), 0) <= 0) std::abort();
  }
  ::close(s);
}
BENCHMARK(BM_Floor)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

void BM_LibraryExchange(benchmark::State& state) {
  Bench bench;
  uint16_t value = 0;
  const uint64_t allocationsBefore = threadAllocations;
  for (auto _ : state) {
    if (vxclk_setClock(bench.instance, 0, 0, p::reg::kBoardId, &value) != VXCLK_OK) std::abort();
  }
  state.counters["allocations"] =
      static_cast<double>(threadAllocations - allocationsBefore) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LibraryExchange)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

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

void BM_GenerateClock(benchmark::State& state) {
  Bench bench;
  const double requests[] = {1800.0, 622.08, 4000.0, 156.25};
  size_t next = 0;
  const uint64_t frames = bench.emulator->frameCount();
  const uint64_t allocationsBefore = threadAllocations;
  for (auto _ : state) {
    if (vxclk_generateClock(bench.instance, requests[next++ % 4], 19) != VXCLK_OK) std::abort();
  }
  reportExchanges(state, bench, frames);
  state.counters["allocations"] =
      static_cast<double>(threadAllocations - allocationsBefore) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_GenerateClock)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

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

}  // namespace

BENCHMARK_MAIN();
