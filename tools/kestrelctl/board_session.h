// The board a command talks to: a connection over the public C interface,
// opened on first use and closed on every way out, and, for --sim and demo,
// the board emulator running inside this process.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "board_emulator.h"

namespace kestrelctl {

// Exit status when there is no board to talk to (none given, or unreachable).
// It matches the library's own "not connected" status.
inline constexpr int kExitNoBoard = 2;

// A library call that returned a status other than 0. `detail` is what
// kestrelctl found out about the cause, when it could ("line 7: ...").
struct CallFailure : std::runtime_error {
  CallFailure(std::string call, int status, std::string detail = {});
  std::string call;
  int status;
  std::string detail;
};

// There is no board to talk to; the command stops with kExitNoBoard.
struct BoardUnavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What a status code of `call` means, in a few words for the error line.
std::string statusMeaning(const std::string& call, int status);

// Throws CallFailure when status is not 0.
void check(const char* call, int32_t status);

// One instance connected to one board; disconnected and destroyed on scope exit.
class Connection {
 public:
  explicit Connection(const std::string& address);  // throws BoardUnavailable
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void* instance() const { return instance_; }

 private:
  void* instance_ = nullptr;
};

// The board emulator on a free loopback address, port 6653 (the only port the
// library dials): 127.0.0.1 when it is free, else a random 127.x.y.z.
class SimulatedBoard {
 public:
  SimulatedBoard();  // throws BoardUnavailable when no address can be had
  ~SimulatedBoard();
  SimulatedBoard(const SimulatedBoard&) = delete;
  SimulatedBoard& operator=(const SimulatedBoard&) = delete;

  const std::string& address() const { return address_; }
  // What the emulator worked out from the synthesizer words it received.
  kestrel::sim::SynthState synthState() const { return emulator_->synthState(); }

 private:
  std::string address_;
  std::unique_ptr<kestrel::sim::BoardEmulator> emulator_;
};

// Where the board is, from the command line.
struct BoardChoice {
  std::string address;     // a real board (or a kestrel-board program), dotted IPv4
  std::string given;       // as the user named it (a host name, or the address)
  bool simulated = false;  // the in-process emulator
};

// The board of one kestrelctl invocation, shared by every command of a run
// file: the emulator is started and the connection opened when the first
// command needs them, and a connection failure is remembered so a run with
// --keep-going does not dial an unreachable board line after line.
class Session {
 public:
  explicit Session(BoardChoice choice) : choice_(std::move(choice)) {}
  ~Session();

  bool simulated() const { return choice_.simulated; }
  void* instance();  // throws BoardUnavailable
  // The emulator when the board is simulated and already started, else null.
  const SimulatedBoard* simulator() const { return simulator_.get(); }
  std::string address() const;
  // The board as the user named it, with its address when that was a name.
  std::string where() const;

 private:
  BoardChoice choice_;
  // Declared before the connection: the connection closes first.
  std::unique_ptr<SimulatedBoard> simulator_;
  std::unique_ptr<Connection> connection_;
  std::optional<std::string> failure_;
};

}  // namespace kestrelctl
