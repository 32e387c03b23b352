#include "common/console.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int write_error = 0;  // errno of the first message that could not be written

void note(bool failed) {
  if (failed && write_error == 0) {
    write_error = errno != 0 ? errno : EIO;
  }
}

}  // namespace

void console_open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      // open() gives the lowest free descriptor: this one.
      if (open("/dev/null", O_RDWR) == 1) {
        write_error = EBADF;  // the messages go nowhere
      }
    }
  }
}

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = std::vprintf(format, args);
  va_end(args);
  note(written < 0 || std::fflush(stdout) == EOF);
}

void say_line(const char* text) {
  note(std::puts(text) == EOF || std::fflush(stdout) == EOF);
}

int console_status(int status) {
  if (write_error == 0) {
    return status;
  }
  std::fprintf(stderr, "%s: cannot write to standard output: %s\n", program_invocation_short_name,
               std::strerror(write_error));
  return status == 0 ? 1 : status;
}

void console_exit(int status) {
  std::exit(console_status(status));
}
