// Frames sent ahead of their answers: the same frames, in the same order,
// with the same results as one frame at a time; only the waiting changes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "api/api_instance.h"
#include "support/board_fixture.h"

namespace kestrel::testing {
namespace {

namespace p = protocol;

bool pipelining(void* instance) { return static_cast<ApiInstance*>(instance)->device.link.pipelining(); }

// A new instance, allowed to pipeline or not, connected to the board.
void* instanceOn(const EmulatorBoard& board, bool pipeline) {
  void* h = vxclk_createInstance();
  static_cast<ApiInstance*>(h)->device.link.pipelineAllowed = pipeline;
  EXPECT_EQ(vxclk_connect(h, board.address().c_str()), VXCLK_OK);
  EXPECT_EQ(pipelining(h), pipeline);
  return h;
}

// Calls whose frames do not all wait for the answer before them, and a few
// reads between them; each writes what it gives back into `out`.
using Call = std::function<int32_t(void*, std::vector<double>& out)>;
const std::vector<Call> kSession = {
    [](void* h, auto&) { return vxclk_generateClock(h, 1800.0, 19); },
    [](void* h, auto&) { return vxclk_setTx1Power(h, 9); },
    [](void* h, auto&) { return vxclk_setFMFrequency(h, 5); },
    [](void* h, auto&) { return vxclk_enableFM(h, 1); },
    [](void* h, auto&) { return vxclk_setFMAmplitude(h, 123); },
    [](void* h, auto& out) {
      int32_t lock = -1;
      const int32_t status = vxclk_checkVCOLock(h, &lock);
      out.push_back(lock);
      return status;
    },
    [](void* h, auto&) { return vxclk_setTx2PMFrequency(h, 12.5); },
    [](void* h, auto&) { return vxclk_setTx2BUJPRBS(h, 7, 1); },
    [](void* h, auto&) {
      const double value = 3.75;
      return vxclk_writeEEPROMAddress(h, 40000, &value);
    },
    [](void* h, auto& out) {
      double value = 0;
      const int32_t status = vxclk_getEEPROMAddress(h, 40000, &value);
      out.push_back(value);
      return status;
    },
    [](void* h, auto&) { return vxclk_saveFMCalibrationValues(h, 1.0, 2, std::vector<double>(7, 0.5).data()); },
    [](void* h, auto&) { return vxclk_generateClock(h, 4321.3, 19); },
    [](void* h, auto& out) {
      uint16_t value = 0xFFFF;
      const int32_t status = vxclk_setClock(h, 0, 0, p::reg::kSynthValue, &value);
      out.push_back(value);
      return status;
    },
};

struct Recorded {
  std::vector<int32_t> statuses;
  std::vector<double> outputs;
  std::vector<p::Frame> frames;
};

Recorded runSession(bool pipeline) {
  EmulatorBoard board;
  void* h = instanceOn(board, pipeline);
  board->clearFrames();
  Recorded r;
  for (const Call& call : kSession) r.statuses.push_back(call(h, r.outputs));
  for (const auto& frame : board->frames()) r.frames.push_back(frame.raw);
  vxclk_destroyInstance(h);
  return r;
}

TEST(Pipelining, TheSameFramesAndResultsAsOneFrameAtATime) {
  const Recorded ahead = runSession(true);
  const Recorded inTurn = runSession(false);
  EXPECT_EQ(ahead.statuses, inTurn.statuses);
  EXPECT_EQ(ahead.statuses, std::vector<int32_t>(kSession.size(), VXCLK_OK));
  EXPECT_EQ(ahead.outputs, inTurn.outputs);
  ASSERT_EQ(ahead.frames.size(), inTurn.frames.size());
  for (size_t i = 0; i < ahead.frames.size(); ++i) EXPECT_EQ(ahead.frames[i], inTurn.frames[i]) << "frame " << i;
}

// Over a slow link the board sees a frame, and then more, before it has
// answered the first; one frame at a time, never more than one. The round
// trip is long next to what a loaded host needs to send a frame, so how deep
// the backlog grows says nothing about speed, only whether frames go ahead.
TEST(Pipelining, FramesGoOutAheadOverASlowLink) {
  for (bool pipeline : {true, false}) {
    sim::EmulatorOptions options;
    options.address = nextLoopbackAddress();
    options.latencyUs = pipeline ? 50'000 : 1000;
    sim::BoardEmulator board(options);
    ASSERT_TRUE(board.start()) << board.lastError();
    void* h = vxclk_createInstance();
    static_cast<ApiInstance*>(h)->device.link.pipelineAllowed = pipeline;
    ASSERT_EQ(vxclk_connect(h, options.address.c_str()), VXCLK_OK);
    ASSERT_EQ(vxclk_generateClock(h, 1800.0, 19), VXCLK_OK);  // adopts the stored clock first
    ASSERT_EQ(vxclk_generateClock(h, 2000.0, 19), VXCLK_OK);
    std::printf("%s: at most %d frames waited for their answers\n", pipeline ? "pipelined" : "one at a time",
                board.deepestBacklog());
    EXPECT_NEAR(board.synthState().outputA, 2000.0, 1e-9);
    if (pipeline) {
      EXPECT_GE(board.deepestBacklog(), 2);
    } else {
      EXPECT_EQ(board.deepestBacklog(), 1);
    }
    vxclk_destroyInstance(h);
  }
}

// A board that pads its answers cannot be read as a stream: it gets one
// frame at a time.
TEST(Pipelining, ABoardThatPadsItsAnswersGetsOneFrameAtATime) {
  EmulatorBoard board;
  sim::HostileOptions padding;
  padding.maxPieces = 1;
  padding.maxDelayMs = 0;
  padding.maxExtraBytes = 1;
  padding.resetPerMille = 0;
  padding.closePerMille = 0;
  padding.seed = 3;
  board->hostileAnswers(padding);
  void* h = vxclk_createInstance();
  ASSERT_EQ(vxclk_connect(h, board.address().c_str()), VXCLK_OK);
  EXPECT_FALSE(pipelining(h));
  EXPECT_EQ(vxclk_generateClock(h, 1800.0, 19), VXCLK_OK);
  vxclk_destroyInstance(h);
}

}  // namespace
}  // namespace kestrel::testing
