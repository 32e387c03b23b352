// Preloaded in front of orvctl-record by its tests: the machine's side of what the recorder cannot
// be made to meet on a test host at will.
//   ORVTEST_CLOCK=synced|unsynced   what the kernel says of the clock (ntp_adjtime: asked all the
//                                   same, so that a system call filter sees the call)
//   ORVTEST_STALL_WHILE=PATH        writes into files under ORVTEST_STALL_DIR wait while PATH
//                                   exists: a disk that stalls
//   ORVTEST_NO_TMPFILE=1            a file system without unnamed files (O_TMPFILE), as FAT's
//   ORVTEST_STEP_BACK_WHILE=PATH    the wall clock (time, CLOCK_REALTIME) an hour behind while PATH
//                                   exists: a step back, as a time daemon makes one
//   ORVTEST_MONTH=SEED:DAYS         the input (standard input, which must be readable: /dev/zero)
//                                   is testing/month.h's plan, and the clocks run on its samples
//                                   (its first from 2026-11-01 00:00 UTC): each read waits until
//                                   the writer has encoded the transmissions' samples up to 20 s
//                                   before it, as a writer that keeps up would. At its end, the
//                                   file ORVTEST_MONTH_REPORT gets the most resident memory (kB),
//                                   the least free space on the folder's file system after a file
//                                   was named, the largest file and the files named.
#include <FLAC/stream_encoder.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testing/month.h"

namespace {

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool stalled(int fd) {
  const char* flag = getenv("ORVTEST_STALL_WHILE");
  const char* dir = getenv("ORVTEST_STALL_DIR");
  if (flag == nullptr || dir == nullptr) {
    return false;
  }
  char target[4096];
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = readlink(self.c_str(), target, sizeof target - 1);
  if (n <= 0) {
    return false;
  }
  target[n] = '\0';
  return strncmp(target, dir, strlen(dir)) == 0;
}

int open_with(int dirfd, const char* path, int flags, mode_t mode) {
  if ((flags & O_TMPFILE) == O_TMPFILE && getenv("ORVTEST_NO_TMPFILE") != nullptr) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return next<int (*)(int, const char*, int, ...)>("openat")(dirfd, path, flags, mode);
}

}  // namespace

extern "C" int ntp_adjtime(struct timex* state) {
  const char* clock = getenv("ORVTEST_CLOCK");
  const int said = next<int (*)(struct timex*)>("ntp_adjtime")(state);
  if (clock != nullptr && said >= 0) {
    return strcmp(clock, "synced") == 0 ? TIME_OK : TIME_ERROR;
  }
  return said;
}

namespace {

// The month's input and clocks.
struct Month {
  bool on = false;
  std::vector<month::Transmission> plan;
  std::vector<uint64_t> starts, spans;  // where each file begins, and the files' samples before
  size_t next = 0;                      // the first transmission not yet over
  std::atomic<uint64_t> encoded{0};     // samples the writer has handed its encoders
  std::atomic<uint64_t> served{0};      // samples read so far
  std::atomic<uint64_t> named{0};       // files named so far
  std::atomic<int64_t> least_free{INT64_MAX};
  std::atomic<int64_t> largest{0};
  uint64_t total = 0;
  int64_t steady_start = 0;
  bool reported = false;
};

Month& the_month() {
  static Month* m = [] {
    auto* made = new Month;
    const char* spec = getenv("ORVTEST_MONTH");
    if (spec != nullptr) {
      made->on = true;
      const int days = atoi(strchr(spec, ':') + 1);
      made->plan = month::plan(strtoull(spec, nullptr, 10), days);
      uint64_t before = 0;
      for (const month::Transmission& t : made->plan) {
        made->starts.push_back(t.from - month::kRate / 5);
        made->spans.push_back(before);
        before += t.to + 2 * month::kRate - (t.from - month::kRate / 5);
      }
      made->total = uint64_t(days) * month::kDay;
    }
    return made;
  }();
  return *m;
}

constexpr int64_t kMonthStart = 1793491200;  // 2026-11-01 00:00 UTC

int64_t month_ns() {
  const uint64_t served = the_month().served.load();  // (whole seconds first: no overflow)
  return int64_t(served / month::kRate * 1000000000 +
                 served % month::kRate * 1000000000 / month::kRate);
}

void report(Month& m) {
  FILE* status = fopen("/proc/self/status", "r");
  char line[256];
  long hwm = 0;
  while (status != nullptr && fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, "VmHWM:", 6) == 0) {
      hwm = atol(line + 6);
    }
  }
  if (status != nullptr) {
    fclose(status);
  }
  FILE* out = fopen(getenv("ORVTEST_MONTH_REPORT"), "w");
  if (out != nullptr) {
    fprintf(out, "%ld %lld %lld %llu\n", hwm, (long long)m.least_free.load(),
            (long long)m.largest.load(), (unsigned long long)m.named.load());
    fclose(out);
  }
}

// At the process's end, its last file named.
__attribute__((destructor)) void report_at_the_end() {
  Month& m = the_month();
  if (m.on && !m.reported) {
    m.reported = true;
    report(m);
  }
}

// The next piece of the month's input into `bytes`: its samples, once the writer has named what
// ended 30 s before them (or after 10 s of waiting for it, which the test then finds missing).
ssize_t read_month(Month& m, void* bytes, size_t size) {
  const uint64_t at = m.served.load();
  if (at >= m.total) {
    return 0;
  }
  // The files' samples before `behind`: those of the spans that begin before it, less what lies
  // beyond it.
  const uint64_t behind = at > 20 * month::kRate ? at - 20 * month::kRate : 0;
  const size_t k =
      size_t(std::upper_bound(m.starts.begin(), m.starts.end(), behind) - m.starts.begin());
  uint64_t due = 0;
  if (k > 0) {
    const month::Transmission& t = m.plan[k - 1];
    due = m.spans[k - 1] + std::min(behind, t.to + 2 * month::kRate) - m.starts[k - 1];
  }
  for (int waited = 0; m.encoded.load() < due && waited < 100000; ++waited) {
    usleep(100);
  }
  const size_t count = std::min<uint64_t>(size / 2, m.total - at);
  auto* samples = static_cast<int16_t*>(bytes);
  for (size_t i = 0; i < count;) {
    const uint64_t n = at + i;
    while (m.next < m.plan.size() && m.plan[m.next].to <= n) {
      ++m.next;
    }
    const month::Transmission* t = m.next < m.plan.size() ? &m.plan[m.next] : nullptr;
    const bool sounding = t != nullptr && t->from <= n;
    const uint64_t until = t == nullptr ? at + count : sounding ? t->to : t->from;
    const size_t run = size_t(std::min<uint64_t>(until, at + count) - n);
    std::fill(samples + i, samples + i + run, sounding ? t->value : int16_t(0));
    i += run;
  }
  m.served += count;
  return ssize_t(count * 2);
}

time_t stepped_back() {
  const char* flag = getenv("ORVTEST_STEP_BACK_WHILE");
  return flag != nullptr && access(flag, F_OK) == 0 ? 3600 : 0;
}

}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* now) {
  const int done = next<int (*)(clockid_t, struct timespec*)>("clock_gettime")(clock, now);
  Month& m = the_month();
  if (done == 0 && m.on && (clock == CLOCK_REALTIME || clock == CLOCK_MONOTONIC)) {
    // (The steady clock from where it stood at the start, so that the waits timed on it by the
    // thread library are not spent at once.)
    if (clock == CLOCK_MONOTONIC && m.steady_start == 0) {
      m.steady_start = int64_t(now->tv_sec) * 1000000000 + now->tv_nsec;
    }
    const int64_t ns =
        (clock == CLOCK_REALTIME ? kMonthStart * 1000000000 : m.steady_start) + month_ns();
    now->tv_sec = ns / 1000000000;
    now->tv_nsec = ns % 1000000000;
  } else if (done == 0 && clock == CLOCK_REALTIME) {
    now->tv_sec -= stepped_back();
  }
  return done;
}

extern "C" time_t time(time_t* now) {
  const time_t then = the_month().on ? time_t(kMonthStart + month_ns() / 1000000000)
                                     : next<time_t (*)(time_t*)>("time")(nullptr) - stepped_back();
  if (now != nullptr) {
    *now = then;
  }
  return then;
}

extern "C" ssize_t read(int fd, void* bytes, size_t size) {
  Month& m = the_month();
  if (fd == 0 && m.on) {
    return read_month(m, bytes, size);
  }
  return next<ssize_t (*)(int, void*, size_t)>("read")(fd, bytes, size);
}

// The writer's progress, for the month's pace.
extern "C" FLAC__bool FLAC__stream_encoder_process_interleaved(FLAC__StreamEncoder* encoder,
                                                               const FLAC__int32 buffer[],
                                                               uint32_t samples) {
  the_month().encoded += samples;
  return next<FLAC__bool (*)(FLAC__StreamEncoder*, const FLAC__int32[], uint32_t)>(
      "FLAC__stream_encoder_process_interleaved")(encoder, buffer, samples);
}

// A recording named: counted, its size and the free space after it kept for the report.
extern "C" int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  const int done = next<int (*)(int, const char*, int, const char*, int)>("linkat")(
      from_dir, from, to_dir, to, flags);
  Month& m = the_month();
  struct stat st {};
  struct statvfs fs {};
  if (done == 0 && m.on && fstatat(to_dir, to, &st, 0) == 0 && fstatvfs(to_dir, &fs) == 0) {
    m.largest = std::max<int64_t>(m.largest.load(), int64_t(st.st_blocks) * 512);
    m.least_free =
        std::min<int64_t>(m.least_free.load(), int64_t(fs.f_bavail) * int64_t(fs.f_frsize));
    m.named += 1;
  }
  return done;
}

extern "C" ssize_t write(int fd, const void* bytes, size_t size) {
  if (stalled(fd)) {
    while (access(getenv("ORVTEST_STALL_WHILE"), F_OK) == 0) {
      usleep(10000);
    }
  }
  return next<ssize_t (*)(int, const void*, size_t)>("write")(fd, bytes, size);
}

extern "C" int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode =
      (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
  va_end(args);
  return open_with(dirfd, path, flags, mode);
}

// (The same call where the program was built with 64-bit offsets on a 32-bit system.)
extern "C" int openat64(int dirfd, const char* path, int flags, ...)
    __attribute__((alias("openat")));
