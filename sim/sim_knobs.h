// The simulated board's knobs: orvctl-sim's ORVSIM_* environment variables, read in one place and
// checked here, and turned into the board's settings.
#pragma once

#include <string>

#include "sim/sim_board.h"

// The knobs as set (nullptr: not set).
struct SimKnobTexts {
  const char* version = nullptr;  // ORVSIM_VERSION: the firmware version, MAJOR.MINOR
  const char* status = nullptr;   // ORVSIM_STATUS: the status reply, "RSSI AGC B5 B6"
  const char* rate = nullptr;     // ORVSIM_RATE: samples per second once playing
  const char* spi_hz = nullptr;   // ORVSIM_SPI_HZ: the bus clock
  const char* signal = nullptr;   // ORVSIM_SIGNAL: chime, ramp or file:PATH
  const char* log = nullptr;      // ORVSIM_LOG: the frame log's file
  const char* clock = nullptr;    // ORVSIM_CLOCK: real or simulated
  const char* stall = nullptr;    // ORVSIM_STALL: stalls of the host, "SECONDS:MS ..."
  const char* gap = nullptr;      // ORVSIM_GAP: gaps in the board's deliveries, "SECONDS:MS ..."
  const char* stop_at = nullptr;  // ORVSIM_STOP_AT: Ctrl-C after this many seconds
  const char* preempt = nullptr;  // ORVSIM_PREEMPT: the host preempted, "RATE:MS"
  const char* seed = nullptr;     // ORVSIM_SEED: the random numbers of ORVSIM_PREEMPT
  const char* miso = nullptr;     // ORVSIM_MISO: no board answers, the data line low or high
  const char* reset = nullptr;    // ORVSIM_RESET: the board's power lost, "SECONDS:MS ..."
  const char* halt = nullptr;     // ORVSIM_HALT: the board stops for a while, "SECONDS:MS ..."
  const char* bursts = nullptr;   // ORVSIM_BURSTS: transmissions in the stream, "SECONDS:MS ..."
};

// The knobs of this process's environment.
SimKnobTexts sim_knobs_from_environment();

// Checks the knobs and fills `knobs` (unset ones keep their defaults). On a malformed value
// returns false and says what is expected in `error`.
bool sim_parse_knobs(const SimKnobTexts& texts, SimKnobs& knobs, std::string& error);

// Reads the recording that ORVSIM_SIGNAL=file:PATH names into `knobs` (nothing to do for another
// signal). On failure returns false and says why in `error`.
bool sim_load_recording(SimKnobs& knobs, std::string& error);
