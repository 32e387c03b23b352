#include "board/bus_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/console.h"

namespace {

// The process that holds a lock of flock's kind on `fd`'s file, from the kernel's table of locks
// (/proc/locks: "1: FLOCK  ADVISORY  WRITE 812 00:05:1234 0 EOF"), and only while it is there to
// be seen (/proc/PID); 0 where it is not known. Other kinds of lock (POSIX, open file
// description) never stand in flock's way, and waiters ("1: -> FLOCK ...") hold nothing.
long holder_of(int fd) {
  struct stat file {};
  std::FILE* locks = std::fopen("/proc/locks", "re");
  if (fstat(fd, &file) != 0 || locks == nullptr) {
    if (locks != nullptr) {
      std::fclose(locks);
    }
    return 0;
  }
  long holder = 0;
  char line[256];
  while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
    char kind[16] = "";
    long pid = 0;
    unsigned dev_major = 0;
    unsigned dev_minor = 0;
    uintmax_t inode = 0;
    if (std::sscanf(line, "%*s %15s %*s %*s %ld %x:%x:%ju", kind, &pid, &dev_major, &dev_minor,
                    &inode) == 5 &&
        std::strcmp(kind, "FLOCK") == 0 && pid > 0 && inode == file.st_ino &&
        dev_major == major(file.st_dev) && dev_minor == minor(file.st_dev)) {
      char path[32];
      std::snprintf(path, sizeof path, "/proc/%ld", pid);
      holder = access(path, F_OK) == 0 ? pid : 0;
    }
  }
  std::fclose(locks);
  return holder;
}

// Its command line, as the process table shows it, arguments separated by spaces. Another
// user's arguments reach this user's terminal, so control characters are shown as '?', and a
// line too long for the text ends in "...".
void command_of(long pid, char* text, size_t size) {
  text[0] = '\0';
  char path[40];
  std::snprintf(path, sizeof path, "/proc/%ld/cmdline", pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  const ssize_t got = read(fd, text, size - 1);
  close(fd);
  size_t length = got > 0 ? static_cast<size_t>(got) : 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\0') {
      text[i] = ' ';
    } else if (static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7f) {
      text[i] = '?';
    }
  }
  while (length > 0 && text[length - 1] == ' ') {
    --length;
  }
  if (got == static_cast<ssize_t>(size - 1) && length >= 3) {
    std::memcpy(text + length - 3, "...", 3);
  }
  text[length] = '\0';
}

// Says who holds the bus that `fd` could not lock.
void say_held(int fd) {
  const long pid = holder_of(fd);
  char command[1024] = "";
  if (pid > 0) {
    command_of(pid, command, sizeof command);
  }
  if (pid > 0 && command[0] != '\0') {
    say("SPI0 is in use by another run of orvctl (process %ld: %s); one run at a time may use "
        "it: stop that one first\n",
        pid, command);
  } else if (pid > 0) {
    say("SPI0 is in use by another run of orvctl (process %ld); one run at a time may use it: "
        "stop that one first\n",
        pid);
  } else {
    say_line(
        "SPI0 is in use by another run of orvctl; one run at a time may use it: stop that one "
        "first");
  }
}

// Locks `fd` for good, or says why not.
bool lock(int fd, const char* path) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    return true;  // held until the process ends: the descriptor stays open
  }
  if (errno == EWOULDBLOCK) {
    say_held(fd);
  } else {
    say("SPI0 could not be reserved for this run: %s: %s\n", path, std::strerror(errno));
  }
  return false;
}

}  // namespace

bool board_lock_bus(int device_fd) {
  return lock(device_fd, kBusDevice);
}

bool board_lock_bus_as_root() {
  // The device, where spidev has made it: what the spidev build's runs lock.
  const int device = open(kBusDevice, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (device >= 0 && !lock(device, kBusDevice)) {
    close(device);
    return false;
  }
  // Root's own file, in a folder that only root may write to; whatever else stands there (a FIFO,
  // a link, a folder, a file of another user's) is refused, and opening it waits for nothing.
  const int fd = open(kRootBusLockPath,
                      O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
  if (fd < 0 && (errno == ENOENT || errno == EROFS || errno == EACCES)) {
    return true;  // no /run (or not root: the library refuses then)
  }
  struct stat file {};
  if (fd < 0 || fstat(fd, &file) != 0 || !S_ISREG(file.st_mode) || file.st_uid != geteuid() ||
      (file.st_mode & 0022) != 0) {
    if (fd < 0 && errno != ELOOP && errno != EISDIR) {
      say("SPI0 could not be reserved for this run: %s: %s\n", kRootBusLockPath,
          std::strerror(errno));
    } else {
      say("SPI0 could not be reserved for this run: %s is not a file of root's that only root may "
          "write: remove it\n",
          kRootBusLockPath);
    }
    if (fd >= 0) {
      close(fd);
    }
    if (device >= 0) {
      close(device);
    }
    return false;
  }
  if (!lock(fd, kRootBusLockPath)) {
    close(fd);
    if (device >= 0) {
      close(device);
    }
    return false;
  }
  return true;
}
