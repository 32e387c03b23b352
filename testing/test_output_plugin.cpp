// An ALSA playback device for tests that behaves like a sound card: once started it consumes
// frames at its rate, reports an underrun when it has played everything it was given, and wakes
// pollers at the end of each period. Loaded by ALSA from a test's configuration:
//
//   pcm_type.orvtest { lib "/path/to/libasound_module_pcm_orvtest.so" }
//   pcm.!default {
//     type orvtest
//     clock "simulated" # plays by orvctl-sim's simulated time (ORVSIM_CLOCK=simulated) instead of
//                       # CLOCK_MONOTONIC: a wait for room moves that clock to the moment the room
//                       # exists instead of sleeping (default "real")
//     ppm -100          # clock offset in parts per million (default 0)
//     steps "1800:300"  # at these seconds after the device opened, the offset becomes PPM
//     restarts "3600"   # at these seconds the device stops as a sound server restarting would:
//                       # what it held is gone, the stream must be recovered
//     speed 8           # runs this many times faster than real time (default 1)
//     fault "short"     # underrun | short | refuse | signal (default none)
//     fault_at 36000    # ... once this many frames have been taken in all
//     fault_count 2     # refuse: this many transfers in a row take nothing (default 1)
//     fail_at 120000    # every transfer fails with -EIO once this many frames have been taken
//     buffer 32768      # the only buffer size, in frames, it offers (default: any)
//     refuse_silence 1  # refuses software parameters that overwrite what was played with silence
//                       # (default 0)
//     period 24000      # the only period size, in frames, it offers (default: any)
//     position "period" # reports its position in whole periods, as coarse cards do (default
//                       # "exact")
//     jitter 48         # reports its position up to this many frames behind, at random, as a
//                       # card that moves its pointer in bursts does (a USB card's frames of 1 ms);
//                       # with position "period", it sees a period's end that much late
//                       # (default 0)
//     fifo 96           # frames between the position it reports and what is heard: a FIFO the
//                       # position does not count but the delay it reports does, as a card's
//                       # driver tells it (default 0)
//     wake_late 2000    # simulated time: a wait for room ends up to this many microseconds late,
//                       # at random (default 0)
//     preempt "4:3000"  # simulated time: the application is preempted RATE times a second of
//                       # its time, at random moments, each for up to US microseconds: right after
//                       # the device reported its position (before the application reads the
//                       # clock) or in the middle of a write (default none)
//     seed 7            # the noise's random numbers: the same seed, the same run (default 1)
//     ramp_block 12000  # the stream is the simulated board's ramp (sample n = n mod 65536),
//                       # written in blocks of this many board samples: follow it sample by sample
//                       # (drops, repeats, samples lost or played again), and report the queue when
//                       # each block starts and the delay from board to device (needs the board
//                       # at 48000 samples per second times speed)
//     bursts "15:2000"  # ... the board's transmissions, as ORVSIM_BURSTS gives them, digital
//     silence
//                       # between: silence left out or played again there counts as dropped or
//                       # repeated (an edit), and the first sample of each burst reports "burst
//                       # N at S delay US" (needs ramp_block)
//     settle 2880000    # ... the lowest and highest of these once this many frames have been
//                       # taken (default 0)
//     status_at 14400000 # at the first board block that starts once this many frames have been
//                       # taken, raises SIGUSR1 (orvctl's status line), and at the start of the
//                       # next block reports "tally blocks B drops D repeats R lost L repeated P
//                       # underruns U delay US asked MS": the board blocks begun before it,
//                       # what the ramp showed so far and when the line was asked for, in
//                       # milliseconds of the device's clock (needs ramp_block)
//     report "/path"    # appends one line per event: prepare, start, underrun, restart, step,
//                       # fault, close, each new lowest or highest queue and delay (in
//                       # microseconds of audio) after settling, and with ramp_block, one line per
//                       # minute of audio taken
//   }
//
// Faults: "underrun" stalls the application until the device has played out all it was given, so
// the transfer finds the stream in underrun; "short" takes only part of the transfer that crosses
// fault_at and fails the rest of that write; "refuse" fails fault_count transfers in a row with
// -EPIPE (recoverable, nothing taken). "signal" is a kernel's card (type hw): a SIGUSR1 that comes
// while a write waits for room ends the write with what it had taken (a short write), or with
// -EINTR where it had taken nothing. fail_at is a device that breaks for good.
//
// A minute line: "minute M drops D repeats R lost L repeated P underruns U queue LOW HIGH delay
// LOW HIGH" for the M-th 2880000 frames taken (from 0), with the queue in frames and the delay in
// microseconds ("- -" when there was none to measure). A sample that is nowhere near where the
// ramp was shows as lost and then as repeated.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

enum class Fault { none, underrun, shortwrite, refuse, signal };

constexpr uint64_t kMinuteFrames = 48000 * 60;

// The lowest and highest of a measure so far.
struct Extremes {
  int64_t low = INT64_MAX;
  int64_t high = INT64_MIN;
};

// What the ramp showed over a stretch of frames.
struct RampCounts {
  uint64_t drops = 0;
  uint64_t repeats = 0;
  uint64_t lost = 0;
  uint64_t repeated = 0;
  uint64_t underruns = 0;
  Extremes queue{};
  Extremes delay_us{};
};

// A change of the device's clock: at `at_ns` after it opened, its offset becomes `ppm`.
struct Step {
  int64_t at_ns;
  int64_t ppm;
};

struct Device {
  snd_pcm_ioplug_t io{};
  // The clock it plays by: CLOCK_MONOTONIC, or orvctl-sim's simulated time.
  int64_t (*now)() = nullptr;
  void (*wait_until)(int64_t) = nullptr;  // simulated time only
  int64_t opened_ns = 0;

  int64_t ppm = 0;
  int64_t speed = 1;
  std::vector<Step> steps;  // still to come, in order
  size_t next_step = 0;
  std::vector<Step> restarts;  // when it restarts (the offsets do not count), in order
  size_t next_restart = 0;
  Fault fault = Fault::none;
  uint64_t fault_at = 0;
  int64_t fault_count = 1;
  uint64_t fail_at = UINT64_MAX;
  bool fault_done = false;
  sig_atomic_t signals_seen = 0;    // fault "signal": the SIGUSR1s already answered
  bool fail_next_transfer = false;  // the rest of a write after a short transfer
  bool coarse = false;              // position in whole periods
  // Noise (simulated time), from one generator seeded by the configuration.
  std::mt19937_64 random{1};
  int64_t jitter = 0;           // frames the position lags by, at most
  int64_t fifo = 0;             // frames between the position reported and what is heard
  int64_t wake_late_ns = 0;     // a wait for room ends up to this late
  double preempt_rate = 0;      // preemptions a second
  int64_t preempt_ns = 0;       // ... each up to this long
  int64_t next_preempt_ns = 0;  // when the next one comes (0: not drawn yet)
  uint64_t shown = 0;           // the position last reported (it never moves back)
  int64_t buffer_frames = 0;    // 0: any buffer size
  int64_t refuse_silence = 0;   // refuse software parameters with a silence size
  int64_t period_frames = 0;    // 0: any period size
  uint64_t ramp_block = 0;      // 0: the stream is not followed
  std::vector<Step> bursts;     // the board's transmissions: at_ns, and ppm for their ms
  size_t burst_cursor = 0;      // the burst that the last sample looked for was in or before
  uint64_t settle = 0;
  int report_fd = -1;

  // The board's ramp, followed: the board sample the next frame should be, what the whole stream
  // showed after settling, and what this minute showed.
  uint64_t ramp_next = 0;
  Extremes queue{};
  Extremes delay_us{};
  RampCounts minute{};
  RampCounts all{};  // ... since it opened
  int64_t last_delay_us = 0;
  uint64_t blocks_begun = 0;  // board blocks whose first sample was taken
  uint64_t status_at = 0;     // 0: never
  bool status_raised = false;
  int64_t status_raised_ns = 0;  // on the device's clock
  bool tallied = false;
  uint64_t minutes = 0;  // minute lines written

  bool running = false;
  int64_t start_ns = 0;          // when the device last started or changed its clock
  uint64_t played_at_start = 0;  // frames it had played by then since the last prepare
  uint64_t taken = 0;            // frames taken since the last prepare
  uint64_t taken_all = 0;        // frames taken since the device was opened
  uint64_t underruns = 0;
};

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

Device& device_of(snd_pcm_ioplug_t* io) {
  return *static_cast<Device*>(io->private_data);
}

bool simulated(const Device& device) {
  return device.wait_until != nullptr;
}

// A whole number from 0 to `high`, at random.
int64_t up_to(Device& device, int64_t high) {
  return high > 0 ? std::uniform_int_distribution<int64_t>(0, high)(device.random) : 0;
}

// The application is preempted when its time comes: the simulated clock moves on.
void maybe_preempt(Device& device) {
  if (!simulated(device) || device.preempt_rate <= 0) {
    return;
  }
  const int64_t now = device.now();
  if (device.next_preempt_ns == 0) {
    device.next_preempt_ns =
        now + static_cast<int64_t>(
                  std::exponential_distribution<double>(device.preempt_rate)(device.random) * 1e9);
  }
  if (now >= device.next_preempt_ns) {
    device.wait_until(now + up_to(device, device.preempt_ns));
    device.next_preempt_ns = 0;
  }
}

void report(const Device& device, const char* format, ...) __attribute__((format(printf, 2, 3)));
void report(const Device& device, const char* format, ...) {
  if (device.report_fd < 0) {
    return;
  }
  char line[200];
  va_list args;
  va_start(args, format);
  const int size = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (size > 0) {
    [[maybe_unused]] const ssize_t written =
        write(device.report_fd, line, std::min(static_cast<size_t>(size), sizeof line - 1));
  }
}

// Device time in nanoseconds per frame, scaled by speed and ppm.
double ns_per_frame(const Device& device) {
  return 1e9 / (static_cast<double>(device.io.rate) * static_cast<double>(device.speed) *
                (1.0 + static_cast<double>(device.ppm) / 1e6));
}

// Frames played since the last prepare by time `at` (from the last start or change of clock on).
uint64_t played_by(const Device& device, int64_t at) {
  return device.played_at_start +
         static_cast<uint64_t>(static_cast<double>(std::max<int64_t>(0, at - device.start_ns)) /
                               ns_per_frame(device));
}

// Changes of the clock whose time has come, each at its own moment.
void apply_steps(Device& device, int64_t now) {
  while (device.next_step < device.steps.size() &&
         now >= device.opened_ns + device.steps[device.next_step].at_ns) {
    const Step& step = device.steps[device.next_step++];
    const int64_t at = device.opened_ns + step.at_ns;
    if (device.running) {
      device.played_at_start = played_by(device, at);
      device.start_ns = at;
    }
    device.ppm = step.ppm;
    report(device, "step to %" PRId64 " ppm at %" PRIu64 "\n", step.ppm, device.taken_all);
  }
}

uint64_t consumed(Device& device) {
  const int64_t now = device.now();
  apply_steps(device, now);
  return device.running ? played_by(device, now) : 0;
}

// The time at which the frames played since the last prepare reach `frames`.
int64_t time_of(const Device& device, uint64_t frames) {
  return device.start_ns +
         static_cast<int64_t>(std::ceil(static_cast<double>(frames - device.played_at_start) *
                                        ns_per_frame(device)));
}

// Wakes pollers once a period until the device starts.
void arm_timer(const Device& device) {
  if (simulated(device)) {
    return;  // its descriptor is always ready: a wait is a move of the clock
  }
  const auto ns =
      static_cast<int64_t>(ns_per_frame(device) * static_cast<double>(device.io.period_size));
  itimerspec period{};
  period.it_interval = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  period.it_value = period.it_interval;
  timerfd_settime(device.io.poll_fd, 0, &period, nullptr);
}

// The end of the period that the position last reported lies in: a sound card's period interrupt,
// when a coarse position moves and pollers wake. A position reported behind what was played is
// caught up by then: a card signals a period's end once the count it reports has crossed it (a
// poller that found too little room because the position lagged wakes at once, not a period on).
int64_t period_end(Device& device) {
  const uint64_t shown = std::min(device.shown, consumed(device));
  return time_of(device, (shown / device.io.period_size + 1) * device.io.period_size);
}

// While playing, wakes pollers at the end of each period.
void arm_period_end(Device& device) {
  if (simulated(device)) {
    return;
  }
  const int64_t at = period_end(device);
  itimerspec end{};
  end.it_value = {static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
  timerfd_settime(device.io.poll_fd, TFD_TIMER_ABSTIME, &end, nullptr);
}

int device_start(snd_pcm_ioplug_t* io) {
  Device& device = device_of(io);
  device.running = true;
  device.start_ns = device.now();
  device.played_at_start = 0;
  arm_period_end(device);
  report(device, "start at %" PRIu64 "\n", device.taken_all);
  return 0;
}

int device_stop(snd_pcm_ioplug_t* io) {
  device_of(io).running = false;
  return 0;
}

int device_prepare(snd_pcm_ioplug_t* io) {
  Device& device = device_of(io);
  device.running = false;
  device.taken = 0;
  device.shown = 0;
  arm_timer(device);
  report(device, "prepare buffer %lu period %lu %s\n", io->buffer_size, io->period_size,
         io->access == SND_PCM_ACCESS_MMAP_INTERLEAVED ? "mmap" : "rw");
  return 0;
}

void count_underrun(Device& device) {
  ++device.underruns;
  ++device.minute.underruns;
  device.running = false;
}

snd_pcm_sframes_t device_pointer(snd_pcm_ioplug_t* io) {
  Device& device = device_of(io);
  const uint64_t played = consumed(device);
  if (device.running && device.next_restart < device.restarts.size() &&
      device.now() >= device.opened_ns + device.restarts[device.next_restart].at_ns) {
    ++device.next_restart;
    report(device, "restart at %" PRIu64 "\n", device.taken_all);
    device.running = false;
    return -EPIPE;
  }
  if (device.running && played >= device.taken) {
    count_underrun(device);
    report(device, "underrun %" PRIu64 " at %" PRIu64 "\n", device.underruns, device.taken_all);
    return -EPIPE;
  }
  // Behind by the jitter, at random, then in whole periods for a coarse card (which so sees a
  // period's end up to the jitter late), but never back from what it reported (within a run).
  const auto lag = static_cast<uint64_t>(up_to(device, device.jitter));
  const uint64_t behind = played > lag ? played - lag : 0;
  uint64_t shown = device.coarse ? behind - behind % io->period_size : behind;
  shown = std::max(shown, std::min(device.shown, played));
  device.shown = shown;
  maybe_preempt(device);  // between the reading and what the application does with it
  return static_cast<snd_pcm_sframes_t>(shown % io->buffer_size);
}

// The delay a card reports: what it was given beyond the position it shows, and, while it plays,
// what its FIFO holds beyond that position.
int device_delay(snd_pcm_ioplug_t* io, snd_pcm_sframes_t* delay) {
  Device& device = device_of(io);
  if (device.running && device_pointer(io) < 0) {
    snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN);
    return -EPIPE;
  }
  *delay = static_cast<snd_pcm_sframes_t>(device.taken - std::min(device.shown, device.taken)) +
           (device.running ? static_cast<snd_pcm_sframes_t>(device.fifo) : 0);
  return 0;
}

// Reports `value` of the measure `name` when it is the lowest or the highest so far.
void track(const Device& device, Extremes& extremes, int64_t value, const char* name) {
  if (value < extremes.low) {
    extremes.low = value;
    report(device, "%s low %" PRId64 " at %" PRIu64 "\n", name, value, device.taken_all);
  }
  if (value > extremes.high) {
    extremes.high = value;
    report(device, "%s high %" PRId64 " at %" PRIu64 "\n", name, value, device.taken_all);
  }
}

void widen(Extremes& extremes, int64_t value) {
  extremes.low = std::min(extremes.low, value);
  extremes.high = std::max(extremes.high, value);
}

// "LOW HIGH", or "- -" when nothing was measured.
std::string extremes_text(const Extremes& extremes) {
  return extremes.low > extremes.high
             ? "- -"
             : std::to_string(extremes.low) + " " + std::to_string(extremes.high);
}

// The first board sample at or after `ns` of the board's own time, as the simulated board counts.
uint64_t board_sample_at(int64_t ns) {
  const auto whole = static_cast<uint64_t>(ns / 1000000000);
  const auto part = static_cast<uint64_t>(ns % 1000000000);
  return whole * 48000 + (part * 48000 + 999999999) / 1000000000;
}

uint64_t burst_start(const Step& burst) {
  return board_sample_at(burst.at_ns);
}
uint64_t burst_end(const Step& burst) {
  return board_sample_at(burst.at_ns + burst.ppm * 1000000);
}

// The burst that board sample `n` sounds in (its index), or -1 in the silence between them. The
// samples come in order but for a few played again: the search goes on from the last one.
int burst_of(Device& device, uint64_t n) {
  size_t& at = device.burst_cursor;
  while (at > 0 && n < burst_end(device.bursts[at - 1])) {
    --at;
  }
  while (at < device.bursts.size() && n >= burst_end(device.bursts[at])) {
    ++at;
  }
  return at < device.bursts.size() && n >= burst_start(device.bursts[at]) ? static_cast<int>(at)
                                                                          : -1;
}

// Whether board samples [from, to) are all silence between bursts.
bool silent_between(const Device& device, uint64_t from, uint64_t to) {
  for (const Step& burst : device.bursts) {
    if (burst_start(burst) < to && burst_end(burst) > from) {
      return false;
    }
  }
  return true;
}

// With bursts: a sample of silence, or the first of a burst after one, against the ramp; the
// delay at each burst's first sample. Returns whether the sample was taken care of (silence).
bool follow_silence(Device& device, uint16_t got, uint64_t heard_frame) {
  const uint64_t next = device.ramp_next;
  const bool expected_silent = burst_of(device, next) < 0;
  if (got == 0 && (expected_silent || next % 65536 != 0)) {
    if (expected_silent) {
      ++device.ramp_next;  // silence where there is silence
    } else {
      ++device.minute.repeats;  // silence played again before a burst
      ++device.all.repeats;
    }
    return true;
  }
  if (got == 0) {
    return false;  // the ramp's own zero
  }
  // Sound after silence: the silence left out before it, however long (the ramp's value tells it
  // only to 65536 samples: the first place that fits), was dropped.
  for (uint64_t ahead = next + static_cast<uint16_t>(got - static_cast<uint16_t>(next));
       expected_silent && ahead < next + 8 * 65536; ahead += 65536) {
    if (!silent_between(device, next, ahead)) {
      break;
    }
    if (burst_of(device, ahead) >= 0) {
      device.minute.drops += ahead - next;
      device.all.drops += ahead - next;
      device.ramp_next = ahead;
      break;
    }
  }
  const uint64_t n = device.ramp_next;
  const int burst = burst_of(device, n);
  if (device.running && burst >= 0 && got == static_cast<uint16_t>(n) &&
      n == burst_start(device.bursts[burst])) {
    const double heard_ns = static_cast<double>(time_of(device, heard_frame));
    const double made_ns = static_cast<double>(n) * 1e9 / (48000.0 * device.speed);
    report(device, "burst %d at %" PRIu64 " delay %" PRId64 "\n", burst, n,
           static_cast<int64_t>((heard_ns - made_ns) / 1000 * device.speed));
  }
  return false;
}

// Follows the board's ramp through the `count` frames of a transfer, taken while the device plays
// or before it starts: each sample against the one the ramp should give next; and, from the first
// frame, the queue when a board block starts and when that frame will be heard against when the
// board made it.
// The first sample of a board block is taken: the status line asked for, or what it should say.
void block_begins(Device& device) {
  if (device.status_at > 0 && device.taken_all >= device.status_at && !device.status_raised) {
    device.status_raised = true;
    device.status_raised_ns = device.now();
    raise(SIGUSR1);
  } else if (device.status_raised && !device.tallied) {
    device.tallied = true;
    const RampCounts& a = device.all;
    report(device,
           "tally blocks %" PRIu64 " drops %" PRIu64 " repeats %" PRIu64 " lost %" PRIu64
           " repeated %" PRIu64 " underruns %" PRIu64 " delay %" PRId64 " asked %" PRId64 "\n",
           device.blocks_begun, a.drops, a.repeats, a.lost, a.repeated, device.underruns,
           device.last_delay_us, device.status_raised_ns / 1000000);
  }
  ++device.blocks_begun;
}

void follow_ramp(Device& device, const uint8_t* first, unsigned step_bytes, uint64_t count) {
  const auto low = static_cast<uint16_t>(first[0] | first[1] << 8);
  // (Silence between bursts tells nothing of where the stream is: where the ramp should be.)
  const auto n = !device.bursts.empty() && low == 0
                     ? device.ramp_next
                     : static_cast<uint64_t>(static_cast<int64_t>(device.ramp_next) +
                                             static_cast<int16_t>(static_cast<uint16_t>(
                                                 low - static_cast<uint16_t>(device.ramp_next))));
  if (n % device.ramp_block == 0) {
    block_begins(device);
  }
  if (device.running) {
    const uint64_t played = consumed(device);
    // Heard once the device has played what it holds; made at the board's rate, 48000 times
    // speed, from the board's own start (which is the same for every sample). In microseconds of
    // audio: the clock's, times speed.
    const double heard_ns =
        static_cast<double>(time_of(device, device.taken + static_cast<uint64_t>(device.fifo)));
    const double made_ns =
        static_cast<double>(n) * 1e9 / (48000.0 * static_cast<double>(device.speed));
    const auto delay =
        static_cast<int64_t>((heard_ns - made_ns) / 1000 * static_cast<double>(device.speed));
    const bool block_start = n % device.ramp_block == 0 && device.taken >= played;
    const auto queue = static_cast<int64_t>(device.taken - played);
    if (block_start) {
      widen(device.minute.queue, queue);
    }
    widen(device.minute.delay_us, delay);
    device.last_delay_us = delay;
    if (device.taken_all >= device.settle) {
      if (block_start) {
        track(device, device.queue, queue, "queue");
      }
      track(device, device.delay_us, delay, "delay");
    }
  }
  for (uint64_t i = 0; i < count; ++i, first += step_bytes) {
    const auto got = static_cast<uint16_t>(first[0] | first[1] << 8);
    // How far the sample is from the one expected: +1 the expected one was left out, -1 the one
    // before it came again, further a jump (0 for silence between bursts, followed apart).
    const bool silence =
        !device.bursts.empty() &&
        follow_silence(device, got, device.taken + i + static_cast<uint64_t>(device.fifo));
    const auto off = silence ? int16_t{0}
                             : static_cast<int16_t>(static_cast<uint16_t>(
                                   got - static_cast<uint16_t>(device.ramp_next)));
    if (silence) {
      // followed apart
    } else if (off == 1) {
      ++device.minute.drops;
      ++device.all.drops;
    } else if (off == -1) {
      ++device.minute.repeats;
      ++device.all.repeats;
    } else if (off > 1) {
      device.minute.lost += static_cast<uint64_t>(off);
      device.all.lost += static_cast<uint64_t>(off);
    } else if (off < -1) {
      device.minute.repeated += static_cast<uint64_t>(-off);
      device.all.repeated += static_cast<uint64_t>(-off);
    }
    if (!silence) {
      device.ramp_next = static_cast<uint64_t>(static_cast<int64_t>(device.ramp_next) + off + 1);
    }
    if ((device.taken_all + i + 1) % kMinuteFrames == 0) {
      const RampCounts& m = device.minute;
      report(device,
             "minute %" PRIu64 " drops %" PRIu64 " repeats %" PRIu64 " lost %" PRIu64
             " repeated %" PRIu64 " underruns %" PRIu64 " queue %s delay %s\n",
             device.minutes++, m.drops, m.repeats, m.lost, m.repeated, m.underruns,
             extremes_text(m.queue).c_str(), extremes_text(m.delay_us).c_str());
      device.minute = RampCounts{};
    }
  }
}

// SIGUSR1s that have come, for the fault "signal": counted by a handler put in front of the
// program's own, which it then calls.
volatile sig_atomic_t signals_come = 0;
struct sigaction program_handler {};

void count_signal(int number) {
  signals_come = signals_come + 1;
  if (program_handler.sa_handler != SIG_IGN && program_handler.sa_handler != SIG_DFL) {
    program_handler.sa_handler(number);
  }
}

void count_signals() {
  struct sigaction action {};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &action, &program_handler);
}

snd_pcm_sframes_t device_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                  snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
  Device& device = device_of(io);
  if (device.fault == Fault::signal && signals_come != device.signals_seen) {
    // A signal came since the last transfer, while the write waited for room: as a kernel's card
    // does, the write ends here (ALSA returns what it took so far, or -EINTR).
    device.signals_seen = signals_come;
    return -EINTR;
  }
  maybe_preempt(device);  // in the middle of a write
  if (device.taken_all >= device.fail_at) {
    report(device, "failing at %" PRIu64 "\n", device.taken_all);
    return -EIO;
  }
  if (device.fail_next_transfer) {
    device.fail_next_transfer = false;
    return -EAGAIN;
  }
  snd_pcm_uframes_t take = std::min<uint64_t>(size, device.fail_at - device.taken_all);
  if (device.fault != Fault::none && !device.fault_done &&
      device.taken_all + size > device.fault_at) {
    switch (device.fault) {
      case Fault::underrun:
        // The application stalled: by now the device has played out all it had and stopped.
        device.fault_done = true;
        report(device, "fault underrun at %" PRIu64 "\n", device.taken_all);
        if (device.running) {
          count_underrun(device);
          snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN);
          return -EPIPE;
        }
        break;
      case Fault::shortwrite:
        take = device.fault_at > device.taken_all ? device.fault_at - device.taken_all : size / 2;
        device.fail_next_transfer = true;
        device.fault_done = true;
        report(device, "fault short at %" PRIu64 " took %lu of %lu\n", device.taken_all, take,
               size);
        break;
      case Fault::refuse:
        if (--device.fault_count <= 0) {
          device.fault_done = true;
        }
        report(device, "fault refuse at %" PRIu64 "\n", device.taken_all);
        return -EPIPE;
      case Fault::none:
      case Fault::signal:
        break;
    }
  }
  if (device.ramp_block > 0 && take > 0) {
    const auto* first =
        static_cast<const uint8_t*>(areas[0].addr) + (areas[0].first + offset * areas[0].step) / 8;
    follow_ramp(device, first, areas[0].step / 8, take);
  }
  device.taken += take;
  device.taken_all += take;
  return static_cast<snd_pcm_sframes_t>(take);
}

int device_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                        unsigned short* revents) {
  Device& device = device_of(io);
  if (simulated(device)) {
    // Whoever polls waits for room: the clock moves to the end of the period, when a card would
    // have made some.
    // (At least a nanosecond on: the moment a period ends, rounded, may be a frame short of it.)
    if (device.running) {
      device.wait_until(std::max(period_end(device), device.now() + 1) +
                        up_to(device, device.wake_late_ns));
    }
    *revents = POLLOUT;
    return 0;
  }
  uint64_t expirations = 0;
  if (nfds == 1 && (pfd[0].revents & POLLIN) != 0) {
    [[maybe_unused]] const ssize_t got = read(io->poll_fd, &expirations, sizeof expirations);
    if (device.running) {
      arm_period_end(device);
    }
  }
  *revents = expirations > 0 ? POLLOUT : 0;
  return 0;
}

int device_sw_params(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
  snd_pcm_uframes_t silence = 0;
  if (device_of(io).refuse_silence != 0 &&
      snd_pcm_sw_params_get_silence_size(params, &silence) == 0 && silence > 0) {
    report(device_of(io), "refused a silence size\n");
    return -EINVAL;
  }
  return 0;
}

int device_close(snd_pcm_ioplug_t* io) {
  Device* device = &device_of(io);
  report(*device, "close after %" PRIu64 " frames, %" PRIu64 " underruns\n", device->taken_all,
         device->underruns);
  close(io->poll_fd);
  if (device->report_fd >= 0) {
    close(device->report_fd);
  }
  delete device;
  return 0;
}

snd_pcm_ioplug_callback_t device_callbacks() {
  snd_pcm_ioplug_callback_t callbacks{};
  callbacks.start = device_start;
  callbacks.stop = device_stop;
  callbacks.pointer = device_pointer;
  callbacks.delay = device_delay;
  callbacks.transfer = device_transfer;
  callbacks.close = device_close;
  callbacks.prepare = device_prepare;
  callbacks.poll_revents = device_poll_revents;
  callbacks.sw_params = device_sw_params;
  return callbacks;
}

const snd_pcm_ioplug_callback_t kCallbacks = device_callbacks();

// SECONDS with an optional fraction, as nanoseconds; advances `text` past it.
bool read_seconds(const char*& text, int64_t& ns) {
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (end == text || !(seconds >= 0) || seconds > 1e9) {
    return false;
  }
  ns = static_cast<int64_t>(std::llround(seconds * 1e9));
  text = end;
  return true;
}

// "SECONDS:PPM SECONDS:PPM ..." (or, without `ppms`, "SECONDS SECONDS ..."), in order of time.
int parse_schedule(const char* text, bool ppms, std::vector<Step>& steps) {
  for (;;) {
    while (*text == ' ') {
      ++text;
    }
    if (*text == '\0') {
      return 0;
    }
    Step step{};
    if (!read_seconds(text, step.at_ns) || (!steps.empty() && step.at_ns < steps.back().at_ns)) {
      return -EINVAL;
    }
    if (ppms) {
      char* end = nullptr;
      if (*text++ != ':' || (step.ppm = std::strtoll(text, &end, 10), end == text) ||
          step.ppm <= -1000000) {
        return -EINVAL;
      }
      text = end;
    }
    steps.push_back(step);
  }
}

// Plays by orvctl-sim's simulated time, which the process it is loaded into provides.
int use_simulated_clock(Device& device) {
  auto simulated_now = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "orvsim_clock_simulated"));
  device.now = reinterpret_cast<int64_t (*)()>(dlsym(RTLD_DEFAULT, "orvsim_clock_now_ns"));
  device.wait_until =
      reinterpret_cast<void (*)(int64_t)>(dlsym(RTLD_DEFAULT, "orvsim_clock_wait_until"));
  if (simulated_now == nullptr || device.now == nullptr || device.wait_until == nullptr ||
      simulated_now() == 0) {
    SNDERR("orvtest: clock \"simulated\" plays only in orvctl-sim with ORVSIM_CLOCK=simulated");
    return -EINVAL;
  }
  return 0;
}

int read_integer(snd_config_t* node, int64_t& value) {
  long small = 0;
  long long large = 0;
  if (snd_config_get_integer(node, &small) == 0) {
    value = small;
    return 0;
  }
  const int error = snd_config_get_integer64(node, &large);
  value = large;
  return error;
}

// The fields that are whole numbers: where each goes (a signed value, times `scale`, or a count of
// frames), and the least each may be.
struct IntegerField {
  const char* key;
  int64_t least;
  int64_t Device::*value = nullptr;
  uint64_t Device::*count = nullptr;
  int64_t scale = 1;
};

const IntegerField kIntegerFields[] = {
    {"ppm", INT64_MIN, &Device::ppm},
    {"speed", 1, &Device::speed},
    {"fault_count", 0, &Device::fault_count},
    {"refuse_silence", 0, &Device::refuse_silence},
    {"buffer", 64, &Device::buffer_frames},
    {"period", 32, &Device::period_frames},
    {"jitter", 0, &Device::jitter},
    {"fifo", 0, &Device::fifo},
    {"wake_late", 0, &Device::wake_late_ns, nullptr, 1000},  // given in microseconds
    {"fault_at", 0, nullptr, &Device::fault_at},
    {"fail_at", 0, nullptr, &Device::fail_at},
    {"status_at", 0, nullptr, &Device::status_at},
    {"ramp_block", 0, nullptr, &Device::ramp_block},
    {"settle", 0, nullptr, &Device::settle},
};

const IntegerField* integer_field(const std::string& key) {
  for (const IntegerField& field : kIntegerFields) {
    if (key == field.key) {
      return &field;
    }
  }
  return nullptr;
}

int parse_fault(const char* text, Fault& fault) {
  static const struct {
    const char* name;
    Fault fault;
  } kFaults[] = {{"underrun", Fault::underrun},
                 {"short", Fault::shortwrite},
                 {"refuse", Fault::refuse},
                 {"signal", Fault::signal}};
  for (const auto& known : kFaults) {
    if (std::strcmp(text, known.name) == 0) {
      fault = known.fault;
      return 0;
    }
  }
  return -EINVAL;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(orvtest) {
  static_cast<void>(root);  // the whole configuration: not needed
  auto* device = new Device;
  snd_config_iterator_t i;
  snd_config_iterator_t next;
  int error = 0;
  snd_config_for_each(i, next, conf) {
    snd_config_t* node = snd_config_iterator_entry(i);
    const char* id = nullptr;
    if (snd_config_get_id(node, &id) < 0) {
      continue;
    }
    const std::string key = id;
    const char* text = nullptr;
    if (key == "comment" || key == "type" || key == "hint") {
      continue;
    } else if (const IntegerField* field = integer_field(key)) {
      int64_t value = 0;
      error = read_integer(node, value);
      error = error == 0 && value < field->least ? -EINVAL : error;
      if (field->count != nullptr) {
        device->*field->count = static_cast<uint64_t>(value);
      } else {
        device->*field->value = value * field->scale;
      }
    } else if (key == "fault") {
      error = snd_config_get_string(node, &text);
      if (error == 0) {
        error = parse_fault(text, device->fault);
      }
      if (error == 0 && device->fault == Fault::signal) {
        count_signals();
      }
    } else if (key == "clock") {
      error = snd_config_get_string(node, &text);
      if (error == 0 && std::strcmp(text, "simulated") == 0) {
        error = use_simulated_clock(*device);
      } else if (error == 0 && std::strcmp(text, "real") != 0) {
        error = -EINVAL;
      }
    } else if (key == "steps") {
      error = snd_config_get_string(node, &text);
      if (error == 0) {
        error = parse_schedule(text, true, device->steps);
      }
    } else if (key == "bursts") {
      error = snd_config_get_string(node, &text);
      if (error == 0) {
        error = parse_schedule(text, true, device->bursts);
      }
    } else if (key == "restarts") {
      error = snd_config_get_string(node, &text);
      if (error == 0) {
        error = parse_schedule(text, false, device->restarts);
      }
    } else if (key == "position") {
      error = snd_config_get_string(node, &text);
      if (error == 0) {
        device->coarse = std::strcmp(text, "period") == 0;
        error = device->coarse || std::strcmp(text, "exact") == 0 ? 0 : -EINVAL;
      }
    } else if (key == "preempt") {
      error = snd_config_get_string(node, &text);
      if (error == 0) {
        char* end = nullptr;
        device->preempt_rate = std::strtod(text, &end);
        const char* us = end;
        device->preempt_ns = *us == ':' ? 1000 * std::strtoll(us + 1, &end, 10) : -1;
        error =
            end == us + 1 || *end != '\0' || !(device->preempt_rate >= 0) || device->preempt_ns < 0
                ? -EINVAL
                : 0;
      }
    } else if (key == "seed") {
      int64_t seed = 0;
      error = read_integer(node, seed);
      device->random.seed(static_cast<uint64_t>(seed));
    } else if (key == "report") {
      error = snd_config_get_string(node, &text);
      if (error == 0) {
        device->report_fd = open(text, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        error = device->report_fd < 0 ? -errno : 0;
      }
    } else {
      SNDERR("orvtest: unknown field %s", id);
      error = -EINVAL;
    }
    if (error < 0) {
      SNDERR("orvtest: bad value for %s", id);
      delete device;
      return error;
    }
  }
  if (stream != SND_PCM_STREAM_PLAYBACK) {
    delete device;
    return -EINVAL;
  }

  device->io.version = SND_PCM_IOPLUG_VERSION;
  device->io.name = "orvctl test output";
  device->io.callback = &kCallbacks;
  device->io.private_data = device;
  if (device->now == nullptr) {
    device->now = monotonic_ns;
    device->io.poll_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  } else {
    // Always ready: whoever polls it gets its answer at once, on the simulated clock.
    device->io.poll_fd = eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  device->opened_ns = device->now();
  device->io.poll_events = POLLIN;
  device->io.mmap_rw = 0;
  error = snd_pcm_ioplug_create(&device->io, name, stream, mode);
  if (error < 0) {
    close(device->io.poll_fd);
    delete device;
    return error;
  }

  static const unsigned int kAccess[] = {SND_PCM_ACCESS_RW_INTERLEAVED,
                                         SND_PCM_ACCESS_MMAP_INTERLEAVED};
  static const unsigned int kFormats[] = {SND_PCM_FORMAT_S16_LE};
  snd_pcm_ioplug_set_param_list(&device->io, SND_PCM_IOPLUG_HW_ACCESS, 2, kAccess);
  snd_pcm_ioplug_set_param_list(&device->io, SND_PCM_IOPLUG_HW_FORMAT, 1, kFormats);
  snd_pcm_ioplug_set_param_minmax(&device->io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 2);
  snd_pcm_ioplug_set_param_minmax(&device->io, SND_PCM_IOPLUG_HW_RATE, 48000, 48000);
  snd_pcm_ioplug_set_param_minmax(&device->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64, 1 << 20);
  snd_pcm_ioplug_set_param_minmax(&device->io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024);
  if (device->buffer_frames > 0) {  // one channel of 16 bits: two bytes a frame
    const auto bytes = static_cast<unsigned>(2 * device->buffer_frames);
    snd_pcm_ioplug_set_param_minmax(&device->io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, bytes, bytes);
  }
  if (device->period_frames > 0) {
    const auto bytes = static_cast<unsigned>(2 * device->period_frames);
    snd_pcm_ioplug_set_param_minmax(&device->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, bytes, bytes);
  }

  *pcmp = device->io.pcm;
  return 0;
}

SND_PCM_PLUGIN_SYMBOL(orvtest)
}
