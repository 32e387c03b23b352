// The simulated board's frame log: one line per frame exchanged, in one format for orvctl-sim's
// ORVSIM_LOG and for the tests that read it.
#pragma once

#include <cstddef>
#include <cstdint>

// One line of the frame log, with its newline: at most 16 bytes as hex, or 3 and " +N", and
// " crc32=XXXXXXXX" for an audio frame. 80 characters hold the longest.
struct SimLogLine {
  char text[80];
  size_t size;
};

// The log line of a frame whose first bytes as sent were `sent` (at least min(length, 16) of
// them) and whose reply is `reply`.
SimLogLine sim_log_line(const uint8_t* sent, uint32_t length, const uint8_t* reply);
