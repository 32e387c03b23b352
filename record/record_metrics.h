// The recorder's health for monitors: its counts in Prometheus's text format, as
// orvctl-record.prom in the folder ORVCTL_METRICS names (beside orvctl's own), from its start,
// every 15 s while the input comes and while it does not, and at its end.
#pragma once

#include <string>

#include "common/prom_file.h"
#include "record/ring.h"

constexpr int kRecordMetricsEveryMs = 15000;

struct RecordMetrics {
  PromFile file;
  std::string khz;
  int64_t max_age_s = 0;
  bool failed_said = false;  // the last write failed, and it was said
};

// Opens the folder, if one is asked for; one that cannot be opened is said.
void record_metrics_open(RecordMetrics& metrics, const std::string& khz);

// Writes the file; a write that fails is said once (and again, once, after one has worked).
void record_metrics_write(RecordMetrics& metrics, const RecordCounts& counts);
