#include "progress.h"

#include <chrono>
#include <cstdio>
#include <future>

#include "platform/console.h"

namespace kestrelctl {

namespace {
constexpr auto kFrameInterval = std::chrono::milliseconds(100);
constexpr char kSpinner[] = {'|', '/', '-', '\\'};
}  // namespace

bool stderrIsTerminal() { return kestrel::platform::stderrIsTerminal(); }

void runWithProgress(const std::string& label, const Output& out, const std::function<void()>& work) {
  if (!stderrIsTerminal()) {
    work();
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  std::future<void> done = std::async(std::launch::async, work);
  size_t frame = 0;
  size_t drawn = 0;
  while (done.wait_for(kFrameInterval) != std::future_status::ready) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f s", seconds);
    const std::string text = out.marked(label + " " + kSpinner[frame++ % sizeof kSpinner] + " " + elapsed);
    std::fprintf(stderr, "\r%s", text.c_str());
    std::fflush(stderr);
    drawn = text.size();
  }
  if (drawn > 0) {
    std::fprintf(stderr, "\r%s\r", std::string(drawn, ' ').c_str());
    std::fflush(stderr);
  }
  done.get();
}

}  // namespace kestrelctl
