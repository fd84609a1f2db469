#include "progress.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "platform/console.h"

namespace kestrelctl {

namespace {
constexpr auto kFrameInterval = std::chrono::milliseconds(100);
constexpr char kSpinner[] = {'|', '/', '-', '\\'};

volatile std::sig_atomic_t interruptRequested = 0;

extern "C" void noteInterrupt(int) { interruptRequested = 1; }

[[noreturn]] void stopInterrupted(const std::string& label, const std::string& command, const Output& out,
                                  bool lineDrawn) {
  if (lineDrawn) std::fputc('\n', stderr);
  out.failure(command, kExitInterrupted, command + ": interrupted (Ctrl-C) while " + label, Json::object());
  // The worker thread is still inside the library call; only the process's
  // end stops it, and the system closes the connection.
  std::_Exit(kExitInterrupted);
}
}  // namespace

bool stderrIsTerminal() { return kestrel::platform::stderrIsTerminal(); }

void runWithProgress(const std::string& label, const std::string& command, const Output& out,
                     const std::function<void()>& work) {
  interruptRequested = 0;
  const auto previousHandler = std::signal(SIGINT, noteInterrupt);
  const bool draw = stderrIsTerminal();
  const auto start = std::chrono::steady_clock::now();
  std::future<void> done = std::async(std::launch::async, work);
  size_t frame = 0;
  size_t drawn = 0;
  while (done.wait_for(kFrameInterval) != std::future_status::ready) {
    if (interruptRequested) stopInterrupted(label, command, out, drawn > 0);
    if (!draw) continue;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f s", seconds);
    const std::string text = out.marked(label + " " + kSpinner[frame++ % sizeof kSpinner] + " " + elapsed);
    std::fprintf(stderr, "\r%s", text.c_str());
    std::fflush(stderr);
    drawn = text.size();
  }
  // A call that the signal cut short is no result either.
  if (interruptRequested) stopInterrupted(label, command, out, drawn > 0);
  std::signal(SIGINT, previousHandler);
  if (drawn > 0) {
    std::fprintf(stderr, "\r%s\r", std::string(drawn, ' ').c_str());
    std::fflush(stderr);
  }
  done.get();
}

}  // namespace kestrelctl
