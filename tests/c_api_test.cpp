// Runs the C translation unit's checks against an emulator.
#include <gtest/gtest.h>

#include "support/board_fixture.h"

extern "C" size_t c_active_config_size(void);
extern "C" int c_api_session(const char* address);

namespace kestrel::testing {
namespace {

TEST(CInterface, RecordLayoutMatches) { EXPECT_EQ(c_active_config_size(), sizeof(ActiveConfig)); }

TEST(CInterface, SessionFromC) {
  const char* real = realBoardAddress();
  std::unique_ptr<EmulatorBoard> board;
  if (real == nullptr) board = std::make_unique<EmulatorBoard>();
  EXPECT_EQ(c_api_session(real != nullptr ? real : board->address().c_str()), 0);
}

}  // namespace
}  // namespace kestrel::testing
