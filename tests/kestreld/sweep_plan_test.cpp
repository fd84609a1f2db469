// The points a list or a sweep plans, and the saved-state file's text read
// back as it was written: plain data, no board.
#include <gtest/gtest.h>

#include "board.h"
#include "state_store.h"
#include "sweep_plan.h"

namespace kestreld {
namespace {

std::vector<double> frequencies(const std::vector<SweepPoint>& points) {
  std::vector<double> mhz;
  for (const SweepPoint& p : points) mhz.push_back(p.mhz);
  return mhz;
}

TEST(SweepPlan, ListTakesOneDwellForAllOrOnePerPoint) {
  SweepSettings s;
  s.mode = FrequencyMode::List;
  s.listMHz = {100, 300, 200};
  s.listDwellSeconds = {0.02};
  const auto shared = planPoints(s);
  EXPECT_EQ(frequencies(shared), (std::vector<double>{100, 300, 200}));
  EXPECT_EQ(shared[2].dwellSeconds, 0.02);
  s.listDwellSeconds = {0.01, 0.02, 0.03};
  EXPECT_EQ(planPoints(s)[2].dwellSeconds, 0.03);
  s.listDwellSeconds = {0.01, 0.02};
  EXPECT_THROW(planPoints(s), BoardError);
  s.listMHz.clear();
  EXPECT_THROW(planPoints(s), BoardError);
  s.mode = FrequencyMode::Cw;
  EXPECT_THROW(planPoints(s), BoardError);
}

TEST(SweepPlan, SweepsLinearLogarithmicAndDownward) {
  SweepSettings s;
  s.mode = FrequencyMode::Sweep;
  s.startMHz = 100;
  s.stopMHz = 1000;
  s.points = 3;
  EXPECT_EQ(frequencies(planPoints(s)), (std::vector<double>{100, 550, 1000}));
  s.spacing = Spacing::Logarithmic;
  const auto log = frequencies(planPoints(s));
  EXPECT_EQ(log.front(), 100);
  EXPECT_NEAR(log[1], 316.227766, 1e-6);
  EXPECT_EQ(log.back(), 1000);
  s.direction = Direction::Down;
  EXPECT_EQ(frequencies(planPoints(s)).front(), 1000);
}

TEST(StateFile, ReadsBackWhatItWrote) {
  SavedState state;
  state.board.stored.generateFrequency = 1800.25;
  state.board.stored.tx1Power = 10;
  state.board.stored.fmEnable = true;
  state.board.calibrationSource = CalibrationSource::File;
  state.board.calibrationFile = "2026/bench cal.txt";
  state.board.bujPattern = 0xDEADBEEF;
  state.sweep.mode = FrequencyMode::List;
  state.sweep.listMHz = {100.5, 200};
  state.sweep.listDwellSeconds = {0.02, 0.03};
  state.sweep.count = sweep::kInfinite;
  state.sweep.trigger = TriggerSource::Bus;
  const auto slots = parseStates(formatStates({{3, state}}));
  ASSERT_EQ(slots.count(3), 1u);
  const SavedState& back = slots.at(3);
  EXPECT_EQ(back.board.stored.generateFrequency, 1800.25);
  EXPECT_EQ(back.board.stored.tx1Power, 10);
  EXPECT_TRUE(back.board.stored.fmEnable);
  EXPECT_EQ(back.board.calibrationSource, CalibrationSource::File);
  EXPECT_EQ(back.board.calibrationFile, "2026/bench cal.txt");
  EXPECT_EQ(back.board.bujPattern, 0xDEADBEEFu);
  EXPECT_EQ(back.sweep.mode, FrequencyMode::List);
  EXPECT_EQ(back.sweep.listMHz, state.sweep.listMHz);
  EXPECT_EQ(back.sweep.listDwellSeconds, state.sweep.listDwellSeconds);
  EXPECT_EQ(back.sweep.count, sweep::kInfinite);
  EXPECT_EQ(back.sweep.trigger, TriggerSource::Bus);
}

}  // namespace
}  // namespace kestreld
