#include "audio/playback_relay.h"

#include <alsa/asoundlib.h>

#include <cstdlib>

#include "board/board_link.h"
#include "cli/command_line.h"
#include "cli/console.h"

const char* const device = "default";

namespace {

constexpr unsigned kRate = 48000;
// Two blocks of buffer: a block written while the previous one is still queued whole, so the
// fetch of the next block (about 25 ms on the bus) never has to beat the last sample out.
constexpr unsigned kLatencyUs = 500000;

[[noreturn]] void open_failed(int error) {
  say("Playback open error: %s\n", snd_strerror(error));
  std::exit(1);
}

// Writes the block at buffer[3..] to the output, all of it: after a short write or a recovered
// failure the rest follows. A block the output takes nothing of in kIdleWritesPerBlock attempts
// in a row is given up. Returns false when a failure cannot be recovered.
bool write_block(snd_pcm_t* handle) {
  const uint8_t* const samples = buffer + kAudioHeaderLength;
  snd_pcm_uframes_t done = 0;
  int idle = 0;
  while (done < kBlockSamples) {
    const snd_pcm_uframes_t asked = kBlockSamples - done;
    snd_pcm_sframes_t frames = snd_pcm_writei(handle, samples + 2 * done, asked);
    if (frames < 0) {
      frames = snd_pcm_recover(handle, static_cast<int>(frames), 0);
      if (frames < 0) {
        say("snd_pcm_writei failed: %s\n", snd_strerror(static_cast<int>(frames)));
        return false;
      }
      frames = 0;  // recovered, but nothing of the block went out: write it again
    }
    const auto written = static_cast<snd_pcm_uframes_t>(frames);
    if (written > 0 && written < asked) {
      say("Short write (expected %li, wrote %li)\n", static_cast<long>(asked),
          static_cast<long>(written));
    }
    if (written == 0) {
      if (++idle == kIdleWritesPerBlock) {
        say("Sound output took nothing in %d attempts: %lu samples of this block dropped\n",
            kIdleWritesPerBlock, static_cast<unsigned long>(asked));
        return true;
      }
    } else {
      idle = 0;
    }
    done += written;
  }
  return true;
}

}  // namespace

bool relay_block(const RunSettings& settings, BoardLink& link, snd_pcm_t* handle) {
  if (settings.DisplayRSSI) {
    const BoardStatus status = board_read_status(link);
    say("RSSI = %d, AGC = %d, %02x %02x\n", status.RSSI, status.AGC, status.byte5, status.byte6);
  }
  unsigned BytesAvail = 0;
  do {
    BytesAvail = board_read_count(link);
    if (settings.Debug) {
      say("Buffer count = %04x\n", BytesAvail);
    }
  } while (BytesAvail < kBlockSamples);
  board_read_audio(link);
  return write_block(handle);
}

snd_pcm_t* relay_open_output() {
  snd_pcm_t* handle = nullptr;
  int error = snd_pcm_open(&handle, device, SND_PCM_STREAM_PLAYBACK, 0);
  if (error < 0) {
    open_failed(error);
  }
  error = snd_pcm_set_params(handle, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kRate,
                             1, kLatencyUs);
  if (error < 0) {
    open_failed(error);
  }
  return handle;
}

void relay_run(const RunSettings& settings, BoardLink& link) {
  say_line("Playback enabled: Ctrl-C to exit");
  snd_pcm_t* const handle = relay_open_output();
  board_start_playback(link);
  while (relay_block(settings, link, handle)) {
  }
  snd_pcm_close(handle);
}
