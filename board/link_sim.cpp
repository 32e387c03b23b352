// The board link of orvctl-sim: the same program with a model of the receiver board (sim/) behind
// the four hardware functions. The model's knobs come from ORVSIM_* environment variables, read
// when the link is opened; a malformed one ends the run with status 2.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "board/board_link.h"
#include "common/clock.h"
#include "common/console.h"
#include "sim/sim_board.h"
#include "sim/sim_clock.h"
#include "sim/sim_knobs.h"
#include "sim/sim_log.h"

namespace {

// The board is hardware outside the program; its simulated state lives here, as a board's
// would live on the board.
SimBoard board;
int log_fd = -1;
size_t next_stall = 0;  // the first of board.knobs.stalls still to come
// The host's preemptions (ORVSIM_PREEMPT): their random numbers, and when the next one comes.
std::mt19937_64 preemptions;
int64_t next_preemption_ns = -1;

// When the preemption after one at `now` comes: a Poisson process at the knob's rate.
int64_t after(int64_t now) {
  if (board.knobs.preempt_rate == 0) {
    return -1;
  }
  const double gap_s = std::exponential_distribution<double>(board.knobs.preempt_rate)(preemptions);
  return now + static_cast<int64_t>(gap_s * 1e9);
}

// A knob orvctl-sim cannot use: says why on standard error and ends the run with status 2.
[[noreturn]] void die_knob(const std::string& message) {
  std::fprintf(stderr, "orvctl-sim: %s\n", message.c_str());
  console_exit(2);
}

// Another process has the processor when its time has come: the host stands still where it is,
// before a frame, or after one (a preemption during a frame's transfer shows once it ends: after
// the block's fetch, that is between the polls and the write).
void preempt_when_due(int64_t& now) {
  if (next_preemption_ns >= 0 && now >= next_preemption_ns) {
    const auto length =
        std::uniform_int_distribution<int64_t>(0, board.knobs.preempt_ns)(preemptions);
    sim_clock_wait_until(now + length);
    now = clock_now_ns();
    next_preemption_ns = after(now);
  }
}

// How long a frame of `length` bytes takes on the bus: the last length's, kept, since the polls
// ask for the same again and again.
uint32_t timed_length = 0;
int64_t timed_ns = 0;

int64_t transfer_ns(uint32_t length) {
  if (length != timed_length) {
    timed_length = length;
    timed_ns = sim_transfer_ns(board.knobs, length);
  }
  return timed_ns;
}

// The reply to the last buffer-count frame, and until when a count frame gets the same (-1: no
// such reply). Most of a run's frames are its busy poll's counts, nearly all of them answered
// alike, here at the cost of a comparison.
uint8_t count_reply[3];
int64_t count_steady_until = -1;  // for the board: the start of the frame before this
int64_t count_events_until = -1;  // ... and before this, with the board's samples counted anew
int64_t link_steady_until = -1;   // for this link: the end of the frame before this

// Until when nothing that this link does to a frame is due: a stall, a preemption, Ctrl-C.
int64_t link_due() {
  int64_t until = INT64_MAX;
  if (next_stall < board.knobs.stalls.size()) {
    until = board.knobs.stalls[next_stall].at_ns;
  }
  for (const int64_t at : {next_preemption_ns, board.knobs.stop_at_ns}) {
    if (at >= 0 && at < until) {
      until = at;
    }
  }
  return until;
}

// A frame as the board answers it, with what the link does around it.
[[gnu::noinline]] void exchange(uint8_t* bytes, uint32_t length) {
  const bool count = length == 6 && bytes[2] == CMD_BUFCOUNT && log_fd < 0;
  count_events_until = -1;
  // What the log shows of the frame sent, copied only for the log: the host has just written
  // these bytes one by one, and reading them back at once costs more than the rest of a poll.
  uint8_t sent[16];
  if (log_fd >= 0) {
    std::memcpy(sent, bytes, length < 16 ? length : 16);
  }
  int64_t start = clock_now_ns();
  const std::vector<SimUpset>& stalls = board.knobs.stalls;
  if (next_stall < stalls.size() && start >= stalls[next_stall].at_ns) {
    // The host stood still for a while before this frame.
    sim_clock_wait_until(start + stalls[next_stall++].length_ns);
    start = clock_now_ns();
  }
  preempt_when_due(start);
  if (board.knobs.stop_at_ns >= 0 && start >= board.knobs.stop_at_ns) {
    // What the board lost, its buffer full, for the tests to hold against what the relay said.
    if (board.overwritten > 0) {
      std::fprintf(stderr, "orvctl-sim: the simulated board overwrote %llu samples\n",
                   static_cast<unsigned long long>(board.overwritten));
    }
    // Ctrl-C, as the user would press it.
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
  }
  sim_exchange(board, bytes, length, start);
  if (count) {
    std::memcpy(count_reply, bytes + 3, sizeof count_reply);
    count_events_until = sim_count_events_until(board, start);
    count_steady_until = std::min(count_events_until, sim_next_sample_ns(board, start));
    link_steady_until = link_due();
  }
  // The bus is busy for as long as the bytes take at its clock; the host waits for it the way
  // the bcm2835 library does, by polling.
  sim_clock_wait_until(start + transfer_ns(length));
  int64_t end = clock_now_ns();
  preempt_when_due(end);
  if (log_fd >= 0) {
    // One write per line, so that a run ended by Ctrl-C leaves only whole lines.
    const SimLogLine line = sim_log_line(sent, length, bytes);
    [[maybe_unused]] const ssize_t written = write(log_fd, line.text, line.size);
  }
}

}  // namespace

const char* const board_link_name = "simulated";

bool board_init(BoardLink&) {
  SimKnobs knobs;
  std::string error;
  if (!sim_parse_knobs(sim_knobs_from_environment(), knobs, error) ||
      !sim_load_recording(knobs, error)) {
    die_knob(error);
  }
  if (knobs.log_path != nullptr) {
    log_fd = open(knobs.log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
      die_knob(std::string("ORVSIM_LOG: cannot open \"") + knobs.log_path +
               "\": " + std::strerror(errno));
    }
  }
  if (knobs.simulated_time) {
    sim_clock_simulate();
  }
  const int64_t origin = clock_now_ns();
  sim_shift_upsets(knobs, origin);
  sim_reset(board, knobs);
  next_stall = 0;
  timed_length = 0;
  timed_ns = 0;
  preemptions.seed(board.knobs.seed);
  next_preemption_ns = after(origin);
  // No reply to repeat: a run in the same process (a fuzzer's) starts anew.
  count_events_until = -1;
  return true;
}

bool board_spi_setup(BoardLink&) {
  return true;
}

void board_exchange(BoardLink&, uint8_t* bytes, uint32_t length) {
  // The busy poll's count, while nothing but the board's samples changes it: the reply before,
  // or the count anew once a sample has come.
  if (count_events_until >= 0 && length == 6 && bytes[2] == CMD_BUFCOUNT) {
    const int64_t start =
        sim_clock_pass_if(transfer_ns(length), count_events_until, link_steady_until);
    if (start >= 0) {
      if (start >= count_steady_until) {
        const unsigned count = sim_count_now(board, start);
        count_reply[0] = static_cast<uint8_t>(count);
        count_reply[1] = static_cast<uint8_t>(count >> 8);
        count_steady_until = std::min(count_events_until, sim_next_sample_ns(board, start));
      }
      std::memcpy(bytes + 3, count_reply, sizeof count_reply);
      return;
    }
  }
  exchange(bytes, length);
}

void board_close(BoardLink&) {
  if (log_fd >= 0) {
    close(log_fd);
    log_fd = -1;
  }
}
