#include "sim/sim_clock.h"

#include <ctime>

#include "common/clock.h"

namespace {

bool simulated = false;
int64_t simulated_ns = 0;

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

int orvsim_clock_simulated() {
  return simulated ? 1 : 0;
}

int64_t orvsim_clock_now_ns() {
  return clock_now_ns();
}

void orvsim_clock_wait_until(int64_t ns) {
  sim_clock_wait_until(ns);
}
