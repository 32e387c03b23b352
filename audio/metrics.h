// Health a monitor can read: what the status line says, and the board's state, in Prometheus's
// text format, written every 15 s into the folder that ORVCTL_METRICS names (the service's unit
// names its runtime folder, in RAM) as the file orvctl.prom, through common/prom_file.h. A run
// without ORVCTL_METRICS writes none.
#pragma once

#include <cstdint>

#include "common/prom_file.h"

struct OutputClock;
struct RelayCounts;

// How often the file is written.
constexpr int64_t kMetricsEveryNs = 15000000000;

// The metrics of a run, held in the relay's counts.
struct RelayMetrics {
  PromFile file;       // orvctl.prom in the folder (its `dir` -1: no metrics asked for)
  uint32_t khz = 0;    // the frequency the board is tuned to
  double start_s = 0;  // when playback started, in seconds since the epoch
  int64_t due_ns = 0;  // when the next write is due (the relay's clock)
  // The audio since the last write: its largest sample (magnitude), the sum of its squares, and
  // how many samples that was.
  int peak = 0;
  uint64_t squares = 0;
  uint64_t samples = 0;
  bool failed_said = false;  // the last write failed, and it was said
  bool silent = false;       // the last write said that the board is silent
};

// At the start of playback (`now_ns` on the relay's clock): opens the folder that ORVCTL_METRICS
// names, if any. A folder that cannot be opened is said once on standard error, and the run plays
// on without metrics.
void metrics_start(RelayMetrics& metrics, uint32_t khz, int64_t now_ns);

// Every block fetched: its samples (little-endian) count toward the level, where metrics are
// written (a run without them spends nothing on it).
void metrics_level(RelayMetrics& metrics, const uint8_t* samples);

// Now and then, while blocks come and while they do not: writes the file when it is due, and at
// once when the board falls silent or delivers again, so that a monitor learns it within a scrape.
// A write that fails is said once (and again, once, after one has worked).
void metrics_write_when_due(RelayMetrics& metrics, const OutputClock& clock,
                            const RelayCounts& counts, int64_t now_ns);
