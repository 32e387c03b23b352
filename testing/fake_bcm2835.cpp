// A stand-in for the bcm2835 library, for running the real board link file on a machine
// without one. It appends each call to the file named by FAKE_BCM2835_CALLS (opened at init, so
// that a run that gives up root there can still write to it); FAKE_BCM2835_INIT=0 and
// FAKE_BCM2835_SPI_BEGIN=0 make those calls fail as the library does (the latter from 1.50 on:
// before, bcm2835_spi_begin has no result); every byte the "board" returns is FAKE_BCM2835_MISO
// (a number, default 0: a board that does not answer). With FAKE_BCM2835_WHO set, the close is
// preceded by a line that says who the process is then: its user and group ids (real, effective,
// saved), its groups, and HOME, USER, LOGNAME and XDG_RUNTIME_DIR. It builds against the
// library's own header or against tests/bcm2835-1.45.
//
// Built with FAKE_BCM2835_BOARD, the board behind the bus is instead the simulated board playing
// its ramp in real time: the board of the test on a real system (scripts/vm-test.sh).
#include <bcm2835.h>

#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#ifdef FAKE_BCM2835_BOARD
#include <ctime>

#include "common/clock.h"
#include "sim/sim_board.h"
#endif

namespace {

FILE* calls = nullptr;

void record(const char* format, unsigned long value) {
  if (calls == nullptr) {
    return;
  }
  std::fprintf(calls, format, value);
  std::fputc('\n', calls);
  std::fflush(calls);
}

// Who the process is: "who uid R E S gid R E S groups G... HOME=... USER=... LOGNAME=...
// XDG_RUNTIME_DIR=..." (a variable that is not set shows as "-").
void record_who() {
  if (calls == nullptr) {
    return;
  }
  uid_t uid[3];
  gid_t gid[3];
  getresuid(&uid[0], &uid[1], &uid[2]);
  getresgid(&gid[0], &gid[1], &gid[2]);
  std::fprintf(calls, "who uid %u %u %u gid %u %u %u groups", uid[0], uid[1], uid[2], gid[0],
               gid[1], gid[2]);
  gid_t groups[64];
  const int count = getgroups(64, groups);
  for (int i = 0; i < count; ++i) {
    std::fprintf(calls, " %u", groups[i]);
  }
  for (const char* name : {"HOME", "USER", "LOGNAME", "XDG_RUNTIME_DIR"}) {
    const char* value = std::getenv(name);
    std::fprintf(calls, " %s=%s", name, value != nullptr ? value : "-");
  }
  std::fputc('\n', calls);
}

#ifdef FAKE_BCM2835_BOARD
SimBoard board;
#endif

int result_of(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && std::strcmp(value, "0") == 0 ? 0 : 1;
}

}  // namespace

int bcm2835_init(void) {
  if (const char* path = std::getenv("FAKE_BCM2835_CALLS")) {
    calls = std::fopen(path, "ae");
  }
  record("init", 0);
#ifdef FAKE_BCM2835_BOARD
  SimKnobs knobs;
  knobs.signal = SimSignal::ramp;
  sim_reset(board, knobs);
#endif
  if (result_of("FAKE_BCM2835_INIT") == 0) {
    std::fprintf(stderr, "bcm2835_init: Unable to open /dev/mem: Permission denied\n");
    return 0;
  }
  return 1;
}

int bcm2835_close(void) {
  if (std::getenv("FAKE_BCM2835_WHO") != nullptr) {
    record_who();
  }
  record("close", 0);
  return 1;
}

#if BCM2835_VERSION >= 10050
int bcm2835_spi_begin(void) {
  record("spi_begin", 0);
  return result_of("FAKE_BCM2835_SPI_BEGIN");
}
#else
void bcm2835_spi_begin(void) {
  record("spi_begin", 0);
}
#endif

void bcm2835_spi_end(void) {
  record("spi_end", 0);
}
void bcm2835_spi_setClockDivider(uint16_t divider) {
  record("spi_setClockDivider %lu", divider);
}
void bcm2835_spi_setDataMode(uint8_t mode) {
  record("spi_setDataMode %lu", mode);
}
void bcm2835_spi_chipSelect(uint8_t cs) {
  record("spi_chipSelect %lu", cs);
}

void bcm2835_spi_transfern(char* buf, uint32_t len) {
  record("spi_transfern %lu", len);
#ifdef FAKE_BCM2835_BOARD
  // The board answers in place, then the bus is busy for as long as the bytes take.
  const int64_t start = clock_now_ns();
  sim_exchange(board, reinterpret_cast<uint8_t*>(buf), len, start);
  const int64_t end = start + sim_transfer_ns(board.knobs, len);
  const timespec until{static_cast<time_t>(end / 1000000000), static_cast<long>(end % 1000000000)};
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
#else
  const char* miso = std::getenv("FAKE_BCM2835_MISO");
  std::memset(buf, miso != nullptr ? std::atoi(miso) : 0, len);
#endif
}
