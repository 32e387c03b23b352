// An ALSA playback device for tests that behaves like a sound card: once started it consumes
// frames at its rate by CLOCK_MONOTONIC, reports an underrun when it has played everything it was
// given, and wakes pollers through a timerfd at each period. Loaded by ALSA from a test's
// configuration:
//
//   pcm_type.orvtest { lib "/path/to/libasound_module_pcm_orvtest.so" }
//   pcm.!default {
//     type orvtest
//     ppm -100          # clock offset in parts per million (default 0)
//     speed 8           # runs this many times faster than real time (default 1)
//     fault "short"     # underrun | short | refuse (default none)
//     fault_at 36000    # ... once this many frames have been taken in all
//     fault_count 2     # refuse: this many transfers in a row take nothing (default 1)
//     fail_at 120000    # every transfer fails with -EIO once this many frames have been taken
//     buffer 32768      # the only buffer size, in frames, it offers (default: any)
//     position "period" # reports its position in whole periods, as coarse cards do (default
//                       # "exact")
//     ramp_block 12000  # the stream is the simulated board's ramp (sample n = n mod 65536),
//                       # written in blocks of this many board samples: report the queue when
//                       # each block starts and the delay from board to device (needs the board
//                       # at 48000 samples per second times speed)
//     settle 2880000    # ... once this many frames have been taken (default 0)
//     report "/path"    # appends one line per event: prepare, start, underrun, fault, close,
//                       # and each new lowest or highest queue and delay (in microseconds of
//                       # audio) after settling
//   }
//
// Faults: "underrun" stalls the application until the device has played out all it was given, so
// the transfer finds the stream in underrun; "short" takes only part of the transfer that crosses
// fault_at and fails the rest of that write; "refuse" fails fault_count transfers in a row with
// -EPIPE (recoverable, nothing taken). fail_at is a device that breaks for good.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <fcntl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

enum class Fault { none, underrun, shortwrite, refuse };

// The lowest and highest of a measure so far.
struct Extremes {
  int64_t low = INT64_MAX;
  int64_t high = INT64_MIN;
};

struct Device {
  snd_pcm_ioplug_t io{};
  int64_t ppm = 0;
  int64_t speed = 1;
  Fault fault = Fault::none;
  uint64_t fault_at = 0;
  int64_t fault_count = 1;
  uint64_t fail_at = UINT64_MAX;
  bool fault_done = false;
  bool fail_next_transfer = false;  // the rest of a write after a short transfer
  bool coarse = false;              // position in whole periods
  int64_t buffer_frames = 0;        // 0: any buffer size
  uint64_t ramp_block = 0;          // 0: the stream is not followed
  uint64_t settle = 0;
  int report_fd = -1;

  // The board's ramp, followed: the board sample the next frame should be.
  uint64_t ramp_next = 0;
  Extremes queue{};
  Extremes delay_us{};

  bool running = false;
  int64_t start_ns = 0;
  uint64_t taken = 0;      // frames taken since the last prepare
  uint64_t taken_all = 0;  // frames taken since the device was opened
  uint64_t underruns = 0;
};

int64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

Device& device_of(snd_pcm_ioplug_t* io) {
  return *static_cast<Device*>(io->private_data);
}

void report(const Device& device, const char* format, ...) __attribute__((format(printf, 2, 3)));
void report(const Device& device, const char* format, ...) {
  if (device.report_fd < 0) {
    return;
  }
  char line[160];
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

uint64_t consumed(const Device& device) {
  if (!device.running) {
    return 0;
  }
  return static_cast<uint64_t>(static_cast<double>(now_ns() - device.start_ns) /
                               ns_per_frame(device));
}

// Wakes pollers once a period until the device starts.
void arm_timer(const Device& device) {
  const auto ns =
      static_cast<int64_t>(ns_per_frame(device) * static_cast<double>(device.io.period_size));
  itimerspec period{};
  period.it_interval = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  period.it_value = period.it_interval;
  timerfd_settime(device.io.poll_fd, 0, &period, nullptr);
}

// While playing, wakes pollers at the end of each period of the device's own clock, as a sound
// card's period interrupt would; a coarse position moves at the same moments.
void arm_period_end(const Device& device) {
  const double period_ns = ns_per_frame(device) * static_cast<double>(device.io.period_size);
  const double periods = std::floor(static_cast<double>(now_ns() - device.start_ns) / period_ns);
  const auto at = device.start_ns + static_cast<int64_t>(std::ceil((periods + 1) * period_ns));
  itimerspec end{};
  end.it_value = {static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
  timerfd_settime(device.io.poll_fd, TFD_TIMER_ABSTIME, &end, nullptr);
}

int device_start(snd_pcm_ioplug_t* io) {
  Device& device = device_of(io);
  device.running = true;
  device.start_ns = now_ns();
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
  arm_timer(device);
  report(device, "prepare buffer %lu period %lu %s\n", io->buffer_size, io->period_size,
         io->access == SND_PCM_ACCESS_MMAP_INTERLEAVED ? "mmap" : "rw");
  return 0;
}

snd_pcm_sframes_t device_pointer(snd_pcm_ioplug_t* io) {
  Device& device = device_of(io);
  const uint64_t played = consumed(device);
  if (device.running && played >= device.taken) {
    ++device.underruns;
    report(device, "underrun %" PRIu64 " at %" PRIu64 "\n", device.underruns, device.taken_all);
    device.running = false;
    return -EPIPE;
  }
  const uint64_t shown = device.coarse ? played - played % io->period_size : played;
  return static_cast<snd_pcm_sframes_t>(shown % io->buffer_size);
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

// Follows the board's ramp through a transfer whose first frame is `first` (a sample of the
// ramp), taken while the device plays: the queue when a board block starts, and when the frame
// will be heard against when the board made it.
void follow_ramp(Device& device, int16_t first) {
  // The sample number, from its low 16 bits and where the stream was: drops and repeats move it
  // by one, a loss by less than 32768.
  const auto low = static_cast<uint16_t>(first);
  const auto n = static_cast<uint64_t>(
      static_cast<int64_t>(device.ramp_next) +
      static_cast<int16_t>(static_cast<uint16_t>(low - static_cast<uint16_t>(device.ramp_next))));
  device.ramp_next = n;
  if (!device.running || device.taken_all < device.settle) {
    return;
  }
  const uint64_t played = consumed(device);
  if (n % device.ramp_block == 0 && device.taken >= played) {
    track(device, device.queue, static_cast<int64_t>(device.taken - played), "queue");
  }
  // Heard at the device's start plus its frames before this one; made at the board's rate,
  // 48000 times speed, from the board's own start (which is the same for every sample). In
  // microseconds of audio: the wall clock's, times speed.
  const double heard_ns = static_cast<double>(device.start_ns) +
                          static_cast<double>(device.taken) * ns_per_frame(device);
  const double made_ns =
      static_cast<double>(n) * 1e9 / (48000.0 * static_cast<double>(device.speed));
  track(device, device.delay_us,
        static_cast<int64_t>((heard_ns - made_ns) / 1000 * static_cast<double>(device.speed)),
        "delay");
}

snd_pcm_sframes_t device_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                  snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
  Device& device = device_of(io);
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
          ++device.underruns;
          device.running = false;
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
        break;
    }
  }
  if (device.ramp_block > 0 && take > 0) {
    const auto* first =
        static_cast<const uint8_t*>(areas[0].addr) + (areas[0].first + offset * areas[0].step) / 8;
    follow_ramp(device, static_cast<int16_t>(first[0] | first[1] << 8));
    device.ramp_next += take;
  }
  device.taken += take;
  device.taken_all += take;
  return static_cast<snd_pcm_sframes_t>(take);
}

int device_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                        unsigned short* revents) {
  uint64_t expirations = 0;
  if (nfds == 1 && (pfd[0].revents & POLLIN) != 0) {
    [[maybe_unused]] const ssize_t got = read(io->poll_fd, &expirations, sizeof expirations);
    if (device_of(io).running) {
      arm_period_end(device_of(io));
    }
  }
  *revents = expirations > 0 ? POLLOUT : 0;
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
  callbacks.transfer = device_transfer;
  callbacks.close = device_close;
  callbacks.prepare = device_prepare;
  callbacks.poll_revents = device_poll_revents;
  return callbacks;
}

const snd_pcm_ioplug_callback_t kCallbacks = device_callbacks();

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

int parse_fault(const char* text, Fault& fault) {
  static const struct {
    const char* name;
    Fault fault;
  } kFaults[] = {
      {"underrun", Fault::underrun}, {"short", Fault::shortwrite}, {"refuse", Fault::refuse}};
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
    } else if (key == "ppm") {
      error = read_integer(node, device->ppm);
    } else if (key == "speed") {
      error = read_integer(node, device->speed);
      if (error == 0 && device->speed < 1) {
        error = -EINVAL;
      }
    } else if (key == "fault_at") {
      int64_t at = 0;
      error = read_integer(node, at);
      device->fault_at = static_cast<uint64_t>(at);
    } else if (key == "fail_at") {
      int64_t at = 0;
      error = read_integer(node, at);
      device->fail_at = static_cast<uint64_t>(at);
    } else if (key == "fault_count") {
      error = read_integer(node, device->fault_count);
    } else if (key == "fault") {
      error = snd_config_get_string(node, &text);
      if (error == 0) {
        error = parse_fault(text, device->fault);
      }
    } else if (key == "buffer") {
      error = read_integer(node, device->buffer_frames);
      if (error == 0 && device->buffer_frames < 64) {
        error = -EINVAL;
      }
    } else if (key == "position") {
      error = snd_config_get_string(node, &text);
      if (error == 0) {
        device->coarse = std::strcmp(text, "period") == 0;
        error = device->coarse || std::strcmp(text, "exact") == 0 ? 0 : -EINVAL;
      }
    } else if (key == "ramp_block") {
      int64_t block = 0;
      error = read_integer(node, block);
      device->ramp_block = static_cast<uint64_t>(std::max<int64_t>(0, block));
    } else if (key == "settle") {
      int64_t frames = 0;
      error = read_integer(node, frames);
      device->settle = static_cast<uint64_t>(std::max<int64_t>(0, frames));
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
  device->io.name = "orvctl real-time test output";
  device->io.callback = &kCallbacks;
  device->io.private_data = device;
  device->io.poll_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
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

  *pcmp = device->io.pcm;
  return 0;
}

SND_PCM_PLUGIN_SYMBOL(orvtest)
}
