// The audio between the reader and the writer: the last minute or so of the input in memory (the
// ring), and the files to make of it (the jobs), under one lock. The reader puts each block and
// what the detector found in it, and never waits for the writer; the writer takes a job's samples
// as they come, and learns what the reader overwrote before it could take it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "record/detector.h"

constexpr uint64_t kOpenEnd = UINT64_MAX;

// One file to make: samples [from, to) of the input (`to` open while the transmission goes on),
// named by the time `began_ns` at which sample `sound_at` came.
struct Job {
  uint64_t from = 0, to = kOpenEnd, sound_at = 0;
  int64_t began_ns = 0;
  bool unsynced = false;
};

// What the writer has done, for the metrics.
struct RecordCounts {
  uint64_t recordings = 0, samples_kept = 0, failures = 0, samples_dropped = 0;
  int64_t last_recording_s = 0;
  bool recording = true;  // the folder can be recorded into
  // The folder (where it was looked at): its recordings, its file system's free space and the
  // floor kept there, its oldest recording's time; what was deleted, for space and for age.
  bool archive_known = false;
  int64_t folder_bytes = 0, folder_files = 0, free_bytes = 0, floor_bytes = 0, oldest_s = 0;
  uint64_t deleted_files[2] = {0, 0}, deleted_bytes[2] = {0, 0};
};

struct Ring {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<int16_t> samples;  // sample n at samples[n % size]
  uint64_t written = 0;          // samples taken from the input so far
  std::deque<Job> jobs;
  bool ended = false;
  RecordCounts counts;  // the writer's
};

// The time sample `sample` of the job's came, as the input comes in real time.
int64_t job_time_at(const Job& job, uint64_t sample);

// The time a file of the job that begins at sample `from` is named by: the first sound's, where the
// file holds it (not its pre-roll's first sample), else its own first sample's (the file after a
// gap the writer could not keep up with).
int64_t job_file_time(const Job& job, uint64_t from);

// Reader: a block and what the detector found in it; `unsynced`, what the clock says now.
void ring_put(Ring& ring, const int16_t* samples, size_t count, const std::vector<Finding>& found,
              bool unsynced);

// Reader: the input ended, with what the detector found at its end.
void ring_end(Ring& ring, const std::vector<Finding>& found);

// Writer: the next job, once there is one (true); false after `wait_ms` without one, or once the
// input has ended (`ended` true) and none is left.
bool ring_next(Ring& ring, Job& job, int wait_ms, bool& ended);

// Writer: samples of the front job from `at` on, up to `room` of them, once there are some.
struct Taken {
  size_t count = 0;
  uint64_t lost_to = 0;  // beyond `at`: samples up to there were overwritten before they were taken
  bool done = false;     // the job's last sample was taken
};
Taken ring_take(Ring& ring, uint64_t at, int16_t* out, size_t room);

// Writer: the front job is done with.
void ring_done(Ring& ring);
