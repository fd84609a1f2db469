// Peak memory of a process that holds N library instances (unconnected):
// prints the peak resident set size in kilobytes.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "KestrelLib.h"

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1;
  std::vector<void*> instances;
  for (int i = 0; i < count; ++i) instances.push_back(vxclk_createInstance());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%ld\n", usage.ru_maxrss);
  for (void* instance : instances) vxclk_destroyInstance(instance);
  return 0;
}
