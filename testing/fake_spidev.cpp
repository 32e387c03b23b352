// A stand-in for the kernel's spidev device, for running the real spidev board link on a machine
// without one. Linked with --wrap for open, open64, ioctl and close: calls on /dev/spidev0.0 and on
// spidev's bufsiz parameter land here, every other call goes to the C library.
//
// FAKE_SPIDEV_CALLS   file that gets one line per call on the device
// FAKE_SPIDEV_OPEN    errno name the device's open fails with (ENOENT, EACCES, EBUSY)
// FAKE_SPIDEV_BUFSIZ  text of the bufsiz parameter (default "32768"; "none": no such file)
// FAKE_SPIDEV_REFUSE  request the device refuses with EINVAL (WR_MODE, WR_BITS_PER_WORD,
//                     WR_LSB_FIRST, WR_MAX_SPEED_HZ, RD_MODE, MESSAGE; MESSAGE_SIZE gives EMSGSIZE,
//                     MESSAGE_SHORT a transfer of one byte less)
// FAKE_SPIDEV_KEEP    setting whose write the device accepts but ignores (same names)
// FAKE_SPIDEV_MISO    every byte the board returns (default 0)
// FAKE_SPIDEV_DEVICE  a file that stands for the device, opened as the program asks (its owner and
//                     permissions are the kernel's to check), so that runs of a test share one bus
//                     and its lock; unset, each run has a device of its own
// FAKE_BUS_LOCK       the file that stands for root's lock of the bcm2835 build
//                     (/run/orvctl-spi0.lock); unset, each run has one of its own. Linked into the
//                     bcm2835 stand-ins too, for these two alone.
//
// Built with FAKE_SPIDEV_PRELOAD, it is instead a library to preload (LD_PRELOAD) in front of
// orvctl as a package installs it, and the board behind the device is the simulated board playing
// its ramp in real time: the board of the test on a real system (scripts/vm-test.sh), which takes
// the simulated board's knobs of faults (ORVSIM_MISO, ORVSIM_RESET, ORVSIM_HALT, ORVSIM_BURSTS)
// from the environment. There the device is the real path, a plain file of the group spi that the
// test makes in its place, and root's lock the real one unless FAKE_BUS_LOCK names another.
//
// The device is a file: frames go through ioctl, so anything written to it is text that was meant
// for the console. Its close records how much that was.
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef FAKE_SPIDEV_PRELOAD
#include <dlfcn.h>

#include <ctime>

#include <string>

#include "sim/sim_board.h"
#include "sim/sim_knobs.h"
#endif

// Linked with --wrap, the program's calls come to __wrap_NAME and the C library's function is
// __real_NAME. Preloaded, the calls come by their own names and the C library's function is the
// next of that name.
#ifdef FAKE_SPIDEV_PRELOAD
#define WRAPPED(name) name
#else
#define WRAPPED(name) __wrap_##name
#endif

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
int __real_ioctl(int fd, unsigned long request, ...);
int __real_close(int fd);
int WRAPPED(open)(const char* path, int flags, ...);
int WRAPPED(open64)(const char* path, int flags, ...);
int WRAPPED(ioctl)(int fd, unsigned long request, ...) noexcept;
int WRAPPED(close)(int fd);
}

namespace {

int device_fd = -1;
// The device's settings before the program sets them: none is what the board needs.
uint8_t mode = SPI_MODE_3;
uint8_t bits_per_word = 16;
uint8_t lsb_first = 1;
uint32_t max_speed_hz = 125000000;

#ifdef FAKE_SPIDEV_PRELOAD
SimBoard board;

int64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}
#endif

bool env_is(const char* variable, const char* value) {
  const char* set = std::getenv(variable);
  return set != nullptr && std::strcmp(set, value) == 0;
}

void record(const char* format, ...) __attribute__((format(printf, 1, 2)));
void record(const char* format, ...) {
  const char* path = std::getenv("FAKE_SPIDEV_CALLS");
  if (path == nullptr) {
    return;
  }
  if (FILE* calls = std::fopen(path, "a")) {
    va_list args;
    va_start(args, format);
    std::vfprintf(calls, format, args);
    va_end(args);
    std::fputc('\n', calls);
    std::fclose(calls);
  }
}

int fail(int error) {
  errno = error;
  return -1;
}

int open_device(int (*real)(const char*, int, ...), int flags) {
  record("open /dev/spidev0.0");
  const char* error = std::getenv("FAKE_SPIDEV_OPEN");
  if (error != nullptr) {
    return fail(std::strcmp(error, "ENOENT") == 0   ? ENOENT
                : std::strcmp(error, "EACCES") == 0 ? EACCES
                                                    : EBUSY);
  }
#ifdef FAKE_SPIDEV_PRELOAD
  device_fd = real("/dev/spidev0.0", flags);
#else
  const char* shared = std::getenv("FAKE_SPIDEV_DEVICE");
  device_fd = shared != nullptr ? real(shared, flags) : memfd_create("spidev0.0", MFD_CLOEXEC);
#endif
  if (device_fd < 0) {
    return -1;
  }
#ifdef FAKE_SPIDEV_PRELOAD
  // The ramp, and the faults that the knobs ask for (a malformed one is said, and left out).
  SimKnobs knobs;
  std::string malformed;
  if (!sim_parse_knobs(sim_knobs_from_environment(), knobs, malformed)) {
    std::fprintf(stderr, "spidev stand-in: %s\n", malformed.c_str());
    knobs = SimKnobs{};
  }
  if (std::getenv("ORVSIM_SIGNAL") == nullptr) {
    knobs.signal = SimSignal::ramp;
  }
  sim_shift_upsets(knobs, now_ns());
  sim_reset(board, knobs);
#endif
  return device_fd;
}

int open_transfer_limit() {
  const char* text = std::getenv("FAKE_SPIDEV_BUFSIZ");
  if (text != nullptr && std::strcmp(text, "none") == 0) {
    return fail(ENOENT);
  }
  const int fd = memfd_create("bufsiz", MFD_CLOEXEC);
  const char* content = text != nullptr ? text : "32768\n";
  if (write(fd, content, std::strlen(content)) < 0 || lseek(fd, 0, SEEK_SET) < 0) {
    return fail(EIO);
  }
  return fd;
}

template <typename T>
int setting(const char* name, bool write, T& value, void* argument) {
  record("ioctl %s_%s %lu", write ? "WR" : "RD", name,
         static_cast<unsigned long>(write ? *static_cast<T*>(argument) : value));
  char request[32];
  std::snprintf(request, sizeof request, "%s_%s", write ? "WR" : "RD", name);
  if (env_is("FAKE_SPIDEV_REFUSE", request)) {
    return fail(EINVAL);
  }
  if (!write) {
    *static_cast<T*>(argument) = value;
  } else if (!env_is("FAKE_SPIDEV_KEEP", request)) {
    value = *static_cast<T*>(argument);
  }
  return 0;
}

int message(const spi_ioc_transfer& transfer) {
  record("message len %u speed %u bits %u cs_change %u tx==rx %d", transfer.len, transfer.speed_hz,
         transfer.bits_per_word, transfer.cs_change, transfer.tx_buf == transfer.rx_buf);
  if (env_is("FAKE_SPIDEV_REFUSE", "MESSAGE")) {
    return fail(EINVAL);
  }
  if (env_is("FAKE_SPIDEV_REFUSE", "MESSAGE_SIZE")) {
    return fail(EMSGSIZE);
  }
  auto* received = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(transfer.rx_buf));
#ifdef FAKE_SPIDEV_PRELOAD
  // The board answers in place, then the bus is busy for as long as the bytes take.
  std::memmove(received, reinterpret_cast<const void*>(static_cast<uintptr_t>(transfer.tx_buf)),
               transfer.len);
  const int64_t start = now_ns();
  sim_exchange(board, received, transfer.len, start);
  const int64_t end = start + sim_transfer_ns(board.knobs, transfer.len);
  const timespec until{static_cast<time_t>(end / 1000000000), static_cast<long>(end % 1000000000)};
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
#else
  const char* miso = std::getenv("FAKE_SPIDEV_MISO");
  std::memset(received, miso != nullptr ? std::atoi(miso) : 0, transfer.len);
#endif
  return static_cast<int>(transfer.len) - (env_is("FAKE_SPIDEV_REFUSE", "MESSAGE_SHORT") ? 1 : 0);
}

// The device and the parameter file are faked, and the bus's lock moved; any other path goes to
// `real`, the C library's open or open64. `args` holds open's optional third argument.
int open_or_fake(int (*real)(const char*, int, ...), const char* path, int flags, va_list args) {
  if (std::strcmp(path, "/dev/spidev0.0") == 0) {
    return open_device(real, flags & ~(O_CREAT | O_TMPFILE));
  }
  if (std::strcmp(path, "/sys/module/spidev/parameters/bufsiz") == 0) {
    return open_transfer_limit();
  }
  // The third argument exists only when the call may create a file.
  const mode_t permissions = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
  if (std::strcmp(path, "/run/orvctl-spi0.lock") == 0) {
    if (const char* lock = std::getenv("FAKE_BUS_LOCK")) {
      return real(lock, flags, permissions);
    }
#ifndef FAKE_SPIDEV_PRELOAD
    const int fd = memfd_create("orvctl-spi0", MFD_CLOEXEC);
    fchmod(fd, 0600);  // as root's own file would be made
    return fd;
#endif
  }
  return real(path, flags, permissions);
}

}  // namespace

int WRAPPED(open)(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = open_or_fake(__real_open, path, flags, args);
  va_end(args);
  return fd;
}

int WRAPPED(open64)(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = open_or_fake(__real_open64, path, flags, args);
  va_end(args);
  return fd;
}

int WRAPPED(ioctl)(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (fd < 0 || fd != device_fd) {
    return __real_ioctl(fd, request, argument);
  }
  switch (request) {
    case SPI_IOC_WR_MODE:
    case SPI_IOC_RD_MODE:
      return setting("MODE", request == SPI_IOC_WR_MODE, mode, argument);
    case SPI_IOC_WR_BITS_PER_WORD:
    case SPI_IOC_RD_BITS_PER_WORD:
      return setting("BITS_PER_WORD", request == SPI_IOC_WR_BITS_PER_WORD, bits_per_word, argument);
    case SPI_IOC_WR_LSB_FIRST:
    case SPI_IOC_RD_LSB_FIRST:
      return setting("LSB_FIRST", request == SPI_IOC_WR_LSB_FIRST, lsb_first, argument);
    case SPI_IOC_WR_MAX_SPEED_HZ:
    case SPI_IOC_RD_MAX_SPEED_HZ:
      return setting("MAX_SPEED_HZ", request == SPI_IOC_WR_MAX_SPEED_HZ, max_speed_hz, argument);
    case SPI_IOC_MESSAGE(1):
      return message(*static_cast<const spi_ioc_transfer*>(argument));
    default:
      record("ioctl %#lx", request);
      return fail(ENOTTY);
  }
}

int WRAPPED(close)(int fd) {
  if (fd >= 0 && fd == device_fd) {
    const off_t written = lseek(fd, 0, SEEK_END);
    if (written > 0) {
      record("close, after %lld bytes written to the device", static_cast<long long>(written));
    } else {
      record("close");
    }
    device_fd = -1;
  }
  return __real_close(fd);
}

#ifdef FAKE_SPIDEV_PRELOAD
namespace {

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int next_open(const char* name, const char* path, int flags, va_list args) {
  const mode_t permissions = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
  return next<int (*)(const char*, int, ...)>(name)(path, flags, permissions);
}

}  // namespace

int __real_open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = next_open("open", path, flags, args);
  va_end(args);
  return fd;
}

int __real_open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = next_open("open64", path, flags, args);
  va_end(args);
  return fd;
}

int __real_ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  return next<int (*)(int, unsigned long, ...)>("ioctl")(fd, request, argument);
}

int __real_close(int fd) {
  return next<int (*)(int)>("close")(fd);
}
#endif
