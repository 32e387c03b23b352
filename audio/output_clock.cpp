#include "audio/output_clock.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cmath>

#include "board/board_link.h"
#include "common/clock.h"

namespace {

// Readings of the output per block, spread over the polls.
constexpr uint32_t kReadsPerBlock = 256;
// The board's pace as its sample rate gives it, until enough writes are known to measure it: its
// crystal and the host's clock are a few ppm apart, far less than what a busy host's writes, late
// by its preemptions, would make of a handful of intervals (a start 5 % off, seen, which made the
// first blocks' queue look 30 ms short).
constexpr double kNominalBlockNs = 1e9 * kBlockSamples / kSampleRate;
// Writes after which the pace is taken over all the recent ones.
constexpr int kMinPaceWrites = 64;
// The drift, in edits per block, from which on it is followed (17 ppm), and below which it is no
// longer followed (8 ppm): below it the clocks agree. The gap between the two keeps a slope that
// noisy readings move a little from following and letting go by turns.
constexpr double kFollowedRate = 0.2;
constexpr double kLeastRate = 0.1;
// A drift this far (2050 ppm) is beyond the relay's reach: the drift's own edits stop at
// kClockMaxRate, but the distance they leave is worked off by as many again, so that it keeps up
// with up to kClockMaxEdits a block, 2000 ppm.
constexpr double kBeyondRate = 1.025 * kClockMaxEdits;
// A backlog is worked off by 1/32 of its distance from half the dead band per block (at least one
// sample, at most kClockMaxRate).
constexpr double kWorkOffBlocks = 32;

double samples_per_ns(const OutputClock& clock) {
  return kBlockSamples / clock.block_ns;
}

// A coarse output moves its position by whole periods. One whose periods are about a block long or
// longer may move it only while a block is being fetched, when no reading is taken, and keep doing
// so while the two clocks drift apart by less than that time: every reading would then be late by
// up to the fetch's time. The fetch waits for such a step that is due while it would take place.
// A step this large (samples beyond what plays between two readings) counts:
constexpr double kCoarseStep = 3 * kBlockSamples / 4.0;
// ... seen within this time of the reading before it (a write, or a preemption, may lie between):
constexpr int64_t kPreciseNs = 10000000;
// ... and within this time, exactly enough to time the steps by.
constexpr int64_t kExactNs = 1500000;
// The fetch waits until the step has been seen or this long after it was due, and never longer
// than kLongestHoldNs in all.
constexpr int64_t kStepMarginNs = 5000000;
constexpr int64_t kLongestHoldNs = 40000000;
// Steps apart over which the time between two is measured.
constexpr double kStepPeriodsKnown = 16;

// Times a coarse output's steps from a reading of `queued` at `now` and the reading before it: a
// step seen right when it happened tells when the next is due.
void time_steps(OutputClock& clock, double queued, int64_t now) {
  if (clock.read_ns <= 0 || now - clock.read_ns > kPreciseNs) {
    return;
  }
  const double step =
      clock.read_queued - queued - static_cast<double>(now - clock.read_ns) * samples_per_ns(clock);
  if (step < kCoarseStep) {
    return;
  }
  if (clock.read_ns > clock.last_write_ns) {
    clock.own_step_ns = now;  // seen between two writes: a step of the output's own
  }
  // The time between two steps: from the size of one, at first; then from the time between two
  // seen right as they happened, which is the output's own.
  const double size_ns = (clock.read_queued - queued) / samples_per_ns(clock);
  if (clock.step_period_ns <= 0) {
    clock.step_period_ns = size_ns;
  }
  if (now - clock.read_ns <= kExactNs) {
    const double since = static_cast<double>(now - clock.exact_step_ns);
    const double periods = std::round(since / clock.step_period_ns);
    if (clock.exact_step_ns > 0 && periods >= 1 && periods <= kStepPeriodsKnown &&
        std::abs(since / periods - size_ns) < size_ns / 16) {
      clock.step_period_ns = since / periods;
    }
    clock.exact_step_ns = now;
  }
  clock.step_ns = now;
  clock.step_within_ns = now - clock.read_ns;
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
  const int64_t now = clock_now_ns();
  const double value = static_cast<double>(queued) +
                       static_cast<double>(now - clock.last_write_ns) * samples_per_ns(clock);
  if (!clock.measured || value < clock.lowest) {
    clock.lowest = value;
    clock.measured = true;
  }
  time_steps(clock, static_cast<double>(queued), now);
  clock.read_ns = now;
  clock.read_queued = static_cast<double>(queued);
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

// The board's pace, from the time between two writes: at first its sample rate's, and once enough
// writes are known, over all of them, so that a write held up by the host (a preemption, a stall)
// moves it by that delay over a thousand blocks.
void pace(OutputClock& clock, int64_t now) {
  const int slot = clock.writes % kClockPaceBlocks;
  // The oldest write kept: the first, or the one this write takes the place of.
  const int64_t oldest =
      clock.writes < kClockPaceBlocks ? clock.writes_ns[0] : clock.writes_ns[slot];
  const int intervals = std::min(clock.writes, kClockPaceBlocks);  // from the oldest to this one
  clock.writes_ns[slot] = now;
  ++clock.writes;
  if (intervals >= kMinPaceWrites) {
    clock.block_ns = static_cast<double>(now - oldest) / intervals;
    clock.last_write_ns = now;
    return;
  }
  clock.block_ns = kNominalBlockNs;
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

bool relay_block_is_silence(const uint8_t* samples) {
  for (uint32_t i = 0; samples != nullptr && i < kBlockSamples; ++i) {
    if (std::abs(static_cast<int16_t>(samples[2 * i] | samples[2 * i + 1] << 8)) >
        kClockSilenceLevel) {
      return false;
    }
  }
  return samples != nullptr;
}

void relay_clock_start(OutputClock& clock, unsigned long buffer) {
  clock = OutputClock{};
  clock.follows = buffer > kBlockSamples;
  clock.small = clock.follows && buffer < 2 * kBlockSamples;
  clock.buffer = buffer;
}

void relay_clock_poll(OutputClock& clock, snd_pcm_t* handle) {
  ++clock.polls;
  if (clock.until_read-- == 0) {
    clock.until_read = clock.polls_per_read - 1;
    read_output(clock, handle);
  }
}

bool relay_clock_holds(OutputClock& clock) {
  if (clock.step_period_ns <= 0 || clock.fetch_ns <= 0 || clock.own_step_ns == 0) {
    return false;
  }
  const int64_t now = clock_now_ns();
  // An output whose position moves only as it is written to (ALSA's null output) shows steps at
  // the writes alone, which no wait will see: only one that steps between writes is waited for.
  if (static_cast<double>(now - clock.own_step_ns) > kStepPeriodsKnown * clock.step_period_ns) {
    return false;
  }
  if (clock.held_since < 0) {
    clock.held_since = now;
  }
  if (now - clock.held_since >= kLongestHoldNs) {
    return false;
  }
  // The next step: the first after the last one seen, less the margin, from now on.
  double due = static_cast<double>(clock.step_ns) + clock.step_period_ns;
  const double past = static_cast<double>(now - kStepMarginNs) - due;
  if (past > 0) {
    due += std::ceil(past / clock.step_period_ns) * clock.step_period_ns;
  }
  if (due - static_cast<double>(clock.step_within_ns) >
      static_cast<double>(now + clock.fetch_ns + kStepMarginNs)) {
    return false;  // not while this block is fetched
  }
  clock.until_read = 0;  // read at every poll until it is seen
  return true;
}

void relay_clock_counted(OutputClock& clock) {
  clock.counted_ns = clock_now_ns();
}

int relay_clock_edits(OutputClock& clock, snd_pcm_t* handle, unsigned BytesAvail,
                      const uint8_t* samples) {
  read_output(clock, handle);
  const int64_t now = clock_now_ns();
  const bool measured = clock.measured;
  double queue = 0;
  if (measured) {
    // The board's count was read before the fetch: what it held beyond the block then, and what
    // it has added since, at its pace. The output's queue and the board's are then taken at the
    // same moment, however long the host stood still between the count and the write.
    const double beyond = BytesAvail > kBlockSamples ? BytesAvail - kBlockSamples : 0;
    const double output = freshest_queue(clock, now);
    queue = output + beyond + static_cast<double>(now - clock.counted_ns) * samples_per_ns(clock);
    clock.queue = queue;
    if (clock.small && clock.pause_ms < 0 && clock.writes >= kClockSkipBlocks) {
      // The output's own queue just before a write is the least it holds: what a pause of the
      // whole system, the relay's writes stopped, has to play from.
      clock.small_low = clock.small_low < 0 ? output : std::min(clock.small_low, output);
      if (clock.writes >= kClockSkipBlocks + kClockPauseBlocks) {
        clock.pause_ms = static_cast<int>(clock.small_low / samples_per_ns(clock) / 1e6);
      }
    }
  } else {
    clock.window_blocks = 0;  // the readings of blocks before a gap do not count
  }
  clock.fetch_ns = now - clock.counted_ns;
  clock.held_since = -1;
  pace(clock, now);
  clock.polls_per_read = std::max<uint32_t>(1, clock.polls / kReadsPerBlock);
  clock.until_read = std::min(clock.until_read, clock.polls_per_read - 1);
  clock.polls = 0;
  clock.measured = false;
  const int edits = relay_clock_update(clock, measured && clock.follows, queue, samples);
  clock.read_queued += kBlockSamples - edits;  // what the write adds, for the next reading
  if (measured) {
    clock.window_written[(clock.window_blocks - 1) % kClockWindowBlocks] = kBlockSamples - edits;
  }
  return edits;
}

void relay_clock_restart(OutputClock& clock) {
  // The output starts over: what was measured of it is gone (the queue the status line shows, and
  // when a coarse output steps: its steps count from its new start).
  clock.queue = -1;
  clock.measured = false;
  clock.step_ns = 0;
  clock.step_within_ns = 0;
  clock.exact_step_ns = 0;
  clock.step_period_ns = 0;
  clock.own_step_ns = 0;
  clock.held_since = -1;
  clock.read_ns = 0;
  clock.running_blocks = 0;
  clock.early_blocks = 0;
  clock.window_blocks = 0;
  clock.recent_blocks = 0;
  clock.trend_blocks = 0;
  clock.working_off = false;
  clock.owed = 0;
  if (!clock.settled) {
    clock.settled_blocks = 0;
  }
}

int relay_clock_update(OutputClock& clock, bool measured, double queue, const uint8_t* samples) {
  if (!measured) {
    return 0;  // the output is not playing yet (or again): nothing to follow
  }
  // The queue of the first blocks after each start, the very first included, until the set point
  // is known: an upset in the first seconds comes after some of them. A queue below nothing is
  // readings from before a stall that ran the output dry (which the write then finds): none.
  if (!clock.settled && ++clock.early_blocks <= kClockEarlyBlocks && queue >= 0) {
    clock.least = clock.least < 0 ? queue : std::min(clock.least, queue);
  }
  if (++clock.running_blocks <= kClockSkipBlocks) {
    return 0;
  }
  if (!clock.settled) {
    clock.settling[clock.settled_blocks++] = queue;
    if (clock.settled_blocks == kClockSettleBlocks) {
      double* const middle = clock.settling + kClockSettleBlocks / 2;
      std::nth_element(clock.settling, middle, clock.settling + kClockSettleBlocks);
      // The queue as it began: that of the first blocks after the start. Since then an upset
      // (the relay or the board held up until the output ran dry, a restart of the output) may
      // have left the silence that the output played as a delay, and the output's clock, not
      // followed yet, has moved the queue for a minute: neither is for the set point to keep.
      // Readings err only long, so the least of the first blocks', plus half the dead band for
      // their noise, is the queue as it began. Without such readings, these blocks' median.
      clock.set_point = clock.least >= 0 ? clock.least + kClockDeadBand / 2 : *middle;
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
    const double drift = slope(clock);
    clock.rate = clamp(drift, kClockMaxRate);
    clock.rate_known = true;
    // Beyond what is followed, for a minute: the output's clock is too far off.
    clock.beyond_blocks = std::abs(drift) > kBeyondRate ? clock.beyond_blocks + 1 : 0;
    if (clock.beyond_blocks == kClockTrendBlocks && clock.beyond_ppm == 0) {
      clock.beyond_ppm = drift / kBlockSamples * 1e6;
    }
  }

  // A backlog: from beyond the dead band back to half of it.
  const double magnitude = std::abs(clock.distance);
  if (magnitude > kClockDeadBand) {
    clock.working_off = true;
  } else if (magnitude <= kClockDeadBand / 2) {
    clock.working_off = false;
  }
  double backlog = 0;
  double most = kClockMaxEdits;  // edits this block may carry
  if (clock.working_off && relay_block_is_silence(samples)) {
    backlog = clock.distance;  // unheard: all of it, now
    most = kBlockSamples;
  } else if (clock.working_off) {
    const double beyond = (magnitude - kClockDeadBand / 2) / kWorkOffBlocks;
    backlog =
        std::copysign(std::clamp(beyond, 1.0, static_cast<double>(kClockMaxRate)), clock.distance);
  }

  if (std::abs(clock.rate) >= kFollowedRate) {
    clock.following = true;
  } else if (std::abs(clock.rate) < kLeastRate) {
    clock.following = false;
  }
  const double drift = clock.following ? clock.rate : 0;
  clock.owed += clamp(drift + backlog, most);
  const auto edits = static_cast<int>(clock.owed);  // whole edits, toward zero
  clock.owed -= edits;
  clock.edited += edits;
  return edits;
}
