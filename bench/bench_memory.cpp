// Memory of a process that holds N library instances (unconnected): prints
// the peak resident set size in kilobytes and the heap bytes in use.
#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "KestrelLib.h"

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1;
  std::vector<void*> instances;
  instances.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) instances.push_back(vxclk_createInstance());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%ld %zu\n", usage.ru_maxrss, mallinfo2().uordblks);
  for (void* instance : instances) vxclk_destroyInstance(instance);
  return 0;
}
