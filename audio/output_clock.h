// Following the sound output's clock. The board's sample clock and the sound card's are two
// crystals, never exactly equal: left alone, the output's queue slowly drains (a fast output, which
// then runs dry) or fills (a slow one, which then holds the relay up until the board's buffer
// overflows). The relay measures the queue once per block, at the moment it writes, and when the
// queue has moved away from where it settled after start-up, it drops or repeats single samples
// at the flattest places of the blocks, as many as the drift needs. While the clocks agree it
// edits nothing.
#pragma once

#include <cstdint>

typedef struct _snd_pcm snd_pcm_t;  // as <alsa/asoundlib.h> declares it

// Blocks measured after a start (or a restart after an underrun) before the queue counts.
constexpr int kClockSkipBlocks = 8;
// Blocks whose queue, taken together (their median), is the set point.
constexpr int kClockSettleBlocks = 32;
// Most edits in one block: 12 samples in 12000 follow clocks up to 1000 ppm apart.
constexpr int kClockMaxEdits = 12;
// Distance from the set point, in samples, within which the queue is left alone (10 ms).
constexpr double kClockDeadBand = 480;

// What the relay knows of the output's clock; one record for the run, held by the relay.
struct OutputClock {
  int64_t origin_ns = 0;       // CLOCK_MONOTONIC time 0 of the readings
  int64_t last_write_ns = -1;  // time of the previous block's write
  double block_ns = 0;         // time between two writes, smoothed: the board's pace; 0 = unknown

  // This block's readings of the output. A coarse output (one that moves its position once per
  // period) reports stale positions between its steps, which make the queue look larger than it
  // is; the smallest reading, each projected to the moment of the write, is the freshest.
  uint32_t polls = 0;           // polls of the board in this block so far
  uint32_t polls_per_read = 1;  // polls between two readings
  double lowest = 0;            // least queue + frames the output plays until the reading
  bool measured = false;        // `lowest` holds a reading of this block

  int running_blocks = 0;  // blocks measured since the output (re)started
  double settling[kClockSettleBlocks] = {};
  int settled_blocks = 0;  // blocks in `settling`
  bool settled = false;    // `set_point` holds
  double set_point = 0;    // queue just before a write, in samples
  double level = 0;        // smoothed distance of the queue from the set point
  double rate = 0;         // edits per block the drift needs: + drops, - repeats
  double owed = 0;         // part of an edit carried over to the next block
};

// Starts following at the opening of the output.
void relay_clock_start(OutputClock& clock);

// Called at every poll of the board: now and then reads how much the output holds.
void relay_clock_poll(OutputClock& clock, snd_pcm_t* handle);

// Called right before a block is written: takes this block's measurement and returns how many
// samples of the block to edit: n > 0 drops n samples, n < 0 repeats -n, 0 leaves it whole.
int relay_clock_edits(OutputClock& clock, snd_pcm_t* handle);

// The output underran and was restarted: its queue starts over, the set point stays.
void relay_clock_restart(OutputClock& clock);

// The correction itself, for one block whose queue (samples held just before the write) was
// measured as `queue` (`measured` false: not measured). Returns the edits as relay_clock_edits.
int relay_clock_update(OutputClock& clock, bool measured, double queue);
