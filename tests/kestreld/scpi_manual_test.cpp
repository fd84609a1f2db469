// docs/scpi.md is the programming manual: every command of the tree is in
// one of its tables, and every command its tables name is in the tree.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "remote_calls.h"
#include "scpi_session.h"

namespace kestreld {
namespace {

// The header of a manual's cell entry: "`[SOURce]:FM:STATe ON\|OFF`" gives
// "[SOURce]:FM:STATe", "`*ESE?`" gives "*ESE".
std::string headerOf(const std::string& code) {
  const std::string header = code.substr(0, code.find_first_of(" ?"));
  return header;
}

// The commands named in the first cell of every table row of the manual.
std::set<std::string> manualCommands() {
  std::ifstream file(KESTREL_SOURCE_DIR "/docs/scpi.md");
  EXPECT_TRUE(file) << "docs/scpi.md";
  std::set<std::string> commands;
  const std::regex code("`([^`]+)`");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("| `", 0) != 0) continue;
    const std::string cell = line.substr(1, line.find(" |", 1));
    for (auto it = std::sregex_iterator(cell.begin(), cell.end(), code); it != std::sregex_iterator(); ++it) {
      const std::string text = (*it)[1];
      if (text.rfind("--", 0) == 0 || text == "?") continue;  // the options table; "/ `?`"
      commands.insert(headerOf(text));
    }
  }
  return commands;
}

std::set<std::string> treeCommands() {
  std::set<std::string> commands;
  for (const CommandEntry& entry : commandTree().entries()) commands.insert(entry.pattern);
  return commands;
}

TEST(ScpiManual, NamesEveryCommandOfTheTreeAndNoOther) {
  const std::set<std::string> manual = manualCommands();
  const std::set<std::string> tree = treeCommands();
  for (const std::string& command : tree) EXPECT_TRUE(manual.count(command)) << command << " is not in docs/scpi.md";
  for (const std::string& command : manual) EXPECT_TRUE(tree.count(command)) << command << " is not in the tree";
  EXPECT_GT(tree.size(), 40u);
}

}  // namespace
}  // namespace kestreld

namespace kestreld {
namespace {

// DIAGnostic:CALL? reaches every export of the header but those of the
// instance itself, which a remote instance runs on its own side.
TEST(RemoteCalls, EveryBoardExportOfTheHeaderIsReachable) {
  std::ifstream header(KESTREL_SOURCE_DIR "/include/KestrelLib.h");
  std::stringstream text;
  text << header.rdbuf();
  const std::string source = text.str();
  std::set<std::string> exports;
  const std::regex declared(R"(KESTREL_API[^;(]*\bvxclk_(\w+)\s*\()");
  for (auto it = std::sregex_iterator(source.begin(), source.end(), declared); it != std::sregex_iterator(); ++it) {
    exports.insert((*it)[1]);
  }
  ASSERT_EQ(exports.size(), 43u);
  std::set<std::string> reachable{"APIVersion", "createInstance", "destroyInstance", "connect", "disconnect"};
  for (const std::string& name : remoteCallNames()) EXPECT_TRUE(reachable.insert(name).second) << name << " twice";
  EXPECT_EQ(reachable, exports);
}

}  // namespace
}  // namespace kestreld
