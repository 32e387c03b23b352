#include "audio/output_clock.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cmath>

#include "board/board_link.h"
#include "common/clock.h"

namespace {

// Readings of the output per block, spread over the polls.
constexpr uint32_t kReadsPerBlock = 256;
// Smoothing of the board's pace, in blocks; an interval further off than an eighth does not count
// (a stall, or blocks fetched back to back after one), unless the pace itself has changed.
constexpr double kPaceBlocks = 16;
constexpr int kOffPaceBlocks = 16;
// The least drift that is followed, in edits per block (8 ppm): below it the clocks agree.
constexpr double kLeastRate = 0.1;
// A backlog is worked off by 1/32 of its distance from half the dead band per block (at least one
// sample, at most kClockMaxRate).
constexpr double kWorkOffBlocks = 32;

double samples_per_ns(const OutputClock& clock) {
  return kBlockSamples / clock.block_ns;
}

// One reading. The queue is read before the time, so that a reading held up in between can only
// come out too large.
void read_output(OutputClock& clock, snd_pcm_t* handle) {
  if (clock.block_ns <= 0 || snd_pcm_state(handle) != SND_PCM_STATE_RUNNING) {
    return;
  }
  snd_pcm_sframes_t queued = 0;
  if (snd_pcm_delay(handle, &queued) < 0) {
    return;
  }
  const double value =
      static_cast<double>(queued) +
      static_cast<double>(clock_now_ns() - clock.last_write_ns) * samples_per_ns(clock);
  if (!clock.measured || value < clock.lowest) {
    clock.lowest = value;
    clock.measured = true;
  }
}

// The freshest queue just before the write at `now`, from this block's readings and those of the
// recent blocks, each moved on by what was written and played since. The spans are short, so that
// an error of the pace moves little.
double freshest_queue(OutputClock& clock, int64_t now) {
  const int slot = clock.window_blocks++ % kClockWindowBlocks;
  clock.window[slot] =
      clock.lowest - static_cast<double>(now - clock.last_write_ns) * samples_per_ns(clock);
  clock.window_ns[slot] = static_cast<double>(now);
  double queue = clock.window[slot];
  double written = 0;  // written from the write of the block `back` blocks ago until this one
  for (int back = 1; back < std::min(clock.window_blocks, kClockWindowBlocks); ++back) {
    const int older = (slot + kClockWindowBlocks - back) % kClockWindowBlocks;
    written += clock.window_written[older];
    queue = std::min(
        queue, clock.window[older] + written -
                   (static_cast<double>(now) - clock.window_ns[older]) * samples_per_ns(clock));
  }
  return queue;
}

// The board's pace, from the time between two writes.
void pace(OutputClock& clock, int64_t now) {
  if (clock.last_write_ns >= 0) {
    const auto interval = static_cast<double>(now - clock.last_write_ns);
    if (clock.block_ns <= 0 || clock.off_pace >= kOffPaceBlocks) {
      clock.block_ns = interval;
      clock.off_pace = 0;
    } else if (std::abs(interval - clock.block_ns) <= clock.block_ns / 8) {
      clock.block_ns += (interval - clock.block_ns) / kPaceBlocks;
      clock.off_pace = 0;
    } else {
      ++clock.off_pace;
    }
  }
  clock.last_write_ns = now;
}

double clamp(double value, double limit) {
  return std::clamp(value, -limit, limit);
}

// The median of the recent blocks' values.
double median(const double (&values)[kClockMedianBlocks]) {
  double sorted[kClockMedianBlocks] = {};
  for (int i = 0; i < kClockMedianBlocks; ++i) {  // insertion: a handful of values
    int at = i;
    for (; at > 0 && sorted[at - 1] > values[i]; --at) {
      sorted[at] = sorted[at - 1];
    }
    sorted[at] = values[i];
  }
  return sorted[kClockMedianBlocks / 2];
}

// The slope of the least-squares line through the trend, oldest first, in samples per block.
double slope(const OutputClock& clock) {
  constexpr int n = kClockTrendBlocks;
  constexpr double mean_x = (n - 1) / 2.0;
  constexpr double sxx = static_cast<double>(n) * (static_cast<double>(n) * n - 1) / 12;
  const int oldest = clock.trend_blocks % n;
  double sxy = 0;
  for (int x = 0; x < n; ++x) {
    sxy += (x - mean_x) * clock.trend[(oldest + x) % n];
  }
  return sxy / sxx;
}

}  // namespace

void relay_clock_start(OutputClock& clock) {
  clock = OutputClock{};
}

void relay_clock_poll(OutputClock& clock, snd_pcm_t* handle) {
  ++clock.polls;
  if (clock.until_read-- == 0) {
    clock.until_read = clock.polls_per_read - 1;
    read_output(clock, handle);
  }
}

int relay_clock_edits(OutputClock& clock, snd_pcm_t* handle, unsigned BytesAvail) {
  read_output(clock, handle);
  const int64_t now = clock_now_ns();
  const bool measured = clock.measured;
  double queue = 0;
  if (measured) {
    queue =
        freshest_queue(clock, now) + (BytesAvail > kBlockSamples ? BytesAvail - kBlockSamples : 0);
  } else {
    clock.window_blocks = 0;  // the readings of blocks before a gap do not count
  }
  pace(clock, now);
  clock.polls_per_read = std::max<uint32_t>(1, clock.polls / kReadsPerBlock);
  clock.until_read = std::min(clock.until_read, clock.polls_per_read - 1);
  clock.polls = 0;
  clock.measured = false;
  const int edits = relay_clock_update(clock, measured, queue);
  if (measured) {
    clock.window_written[(clock.window_blocks - 1) % kClockWindowBlocks] = kBlockSamples - edits;
  }
  return edits;
}

void relay_clock_restart(OutputClock& clock) {
  clock.running_blocks = 0;
  clock.window_blocks = 0;
  clock.recent_blocks = 0;
  clock.trend_blocks = 0;
  clock.working_off = false;
  clock.owed = 0;
  if (!clock.settled) {
    clock.settled_blocks = 0;
  }
}

int relay_clock_update(OutputClock& clock, bool measured, double queue) {
  if (!measured) {
    return 0;  // the output is not playing yet (or again): nothing to follow
  }
  if (++clock.running_blocks <= kClockSkipBlocks) {
    return 0;
  }
  if (!clock.settled) {
    clock.settling[clock.settled_blocks++] = queue;
    if (clock.settled_blocks == kClockSettleBlocks) {
      double* const middle = clock.settling + kClockSettleBlocks / 2;
      std::nth_element(clock.settling, middle, clock.settling + kClockSettleBlocks);
      clock.set_point = *middle;
      clock.settled = true;
    }
    return 0;
  }
  // The queue as it would be had nothing been edited, taken over recent blocks.
  clock.recent[clock.recent_blocks++ % kClockMedianBlocks] = queue + clock.edited;
  if (clock.recent_blocks < kClockMedianBlocks) {
    return 0;
  }
  const double unedited = median(clock.recent);
  clock.distance = unedited - clock.edited - clock.set_point;

  // The drift, once a minute of blocks has been measured since the output (re)started; until
  // then the one learned before.
  clock.trend[clock.trend_blocks++ % kClockTrendBlocks] = unedited;
  if (clock.trend_blocks >= kClockTrendBlocks) {
    clock.rate = clamp(slope(clock), kClockMaxRate);
  }

  // A backlog: from beyond the dead band back to half of it.
  const double magnitude = std::abs(clock.distance);
  if (magnitude > kClockDeadBand) {
    clock.working_off = true;
  } else if (magnitude <= kClockDeadBand / 2) {
    clock.working_off = false;
  }
  double backlog = 0;
  if (clock.working_off) {
    const double beyond = (magnitude - kClockDeadBand / 2) / kWorkOffBlocks;
    backlog =
        std::copysign(std::clamp(beyond, 1.0, static_cast<double>(kClockMaxRate)), clock.distance);
  }

  const double drift = std::abs(clock.rate) >= kLeastRate ? clock.rate : 0;
  clock.owed += clamp(drift + backlog, kClockMaxEdits);
  const auto edits = static_cast<int>(clock.owed);  // whole edits, toward zero
  clock.owed -= edits;
  clock.edited += edits;
  return edits;
}
