#include "sim/sim_clock.h"

#include <ctime>

#include "common/clock.h"

namespace sim_clock_state {

bool simulated = false;
int64_t simulated_ns = 0;

}  // namespace sim_clock_state

using sim_clock_state::simulated;
using sim_clock_state::simulated_ns;

namespace {

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

int64_t clock_now_ns() {
  return simulated ? simulated_ns : monotonic_ns();
}

void sim_clock_simulate() {
  simulated = true;
  simulated_ns = 0;
}

void sim_clock_wait_until(int64_t ns) {
  if (simulated) {
    simulated_ns = ns > simulated_ns ? ns : simulated_ns;
    return;
  }
  while (monotonic_ns() < ns) {
  }
}

int64_t sim_clock_pass_real_if(int64_t ns, int64_t start_before, int64_t end_before) {
  const int64_t start = monotonic_ns();
  if (start >= start_before || start + ns >= end_before) {
    return -1;
  }
  sim_clock_wait_until(start + ns);
  return start;
}

int orvsim_clock_simulated() {
  return simulated ? 1 : 0;
}

int64_t orvsim_clock_now_ns() {
  return clock_now_ns();
}

void orvsim_clock_wait_until(int64_t ns) {
  sim_clock_wait_until(ns);
}
