// orvctl-record: keeps each transmission in orvctl's audio as a FLAC file of its own.
//
//   orvctl-record [--level DB] [--hang S] [--pre-roll S] [--minimum S] [--longest S] FOLDER
//
// Reads 48000 Hz signed 16-bit little-endian mono on standard input, as ALSA's file plugin hands
// it over, until its end or SIGINT/SIGTERM. Two threads: the reader (main) takes the input into
// memory (record/ring.h) and finds the transmissions (record/detector.h); it never waits for the
// disk. The writer makes each transmission's file (record/recording_file.h) in the folder
// (record/folder.h). Silence is never written anywhere.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "record/clock_state.h"
#include "record/detector.h"
#include "record/folder.h"
#include "record/options.h"
#include "record/record_metrics.h"
#include "record/recorder.h"
#include "record/recording_file.h"
#include "record/ring.h"
#include "record/say.h"
#include "version.h"

namespace {

// --- The reader -------------------------------------------------------------------------------

int signalled[2] = {-1, -1};

void on_stop(int) {
  const int saved = errno;
  const char byte = 1;
  ssize_t ignored = write(signalled[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

void write_metrics(Recorder& r) {
  RecordCounts counts;
  {
    std::lock_guard<std::mutex> held(r.ring.lock);
    counts = r.ring.counts;
  }
  record_metrics_write(r.metrics, counts);
}

// Reads the input until its end, or a stop (what the pipe already holds is still taken); the
// metrics every 15 s meanwhile. Where `detector` is null (a command line that cannot be run), the
// input is read away, so that the run that feeds it plays on, and `refusal` is said again every
// 10 minutes.
void read_input(Recorder& r, Detector* detector, const std::string& refusal) {
  unsigned char bytes[65536 + 1];
  int16_t samples[sizeof bytes / 2];
  std::vector<Finding> found;
  size_t carried = 0;  // an odd byte of the last read
  bool stopping = false, said_long = false;
  int64_t due = folder_now_ns(), refusal_due = due + kFolderSayAgainNs;
  while (true) {
    const int64_t now = folder_now_ns();
    if (now >= due) {
      write_metrics(r);
      due = now + int64_t(kRecordMetricsEveryMs) * 1000000;
    }
    if (detector == nullptr && now >= refusal_due) {
      record_say("%s", refusal.c_str());
      refusal_due = now + kFolderSayAgainNs;
    }
    pollfd fds[2] = {{0, POLLIN, 0}, {signalled[0], POLLIN, 0}};
    const int ready = stopping ? 1 : poll(fds, 2, int((due - now) / 1000000) + 1);
    if (ready < 0 && errno != EINTR) {
      break;
    }
    if (ready <= 0) {
      continue;  // nothing came: the metrics may be due
    }
    if (!stopping && (fds[1].revents & POLLIN) != 0) {
      stopping = true;
      fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    }
    const ssize_t n = read(0, bytes + carried, sizeof bytes - 1 - carried);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    const int64_t arrived = record_wall_ns();
    const size_t total = carried + size_t(n);
    const size_t samples_count = total / 2;
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
      memcpy(samples, bytes, samples_count * 2);  // (the input's order already)
    } else {
      for (size_t i = 0; i < samples_count; ++i) {
        samples[i] = int16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
      }
    }
    carried = total % 2;
    bytes[0] = bytes[total - 1];
    if (detector != nullptr) {
      found.clear();
      detector_take(*detector, samples, samples_count, arrived, found);
      ring_put(r.ring, samples, samples_count, found, !found.empty() && clock_unsynced());
      for (const Finding& f : found) {
        if (f.kind == Finding::begins && f.cut && !said_long) {
          record_say(
              "a transmission longer than %.0f s (a stuck carrier?): kept as files of %.0f s",
              r.options.longest, r.options.longest);
        }
        said_long = f.kind == Finding::begins ? f.cut : said_long;
      }
    }
  }
  found.clear();
  if (detector != nullptr) {
    detector_end(*detector, found);
  }
  ring_end(r.ring, found);
}

}  // namespace

int main(int argc, char** argv) {
  static Recorder r;  // (the ring's vector and the rest: not on the stack)
  const char* khz = getenv("ORVCTL_KHZ");
  if (khz != nullptr && *khz != '\0' && strspn(khz, "0123456789") == strlen(khz) &&
      strlen(khz) <= 10) {
    r.khz = khz;
  }
  const char* demod = getenv("ORVCTL_DEMOD");
  if (demod != nullptr && strlen(demod) <= 32) {
    r.demod = demod;
  }
  std::string error;
  const Parsed parsed = record_parse_options(argc, argv, r.options, error);
  if (parsed == Parsed::help) {
    printf("%s\n%s", kRecordUsage, kRecordHelp);
    return fflush(stdout) == 0 ? 0 : 1;
  }
  record_metrics_open(r.metrics, r.khz);
  if (parsed == Parsed::bad) {
    // Nothing will be recorded: said now and again, shown to a monitor, and the input read away so
    // that the run that feeds it plays on.
    const std::string refusal = error + "; nothing is recorded (" + kRecordUsage + ")";
    record_say("%s", refusal.c_str());
    r.ring.counts.recording = false;
    read_input(r, nullptr, refusal);
    write_metrics(r);
    return 2;
  }
  const DetectorSettings settings = record_detector_settings(r.options);
  const RecordOptions& o = r.options;
  r.ring.samples.resize(
      uint64_t((kHeldSeconds + o.pre_roll + o.minimum + o.hang + 1) * kRecordRate + 0.5));
  Detector detector{settings};
  r.folder.path = o.folder;
  r.archive.settings = o.retention;
  r.metrics.max_age_s = o.retention.max_age_s;

  clock_state_start();  // (before the writer starts)
  // The first try of the folder: said at once when it cannot be recorded into.
  const std::string cause = folder_try(r.folder);
  if (!cause.empty()) {
    folder_failed(r.folder, cause, folder_now_ns());
    r.ring.counts.recording = false;
  }

  // A stop (the run's Ctrl-C, the service's stop) ends the input where it stands; the writer
  // finishes what was taken. The signals reach only the reader.
  if (pipe2(signalled, O_CLOEXEC | O_NONBLOCK) != 0) {
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGHUP, SIG_IGN);
  sigset_t stops, previous;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
  std::thread writer(write_jobs, std::ref(r));
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  read_input(r, &detector, "");
  writer.join();
  write_metrics(r);  // what the run ends with
  return 0;
}
