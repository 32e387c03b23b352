#include "audio/output_clock.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cmath>
#include <ctime>

#include "board/board_link.h"

namespace {

// Readings of the output per block, spread over the polls.
constexpr uint32_t kReadsPerBlock = 256;
// Smoothing of the queue's distance from the set point, in blocks.
constexpr double kSmoothingBlocks = 16;
// A single measurement moves the smoothed distance by at most this much (times 1/16): a late
// reading or a stall cannot start a correction on its own.
constexpr double kLargestStep = 2 * kClockDeadBand;
// How strongly a distance beyond the dead band is corrected: at once, and by learning the rate.
constexpr double kProportional = 1.0 / 64;
constexpr double kIntegral = 1.0 / 4096;
// Smoothing of the board's pace, in blocks.
constexpr double kPaceBlocks = 16;

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

double samples_per_ns(const OutputClock& clock) {
  return kBlockSamples / clock.block_ns;
}

// One reading: the queue, plus what the output will play from now until time 0 + t. The queue is
// read before the time, so that a reading held up in between can only come out too large.
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
      static_cast<double>(monotonic_ns() - clock.origin_ns) * samples_per_ns(clock);
  if (!clock.measured || value < clock.lowest) {
    clock.lowest = value;
    clock.measured = true;
  }
}

double clamp(double value, double limit) {
  return std::clamp(value, -limit, limit);
}

}  // namespace

void relay_clock_start(OutputClock& clock) {
  clock = OutputClock{};
  clock.origin_ns = monotonic_ns();
}

void relay_clock_poll(OutputClock& clock, snd_pcm_t* handle) {
  if (clock.polls++ % clock.polls_per_read == 0) {
    read_output(clock, handle);
  }
}

int relay_clock_edits(OutputClock& clock, snd_pcm_t* handle) {
  read_output(clock, handle);
  const int64_t now = monotonic_ns();
  const bool measured = clock.measured;
  const double queue =
      measured ? clock.lowest - static_cast<double>(now - clock.origin_ns) * samples_per_ns(clock)
               : 0;
  // The board's pace, from the time between writes.
  if (clock.last_write_ns >= 0) {
    const auto interval = static_cast<double>(now - clock.last_write_ns);
    clock.block_ns =
        clock.block_ns > 0 ? clock.block_ns + (interval - clock.block_ns) / kPaceBlocks : interval;
  }
  clock.last_write_ns = now;
  clock.polls_per_read = std::max<uint32_t>(1, clock.polls / kReadsPerBlock);
  clock.polls = 0;
  clock.measured = false;
  return relay_clock_update(clock, measured, queue);
}

void relay_clock_restart(OutputClock& clock) {
  clock.running_blocks = 0;
  clock.level = 0;
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
  const double distance = queue - clock.set_point;
  clock.level += clamp(distance - clock.level, kLargestStep) / kSmoothingBlocks;
  const double beyond = std::abs(clock.level) <= kClockDeadBand
                            ? 0
                            : clock.level - std::copysign(kClockDeadBand, clock.level);
  clock.rate = clamp(clock.rate + beyond * kIntegral, kClockMaxEdits);
  clock.owed += clamp(clock.rate + beyond * kProportional, kClockMaxEdits);
  const auto edits = static_cast<int>(clock.owed);  // whole edits, toward zero
  clock.owed -= edits;
  return edits;
}
