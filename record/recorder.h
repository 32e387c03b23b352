// The recorder's state, shared by its reader (record/orvctl_record.cpp) and its writer
// (record/writer.cpp).
#pragma once

#include <string>

#include "record/folder.h"
#include "record/options.h"
#include "record/record_metrics.h"
#include "record/retention.h"
#include "record/ring.h"

// What the writer may fall behind the input (a disk that stalls, a slow card) before audio is lost.
constexpr double kHeldSeconds = 60;

struct Recorder {
  RecordOptions options;
  std::string khz;    // ORVCTL_KHZ, when it is a frequency
  std::string demod;  // ORVCTL_DEMOD, when given
  Ring ring;
  Folder folder;    // the writer's
  Archive archive;  // the writer's
  RecordMetrics metrics;
  bool list_said = false;     // that the list of recordings cannot be written (the writer's)
  bool lists_pruned = false;  // of what was deleted while it did not run
};

// The wall-clock time now, in nanoseconds since the epoch.
int64_t record_wall_ns();

// The writer: each job in turn, into its files; between them, the folder tried again while it
// cannot be recorded into. Returns once the input has ended and every job is done.
void write_jobs(Recorder& r);
