// A model of the receiver board as the host sees it, for running and testing without a board:
// each frame is answered from the board's state and the time it is exchanged at, which are passed
// in, so that the model is a pure function of frames and time. Not a part of orvctl itself: only
// orvctl-sim (board/link_sim.cpp), the tests and the measurement tools use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "board/board_link.h"

// What the simulated board plays: a soft chime, a ramp whose sample n is the low 16 bits of n (so
// that a dropped, repeated or lost sample shows in any capture of it), or a recording (raw 48000 Hz
// signed 16-bit little-endian mono), once, then silence.
enum class SimSignal { chime, ramp, recording };

// Something that goes wrong for a while: from `at_ns` on (after the link opened), for `length_ns`.
struct SimUpset {
  int64_t at_ns;
  int64_t length_ns;
};

// The simulated board's settings, which orvctl-sim takes from its knobs (sim/sim_knobs.h).
struct SimKnobs {
  FirmwareVersion version{1, 4};
  bool fixed_status = false;  // status reply given by ORVSIM_STATUS instead of following the tuning
  BoardStatus status{};
  uint32_t rate = kSampleRate;  // samples per second added after playback starts; 0 = never fills
  uint32_t spi_hz = 7812500;    // bus clock that paces each exchange, as on a Pi; 0 = instant
  SimSignal signal = SimSignal::chime;
  const char* recording_path = nullptr;  // with SimSignal::recording
  std::vector<int16_t> recording;        // its samples, once loaded (sim_load_recording)
  const char* log_path = nullptr;
  bool simulated_time = false;   // the clock is simulated time (sim/sim_clock.h)
  std::vector<SimUpset> stalls;  // the host stops (the whole process, between two frames)
  std::vector<SimUpset> gaps;    // the board reports an empty buffer, while it goes on filling
  std::vector<SimUpset> resets;  // the board loses power (answers nothing), then starts afresh:
                                 // untuned, not playing, its buffer empty
  std::vector<SimUpset> halts;   // the board stops filling its buffer, then goes on where it was
  std::vector<SimUpset> bursts;  // transmissions: the signal sounds only in these stretches of the
                                 // stream (counted in its own time, 48000 samples a second, from
                                 // playback's start), silence between them; none: always
  int miso = -1;                 // no board at all: every byte returned is this (0x00 or 0xFF)
  int64_t stop_at_ns = -1;       // Ctrl-C at this time after the link opened; -1: never
  uint32_t preempt_rate = 0;     // the host is preempted this many times a second, at random,
  int64_t preempt_ns = 0;        // ... each time for up to this long
  uint64_t seed = 1;             // ... drawn from this seed
};

constexpr uint32_t kSimMaxRate = 1000000000;
constexpr uint32_t kSimMaxSpiHz = 1000000000;
constexpr unsigned kSimCapacity = 65535;     // samples held; beyond that the oldest are overwritten
constexpr uint32_t kSimBeatSamples = 24000;  // one chime every 0.5 s

// How long an exchange of `length` bytes keeps the bus busy: 8 clock cycles a byte.
int64_t sim_transfer_ns(const SimKnobs& knobs, uint32_t length);

struct SimBoard {
  SimKnobs knobs;
  uint8_t control = 0;
  uint32_t frequency = 0;
  bool playing = false;
  int64_t playback_start_ns = 0;
  uint64_t produced = 0;        // samples added since playback started
  uint64_t produced_until = 0;  // time played (ns) from which on `produced` grows by one more
  uint64_t until_remainder = UINT64_MAX;  // what its division left (none yet: UINT64_MAX)
  uint64_t second_quotient = 0;           // a second (ns) divided by the rate
  uint64_t second_remainder = 0;          // ... and what that leaves
  uint64_t next_sample = 0;               // index of the oldest sample still held
  uint64_t overwritten = 0;    // samples overwritten, the buffer full, before they were fetched
  uint32_t note_step[2] = {};  // phase steps of the two alternating notes
  int16_t sine[1024] = {};
  size_t next_gap = 0;    // the first of knobs.gaps that has not ended yet
  size_t next_reset = 0;  // the first of knobs.resets that has not ended yet
};

void sim_reset(SimBoard& board, const SimKnobs& knobs);

// Moves the times of the knobs' upsets, which count from the opening of the link, onto the clock:
// the link opened at `origin_ns`.
void sim_shift_upsets(SimKnobs& knobs, int64_t origin_ns);

// Tunes the board to `khz`, as a frequency frame does: its notes follow the frequency.
void sim_tune(SimBoard& board, uint32_t khz);

// Answers one frame in place, as the board would at time `now_ns` (CLOCK_MONOTONIC, or simulated
// time; the gaps of its knobs are on the same clock).
void sim_exchange(SimBoard& board, uint8_t* frame, uint32_t length, int64_t now_ns);

// When a buffer-count frame's reply at `now_ns` grows next, by the board's next sample; INT64_MAX
// while it cannot (not playing, or in a gap, which holds the count at 0).
int64_t sim_next_sample_ns(const SimBoard& board, int64_t now_ns);

// Until when (exclusive) nothing but the board's samples changes a buffer-count frame's reply at
// `now_ns`: the next edge of a gap or a reset (a gap holds the count at 0 meanwhile). -1 where that
// is not known.
int64_t sim_count_events_until(const SimBoard& board, int64_t now_ns);

// The count that a buffer-count frame at `now_ns` gets, where only samples came since the last
// frame (before sim_count_events_until): as sim_exchange answers it, without the frame.
unsigned sim_count_now(SimBoard& board, int64_t now_ns);

// Sample number `n` of the stream since playback started: a soft chime alternating between a
// note chosen by the tuned frequency and the fifth above it, or the ramp.
int16_t sim_sample(const SimBoard& board, uint64_t n);
