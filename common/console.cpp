#include "common/console.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int write_error = 0;  // errno of the first message that could not be written

void note(bool failed) {
  if (failed && errno == EPIPE) {
    // Standard output is a pipe whose reader has gone (`orvctl -r ... | head`): the run ends as
    // any command's does there, by SIGPIPE's own action.
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
  }
  if (failed && write_error == 0) {
    write_error = errno != 0 ? errno : EIO;
  }
}

// Caught rather than ignored: a caught signal is back to its default in the programs that the
// sound library starts (a pipe in its configuration), an ignored one would stay ignored there.
void on_broken_pipe(int) {}

}  // namespace

void console_catch_broken_pipes() {
  struct sigaction action {};
  action.sa_handler = on_broken_pipe;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGPIPE, &action, nullptr);
}

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
