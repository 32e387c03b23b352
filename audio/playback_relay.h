// The audio relay: the board's audio, block by block, to the ALSA playback device "default".
#pragma once

#include <cstdint>

#include "audio/output_clock.h"

struct RunSettings;
struct BoardLink;

// The PCM device the audio goes to. Which sound output that is is up to ALSA's configuration.
extern const char* const device;

// Consecutive write attempts that take nothing of a block before the block is given up.
constexpr int kIdleWritesPerBlock = 3;

// The playback stage: opens and configures the output, starts the board's playback and relays
// blocks for as long as the process lives. Returns (with the output closed) only when a write
// fails and cannot be recovered, after which the run ends with status 1; ends the process with
// status 1 when the output cannot be opened or configured.
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
                 OutputClock& clock);
