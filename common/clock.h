// The time the relay reads: nanoseconds on CLOCK_MONOTONIC. Which clock that is is chosen at link
// time: orvctl links common/monotonic_clock.cpp; orvctl-sim links the simulated board's clock
// (sim/sim_clock.cpp), which can run on simulated time shared with the board and a test output.
#pragma once

#include <cstdint>

int64_t clock_now_ns();
