// Memory of a process that holds N library instances (unconnected): prints
// the peak resident set size in kilobytes and the heap bytes in use.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "KestrelLib.h"

// VmHWM, not getrusage: ru_maxrss keeps the peak of the process this one was
// forked from, so a small program started from a large one would report the
// large one's size.
long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1;
  std::vector<void*> instances;
  instances.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) instances.push_back(vxclk_createInstance());
  std::printf("%ld %zu\n", peakResidentKiB(), mallinfo2().uordblks);
  for (void* instance : instances) vxclk_destroyInstance(instance);
  return 0;
}
