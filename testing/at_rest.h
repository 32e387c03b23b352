// Whether the relay came back to rest after every upset of a run in simulated time, judged from the
// test output's minute lines (its report): the one judge of the tests' hour rows and of
// scripts/soak.sh (through orvctl-rest-check).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Something that goes wrong, `at` seconds into the run.
struct Upset {
  enum Kind { stall, gap, step, restart } kind;
  double at;
  int value = 0;  // stall, gap: milliseconds; step: the output's new offset in ppm
};

// One minute line of the report: the M-th 2880000 frames the output took.
struct Minute {
  long long drops = 0, repeats = 0, lost = 0, repeated = 0, underruns = 0;
  bool played = false;  // queue_low, delay_low_us and delay_high_us hold
  int64_t queue_low = 0, delay_low_us = 0, delay_high_us = 0;
};

std::vector<Minute> minutes_of(const std::string& report);

// The minute line in which an upset shows, for an output `ppm` off the board's clock: the
// minutes count the audio the output took, which runs up to half a second ahead of the clock, and
// further ahead or behind by the offset.
size_t minute_of(const Upset& u, int ppm);

struct RestPlan {
  int ppm;  // the output's clock at the start: + fast (its queue drains), - slow
  std::vector<Upset> upsets;
  int buffer = 0;  // the output's buffer in frames; 0: the two blocks asked for
};

struct RestVerdict {
  std::vector<std::string> faults;  // empty: back at rest after every upset
  // The delay's band: where it rested once settled, give or take the dead band's width.
  int64_t band_low_us = 0, band_high_us = 0;
  // Over the minutes at rest: the delay's extremes, the edits the drift wants and the others, and
  // how many the offset implies.
  int64_t rest_low_us = INT64_MAX, rest_high_us = INT64_MIN;
  long long rest_wanted = 0, rest_unwanted = 0;
  double rest_minutes = 0, rest_implied = 0;
  // The longest time, in minutes from an upset's minute, until the delay was within the band for
  // the rest of the stretch.
  size_t longest_back = 0;
};

// What every run must show, and for every upset, that the relay came back to rest: nothing lost or
// played twice, no underrun but those an upset forces; the backlog worked off in one direction at
// up to 1000 ppm, no more than it needs, then only the drift's own edits (none at matched clocks);
// the delay back in its band within the backlog's time at 1000 ppm plus two minutes.
RestVerdict judge_rest(const std::vector<Minute>& minutes, const RestPlan& plan);
