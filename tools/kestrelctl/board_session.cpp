#include "board_session.h"

#include <map>
#include <random>

#include "KestrelLib.h"
#include "protocol/board_protocol.h"

namespace kestrelctl {

namespace {

// Random loopback addresses tried when 127.0.0.1:6653 is taken.
constexpr int kSimulatorAddressAttempts = 20;

// Status 1 of the setters that refuse while their enable is off: the enable
// lives in the library instance, so it must be set on the same connection.
const std::map<std::string, std::string>& enableHints() {
  static const std::map<std::string, std::string> hints = {
      {"vxclk_setTx2PMAmplitude", "tx2 pm enable"},
      {"vxclk_setTx2PMPhaseShiftAmplitude", "tx2 pm enable"},
      {"vxclk_setTx2PMRJAmplitude", "tx2 pm rj enable"},
      {"vxclk_setTx2PMBUJAmplitude", "tx2 pm buj enable"},
      {"vxclk_setTx2AMAmplitude", "tx2 am enable"},
  };
  return hints;
}

}  // namespace

CallFailure::CallFailure(std::string callName, int code, std::string cause)
    : std::runtime_error(callName + ": " + std::to_string(code) + " (" + statusMeaning(callName, code) +
                         (cause.empty() ? "" : " " + cause) + ")"),
      call(std::move(callName)),
      status(code),
      detail(std::move(cause)) {}

std::string statusMeaning(const std::string& call, int status) {
  // The header's sentence, so that C programs, Python and kestrelctl say the
  // same; then what this call's failure most likely means.
  std::string meaning = vxclk_statusText(status);
  if (status != VXCLK_FAILED) return meaning;
  const auto hint = enableHints().find(call);
  if (hint != enableHints().end()) {
    meaning += " The likely cause: '" + hint->second + "' did not come earlier on the same connection (put both in a run file).";
  } else if (call == "vxclk_getTemperature") {
    meaning += " A sensor that reads 0 counts as a failed read.";
  }
  return meaning;
}

void check(const char* call, int32_t status) {
  if (status != VXCLK_OK) throw CallFailure(call, status);
}

Connection::Connection(const std::string& address) {
  instance_ = vxclk_createInstance();
  if (instance_ == nullptr) throw BoardUnavailable("vxclk_createInstance: out of memory");
  const int32_t status = vxclk_connect(instance_, address.c_str());
  if (status != VXCLK_OK) {
    vxclk_destroyInstance(instance_);
    instance_ = nullptr;
    throw BoardUnavailable("vxclk_connect: " + std::to_string(status) + " (" + vxclk_statusText(status) +
                           " No board answered at " + address + ", TCP port " + std::to_string(kestrel::sim::hostBoardPort()) + ".)");
  }
}

Connection::~Connection() {
  if (instance_ == nullptr) return;
  vxclk_disconnect(instance_);
  vxclk_destroyInstance(instance_);
}

SimulatedBoard::SimulatedBoard() {
  std::random_device entropy;
  std::mt19937 generator(entropy());
  std::string lastError;
  for (int attempt = 0; attempt <= kSimulatorAddressAttempts; ++attempt) {
    std::string address = "127.0.0.1";
    if (attempt > 0) {
      address = "127." + std::to_string(1 + generator() % 254) + "." + std::to_string(generator() % 256) + "." +
                std::to_string(1 + generator() % 254);
    }
    kestrel::sim::EmulatorOptions options;
    options.address = address;
    options.port = kestrel::sim::hostBoardPort();
    auto emulator = std::make_unique<kestrel::sim::BoardEmulator>(options);
    if (emulator->start()) {
      emulator_ = std::move(emulator);
      address_ = address;
      return;
    }
    lastError = emulator->lastError();
  }
  throw BoardUnavailable("the built-in board emulator could not start: " + lastError);
}

SimulatedBoard::~SimulatedBoard() {
  if (emulator_) emulator_->stop();
}

Session::~Session() {
  connection_.reset();
  simulator_.reset();
}

std::string Session::address() const {
  if (simulator_) return simulator_->address();
  return choice_.address;
}

std::string Session::where() const {
  if (simulator_ || choice_.given.empty() || choice_.given == choice_.address) return address();
  return choice_.given + " (" + choice_.address + ")";
}

void* Session::instance() {
  if (connection_) return connection_->instance();
  if (failure_) throw BoardUnavailable(*failure_);
  try {
    std::string address = choice_.address;
    if (choice_.simulated) {
      if (!simulator_) simulator_ = std::make_unique<SimulatedBoard>();
      address = simulator_->address();
    } else if (address.empty()) {
      throw BoardUnavailable(
          "no board given: use --board ADDRESS or set KESTREL_BOARD to the board's host name or IPv4 address, "
          "or use --sim for the built-in emulator");
    }
    connection_ = std::make_unique<Connection>(address);
  } catch (const BoardUnavailable& e) {
    failure_ = e.what();
    throw;
  }
  return connection_->instance();
}

}  // namespace kestrelctl
