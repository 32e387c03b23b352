// Preloaded in front of orvctl-record by its tests: the machine's side of what the recorder cannot
// be made to meet on a test host at will.
//   ORVTEST_CLOCK=synced|unsynced   what the kernel says of the clock (ntp_adjtime: asked all the
//                                   same, so that a system call filter sees the call)
//   ORVTEST_STALL_WHILE=PATH        writes into files under ORVTEST_STALL_DIR wait while PATH
//                                   exists: a disk that stalls
//   ORVTEST_NO_TMPFILE=1            a file system without unnamed files (O_TMPFILE), as FAT's
//   ORVTEST_STEP_BACK_WHILE=PATH    the wall clock (time, CLOCK_REALTIME) an hour behind while PATH
//                                   exists: a step back, as a time daemon makes one
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

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

time_t stepped_back() {
  const char* flag = getenv("ORVTEST_STEP_BACK_WHILE");
  return flag != nullptr && access(flag, F_OK) == 0 ? 3600 : 0;
}

}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* now) {
  const int done = next<int (*)(clockid_t, struct timespec*)>("clock_gettime")(clock, now);
  if (done == 0 && clock == CLOCK_REALTIME) {
    now->tv_sec -= stepped_back();
  }
  return done;
}

extern "C" time_t time(time_t* now) {
  const time_t then = next<time_t (*)(time_t*)>("time")(nullptr) - stepped_back();
  if (now != nullptr) {
    *now = then;
  }
  return then;
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
