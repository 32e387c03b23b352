// The correction of the output's clock in a closed loop: a queue that drifts by the clocks' offset
// every block, measured with the noise of real outputs, and the edits the correction asks for
// applied to it, for hours of blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "audio/output_clock.h"

namespace {

struct LoopCase {
  const char* name;
  double ppm;        // + the output's clock is fast (its queue drains), - it is slow
  double staleness;  // readings late by up to this many samples (a coarse output)
  double outliers;   // share of readings far too high (a reading held up)
};

TEST(OutputClockTest, HoldsTheQueueAndEditsAsMuchAsTheOffset) {
  const LoopCase cases[] = {
      {"matched", 0, 0, 0},
      {"matched, coarse and held-up readings", 0, 60, 0.01},
      {"100 ppm slow", -100, 0, 0},
      {"300 ppm fast, coarse", 300, 60, 0.01},
      {"500 ppm slow, coarse", -500, 60, 0.01},
      {"900 ppm fast", 900, 0, 0.01},
  };
  constexpr int kBlocks = 4 * 3600 * 4;  // four hours
  for (const LoopCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> unit(0, 1);
    OutputClock clock;
    relay_clock_start(clock);
    double queue = 12000;
    long drops = 0;
    long repeats = 0;
    double lowest = 1e9;
    double highest = -1e9;
    for (int block = 0; block < kBlocks; ++block) {
      queue -= c.ppm * 1e-6 * 12000;
      double reading = queue + c.staleness * unit(random);
      if (unit(random) < c.outliers) {
        reading += 20000 * unit(random);
      }
      const int edits = relay_clock_update(clock, true, reading);
      ASSERT_LE(std::abs(edits), kClockMaxEdits);
      queue -= edits;
      (edits > 0 ? drops : repeats) += std::abs(edits);
      if (block > 4 * 60) {  // after the first minute
        lowest = std::min(lowest, queue - clock.set_point);
        highest = std::max(highest, queue - clock.set_point);
      }
    }
    const double implied = std::abs(c.ppm) * 1e-6 * 12000 * kBlocks;
    // A fast output needs samples repeated, a slow one samples dropped.
    EXPECT_NEAR(static_cast<double>(c.ppm >= 0 ? repeats : drops), implied, 0.01 * implied);
    EXPECT_LE(static_cast<double>(c.ppm >= 0 ? drops : repeats), 0.001 * implied);
    // Within twice the dead band: 20 ms either way.
    EXPECT_GE(lowest, -2 * kClockDeadBand);
    EXPECT_LE(highest, 2 * kClockDeadBand);
  }
}

TEST(OutputClockTest, EditsNothingUntilTheOutputPlays) {
  OutputClock clock;
  relay_clock_start(clock);
  for (int block = 0; block < 1000; ++block) {
    EXPECT_EQ(relay_clock_update(clock, false, 0), 0);
  }
  EXPECT_FALSE(clock.settled);
}

}  // namespace
