// A remote instance (kestreld://) against a direct one, in turns: the same
// call on two instances, each on a board of its own (the remote one behind
// kestreld), timed one call at a time; prints the medians as JSON.
// Usage: bench_remote DIRECT_ADDRESS kestreld://HOST:PORT [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "KestrelLib.h"

namespace {

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

double secondsOf(const std::function<int32_t()>& call) {
  const auto start = std::chrono::steady_clock::now();
  if (call() != VXCLK_OK) {
    std::fprintf(stderr, "bench_remote: a call failed\n");
    std::exit(1);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_remote DIRECT_ADDRESS kestreld://HOST:PORT [ROUNDS]\n");
    return 64;
  }
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 300;
  void* direct = vxclk_createInstance();
  void* remote = vxclk_createInstance();
  if (vxclk_connect(direct, argv[1]) != VXCLK_OK || vxclk_connect(remote, argv[2]) != VXCLK_OK) {
    std::fprintf(stderr, "bench_remote: cannot connect\n");
    return 1;
  }
  struct Operation {
    const char* name;
    std::function<int32_t(void*, int)> call;
  };
  const Operation operations[] = {
      {"generateClock", [](void* h, int i) { return vxclk_generateClock(h, i % 2 ? 1800.0 : 1900.0, 19); }},
      {"getBoardID", [](void* h, int) { int32_t id = 0; return vxclk_getBoardID(h, &id); }},
  };
  std::printf("{");
  for (const Operation& op : operations) {
    std::vector<double> ofDirect, ofRemote;
    for (int i = 0; i < rounds; ++i) {
      ofDirect.push_back(secondsOf([&] { return op.call(direct, i); }));
      ofRemote.push_back(secondsOf([&] { return op.call(remote, i); }));
    }
    std::printf("%s\"%s\": {\"direct\": %.9f, \"remote\": %.9f}", &op == operations ? "" : ", ", op.name,
                median(ofDirect), median(ofRemote));
  }
  std::printf("}\n");
  vxclk_destroyInstance(direct);
  vxclk_destroyInstance(remote);
  return 0;
}
