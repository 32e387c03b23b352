// Following the sound output's clock. The board's sample clock and the sound card's are two
// crystals, never exactly equal: left alone, the output's queue slowly drains (a fast output, which
// then runs dry) or fills (a slow one, which then holds the relay up until the board's buffer
// overflows). The relay measures the queue once per block, at the moment it writes, and drops or
// repeats single samples at the flattest places of the blocks.
//
// Two things move the queue, and each is answered on its own:
// - the drift: the rate at which the queue would move if nothing were edited, learned from a
//   minute of blocks (the queue plus the edits made so far, so that the edits themselves do not
//   count). That many edits a block hold the queue where it is. While the clocks agree (the drift
//   has not reached one edit in five blocks, or has fallen below one in ten) nothing is edited.
// - a backlog: the queue away from its set point by more than the dead band, as after an underrun
//   (the output restarts with the board's backlog queued on top) or an error of the learned drift.
//   In sound it is worked off at up to 1000 ppm, back to half the dead band, and then left alone;
//   in a block of silence (a squelched board between transmissions: no sample beyond
//   kClockSilenceLevel), where an edit cannot be heard, all of it goes at once, up to the block.
#pragma once

#include <cstdint>

#include "board/board_link.h"

typedef struct _snd_pcm snd_pcm_t;  // as <alsa/asoundlib.h> declares it

// Blocks measured after a start (or a restart after an underrun) before the queue counts.
constexpr int kClockSkipBlocks = 8;
// Blocks after each start (the first measured one on) whose least queue bounds the set point, so
// that an upset before it is known does not become part of it: six seconds.
constexpr int kClockEarlyBlocks = 24;
// Blocks whose queue, taken together (their median), is the set point.
constexpr int kClockSettleBlocks = 32;
// Most edits in one block for the drift: 12 samples in 12000 follow clocks up to 1000 ppm apart.
constexpr int kClockMaxRate = 12;
// ... and as many again to work off a backlog.
constexpr int kClockMaxEdits = 2 * kClockMaxRate;
// Distance from the set point, in samples, within which the queue is left alone (10 ms).
constexpr double kClockDeadBand = 480;
// A block none of whose samples goes beyond this (-60 dBFS) is silence.
constexpr int kClockSilenceLevel = 32;
// Blocks whose readings are taken together: a coarse output moves its position only once per
// period, which can be longer than a block.
constexpr int kClockWindowBlocks = 4;
// Blocks whose queue is taken together (the median), so that a block or two held up (the whole
// system stalled for a moment) move nothing.
constexpr int kClockMedianBlocks = 7;
// Blocks over which the drift is learned (one minute).
constexpr int kClockTrendBlocks = 240;
// Writes over which the board's pace is taken (four minutes): each write can be late by the time
// the host stood still, which over so many blocks is a small part of the whole.
constexpr int kClockPaceBlocks = 1024;
// Blocks over which an output with less than two blocks of buffer is measured for how long a
// pause it rides through (half a minute).
constexpr int kClockPauseBlocks = 120;

// What the relay knows of the output's clock; one record for the run, held by the relay.
struct OutputClock {
  int64_t last_write_ns = -1;                // time of the previous block's write
  int64_t writes_ns[kClockPaceBlocks] = {};  // times of the recent writes, for the pace
  int writes = 0;                            // writes in `writes_ns` since the start
  int64_t counted_ns = 0;  // time of the board's count that let this block be fetched
  int64_t fetch_ns = 0;    // the time from that count to the write, the last block
  // A coarse output's steps of position: the last one seen right when it happened, and the time
  // between two; the last reading; since when the fetch waits for a step.
  int64_t step_ns = 0;  // (when it was seen: it happened up to step_within_ns before)
  int64_t step_within_ns = 0;
  int64_t exact_step_ns = 0;  // the last step seen within a reading's time of happening
  double step_period_ns = 0;  // 0: no such steps
  int64_t read_ns = 0;        // 0: none since the last write
  double read_queued = 0;
  int64_t held_since = -1;
  int64_t own_step_ns = 0;  // the last step seen between two writes (0: none)
  double block_ns = 0;      // time between two writes: the board's pace; 0 = unknown

  // This block's readings of the output, each projected to the moment of the write (the queue
  // less what the output plays until then). A coarse output (one that moves its position once per
  // period) reports stale positions between its steps, which make the queue look larger than it
  // is: the smallest projection, of this block and of the recent ones (their periods can be
  // longer than a block), is the freshest.
  uint32_t polls = 0;           // polls of the board in this block so far
  uint32_t polls_per_read = 1;  // polls between two readings
  uint32_t until_read = 0;      // polls until the next reading
  double lowest = 0;            // the smallest reading of this block: queue + frames played from
  bool measured = false;        // the previous write until the reading; `lowest` holds one
  double window[kClockWindowBlocks] = {};          // queue just before each recent block's write
  double window_ns[kClockWindowBlocks] = {};       // ... the time of that write
  double window_written[kClockWindowBlocks] = {};  // ... and what it wrote
  int window_blocks = 0;  // blocks in `window` since the output (re)started

  int running_blocks = 0;  // blocks measured since the output (re)started
  int early_blocks = 0;    // ... counted from the first measured one
  double least = -1;       // the least queue before the set point, over every start (-1: none)
  double settling[kClockSettleBlocks] = {};
  int settled_blocks = 0;  // blocks in `settling`
  bool settled = false;    // `set_point` holds
  double set_point = 0;    // queue just before a write, in samples
  double queue = -1;       // the queue measured at the last write (-1: none yet)

  double edited = 0;                       // samples dropped (+) or repeated (-) since the start
  double recent[kClockMedianBlocks] = {};  // the queue of recent blocks plus `edited` then: the
  int recent_blocks = 0;                   // queue as it would be had nothing been edited
  double distance = 0;                     // the queue (from their median) less the set point
  double trend[kClockTrendBlocks] = {};    // their median, block by block
  int trend_blocks = 0;                    // blocks in `trend` since the output (re)started
  double rate = 0;                         // edits per block the drift needs: + drops, - repeats
  bool following = false;                  // the drift is followed
  bool rate_known = false;                 // `rate` has been learned

  // What the relay says of the output, each once: how long a pause of the system an output with
  // less than two blocks of buffer rides through (the smallest queue before a write, in the first
  // half minute), and a drift beyond what it follows (for a minute).
  bool follows = true;       // the output's buffer holds more than a block: its clock is followed
  bool small = false;        // ... but less than two
  unsigned long buffer = 0;  // the output's buffer, in samples
  double small_low = -1;     // the smallest queue before a write so far (-1: none)
  int pause_ms = -1;         // how long a pause it rides through, once known
  bool pause_said = false;
  int beyond_blocks = 0;  // blocks in a row with a drift beyond kClockMaxRate
  double beyond_ppm = 0;  // that drift, once it lasted a minute (+ the output is slow)
  bool beyond_said = false;
  bool working_off = false;  // a backlog is being worked off
  double owed = 0;           // part of an edit carried over to the next block
};

// Starts following at the opening of the output, whose buffer holds `buffer` samples.
void relay_clock_start(OutputClock& clock, unsigned long buffer = 2 * kBlockSamples);

// Called at every poll of the board: now and then reads how much the output holds.
void relay_clock_poll(OutputClock& clock, snd_pcm_t* handle);

// Called when the board's buffer holds a block: whether the fetch is to wait (the polls going
// on) for a step of a coarse output's position that is due while it would take place.
bool relay_clock_holds(OutputClock& clock);

// Called when the board's buffer count let a block be fetched, right after that count was read.
void relay_clock_counted(OutputClock& clock);

// Called right before a block is written, with the board's buffer count that let the block be
// fetched: takes this block's measurement and returns how many samples of the block to edit:
// n > 0 drops n samples, n < 0 repeats -n, 0 leaves it whole. What the board held beyond the block
// counts as queued: after an upset the output may be full and the rest of a backlog waiting on the
// board.
// `samples`: the block's, little-endian, which tell whether it is silence.
int relay_clock_edits(OutputClock& clock, snd_pcm_t* handle, unsigned BytesAvail,
                      const uint8_t* samples = nullptr);

// Whether a block (little-endian samples) is silence: no sample beyond kClockSilenceLevel
// (nullptr: not known, sound).
bool relay_block_is_silence(const uint8_t* samples);

// The output underran and was restarted: its queue starts over; the set point and the learned
// drift stay.
void relay_clock_restart(OutputClock& clock);

// The correction itself, for one block whose queue (samples held just before the write by the
// output, and by the board beyond the block) was measured as `queue` (`measured` false: not
// measured), and whose samples are `samples` (nullptr: sound). Returns the edits as
// relay_clock_edits: up to kClockMaxEdits either way in sound, up to the block in silence.
int relay_clock_update(OutputClock& clock, bool measured, double queue,
                       const uint8_t* samples = nullptr);
