// reg and memory: raw access to board registers and board memory.
#include "KestrelLib.h"
#include "commands.h"

namespace kestrelctl {

namespace {

// A register address is an 11-bit number on a 4-bit page: larger values would
// alias onto other registers in the command frame.
constexpr uint16_t kMaxPage = kestrel::protocol::kRegisterPages - 1;
constexpr uint16_t kMaxRegister = kestrel::protocol::kRegistersPerPage - 1;
// A double occupies 8 bytes and the memory is 64 KiB.
constexpr int64_t kMaxMemoryAddress = kestrel::protocol::kMemorySize - 8;

std::string registerName(uint16_t page, uint16_t reg) {
  return "page " + std::to_string(page) + " register " + std::to_string(reg);
}

void addReg(CLI::App& app, Invocation& inv) {
  CLI::App* reg = group(app, "reg", "Raw board registers: reg read PAGE REG | reg write PAGE REG VALUE");
  const std::string pageHelp = "page, 0 to 15";
  const std::string regHelp = "register number, 0 to 2047";

  CLI::App* read = reg->add_subcommand("read", "Read one board register (vxclk_setClock)");
  auto readPage = positional(read, "PAGE", pageHelp);
  auto readReg = positional(read, "REG", regHelp);
  leaf(inv, read, true, [=] {
    const uint16_t page = parseUint16(*readPage, "PAGE", kMaxPage);
    const uint16_t number = parseUint16(*readReg, "REG", kMaxRegister);
    return [=](Context& ctx, Result& r) {
      uint16_t value = 0;
      check("vxclk_setClock", vxclk_setClock(ctx.board(), 0, page, number, &value));
      r.line(registerName(page, number) + " = " + hex(value, 4) + " (" + std::to_string(value) + ")");
      r.data["page"] = page;
      r.data["register"] = number;
      r.data["value"] = value;
    };
  });

  CLI::App* write = reg->add_subcommand("write", "Write one board register (vxclk_setClock)");
  auto writePage = positional(write, "PAGE", pageHelp);
  auto writeReg = positional(write, "REG", regHelp);
  auto writeValue = positional(write, "VALUE", "16-bit value, decimal or hexadecimal with 0x");
  leaf(inv, write, true, [=] {
    const uint16_t page = parseUint16(*writePage, "PAGE", kMaxPage);
    const uint16_t number = parseUint16(*writeReg, "REG", kMaxRegister);
    const uint16_t value = parseUint16(*writeValue, "VALUE");
    return [=](Context& ctx, Result& r) {
      uint16_t sent = value;
      check("vxclk_setClock", vxclk_setClock(ctx.board(), 1, page, number, &sent));
      r.line(registerName(page, number) + " <- " + hex(value, 4) + " (" + std::to_string(value) + ")");
      r.data["page"] = page;
      r.data["register"] = number;
      r.data["value"] = value;
    };
  });
}

void addMemory(CLI::App& app, Invocation& inv) {
  CLI::App* memory =
      group(app, "memory", "Doubles in board memory: memory read ADDR | memory write ADDR VALUE (8 bytes each)");
  const std::string addressHelp = "byte address, 0 to 65528 (decimal or 0x)";

  CLI::App* read = memory->add_subcommand("read", "Read the double stored at ADDR (vxclk_getEEPROMAddress)");
  auto readAddress = positional(read, "ADDR", addressHelp);
  leaf(inv, read, true, [=] {
    const auto address = static_cast<uint32_t>(parseInteger(*readAddress, "ADDR", 0, kMaxMemoryAddress));
    return [=](Context& ctx, Result& r) {
      double value = 0;
      check("vxclk_getEEPROMAddress", vxclk_getEEPROMAddress(ctx.board(), address, &value));
      r.line("memory " + std::to_string(address) + " = " + formatNumber(value));
      r.data["address"] = address;
      r.data["value"] = value;  // NaN and infinity come out as null
      r.data["text"] = formatNumber(value);
    };
  });

  CLI::App* write = memory->add_subcommand("write", "Store a double at ADDR (vxclk_writeEEPROMAddress)");
  auto writeAddress = positional(write, "ADDR", addressHelp);
  auto writeValue = positional(write, "VALUE", "a real number (nan and inf are stored as such)");
  leaf(inv, write, true, [=] {
    const auto address = static_cast<uint32_t>(parseInteger(*writeAddress, "ADDR", 0, kMaxMemoryAddress));
    const double value = parseAnyDouble(*writeValue, "VALUE");
    return [=](Context& ctx, Result& r) {
      check("vxclk_writeEEPROMAddress", vxclk_writeEEPROMAddress(ctx.board(), address, &value));
      r.line("memory " + std::to_string(address) + " <- " + formatNumber(value));
      r.data["address"] = address;
      r.data["value"] = value;
      r.data["text"] = formatNumber(value);
    };
  });
}

}  // namespace

void addRawCommands(CLI::App& app, Invocation& inv) {
  addReg(app, inv);
  addMemory(app, inv);
}

}  // namespace kestrelctl
