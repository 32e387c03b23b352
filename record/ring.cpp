#include "record/ring.h"

#include <algorithm>

int64_t job_time_at(const Job& job, uint64_t sample) {
  const int64_t after = static_cast<int64_t>(sample) - static_cast<int64_t>(job.sound_at);
  return job.began_ns + after * 1000000000 / kRecordRate;
}

int64_t job_file_time(const Job& job, uint64_t from) {
  return job_time_at(job, from <= job.sound_at ? job.sound_at : from);
}

namespace {

// What the detector found, as jobs. (Called with the lock held.)
void add_findings(Ring& ring, const std::vector<Finding>& found, bool unsynced) {
  for (const Finding& f : found) {
    if (f.kind == Finding::begins) {
      ring.jobs.push_back(Job{f.from, kOpenEnd, f.sound_at, f.began_ns, unsynced});
    } else if (!ring.jobs.empty()) {
      ring.jobs.back().to = f.to;
    }
  }
}

}  // namespace

void ring_put(Ring& ring, const int16_t* samples, size_t count, const std::vector<Finding>& found,
              bool unsynced) {
  {
    std::lock_guard<std::mutex> held(ring.lock);
    // In at most two pieces: to the ring's end, and on from its start.
    const uint64_t size = ring.samples.size();
    for (size_t done = 0; done < count;) {
      const size_t at = size_t((ring.written + done) % size);
      const size_t n = std::min(count - done, size_t(size - at));
      std::copy(samples + done, samples + done + n, ring.samples.begin() + long(at));
      done += n;
    }
    ring.written += count;
    add_findings(ring, found, unsynced);
  }
  ring.changed.notify_all();
}

void ring_end(Ring& ring, const std::vector<Finding>& found) {
  {
    std::lock_guard<std::mutex> held(ring.lock);
    add_findings(ring, found, false);
    ring.ended = true;
  }
  ring.changed.notify_all();
}

bool ring_next(Ring& ring, Job& job, int wait_ms, bool& ended) {
  std::unique_lock<std::mutex> held(ring.lock);
  ring.changed.wait_for(held, std::chrono::milliseconds(wait_ms),
                        [&] { return !ring.jobs.empty() || ring.ended; });
  ended = ring.jobs.empty() && ring.ended;
  if (ring.jobs.empty()) {
    return false;
  }
  job = ring.jobs.front();
  return true;
}

Taken ring_take(Ring& ring, uint64_t at, int16_t* out, size_t room) {
  std::unique_lock<std::mutex> held(ring.lock);
  // (The reader sets the job's end meanwhile: read under the lock each time.)
  ring.changed.wait(held,
                    [&] { return ring.written > at || ring.jobs.front().to <= at || ring.ended; });
  const Job job = ring.jobs.front();
  const uint64_t size = ring.samples.size();
  // What the reader overwrote: the writer fell further behind than memory holds (the quarter
  // second spare is the block the reader may put next).
  const uint64_t oldest = ring.written > size ? ring.written - size + kRecordRate / 4 : 0;
  Taken taken;
  if (at < oldest) {
    taken.lost_to = std::min(oldest, job.to);
    taken.done = job.to <= oldest;
    return taken;
  }
  const uint64_t end = std::min(ring.written, job.to);
  taken.count = size_t(std::min<uint64_t>(end > at ? end - at : 0, room));
  for (size_t done = 0; done < taken.count;) {
    const size_t from = size_t((at + done) % size);
    const size_t n = std::min(taken.count - done, size_t(size - from));
    std::copy(ring.samples.begin() + long(from), ring.samples.begin() + long(from + n), out + done);
    done += n;
  }
  taken.done = job.to <= at + taken.count || (ring.ended && ring.written <= at + taken.count);
  return taken;
}

void ring_done(Ring& ring) {
  std::lock_guard<std::mutex> held(ring.lock);
  ring.jobs.pop_front();
}
