// The audio relay: the board's audio, block by block, to the ALSA playback device "default".
#pragma once

#include <cstdint>

#include "audio/metrics.h"
#include "audio/output_clock.h"

struct RunSettings;
struct BoardLink;

// The PCM device the audio goes to. Which sound output that is is up to ALSA's configuration.
extern const char* const device;

// Consecutive write attempts that take nothing of a block before the block is given up.
constexpr int kIdleWritesPerBlock = 3;

// A board that has delivered no block for this long is said to be silent (on standard error).
constexpr int64_t kBoardSilentNs = 5000000000;
// ... and the relay says so, or that blocks come again, at most once in this long.
constexpr int64_t kBoardLinesApartNs = 60000000000;
// A status line asked for while no block has come for this long is said at once, with that wait.
constexpr int64_t kStatusWhileWaitingNs = 1000000000;
// How often a service is told the status line (sd_notify's STATUS).
constexpr int64_t kStatusNotifyNs = 60000000000;
// A buffer count this high says the board's buffer is full (it holds 1.365 s): what it takes in
// beyond that overwrites its oldest samples.
constexpr unsigned kBoardFullCount = 65520;

// What the relay has done since playback started, for the status line, and what it has said of
// the board.
struct RelayCounts {
  int64_t started_ns = 0;  // when playback started
  uint64_t blocks = 0;     // blocks written whole
  uint64_t underruns = 0;  // writes that found the output run dry
  uint64_t drops = 0;      // samples left out to follow the output's clock, in blocks written whole
  uint64_t repeats = 0;    // ... and played twice
  uint64_t troubled = 0;   // writes the output refused or cut short
  uint64_t overwritten = 0;      // samples the board overwrote, its buffer full, as far as told
  unsigned last_count = 0;       // the buffer count that let the last block be fetched
  int64_t last_counted_ns = -1;  // ... and when it was read (-1: no block yet)
  bool full_said = false;        // the last block found the board's buffer full, and it was said
  int64_t last_block_ns = 0;     // when the board last delivered a block (or playback started)
  uint32_t polls = 0;            // polls of the board since playback started
  bool silent_said = false;      // the last line said of the board is that it delivers nothing
  int64_t board_said_ns = -1;    // when the board was last said to be silent (-1: never)
  int64_t notified_ns = 0;       // when the service was last told the status line
  RelayMetrics metrics;          // what a monitor is told (ORVCTL_METRICS)
};

// Has SIGUSR1 ask for the status line, from the start of a run (before anything else, so that the
// signal never ends it): at the end of the block being relayed, or at once while the board has
// delivered nothing for a second or more, one line on standard error says how the relay is doing.
// Before playback, or without s, it says nothing.
void relay_listen_for_status();

// The playback stage: opens and configures the output, starts the board's playback and relays
// blocks until SIGINT or SIGTERM, which close the output and then end the process as their own
// action would. Returns (with the output closed) only when a write fails and cannot be recovered,
// after which the run ends with status 1; ends the process with status 1 when the output cannot
// be opened or configured.
void relay_run(const RunSettings& settings, BoardLink& link);

// Opens `device` for playback and configures it (signed 16-bit, mono, the board's rate, 500 ms of
// buffer, started once two blocks are queued); ends the process with status 1, after a message,
// when it cannot.
snd_pcm_t* relay_open_output_or_die();

// One block of the relay on an output that is open and configured: the status line (with r),
// the polls until the board holds a block, the block's fetch and its write, with the samples
// that `clock` finds the drift needs dropped or repeated. Returns false when the output failed
// for good.
bool relay_block(const RunSettings& settings, BoardLink& link, snd_pcm_t* handle,
                 OutputClock& clock, RelayCounts& counts);
