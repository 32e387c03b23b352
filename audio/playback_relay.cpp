#include "audio/playback_relay.h"

#include <alsa/asoundlib.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "board/board_link.h"
#include "cli/command_line.h"
#include "common/clock.h"
#include "common/console.h"

const char* const device = "default";

namespace {

// Two blocks of buffer: a block written while the previous one is still queued whole, so the
// fetch of the next block (about 25 ms on the bus) never has to beat the last sample out.
constexpr unsigned kLatencyUs = 500000;

int set_params(snd_pcm_t* handle, unsigned latency_us) {
  return snd_pcm_set_params(handle, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                            kSampleRate, 1, latency_us);
}

// The output cannot be used: says so and ends the run with status 1, closing nothing.
[[noreturn]] void die_playback_open(int error) {
  say("Playback open error: %s\n", snd_strerror(error));
  console_exit(1);
}

// Set by SIGUSR1, read and cleared by the relay between two blocks or while it waits for one; and
// how many such signals have come (a write that one cuts short is no trouble of the output's).
volatile sig_atomic_t status_asked = 0;
volatile sig_atomic_t status_signals = 0;

void ask_for_status(int) {
  status_asked = 1;
  status_signals = status_signals + 1;
}

// Set by SIGINT or SIGTERM once playback has begun: the relay stops between two polls, or as a
// write that waits for room is cut short, closes the output and ends the run by that signal's own
// action.
volatile sig_atomic_t stop_signal = 0;

void ask_to_stop(int signal) {
  stop_signal = signal;
}

// The end of a stopped run: the stop's own action.
void end_by_stop(int) {
  std::signal(stop_signal, SIG_DFL);
  std::raise(stop_signal);
}

// How long the output's close may take on a stop: a command behind ALSA's file plugin is waited
// for, and one that does not end with its input must not hold the stop up.
constexpr unsigned kStopCloseSeconds = 5;

// A run of samples of the block at buffer[3..], written in one call (or more, if the output
// takes only part of it).
struct BlockPart {
  uint32_t first;
  uint32_t count;
};

int sample_at(const uint8_t* samples, uint32_t i) {
  // The block starts at an odd address: the samples are read byte by byte.
  return static_cast<int16_t>(samples[2 * i] | samples[2 * i + 1] << 8);
}

// Where the waveform changes least: the sample in [from, to) whose steps to both neighbours are
// smallest together. Dropping it joins two samples that are close; repeating it holds a level.
// Only samples with both neighbours in the block are looked at.
uint32_t flattest(const uint8_t* samples, uint32_t from, uint32_t to) {
  from = std::max<uint32_t>(from, 1);
  to = std::min(to, kBlockSamples - 1);
  uint32_t best = from;
  int best_change = INT32_MAX;
  int here = sample_at(samples, from);
  int step_in = std::abs(here - sample_at(samples, from - 1));
  for (uint32_t i = from; i < to; ++i) {
    const int after = sample_at(samples, i + 1);
    const int step_out = std::abs(after - here);
    if (step_in + step_out < best_change) {
      best = i;
      best_change = step_in + step_out;
    }
    here = after;
    step_in = step_out;
  }
  return best;
}

// Splits the block into the parts that drop (edits > 0) or repeat (edits < 0) that many samples:
// one edit in each equal share of the block, at the flattest place near the share's middle. A
// dropped sample lies between two parts; a repeated one ends a part and starts the next. Returns
// the number of parts.
int plan_parts(int edits, BlockPart parts[]) {
  const uint8_t* const samples = buffer + kAudioHeaderLength;
  const int count = std::abs(edits);
  // More than sound may carry: a block of silence, whose end is left out or played again.
  if (count > kClockMaxEdits) {
    const auto n = static_cast<uint32_t>(std::min<int>(count, kBlockSamples));
    if (edits > 0) {
      parts[0] = {0, kBlockSamples - n};
      return 1;
    }
    parts[0] = {0, kBlockSamples};
    parts[1] = {kBlockSamples - n, n};
    return 2;
  }
  constexpr uint32_t kSearch = 256;  // samples searched on either side of a share's middle (5 ms)
  // ... and at most half the block in all, so that a block with many edits costs no more than one
  // with twelve.
  constexpr uint32_t kSearchedInAll = kBlockSamples / 2;
  uint32_t first = 0;
  for (int e = 0; e < count; ++e) {
    const uint32_t middle = (2 * static_cast<uint32_t>(e) + 1) * kBlockSamples / (2 * count);
    const uint32_t half = std::min({kSearch, kBlockSamples / (2 * count) - 1,
                                    kSearchedInAll / (2 * static_cast<uint32_t>(count))});
    const uint32_t at = flattest(samples, middle - half, middle + half + 1);
    if (edits > 0) {
      parts[e] = {first, at - first};
      first = at + 1;
    } else {
      parts[e] = {first, at + 1 - first};
      first = at;
    }
  }
  parts[count] = {first, kBlockSamples - first};
  return count + 1;
}

// Writes the parts of the block at buffer[3..] to the output, all of them: after a short write or
// a recovered failure the rest follows. When the output takes nothing in kIdleWritesPerBlock
// attempts in a row, the rest of the block is given up. Returns false when a failure cannot be
// recovered; `recovered` tells whether the output had to be recovered. `counts` gets the block,
// when it went out whole, the underruns and the writes refused or cut short.
bool write_block(snd_pcm_t* handle, const BlockPart parts[], int part_count, bool& recovered,
                 RelayCounts& counts) {
  const uint8_t* const samples = buffer + kAudioHeaderLength;
  snd_pcm_uframes_t left = 0;  // samples of the block still to go, in all parts
  for (int p = 0; p < part_count; ++p) {
    left += parts[p].count;
  }
  int idle = 0;
  for (int p = 0; p < part_count; ++p) {
    snd_pcm_uframes_t done = 0;
    while (done < parts[p].count) {
      // What fits goes at once: a write of more waits until a whole period is free (ALSA wakes a
      // writer no sooner), and a card whose two periods are a block each, which shows its room only
      // as a period ends, would have all but run dry by then.
      const snd_pcm_uframes_t rest = parts[p].count - done;
      const snd_pcm_sframes_t room = snd_pcm_avail_update(handle);
      const snd_pcm_uframes_t asked =
          room > 0 ? std::min(rest, static_cast<snd_pcm_uframes_t>(room)) : rest;
      const sig_atomic_t signals_before = status_signals;
      snd_pcm_sframes_t frames =
          snd_pcm_writei(handle, samples + 2 * (parts[p].first + done), asked);
      if (frames == -EINTR) {
        if (stop_signal != 0) {
          return true;  // a stop: the rest of the block goes with the run
        }
        continue;  // a signal (the status line's) came while the write waited: nothing is amiss
      }
      if (frames == 0) {
        ++counts.troubled;  // took nothing
      } else if (frames < 0) {
        ++(frames == -EPIPE ? counts.underruns : counts.troubled);
        frames = snd_pcm_recover(handle, static_cast<int>(frames), 0);
        if (frames < 0) {
          say("snd_pcm_writei failed: %s\n", snd_strerror(static_cast<int>(frames)));
          return false;
        }
        recovered = true;
        frames = 0;  // recovered, but nothing of the block went out: write it again
      }
      const auto written = static_cast<snd_pcm_uframes_t>(frames);
      if (stop_signal != 0) {
        return true;  // cut short by a stop
      }
      // A write that waited for room and was cut short by the status line's signal took what it
      // could: the rest follows, as after any short write, but nothing is amiss.
      if (written > 0 && written < asked && status_signals == signals_before) {
        ++counts.troubled;
        say("Short write (expected %li, wrote %li)\n", static_cast<long>(rest),
            static_cast<long>(written));
      }
      if (written == 0) {
        if (++idle == kIdleWritesPerBlock) {
          say("Sound output took nothing in %d attempts: %lu samples of this block dropped\n",
              kIdleWritesPerBlock, static_cast<unsigned long>(left));
          return true;
        }
      } else {
        idle = 0;
      }
      done += written;
      left -= written;
    }
  }
  ++counts.blocks;
  return true;
}

// The output starts once two blocks are queued, whatever its buffer. A card that can only offer
// more (a buffer of 32768 frames, say) would otherwise start only in the third block, when its
// buffer is full: the audio would reach the speaker some 200 ms later, and every write would wait
// for the output to make room. With two blocks the rest of the buffer is room above the queue's
// set point. Where this cannot be set, the output starts when its buffer is full, as
// snd_pcm_set_params leaves it.
//
// An output whose buffer holds no more than a block (asked for 500 ms, then up to a second)
// cannot take a block while anything is queued: it runs dry every few blocks. That is said once,
// on standard error, where the libraries' own reports of the output go, so that the tool's
// messages stay as they are.
void start_at_two_blocks(snd_pcm_t* handle) {
  snd_pcm_uframes_t buffer_size = 0;
  snd_pcm_uframes_t period_size = 0;
  snd_pcm_sw_params_t* params = nullptr;
  snd_pcm_sw_params_alloca(&params);
  if (snd_pcm_get_params(handle, &buffer_size, &period_size) < 0) {
    return;
  }
  if (buffer_size <= kBlockSamples) {
    std::fprintf(stderr,
                 "%s: the sound output's buffer holds only %lu samples, no more than a block of "
                 "%u: expect gaps in the sound\n",
                 program_invocation_short_name, static_cast<unsigned long>(buffer_size),
                 kBlockSamples);
  }
  if (snd_pcm_sw_params_current(handle, params) < 0 ||
      snd_pcm_sw_params_set_start_threshold(
          handle, params, std::min<snd_pcm_uframes_t>(buffer_size, 2 * kBlockSamples)) < 0 ||
      snd_pcm_sw_params(handle, params) < 0) {
    return;
  }
  // What has been played is overwritten with silence at once (a silence size of the boundary,
  // from a threshold of 0): an output that runs dry plays silence, not what its buffer held
  // a buffer earlier. Committed apart from the start threshold, so that an output that refuses
  // it keeps the threshold, and plays as before.
  snd_pcm_uframes_t boundary = 0;
  if (snd_pcm_sw_params_current(handle, params) == 0 &&
      snd_pcm_sw_params_get_boundary(params, &boundary) == 0 &&
      snd_pcm_sw_params_set_silence_threshold(handle, params, 0) == 0 &&
      snd_pcm_sw_params_set_silence_size(handle, params, boundary) == 0) {
    snd_pcm_sw_params(handle, params);
  }
}

// The status line: how long playback has gone on, the blocks, underruns and edits (and the offset
// of the output's clock that the drift's edits follow), the delay from board to output now, and
// the writes the output refused or cut short; and, when `waited_ns` is a second or more, how long
// the board has delivered nothing.
void status_text(char* text, size_t size, const OutputClock& clock, const RelayCounts& counts,
                 int64_t waited_ns) {
  const int64_t seconds = (clock_now_ns() - counts.started_ns) / 1000000000;
  // The offset the drift's edits follow (a backlog's are not the clock's).
  char offset[80] = "the output's clock not measured yet";
  if (clock.rate_known) {
    const double ppm = clock.following ? clock.rate / kBlockSamples * 1e6 : 0;
    if (ppm == 0) {
      std::snprintf(offset, sizeof offset, "the clocks agree");
    } else {
      std::snprintf(offset, sizeof offset, "the output's clock about %.0f ppm %s than the board's",
                    std::abs(ppm), ppm > 0 ? "slower" : "faster");
    }
  }
  char delay[40] = "not measured yet";
  if (clock.queue >= 0 && clock.block_ns > 0) {
    std::snprintf(delay, sizeof delay, "%.0f ms",
                  (clock.queue + kBlockSamples) * clock.block_ns / kBlockSamples / 1e6);
  }
  char waiting[60] = "";
  if (waited_ns >= kStatusWhileWaitingNs) {
    std::snprintf(waiting, sizeof waiting, "; no block from the board for %lld s",
                  static_cast<long long>(waited_ns / 1000000000));
  }
  std::snprintf(text, size,
                "%lld:%02lld:%02lld played, %llu blocks, %llu underruns, %llu samples dropped "
                "and %llu repeated (%s), delay from board to output %s, %llu writes refused or cut "
                "short, %llu samples overwritten on the board%s",
                static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                static_cast<long long>(seconds % 60),
                static_cast<unsigned long long>(counts.blocks),
                static_cast<unsigned long long>(counts.underruns),
                static_cast<unsigned long long>(counts.drops),
                static_cast<unsigned long long>(counts.repeats), offset, delay,
                static_cast<unsigned long long>(counts.troubled),
                static_cast<unsigned long long>(counts.overwritten), waiting);
}

void say_status(const OutputClock& clock, const RelayCounts& counts, int64_t waited_ns) {
  char text[400];
  status_text(text, sizeof text, clock, counts, waited_ns);
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text);
}

// What a service's manager is told (sd_notify: nothing where the run is no such service).
void notify_status(const OutputClock& clock, const RelayCounts& counts, int64_t waited_ns) {
  char text[400];
  status_text(text, sizeof text, clock, counts, waited_ns);
  sd_notifyf(0, "STATUS=%s", text);
}

// A line about the board, on standard error; the same for a service's status.
void say_of_board(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say_of_board(const char* format, ...) {
  char text[300];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text);
  sd_notifyf(0, "STATUS=%s", text);
}

// At a poll: a board that has delivered nothing for five seconds is said to be silent, once, a
// status line asked for meanwhile is said at once, and the metrics are written when due, blocks or
// none. The clock is read every 64th poll (a few milliseconds apart), which is soon enough.
void watch_board(const OutputClock& clock, RelayCounts& counts, unsigned BytesAvail) {
  if ((++counts.polls & 63) != 0) {
    return;
  }
  const int64_t now = clock_now_ns();
  const int64_t waited = now - counts.last_block_ns;
  if (waited >= kBoardSilentNs && !counts.silent_said &&
      (counts.board_said_ns < 0 || now - counts.board_said_ns >= kBoardLinesApartNs)) {
    counts.silent_said = true;
    counts.board_said_ns = now;
    say_of_board("no audio block from the board for %lld s, its buffer count %u: %s",
                 static_cast<long long>(waited / 1000000000), BytesAvail,
                 BytesAvail == 0 ? "it does not play; it may have been reset (its power dipped, a "
                                   "lead came loose) or not answer at all. Waiting for it"
                                 : "its buffer fills no further; it may have stopped. Waiting "
                                   "for it");
  }
  metrics_write_when_due(counts.metrics, clock, counts, now);
  if (status_asked != 0 && waited >= kStatusWhileWaitingNs) {
    status_asked = 0;
    say_status(clock, counts, waited);
  }
}

// After a block was written: blocks coming again after a silence that was said are said at once
// (the minute between lines is the silence line's alone); the service's watchdog is fed, and told
// the status line once a minute.
void block_delivered(const OutputClock& clock, RelayCounts& counts, bool written) {
  const int64_t now = clock_now_ns();
  const int64_t waited = now - counts.last_block_ns;
  counts.last_block_ns = now;
  if (counts.silent_said) {
    counts.silent_said = false;
    say_of_board("audio blocks come from the board again");
  }
  if (!written) {
    return;
  }
  sd_notify(0, "WATCHDOG=1");
  metrics_write_when_due(counts.metrics, clock, counts, now);
  if (now - counts.notified_ns >= kStatusNotifyNs && !counts.silent_said) {
    counts.notified_ns = now;
    notify_status(clock, counts, waited);
  }
}

// After a block's count: where it shows the board's buffer full, what the board took in since the
// last block's count (at its rate) beyond what it can hold was overwritten before the relay could
// fetch it. Counted, and said once an episode (blocks in a row that find it full).
void watch_overflow(RelayCounts& counts, unsigned BytesAvail, int64_t counted_ns) {
  const bool full = BytesAvail >= kBoardFullCount;
  if (full && counts.last_counted_ns >= 0) {
    const double expected =
        static_cast<double>(counts.last_count) - kBlockSamples +
        static_cast<double>(counted_ns - counts.last_counted_ns) * kSampleRate / 1e9;
    const auto lost = static_cast<uint64_t>(std::max(0.0, expected - BytesAvail));
    counts.overwritten += lost;
    if (lost > 0 && !counts.full_said) {
      counts.full_said = true;
      std::fprintf(stderr,
                   "%s: the board's buffer was full: %llu samples (%llu ms) of its audio "
                   "overwritten before the relay could fetch them (the host held the relay up)\n",
                   program_invocation_short_name, static_cast<unsigned long long>(lost),
                   static_cast<unsigned long long>(lost * 1000 / kSampleRate));
    }
  }
  counts.full_said = counts.full_said && full;
  counts.last_count = BytesAvail;
  counts.last_counted_ns = counted_ns;
}

// What the clock's measurement found that the user should know, each said once on standard error:
// how long a pause a buffer of less than two blocks rides through, and a clock too far off to
// follow.
void say_once_of_the_output(OutputClock& clock) {
  if (clock.pause_ms >= 0 && !clock.pause_said) {
    clock.pause_said = true;
    std::fprintf(stderr,
                 "%s: the sound output's buffer holds %lu samples, less than the %u asked for: "
                 "the sound rides through pauses of the system of up to about %d ms (more "
                 "buffer, such as the README's shared card, gives more)\n",
                 program_invocation_short_name, clock.buffer, 2 * kBlockSamples, clock.pause_ms);
  }
  if (clock.beyond_ppm != 0 && !clock.beyond_said) {
    clock.beyond_said = true;
    const bool slow = clock.beyond_ppm > 0;
    std::fprintf(stderr,
                 "%s: the sound output's clock runs about %.0f ppm %s than the board's, beyond the "
                 "%.0f ppm the relay follows: %s\n",
                 program_invocation_short_name, std::abs(clock.beyond_ppm),
                 slow ? "slower" : "faster", kClockMaxEdits * 1e6 / kBlockSamples,
                 slow ? "the sound falls further and further behind, and once the board's buffer "
                        "is full, parts of it are lost"
                      : "the output runs dry now and then, heard as gaps");
  }
}

}  // namespace

bool relay_block(const RunSettings& settings, BoardLink& link, snd_pcm_t* handle,
                 OutputClock& clock, RelayCounts& counts) {
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
    relay_clock_poll(clock, handle);
    watch_board(clock, counts, BytesAvail);
    if (stop_signal != 0) {
      return false;
    }
  } while (BytesAvail < kBlockSamples || relay_clock_holds(clock));
  relay_clock_counted(clock);
  watch_overflow(counts, BytesAvail, clock.counted_ns);
  board_read_audio(link);
  metrics_level(counts.metrics, buffer + kAudioHeaderLength);
  BlockPart parts[kClockMaxEdits + 1];
  const int edits = relay_clock_edits(clock, handle, BytesAvail, buffer + kAudioHeaderLength);
  const int part_count = plan_parts(edits, parts);
  bool recovered = false;
  const uint64_t whole = counts.blocks;
  const bool playing = write_block(handle, parts, part_count, recovered, counts);
  if (recovered) {
    relay_clock_restart(clock);
  }
  if (counts.blocks > whole) {
    (edits > 0 ? counts.drops : counts.repeats) += static_cast<uint64_t>(std::abs(edits));
  }
  block_delivered(clock, counts, counts.blocks > whole);
  say_once_of_the_output(clock);
  if (status_asked != 0) {
    status_asked = 0;
    say_status(clock, counts, 0);
  }
  return playing && stop_signal == 0;
}

snd_pcm_t* relay_open_output_or_die() {
  snd_pcm_t* handle = nullptr;
  int error = snd_pcm_open(&handle, device, SND_PCM_STREAM_PLAYBACK, 0);
  if (error < 0) {
    die_playback_open(error);
  }
  error = set_params(handle, kLatencyUs);
  if (error < 0) {
    die_playback_open(error);
  }
  // An output whose buffer comes in whole periods (ALSA's dmix: periods of 1024 samples) rounds
  // 500 ms down to 23552 samples, less than two blocks, though it may hold more: ask once more, for
  // up to twice as much. Should it refuse that, the first setting is made again.
  snd_pcm_uframes_t buffer_size = 0;
  snd_pcm_uframes_t period_size = 0;
  if (snd_pcm_get_params(handle, &buffer_size, &period_size) == 0 &&
      buffer_size < 2 * kBlockSamples && set_params(handle, 2 * kLatencyUs) < 0) {
    error = set_params(handle, kLatencyUs);
    if (error < 0) {
      die_playback_open(error);
    }
  }
  start_at_two_blocks(handle);
  return handle;
}

void relay_listen_for_status() {
  struct sigaction action {};
  action.sa_handler = ask_for_status;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &action, nullptr);
}

void relay_run(const RunSettings& settings, BoardLink& link) {
  say_line("Playback enabled: Ctrl-C to exit");
  snd_pcm_t* const handle = relay_open_output_or_die();
  board_start_playback(link);
  snd_pcm_uframes_t buffer_size = 2 * kBlockSamples;
  snd_pcm_uframes_t period_size = 0;
  snd_pcm_get_params(handle, &buffer_size, &period_size);
  OutputClock clock;
  relay_clock_start(clock, buffer_size);
  RelayCounts counts;
  counts.started_ns = clock_now_ns();
  counts.last_block_ns = counts.started_ns;
  counts.notified_ns = counts.started_ns;
  metrics_start(counts.metrics, settings.FreqInHz, counts.started_ns);
  // A service is running once the board has been told to play; from here on, each block written
  // feeds its watchdog.
  sd_notify(0, "READY=1\nSTATUS=Playing: the board has been told to start");
  // A stop ends the run as the signal's own action would (its status, nothing said), but with the
  // output closed first: a card shared through dmix keeps its shared memory otherwise, which keeps
  // another user (the service) from the card, and a command behind ALSA's file plugin gets the end
  // of its input from the close, not from the process's death.
  struct sigaction action {};
  action.sa_handler = ask_to_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  while (relay_block(settings, link, handle, clock, counts)) {
  }
  if (stop_signal != 0) {
    std::signal(SIGALRM, end_by_stop);
    alarm(kStopCloseSeconds);
  }
  snd_pcm_close(handle);
  if (stop_signal != 0) {
    end_by_stop(0);
  }
}
