#include "record/clock_state.h"

#include <sys/timex.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

bool kernel_asked = true;

bool filtered() {
  FILE* status = fopen("/proc/self/status", "re");
  char line[256];
  bool found = false;
  while (status != nullptr && fgets(line, sizeof line, status) != nullptr) {
    found |= strncmp(line, "Seccomp:\t2", 10) == 0;
  }
  if (status != nullptr) {
    fclose(status);
  }
  return found;
}

}  // namespace

void clock_state_start() {
  if (!filtered()) {
    return;
  }
  // The child has the same filter: what it may ask, this process may.
  const pid_t child = fork();
  if (child == 0) {
    timex state{};
    _exit(ntp_adjtime(&state) < 0 ? 1 : 0);
  }
  int status = 0;
  kernel_asked = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                 WEXITSTATUS(status) == 0;
}

bool clock_unsynced() {
  if (!kernel_asked) {
    return access("/run/systemd/timesync/synchronized", F_OK) != 0;
  }
  timex state{};
  return ntp_adjtime(&state) == TIME_ERROR;
}
