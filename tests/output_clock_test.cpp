// The correction of the output's clock in a closed loop: a queue that drifts by the clocks' offset
// every block, measured with the noise of real outputs, and the edits the correction asks for
// applied to it, for hours of blocks; with a backlog put on top of it now and then, as an underrun
// does.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "audio/output_clock.h"

namespace {

constexpr int kBlocksPerHour = 3600 * 4;

struct LoopCase {
  const char* name;
  double ppm;        // + the output's clock is fast (its queue drains), - it is slow
  double staleness;  // readings late by up to this many samples (a coarse output)
  double outliers;   // share of readings far too high (a reading held up)
  double step;       // a backlog put on the queue at the start of every hour but the first
};

TEST(OutputClockTest, HoldsTheQueueAndComesBackToRestAfterABacklog) {
  const LoopCase cases[] = {
      {"matched", 0, 0, 0, 0},
      {"matched, coarse and held-up readings", 0, 60, 0.01, 0},
      {"100 ppm slow", -100, 0, 0, 0},
      {"300 ppm fast, coarse", 300, 60, 0.01, 0},
      {"500 ppm slow, coarse", -500, 60, 0.01, 0},
      {"900 ppm fast", 900, 0, 0.01, 0},
      // An underrun at matched clocks: 100 ms of backlog, then nothing to do until the next.
      {"matched, a backlog of 4800 samples every hour", 0, 0, 0, 4800},
      {"matched, coarse, a backlog of 12000 samples every hour", 0, 60, 0.01, 12000},
      {"1000 ppm slow, a backlog of 12000 samples every hour", -1000, 0, 0, 12000},
      {"1000 ppm fast, coarse, a backlog of 12000 samples every hour", 1000, 60, 0.01, 12000},
  };
  constexpr int kHours = 4;
  for (const LoopCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> unit(0, 1);
    OutputClock clock;
    relay_clock_start(clock);
    double queue = 12000;
    const double drift = c.ppm * 1e-6 * 12000;  // samples per block
    for (int hour = 0; hour < kHours; ++hour) {
      long drops = 0;
      long repeats = 0;
      long beyond_cap = 0;     // blocks with more edits than the drift and a backlog may have
      long settled_edits = 0;  // in the last quarter of the hour
      double lowest = 1e9;
      double highest = -1e9;
      if (hour > 0) {
        queue += c.step;
        relay_clock_restart(clock);
      }
      for (int block = 0; block < kBlocksPerHour; ++block) {
        queue -= drift;
        double reading = queue + c.staleness * unit(random);
        if (unit(random) < c.outliers) {
          reading += 20000 * unit(random);
        }
        const int edits = relay_clock_update(clock, true, reading);
        // A backlog is worked off at up to 1000 ppm beyond what the drift needs.
        beyond_cap += std::abs(edits) > std::ceil(std::abs(drift)) + kClockMaxRate ? 1 : 0;
        queue -= edits;
        (edits > 0 ? drops : repeats) += std::abs(edits);
        if (block >= 3 * kBlocksPerHour / 4) {
          settled_edits += edits;
          lowest = std::min(lowest, queue - clock.set_point);
          highest = std::max(highest, queue - clock.set_point);
        }
      }
      SCOPED_TRACE("hour " + std::to_string(hour));
      EXPECT_EQ(beyond_cap, 0);
      // What the drift asks for, and for a backlog, at most the backlog, and at least the
      // backlog less the dead band (working it off ends at half the dead band).
      const double implied = std::abs(drift) * kBlocksPerHour;
      const double backlog = hour > 0 ? c.step : 0;
      const long net = std::abs(drops - repeats);
      const long wrong = c.ppm < 0 || (c.ppm == 0 && backlog > 0) ? repeats : drops;
      if (c.ppm == 0) {
        EXPECT_LE(static_cast<double>(net), backlog + 2);
        EXPECT_GE(static_cast<double>(net), backlog - kClockDeadBand);
        EXPECT_LE(static_cast<double>(wrong), 0.05 * net) << drops << " drops, " << repeats;
        EXPECT_EQ(settled_edits, 0);  // then none at all
      } else {
        const double wanted = c.ppm < 0 ? drops - backlog : repeats + backlog;
        EXPECT_NEAR(wanted, implied, 0.02 * implied + kClockDeadBand);
        EXPECT_NEAR(static_cast<double>(std::abs(settled_edits)), implied / 4, 0.05 * implied / 4);
      }
      // Within the dead band once it settled.
      EXPECT_GE(lowest, -kClockDeadBand);
      EXPECT_LE(highest, kClockDeadBand);
    }
  }
}

// The set point is the least queue of the first blocks after each start (the very first on), plus
// half the dead band for their noise: a lower reading inside that window counts, one after it does
// not, and a restart before the set point is known opens the window again.
TEST(OutputClockTest, EarlyWindowBoundsTheSetPoint) {
  const struct {
    const char* name;
    int low_block;      // the block (from 1, after the last start) that reads 11000, not 12000
    int restart_after;  // the output restarts after this many blocks (0: never)
    double set_point;
  } cases[] = {
      {"the first block low", 1, 0, 11240},
      {"the window's last block low", kClockEarlyBlocks, 0, 11240},
      {"the block after the window low", kClockEarlyBlocks + 1, 0, 12240},
      {"low after a restart, in the window it opens again", 3, 30, 11240},
      {"low after a restart, past that window", kClockEarlyBlocks + 1, 30, 12240},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OutputClock clock;
    relay_clock_start(clock);
    int since_start = 0;
    for (int block = 1; !clock.settled && block < 200; ++block) {
      if (block == c.restart_after + 1 && c.restart_after > 0) {
        relay_clock_restart(clock);
        since_start = 0;
      }
      ++since_start;
      const bool low =
          since_start == c.low_block && (c.restart_after == 0 || block > c.restart_after);
      relay_clock_update(clock, true, low ? 11000 : 12000);
    }
    EXPECT_TRUE(clock.settled);
    EXPECT_EQ(clock.set_point, c.set_point);
  }
}

// A restart of the output (after an underrun) forgets what was measured of it: the queue the status
// line shows, and the timing of a coarse output's steps, which count from its new start; the set
// point and the drift stay, and the drift is followed on.
TEST(OutputClockTest, RestartForgetsTheOutputsMeasures) {
  OutputClock clock;
  relay_clock_start(clock);
  clock.queue = 20000;
  clock.measured = true;
  clock.step_ns = clock.exact_step_ns = clock.own_step_ns = 5000000000;
  clock.step_within_ns = 1000000;
  clock.step_period_ns = 500000000;
  clock.held_since = 4000000000;
  clock.read_ns = 5000000000;
  clock.fetch_ns = 25000000;
  clock.settled = true;
  clock.set_point = 18000;
  clock.rate = 3;
  relay_clock_restart(clock);
  EXPECT_EQ(clock.queue, -1);
  EXPECT_FALSE(clock.measured);
  EXPECT_EQ(clock.step_ns + clock.exact_step_ns + clock.own_step_ns + clock.step_within_ns, 0);
  EXPECT_EQ(clock.step_period_ns, 0);
  EXPECT_EQ(clock.held_since, -1);
  EXPECT_EQ(clock.read_ns, 0);
  EXPECT_FALSE(relay_clock_holds(clock));
  EXPECT_TRUE(clock.settled);
  EXPECT_EQ(clock.set_point, 18000);
  EXPECT_EQ(clock.rate, 3);
  // ... and that drift is followed again as soon as the output's queue counts (after the blocks
  // skipped and those of the median), not a minute later.
  int edits = 0;
  for (int block = 0; block < kClockSkipBlocks + kClockMedianBlocks; ++block) {
    edits = relay_clock_update(clock, true, 18000);
  }
  EXPECT_EQ(edits, 3);
}

}  // namespace
