// A kestreld process of a test's own: started with the test's arguments,
// waited for until it says it is ready, and ended (or killed) at the end.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kestrel::testing {

class DaemonProcess {
 public:
  // Starts KESTRELD_PROGRAM with `arguments`; ready() tells whether it said
  // "kestreld: ready" within 20 s. What it prints goes to a file of its own,
  // for a failing test to show.
  explicit DaemonProcess(const std::vector<std::string>& arguments) {
    char logTemplate[] = "/tmp/kestreld-test-XXXXXX";
    const int logFd = mkstemp(logTemplate);
    log_ = logTemplate;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDOUT_FILENO);
    // Not the host's VXI-11 registration or DNS-SD: those belong to the lab-face tests.
    std::vector<std::string> all{KESTRELD_PROGRAM, "--no-vxi11", "--no-mdns"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, KESTRELD_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(logFd);
    ready_ = pid_ > 0 && waitForReady();
  }
  ~DaemonProcess() {
    kill(SIGTERM);
    std::remove(log_.c_str());
  }
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  bool ready() const { return ready_; }
  // Sends `signal` and reaps the process.
  void kill(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  std::string log() const {
    std::string text;
    if (FILE* f = std::fopen(log_.c_str(), "r")) {
      char buffer[4096];
      size_t n = 0;
      while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
      std::fclose(f);
    }
    return text;
  }

 private:
  bool waitForReady() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
      if (log().find("kestreld: ready") != std::string::npos) return true;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  pid_t pid_ = -1;
  bool ready_ = false;
  std::string log_;
};

}  // namespace kestrel::testing
