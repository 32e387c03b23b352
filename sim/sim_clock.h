// orvctl-sim's clock. By default it is CLOCK_MONOTONIC, and the simulated board's bus waits for
// it by spinning, as the bcm2835 library does. In simulated time (ORVSIM_CLOCK=simulated) it is a
// number that starts at 0 and moves only when something that takes time in the real system
// happens: an SPI frame (its bus time), a wait of the sound output for room (the test output
// moves it to the moment the room exists), a stall asked for by a knob. The relay reads the same
// clock (common/clock.h), so a run does not depend on how busy the machine is and hours of audio
// take minutes.
#pragma once

#include <cstdint>

// Switches to simulated time, at 0. Called when the link opens, before anything reads the clock.
void sim_clock_simulate();

// Waits until the clock reads `ns`: in simulated time it moves there at once (never back).
void sim_clock_wait_until(int64_t ns);

// The clock's state, kept by sim_clock.cpp; read here only by sim_clock_pass_if.
namespace sim_clock_state {
extern bool simulated;
extern int64_t simulated_ns;
}  // namespace sim_clock_state

// The same on the real clock.
int64_t sim_clock_pass_real_if(int64_t ns, int64_t start_before, int64_t end_before);

// A frame of `ns` on the bus that may start only before `start_before` and end only before
// `end_before`: when it can, the clock moves on past it (as sim_clock_wait_until does) and the
// result is the time it started; otherwise nothing moves and the result is -1. Inline, for the
// busy poll's every frame.
inline int64_t sim_clock_pass_if(int64_t ns, int64_t start_before, int64_t end_before) {
  if (!sim_clock_state::simulated) {
    return sim_clock_pass_real_if(ns, start_before, end_before);
  }
  const int64_t start = sim_clock_state::simulated_ns;
  if (start >= start_before || start + ns >= end_before) {
    return -1;
  }
  sim_clock_state::simulated_ns = start + ns;
  return start;
}

// For the test output (an ALSA plugin loaded into the same process), which finds these by name:
// whether the clock is simulated, what it reads, and a wait for a moment on it.
extern "C" {
int orvsim_clock_simulated();
int64_t orvsim_clock_now_ns();
void orvsim_clock_wait_until(int64_t ns);
}
