// kestrel-board: the board emulator as a stand-alone program, for trying the
// library, kestrelctl or a host application without a board on the desk.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "board_emulator.h"
#include "platform/socket.h"
#include "protocol/board_protocol.h"

namespace {

namespace proto = kestrel::protocol;
using kestrel::sim::BoardEmulator;
using kestrel::sim::EmulatorOptions;

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) { stopRequested = 1; }

// How often the main thread looks for a stop request.
constexpr int kStopPollMs = 50;

void printHelp() {
  std::printf(
      "Usage: kestrel-board [options]\n"
      "Emulates a clock-source board: answers the host's command frames over TCP.\n"
      "\n"
      "  --address A         IPv4 address to listen on (default 127.0.0.1)\n"
      "  --port P            TCP port (default %u)\n"
      "  --memory FILE       keep the board's non-volatile memory in FILE (exactly\n"
      "                      65536 bytes; created when missing, in a folder that\n"
      "                      must exist; every change is written through at once)\n"
      "  --trace             print one line per frame and each synthesizer upload\n"
      "  --pcap FILE         write every frame and answer to FILE as a pcap capture\n"
      "                      (open it in Wireshark with tools/wireshark/kestrel.lua)\n"
      "  --latency-us N      answer each frame N microseconds after it arrived, as\n"
      "                      a network with that round trip would (up to 1000000)\n"
      "  --board-id N        board ID (register 20)\n"
      "  --serial S          serial number, either five 16-bit words for registers\n"
      "                      21..25 separated by commas (least significant first),\n"
      "                      or one 64-bit number whose four 16-bit words go to\n"
      "                      registers 21..24, with register 25 = 5 x register 24 so\n"
      "                      the host takes it as a 64-bit serial (the top 16 bits\n"
      "                      must then be at most 13107)\n"
      "  --temperature T     raw temperature reading of both sensors, or T0,T1\n"
      "                      for sensor 0 and sensor 1 (register 16, pages 0 and 1)\n"
      "  --vco-lock N        VCO lock value (register 1047) until the first upload\n"
      "  --vco-voltage MV    VCO voltage in mV (register 1048) until the first upload\n"
      "  --help              this text\n"
      "\n"
      "Numbers may be decimal or hexadecimal with 0x. Every synthesizer upload sets\n"
      "the VCO lock and voltage from the uploaded VCO frequency.\n"
      "SIGINT or SIGTERM stops the emulator; the memory file is saved first.\n",
      static_cast<unsigned>(proto::kBoardPort));
}

std::optional<uint64_t> parseNumber(const std::string& text, uint64_t max) {
  if (text.empty()) return std::nullopt;
  size_t i = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  if (value > max) return std::nullopt;
  return value;
}

std::vector<std::string> splitCommas(const std::string& text) {
  std::vector<std::string> parts;
  size_t begin = 0;
  for (;;) {
    const size_t comma = text.find(',', begin);
    parts.push_back(text.substr(begin, comma - begin));
    if (comma == std::string::npos) return parts;
    begin = comma + 1;
  }
}

// Register values the command line asks for, applied before the board listens.
struct RegisterSetting {
  uint16_t page;
  uint16_t reg;
  uint16_t value;
};

struct Arguments {
  EmulatorOptions options;
  std::vector<RegisterSetting> registers;
  bool help = false;
};

bool parseSerial(const std::string& text, std::vector<RegisterSetting>& out) {
  const std::vector<std::string> parts = splitCommas(text);
  uint16_t words[5] = {};
  if (parts.size() == 5) {
    for (size_t i = 0; i < 5; ++i) {
      const auto word = parseNumber(parts[i], 0xFFFF);
      if (!word) return false;
      words[i] = static_cast<uint16_t>(*word);
    }
  } else if (parts.size() == 1) {
    const auto serial = parseNumber(parts[0], UINT64_MAX);
    if (!serial) return false;
    for (int i = 0; i < 4; ++i) words[i] = static_cast<uint16_t>(*serial >> (16 * i));
    if (words[3] > 0xFFFF / 5) return false;
    words[4] = static_cast<uint16_t>(words[3] * 5);
  } else {
    return false;
  }
  for (int i = 0; i < 5; ++i) out.push_back({0, static_cast<uint16_t>(proto::reg::kSerial0 + i), words[i]});
  return true;
}

// Returns an error message, or nothing when the arguments are fine.
std::optional<std::string> parseArguments(int argc, char** argv, Arguments& args) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::optional<std::string> inlineValue;
    if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    if (name == "--help" || name == "-h") {
      args.help = true;
      continue;
    }
    if (name == "--trace") {
      args.options.trace = true;
      continue;
    }
    static const char* const kValueOptions[] = {"--address",  "--port",        "--memory",   "--board-id",
                                                "--serial",   "--temperature", "--vco-lock", "--vco-voltage",
                                                "--pcap",     "--latency-us"};
    if (std::find(std::begin(kValueOptions), std::end(kValueOptions), name) == std::end(kValueOptions)) {
      return "unknown option " + name + " (see --help)";
    }
    std::string value;
    if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return "missing value after " + name;
    }
    const std::string bad = "invalid value for " + name + ": " + value;

    if (name == "--address") {
      uint32_t ignored = 0;
      if (!kestrel::platform::parseIPv4(value.c_str(), &ignored)) return bad;
      args.options.address = value;
    } else if (name == "--port") {
      const auto port = parseNumber(value, 0xFFFF);
      if (!port) return bad;
      args.options.port = static_cast<uint16_t>(*port);
    } else if (name == "--memory") {
      if (value.empty()) return bad;
      args.options.memoryFile = value;
    } else if (name == "--pcap") {
      if (value.empty()) return bad;
      args.options.pcapFile = value;
    } else if (name == "--latency-us") {
      const auto latency = parseNumber(value, kestrel::sim::kLongestLatencyUs);
      if (!latency) return bad;
      args.options.latencyUs = static_cast<int>(*latency);
    } else if (name == "--board-id") {
      const auto id = parseNumber(value, 0xFFFF);
      if (!id) return bad;
      args.registers.push_back({0, proto::reg::kBoardId, static_cast<uint16_t>(*id)});
    } else if (name == "--serial") {
      if (!parseSerial(value, args.registers)) return bad;
    } else if (name == "--temperature") {
      const std::vector<std::string> parts = splitCommas(value);
      if (parts.size() != 1 && parts.size() != 2) return bad;
      for (int sensor = 0; sensor < proto::kTemperatureSensors; ++sensor) {
        const auto reading = parseNumber(parts[parts.size() == 1 ? 0 : static_cast<size_t>(sensor)], 0xFFFF);
        if (!reading) return bad;
        args.registers.push_back(
            {static_cast<uint16_t>(sensor), proto::reg::kTemperature, static_cast<uint16_t>(*reading)});
      }
    } else if (name == "--vco-lock") {
      const auto lock = parseNumber(value, 0xFFFF);
      if (!lock) return bad;
      args.registers.push_back({0, proto::reg::kVcoLock, static_cast<uint16_t>(*lock)});
    } else if (name == "--vco-voltage") {
      const auto millivolts = parseNumber(value, 0xFFFF);
      if (!millivolts) return bad;
      args.registers.push_back({0, proto::reg::kVcoVoltage, static_cast<uint16_t>(*millivolts)});
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (const auto problem = parseArguments(argc, argv, args)) {
    std::fprintf(stderr, "kestrel-board: %s\n", problem->c_str());
    return 2;
  }
  if (args.help) {
    printHelp();
    return 0;
  }

  BoardEmulator board(args.options);
  for (const RegisterSetting& s : args.registers) board.setRegister(s.page, s.reg, s.value);

  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);

  if (!board.start()) {
    std::fprintf(stderr, "kestrel-board: %s\n", board.lastError().c_str());
    return 1;
  }
  std::printf("kestrel-board listening on %s:%u\n", args.options.address.c_str(),
              static_cast<unsigned>(board.port()));
  std::fflush(stdout);

  while (stopRequested == 0) kestrel::platform::sleepMs(kStopPollMs);

  board.stop();
  const std::string problem = board.lastError();
  if (!args.options.memoryFile.empty() && !board.waitForMemorySaved(0)) {
    std::fprintf(stderr, "kestrel-board: memory not saved: %s\n", problem.c_str());
    return 1;
  }
  std::printf("kestrel-board stopped\n");
  std::fflush(stdout);
  return 0;
}
