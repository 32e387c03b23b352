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
//
// The device is a file of its own: frames go through ioctl, so anything written to it is text
// that was meant for the console. Its close records how much that was.
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
int __real_ioctl(int fd, unsigned long request, ...);
int __wrap_open(const char* path, int flags, ...);
int __wrap_open64(const char* path, int flags, ...);
int __wrap_ioctl(int fd, unsigned long request, ...);
int __real_close(int fd);
int __wrap_close(int fd);
}

namespace {

int device_fd = -1;
// The device's settings before the program sets them: none is what the board needs.
uint8_t mode = SPI_MODE_3;
uint8_t bits_per_word = 16;
uint8_t lsb_first = 1;
uint32_t max_speed_hz = 125000000;

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

int open_device() {
  record("open /dev/spidev0.0");
  const char* error = std::getenv("FAKE_SPIDEV_OPEN");
  if (error != nullptr) {
    return fail(std::strcmp(error, "ENOENT") == 0   ? ENOENT
                : std::strcmp(error, "EACCES") == 0 ? EACCES
                                                    : EBUSY);
  }
  device_fd = memfd_create("spidev0.0", MFD_CLOEXEC);
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
  const char* miso = std::getenv("FAKE_SPIDEV_MISO");
  std::memset(reinterpret_cast<void*>(static_cast<uintptr_t>(transfer.rx_buf)),
              miso != nullptr ? std::atoi(miso) : 0, transfer.len);
  return static_cast<int>(transfer.len) - (env_is("FAKE_SPIDEV_REFUSE", "MESSAGE_SHORT") ? 1 : 0);
}

// The device and the parameter file are faked; any other path goes to `real`, the C library's
// open or open64. `args` holds open's optional third argument.
int open_or_fake(int (*real)(const char*, int, ...), const char* path, int flags, va_list args) {
  if (std::strcmp(path, "/dev/spidev0.0") == 0) {
    return open_device();
  }
  if (std::strcmp(path, "/sys/module/spidev/parameters/bufsiz") == 0) {
    return open_transfer_limit();
  }
  // The third argument exists only when the call may create a file.
  const mode_t permissions = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
  return real(path, flags, permissions);
}

}  // namespace

int __wrap_open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = open_or_fake(__real_open, path, flags, args);
  va_end(args);
  return fd;
}

int __wrap_open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = open_or_fake(__real_open64, path, flags, args);
  va_end(args);
  return fd;
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
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

int __wrap_close(int fd) {
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
