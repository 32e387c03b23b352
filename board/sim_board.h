// A model of the receiver board as the host sees it, for running and testing without a board.
// Time is passed in, so that the model itself is deterministic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "board/board_link.h"

// What the simulated board plays: a soft chime, or a ramp whose sample n is the low 16 bits of n
// (so that a dropped, repeated or lost sample shows in any capture of it).
enum class SimSignal { chime, ramp };

// The simulated board's knobs (environment variables ORVSIM_VERSION, ORVSIM_STATUS,
// ORVSIM_RATE, ORVSIM_SPI_HZ, ORVSIM_SIGNAL and ORVSIM_LOG of orvctl-sim).
struct SimKnobs {
  FirmwareVersion version{1, 4};
  bool fixed_status = false;  // status reply given by ORVSIM_STATUS instead of following the tuning
  BoardStatus status{};
  uint32_t rate = 48000;      // samples per second added after playback starts; 0 = never fills
  uint32_t spi_hz = 7812500;  // bus clock that paces each exchange, as on a Pi; 0 = instant
  SimSignal signal = SimSignal::chime;
  const char* log_path = nullptr;
};

constexpr uint32_t kSimMaxRate = 1000000000;
constexpr uint32_t kSimMaxSpiHz = 1000000000;
constexpr unsigned kSimCapacity = 65535;     // samples held; beyond that the oldest are overwritten
constexpr uint32_t kSimBeatSamples = 24000;  // one chime every 0.5 s

// Reads the knobs from their texts (nullptr = not set); `spi_hz` is ORVSIM_SPI_HZ and `signal`
// ORVSIM_SIGNAL. On a malformed value returns false and says what is expected in `error`.
bool sim_parse_knobs(const char* version, const char* status, const char* rate,
                     const char* log_path, SimKnobs& knobs, std::string& error,
                     const char* spi_hz = nullptr, const char* signal = nullptr);

// How long an exchange of `length` bytes keeps the bus busy: 8 clock cycles a byte.
int64_t sim_transfer_ns(const SimKnobs& knobs, uint32_t length);

struct SimBoard {
  SimKnobs knobs;
  uint8_t control = 0;
  uint32_t frequency = 0;
  bool playing = false;
  int64_t playback_start_ns = 0;
  uint64_t produced = 0;       // samples added since playback started
  uint64_t next_sample = 0;    // index of the oldest sample still held
  uint32_t note_step[2] = {};  // phase steps of the two alternating notes
  int16_t sine[1024] = {};
};

void sim_reset(SimBoard& board, const SimKnobs& knobs);

// Tunes the board to `khz`, as a frequency frame does: its notes follow the frequency.
void sim_tune(SimBoard& board, uint32_t khz);

// Answers one frame in place, as the board would at time `now_ns` (CLOCK_MONOTONIC).
void sim_exchange(SimBoard& board, uint8_t* frame, uint32_t length, int64_t now_ns);

// Sample number `n` of the stream since playback started: a soft chime alternating between a
// note chosen by the tuned frequency and the fifth above it, or the ramp.
int16_t sim_sample(const SimBoard& board, uint64_t n);

// One line of the frame log, with its newline: at most 16 bytes as hex, or 3 and " +N", and
// " crc32=XXXXXXXX" for an audio frame. 80 characters hold the longest.
struct SimLogLine {
  char text[80];
  size_t size;
};

// The log line of a frame whose first bytes as sent were `sent` (at least min(length, 16) of
// them) and whose reply is `reply`.
SimLogLine sim_log_line(const uint8_t* sent, uint32_t length, const uint8_t* reply);
