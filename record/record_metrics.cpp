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
  if (counts.archive_known) {
    prom_metric(text, "orvctl_record_folder_bytes", "gauge",
                "What the recordings in the folder take on the disk.", labels,
                double(counts.folder_bytes));
    prom_metric(text, "orvctl_record_folder_recordings", "gauge", "Recordings in the folder.",
                labels, double(counts.folder_files));
    prom_metric(text, "orvctl_record_free_bytes", "gauge",
                "Free space on the folder's file system (as its user may take it).", labels,
                double(counts.free_bytes));
    prom_metric(text, "orvctl_record_keep_free_bytes", "gauge",
                "The free space the recorder keeps there, deleting its oldest recordings.", labels,
                double(counts.floor_bytes));
    if (counts.oldest_s != 0) {
      prom_metric(text, "orvctl_record_oldest_recording_timestamp_seconds", "gauge",
                  "When the oldest recording in the folder was made, in seconds since the epoch.",
                  labels, double(counts.oldest_s));
    }
    if (metrics.max_age_s > 0) {
      prom_metric(text, "orvctl_record_max_age_seconds", "gauge",
                  "The age beyond which recordings are deleted (--max-age).", labels,
                  double(metrics.max_age_s));
    }
    // Each for space (the floor and the total) and for age: one HELP and TYPE a name.
    const struct {
      const char* name;
      const char* help;
      const uint64_t* value;
    } deleted[] = {
        {"orvctl_record_deleted_recordings_total",
         "Recordings deleted to keep the free space and the total (space), or for their age.",
         counts.deleted_files},
        {"orvctl_record_deleted_bytes_total", "What the deleted recordings took on the disk.",
         counts.deleted_bytes},
    };
    for (const auto& d : deleted) {
      char space[96], age[96];
      snprintf(space, sizeof space, "%s,reason=\"space\"", labels);
      snprintf(age, sizeof age, "%s,reason=\"age\"", labels);
      prom_metric(text, d.name, "counter", d.help, space, double(d.value[0]));
      prom_sample(text, d.name, age, double(d.value[1]));
    }
  }
  prom_metric(text, "orvctl_record_metrics_updated_timestamp_seconds", "gauge",
              "When this file was written (every 15 s), in seconds since the epoch.", labels,
              double(now.tv_sec) + double(now.tv_nsec) / 1e9);
  say_failed(metrics, text.full ? ENOSPC : prom_write(metrics.file, text.at, text.length));
}
