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

// The lock's file, opened for reading only and without O_CREAT where it exists: a sticky,
// world-writable folder (/run/lock) refuses O_CREAT on a file that another user owns
// (fs.protected_regular), and a service's sandbox may see the folder read-only.
int open_lock() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = open(kBusLockPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 || errno != ENOENT) {
      return fd;
    }
    const int made = open(kBusLockPath, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (made >= 0) {
      fchmod(made, 0644);  // readable by every user, whatever the umask
      return made;
    }
    if (errno != EEXIST) {
      return -1;
    }
    // Another run made it in between: open theirs.
  }
  return -1;
}

// The process that holds the lock on `fd`'s file, from the kernel's table of locks
// (/proc/locks: "1: FLOCK  ADVISORY  WRITE 812 b3:02:1234 0 EOF"); 0 where it cannot be known.
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
    long pid = 0;
    unsigned dev_major = 0;
    unsigned dev_minor = 0;
    uintmax_t inode = 0;
    if (std::strstr(line, "->") == nullptr &&  // a waiter, not a holder
        std::sscanf(line, "%*s %*s %*s %*s %ld %x:%x:%ju", &pid, &dev_major, &dev_minor, &inode) ==
            4 &&
        inode == file.st_ino && dev_major == major(file.st_dev) &&
        dev_minor == minor(file.st_dev)) {
      holder = pid;
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

}  // namespace

bool board_lock_bus() {
  const int fd = open_lock();
  if (fd < 0) {
    say("SPI0 could not be reserved for this run: %s: %s\n", kBusLockPath, std::strerror(errno));
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    return true;  // held until the process ends: the descriptor stays open
  }
  if (errno != EWOULDBLOCK) {
    say("SPI0 could not be reserved for this run: %s: %s\n", kBusLockPath, std::strerror(errno));
    close(fd);
    return false;
  }
  const long pid = holder_of(fd);
  close(fd);
  char command[1024];
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
    say("SPI0 is in use by another run of orvctl (it holds %s); one run at a time may use it: "
        "stop that one first\n",
        kBusLockPath);
  }
  return false;
}
