#include "record/record_metrics.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "record/detector.h"
#include "record/say.h"

namespace {

void say_failed(RecordMetrics& metrics, int error) {
  if (error != 0 && !metrics.failed_said) {
    record_say("cannot write the metrics into %s: %s; recording goes on", metrics.file.folder,
               strerror(error));
  }
  metrics.failed_said = error != 0;
}

}  // namespace

void record_metrics_open(RecordMetrics& metrics, const std::string& khz) {
  metrics.khz = khz;
  const int error = prom_open(metrics.file, "orvctl-record");
  if (error != 0) {
    say_failed(metrics, error);
  }
}

void record_metrics_write(RecordMetrics& metrics, const RecordCounts& counts) {
  if (metrics.file.dir < 0) {
    return;
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  char buffer[4096];
  PromText text{buffer, sizeof buffer};
  char labels[64];
  snprintf(labels, sizeof labels, "frequency_khz=\"%s\"", metrics.khz.c_str());
  prom_metric(text, "orvctl_record_recording", "gauge",
              "1 while transmissions can be kept; 0 while none will be: the command line wrong, "
              "the folder missing, full or refused.",
              labels, counts.recording ? 1 : 0);
  prom_metric(text, "orvctl_record_recordings_total", "counter", "Transmissions kept as files.",
              labels, double(counts.recordings));
  prom_metric(text, "orvctl_record_kept_seconds_total", "counter",
              "Seconds of audio kept in those files.", labels,
              double(counts.samples_kept) / kRecordRate);
  prom_metric(text, "orvctl_record_failures_total", "counter",
              "Transmissions (or their files) that could not be kept: the folder missing, full or "
              "refused, a write that failed.",
              labels, double(counts.failures));
  prom_metric(text, "orvctl_record_dropped_seconds_total", "counter",
              "Seconds of transmissions lost because the folder's writes fell more than 60 s "
              "behind.",
              labels, double(counts.samples_dropped) / kRecordRate);
  if (counts.last_recording_s != 0) {
    prom_metric(text, "orvctl_record_last_recording_timestamp_seconds", "gauge",
                "When the last file was kept, in seconds since the epoch.", labels,
                double(counts.last_recording_s));
  }
  prom_metric(text, "orvctl_record_metrics_updated_timestamp_seconds", "gauge",
              "When this file was written (every 15 s), in seconds since the epoch.", labels,
              double(now.tv_sec) + double(now.tv_nsec) / 1e9);
  say_failed(metrics, text.full ? ENOSPC : prom_write(metrics.file, text.at, text.length));
}
