#include <cstring>
#include <ctime>
#include <vector>

#include "record/listing.h"
#include "record/recorder.h"
#include "record/recording_file.h"
#include "record/say.h"

int64_t record_wall_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

namespace {

// The folder's figures, for the metrics. (Called with the lock held.)
void publish(Recorder& r) {
  RecordCounts& c = r.ring.counts;
  const Archive& a = r.archive;
  c.archive_known = a.looked;
  c.folder_bytes = a.total;
  c.folder_files = a.count;
  c.free_bytes = a.free;
  c.floor_bytes = a.floor;
  c.oldest_s = a.oldest.empty() ? 0 : a.oldest.front().mtime_ns / 1000000000;
  for (int i = 0; i < 2; ++i) {
    c.deleted_files[i] = a.deleted_files[i];
    c.deleted_bytes[i] = a.deleted_bytes[i];
  }
}

// Says once a run that the list of recordings (for the page) cannot be written.
void listed(Recorder& r, int error) {
  if (error != 0 && !r.list_said) {
    record_say(
        "cannot write the list of recordings in %s: %s; the recordings are kept, the "
        "station's page does not show them all",
        r.folder.path.c_str(), strerror(error));
    r.list_said = true;
  }
}

// A pass over the folder's bounds (before each transmission's file, and every minute while none
// comes), where it can be recorded into.
void keep_bounds(Recorder& r) {
  if (!r.folder.said.empty() || r.folder.fd < 0) {
    return;
  }
  archive_keep(r.archive, r.folder.fd, r.folder.path, record_wall_ns(), folder_now_ns());
  // (Once a run, the lines of files deleted while it was not running; then those it deleted.)
  if (!r.lists_pruned || !r.archive.deleted_names.empty()) {
    listed(r, listing_prune(r.folder.fd, r.archive.deleted_names));
    r.archive.deleted_names.clear();
    r.lists_pruned = true;
  }
  std::lock_guard<std::mutex> held(r.ring.lock);
  publish(r);
}

void count(Recorder& r, const RecordingFile* kept, uint64_t dropped) {
  std::lock_guard<std::mutex> held(r.ring.lock);
  RecordCounts& c = r.ring.counts;
  if (kept != nullptr) {
    archive_added(r.archive, Kept{kept->began_ns, kept->bytes, kept->ino, kept->name});
    publish(r);
    c.recordings += 1;
    c.samples_kept += kept->samples;
    c.last_recording_s = record_wall_ns() / 1000000000;
  } else if (dropped == 0) {
    c.failures += 1;
  }
  c.samples_dropped += dropped;
  c.recording = r.folder.said.empty();
}

// Starts a file of `job` whose first sample is `from`; false, said, where the folder cannot take
// it.
bool start_file(Recorder& r, const Job& job, uint64_t from, RecordingFile& file) {
  const int64_t now = folder_now_ns();
  const FileLabel label{job_file_time(job, from), job.unsynced, r.khz, r.demod};
  const bool ready = folder_ready(r.folder, now, true) && folder_current(r.folder, now);
  if (ready) {
    keep_bounds(r);
  }
  if (ready && recording_start(file, r.folder, label)) {
    return true;
  }
  if (r.folder.said.empty()) {
    folder_failed(r.folder, strerror(file.error), now);
  }
  return false;
}

// Ends a file: kept and counted, or dropped, said and counted as a failure. An empty one (a gap
// before its first sample) is let go.
void end_file(Recorder& r, RecordingFile& file) {
  if (file.samples == 0) {
    recording_drop(file);
    return;
  }
  const bool kept = recording_finish(file);
  if (!kept) {
    folder_failed(r.folder, strerror(file.error), folder_now_ns());
  } else {
    listed(r, listing_add(file.dir,
                          ListEntry{file.name, file.began_ns, r.khz, file.samples, file.peak}));
  }
  count(r, kept ? &file : nullptr, 0);
}

// One job: its file, as its samples come; where the writer fell behind memory, what it held up
// goes into its file and what comes after the gap into a new one, named by its own time.
void write_job(Recorder& r, const Job& job, std::vector<int16_t>& chunk, bool& said_drop) {
  RecordingFile file;
  bool writing = start_file(r, job, job.from, file);
  bool lost = !writing;  // a file of the job could not be made or written
  bool gap = false;
  for (uint64_t at = job.from;;) {
    const Taken taken = ring_take(r.ring, at, chunk.data(), chunk.size());
    if (taken.lost_to > at) {
      if (writing) {
        if (!said_drop) {
          record_say(
              "dropped %.2f s of a transmission: the folder's writes fell more than %.0f s "
              "behind",
              double(taken.lost_to - at) / kRecordRate, kHeldSeconds);
        }
        said_drop = gap = true;
        count(r, nullptr, taken.lost_to - at);
        end_file(r, file);
        writing = !taken.done && start_file(r, job, taken.lost_to, file);
        lost = lost || (!taken.done && !writing);
      }
      at = taken.lost_to;
    } else {
      if (writing && taken.count > 0 && !recording_encode(file, chunk.data(), taken.count)) {
        writing = false;
        lost = true;
        recording_drop(file);
        folder_failed(r.folder, strerror(file.error), folder_now_ns());
      }
      at += taken.count;
    }
    if (taken.done) {
      break;
    }
  }
  if (writing) {
    end_file(r, file);
    said_drop = said_drop && gap;
  }
  if (lost) {
    count(r, nullptr, 0);
  }
}

}  // namespace

void write_jobs(Recorder& r) {
  std::vector<int16_t> chunk(4800);
  bool said_drop = false;
  keep_bounds(r);
  int64_t kept_ns = folder_now_ns();
  while (true) {
    Job job;
    bool ended = false;
    if (ring_next(r.ring, job, 1000, ended)) {
      write_job(r, job, chunk, said_drop);
      ring_done(r.ring);
    } else if (ended) {
      return;
    } else {
      folder_ready(r.folder, folder_now_ns(), false);
      if (folder_now_ns() - kept_ns >= 60000000000) {
        keep_bounds(r);
        kept_ns = folder_now_ns();
      }
      std::lock_guard<std::mutex> held(r.ring.lock);
      r.ring.counts.recording = r.folder.said.empty();
    }
  }
}
