#include "common/prom_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

namespace {

// A temporary name nobody can foresee: .NAME.RANDOM.tmp (hidden from the textfile collector,
// which reads *.prom).
void new_temporary(PromFile& file) {
  unsigned char random[8] = {};
  if (getrandom(random, sizeof random, GRND_NONBLOCK) != sizeof random) {
    // (Before the kernel's pool is ready, early at boot: the time and the process, and the
    // exclusive create below keeps whatever is there.)
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t mixed = static_cast<uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15u ^
                           static_cast<uint64_t>(getpid()) << 32;
    std::memcpy(random, &mixed, sizeof random);
  }
  char hex[17];
  for (int i = 0; i < 8; ++i) {
    std::snprintf(hex + 2 * i, 3, "%02x", random[i]);
  }
  std::snprintf(file.temporary, sizeof file.temporary, ".%s.%s.tmp", file.name, hex);
}

// Holds NAME for this run in this folder: a socket bound to a name of the folder's (its device and
// inode) and the file's, in the abstract namespace. It is let go when the process ends, however it
// ends, and leaves nothing in the folder.
int claim_name(const struct stat& folder, const char* name) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const int length =
      std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1,
                    "orvctl-metrics/%llx/%llx/%s", static_cast<unsigned long long>(folder.st_dev),
                    static_cast<unsigned long long>(folder.st_ino), name);
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length)) == 0) {
    return fd;
  }
  const int error = errno;
  if (fd >= 0) {
    close(fd);
  }
  // Held by a live writer: the next name. Anything else (no sockets at all): the name as it is.
  return error == EADDRINUSE ? -1 : -2;
}

}  // namespace

int prom_open(PromFile& file, const char* name) {
  const char* folder = std::getenv("ORVCTL_METRICS");
  if (folder == nullptr || *folder == '\0') {
    return 0;
  }
  file.folder = folder;
  file.dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st {};
  if (file.dir < 0 || fstat(file.dir, &st) != 0) {
    const int error = errno;
    if (file.dir >= 0) {
      close(file.dir);
    }
    file.dir = -1;
    return error;
  }
  for (int n = 1; n <= 99; ++n) {
    if (n == 1) {
      std::snprintf(file.name, sizeof file.name, "%s.prom", name);
    } else {
      std::snprintf(file.name, sizeof file.name, "%s-%d.prom", name, n);
    }
    file.claim = claim_name(st, file.name);
    if (file.claim != -1) {
      break;
    }
  }
  new_temporary(file);
  return 0;
}

void prom_close(PromFile& file) {
  for (int* fd : {&file.dir, &file.claim}) {
    if (*fd >= 0) {
      close(*fd);
    }
    *fd = -1;
  }
}

int prom_write(PromFile& file, const char* text, size_t length) {
  int fd = -1;
  for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {
    if (attempt > 0) {
      new_temporary(file);
    }
    fd = openat(file.dir, file.temporary,
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) {
      break;
    }
  }
  int error = fd < 0 ? errno : 0;
  if (fd >= 0) {
    const ssize_t written = write(fd, text, length);
    error = written == static_cast<ssize_t>(length) ? 0 : written < 0 ? errno : ENOSPC;
    if (error == 0 && fsync(fd) != 0) {
      error = errno;
    }
    close(fd);
    if (error == 0 && renameat(file.dir, file.temporary, file.dir, file.name) != 0) {
      error = errno;
    }
    if (error != 0) {
      unlinkat(file.dir, file.temporary, 0);
    }
  }
  new_temporary(file);
  return error;
}

int whole_file_write(int dir, const char* name, const char* text, size_t length) {
  PromFile file;
  file.dir = dir;
  if (std::snprintf(file.name, sizeof file.name, "%s", name) >= int(sizeof file.name)) {
    return ENAMETOOLONG;
  }
  new_temporary(file);
  return prom_write(file, text, length);
}

namespace {

void append(PromText& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void append(PromText& text, const char* format, ...) {
  const size_t room = text.size - text.length;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text.at + text.length, room, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= room) {
    text.full = true;
    return;
  }
  text.length += static_cast<size_t>(n);
}

void number_of(double value, char (&number)[40]) {
  if (std::isinf(value)) {
    std::snprintf(number, sizeof number, "%s", value < 0 ? "-Inf" : "+Inf");
  } else {
    std::snprintf(number, sizeof number, "%.15g", value);
  }
}

}  // namespace

void prom_metric(PromText& text, const char* name, const char* type, const char* help,
                 const char* labels, double value) {
  char number[40];
  number_of(value, number);
  append(text, "# HELP %s %s\n# TYPE %s %s\n%s{%s} %s\n", name, help, name, type, name, labels,
         number);
}

void prom_sample(PromText& text, const char* name, const char* labels, double value) {
  char number[40];
  number_of(value, number);
  append(text, "%s{%s} %s\n", name, labels, number);
}
