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

// For the test output (an ALSA plugin loaded into the same process), which finds these by name:
// whether the clock is simulated, what it reads, and a wait for a moment on it.
extern "C" {
int orvsim_clock_simulated();
int64_t orvsim_clock_now_ns();
void orvsim_clock_wait_until(int64_t ns);
}
