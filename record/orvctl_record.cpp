// orvctl-record: keeps each transmission in orvctl's audio as a FLAC file of its own.
//
//   orvctl-record [--level DB] [--hang S] [--pre-roll S] [--minimum S] [--longest S] FOLDER
//
// Reads 48000 Hz signed 16-bit little-endian mono on standard input, as ALSA's file plugin hands
// it over, until its end or SIGINT/SIGTERM. A transmission begins at the first sample above the
// level and ends when the hang has passed without one; its file holds the board's samples exactly,
// from the pre-roll before its first sound to the hang's end, and is named by the local time that
// first sound came and the frequency orvctl tuned (ORVCTL_KHZ).
//
// Two threads: the reader (main) takes the input into memory and finds the transmissions; it never
// waits for the disk. The writer encodes each transmission with libFLAC into a file that has no
// name until it is whole (O_TMPFILE, else a name nobody can foresee), then names it without
// replacing anything. Silence is never written anywhere.
#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "version.h"

namespace {

constexpr int rate = 48000;
constexpr uint64_t open_end = UINT64_MAX;
// What the writer may fall behind the input (a disk that stalls, a slow card) before audio is lost.
constexpr double held_seconds = 60;
constexpr int retry_seconds = 10;
const char* const going_on =
    "the audio plays on, and recording starts again once the folder can be written";

struct Options {
  double level_db = -50;
  double hang = 2, pre_roll = 0.2, minimum = 0.5, longest = 300;
  std::string folder;
};

// One file to write: samples [from, to) of the input (to open while the transmission goes on).
struct Job {
  uint64_t from = 0, to = open_end;
  timespec began{};  // the wall-clock time that sample `began_at` came (its first sound's)
  uint64_t began_at = 0;
  bool unsynced = false;
};

// What the recorder has done, for the run's monitors.
struct Counts {
  uint64_t recordings = 0, samples_kept = 0, failures = 0, samples_dropped = 0;
  time_t last_recording = 0;
};

// Everything the two threads share, under `lock`.
struct Shared {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<int16_t> ring;  // sample n at ring[n % size]
  uint64_t written = 0;       // samples taken from the input so far
  std::deque<Job> jobs;
  bool ended = false;
};

struct Run {
  Options options;
  std::string khz;    // ORVCTL_KHZ, when it is a frequency
  std::string demod;  // ORVCTL_DEMOD, when given
  Shared shared;
  Counts counts;  // the writer's
  int folder_fd = -1;
  dev_t folder_dev = 0;
  ino_t folder_ino = 0;
  std::string said;  // the cause of the failure last said, empty while recording
  time_t last_try = 0;
  int metrics_fd = -1;  // the folder ORVCTL_METRICS names (-1: none)
  std::string metrics_folder;
  bool metrics_said = false;  // a write of the metrics failed, and it was said
};

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::string text = std::string("orvctl-record: ") + line + "\n";
  ssize_t ignored = write(2, text.data(), text.size());
  (void)ignored;
}

// A number of seconds as the command line gives it: digits with at most one point, 0 to 3600.
bool parse_seconds(const char* text, double& value) {
  size_t digits = strspn(text, "0123456789.");
  if (digits == 0 || text[digits] != '\0' || std::count(text, text + digits, '.') > 1 ||
      strcmp(text, ".") == 0) {
    return false;
  }
  value = strtod(text, nullptr);
  return value <= 3600;
}

// A level in dB of full scale: "-50dB", "-50" or "0dB".
bool parse_level(const char* text, double& value) {
  std::string number = text;
  if (number.size() > 2 && number.compare(number.size() - 2, 2, "dB") == 0) {
    number.resize(number.size() - 2);
  }
  const char* digits = number.c_str() + (number[0] == '-' ? 1 : 0);
  if (!parse_seconds(digits, value)) {
    return false;
  }
  value = number[0] == '-' ? -value : value;
  return value <= 0 && value >= -96;
}

bool parse_options(int argc, char** argv, Options& options) {
  int i = 1;
  for (; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    const char* value = argv[i + 1];
    bool good = name == "--level"      ? parse_level(value, options.level_db)
                : name == "--hang"     ? parse_seconds(value, options.hang)
                : name == "--pre-roll" ? parse_seconds(value, options.pre_roll)
                : name == "--minimum"  ? parse_seconds(value, options.minimum)
                : name == "--longest"  ? parse_seconds(value, options.longest)
                                       : false;
    if (!good) {
      return false;
    }
  }
  if (i != argc - 1 || argv[i][0] == '\0') {
    return false;
  }
  options.folder = argv[i];
  // What memory holds is bounded by these; a file of less than a second is no transmission.
  return options.hang <= 60 && options.pre_roll <= 60 && options.minimum <= 60 &&
         options.longest >= 1;
}

uint64_t samples_of(double seconds) {
  return static_cast<uint64_t>(seconds * rate + 0.5);
}

// Whether the system clock says it is not synchronised. Under a system call filter (a service's)
// the kernel is not asked, as the filter may end the process for it: systemd-timesyncd's flag says.
bool clock_unsynced() {
  static int filtered = -1;
  if (filtered < 0) {
    FILE* status = fopen("/proc/self/status", "re");
    char line[256];
    filtered = 0;
    while (status != nullptr && fgets(line, sizeof line, status) != nullptr) {
      filtered |= strncmp(line, "Seccomp:\t2", 10) == 0;
    }
    if (status != nullptr) {
      fclose(status);
    }
  }
  if (filtered != 0) {
    return access("/run/systemd/timesync/synchronized", F_OK) != 0;
  }
  timex state{};
  return ntp_adjtime(&state) == TIME_ERROR;
}

// --- The folder -------------------------------------------------------------------------------

// Opens the folder afresh and checks that nobody else may put or take files there; "" when it
// can be recorded into, else the cause.
std::string open_folder(Run& run) {
  int fd = open(run.options.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return strerror(errno);
  }
  struct stat st {};
  fstat(fd, &st);
  std::string cause;
  if (st.st_uid != geteuid()) {
    passwd* owner = getpwuid(st.st_uid);
    cause = "it belongs to " + (owner ? std::string(owner->pw_name) : std::to_string(st.st_uid)) +
            ", not to the user recording";
  } else if ((st.st_mode & S_ISVTX) == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    // A group of the user alone (Debian's private group) is no other user.
    group* grp = getgrgid(st.st_gid);
    passwd* me = getpwuid(geteuid());
    bool own_group = (st.st_mode & S_IWOTH) == 0 && grp && me && grp->gr_gid == me->pw_gid &&
                     strcmp(grp->gr_name, me->pw_name) == 0 && grp->gr_mem[0] == nullptr;
    if (!own_group) {
      char mode[8];
      snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      cause = std::string("other users may write to it (mode ") + mode + ", no sticky bit)";
    }
  }
  if (!cause.empty()) {
    close(fd);
    return cause;
  }
  if (run.folder_fd >= 0) {
    close(run.folder_fd);
  }
  run.folder_fd = fd;
  run.folder_dev = st.st_dev;
  run.folder_ino = st.st_ino;
  return "";
}

// Whether the folder's path still leads to the folder held.
bool folder_moved(const Run& run) {
  struct stat st {};
  return stat(run.options.folder.c_str(), &st) != 0 || st.st_dev != run.folder_dev ||
         st.st_ino != run.folder_ino;
}

// A new file in the folder that no other process can open: without a name (O_TMPFILE), or where
// the file system has none of those, under a name nobody can foresee. `part` gets that name.
int make_file(const Run& run, std::string& part) {
  mode_t mode = 0666;
  part.clear();
  int fd = openat(run.folder_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
    return fd;
  }
  unsigned char random[12];
  if (getrandom(random, sizeof random, 0) != sizeof random) {
    return -1;
  }
  part = ".orvctl-record-";
  for (unsigned char byte : random) {
    part += "0123456789abcdef"[byte >> 4];
    part += "0123456789abcdef"[byte & 15];
  }
  part += ".part";
  return openat(run.folder_fd, part.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR | O_CLOEXEC,
                mode);
}

void drop_file(const Run& run, int& fd, const std::string& part) {
  if (!part.empty()) {
    unlinkat(run.folder_fd, part.c_str(), 0);
  }
  close(fd);
  fd = -1;
}

// Whether the folder takes a megabyte (a few transmissions' room), reserved but not written.
std::string try_folder(Run& run) {
  std::string cause = open_folder(run);
  if (!cause.empty()) {
    return cause;
  }
  std::string part;
  int fd = make_file(run, part);
  if (fd < 0) {
    return strerror(errno);
  }
  int reserved = fallocate(fd, 0, 0, 1 << 20);
  if (reserved != 0 && errno == EOPNOTSUPP) {
    std::vector<char> zeros(1 << 20);
    reserved = write(fd, zeros.data(), zeros.size()) == ssize_t(zeros.size()) ? 0 : -1;
  }
  cause = reserved == 0 ? "" : strerror(errno);
  drop_file(run, fd, part);
  return cause;
}

// A failure to record: said when its cause is new; retried after `retry_seconds`.
void failed(Run& run, const std::string& cause) {
  if (cause != run.said) {
    say("cannot record into %s: %s; %s", run.options.folder.c_str(), cause.c_str(), going_on);
  }
  run.said = cause;
  run.last_try = time(nullptr);
}

// Whether the folder can be recorded into now: it could last time, or a retry finds it can.
bool folder_ready(Run& run) {
  if (run.said.empty()) {
    return true;
  }
  if (time(nullptr) - run.last_try < retry_seconds) {
    return false;
  }
  std::string cause = try_folder(run);
  if (!cause.empty()) {
    failed(run, cause);
    return false;
  }
  say("recording into %s again", run.options.folder.c_str());
  run.said.clear();
  return true;
}

// The time `behind` samples before `at` (after it where negative).
timespec time_of(const timespec& at, int64_t behind) {
  int64_t ns = int64_t(at.tv_sec) * 1000000000 + at.tv_nsec - behind * 1000000000 / rate;
  return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

// --- A file -----------------------------------------------------------------------------------

struct Output {
  int fd = -1;
  std::string part;
  FLAC__StreamEncoder* encoder = nullptr;
  FLAC__StreamMetadata* tags = nullptr;
  int error = 0;  // errno of a write that failed
  std::string name;
  uint64_t samples = 0;
};

FLAC__StreamEncoderWriteStatus write_out(const FLAC__StreamEncoder*, const FLAC__byte bytes[],
                                         size_t size, uint32_t, uint32_t, void* data) {
  auto* out = static_cast<Output*>(data);
  while (size > 0) {
    ssize_t done = write(out->fd, bytes, size);
    if (done < 0 && errno == EINTR) {
      continue;
    }
    if (done <= 0) {
      out->error = done < 0 ? errno : ENOSPC;
      return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
    bytes += done;
    size -= size_t(done);
  }
  return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus seek_out(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                       void* data) {
  auto* out = static_cast<Output*>(data);
  return lseek(out->fd, off_t(offset), SEEK_SET) < 0 ? FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR
                                                     : FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus tell_out(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                       void* data) {
  off_t at = lseek(static_cast<Output*>(data)->fd, 0, SEEK_CUR);
  *offset = FLAC__uint64(at);
  return at < 0 ? FLAC__STREAM_ENCODER_TELL_STATUS_ERROR : FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

void add_tag(FLAC__StreamMetadata* tags, const char* name, const std::string& value) {
  FLAC__StreamMetadata_VorbisComment_Entry entry;
  if (FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, name, value.c_str())) {
    FLAC__metadata_object_vorbiscomment_append_comment(tags, entry, false);
  }
}

// The file's name (without a number or ".flac") and tags, from the time its first sample came.
void describe(const Run& run, const Job& job, Output& out) {
  tm local{};
  localtime_r(&job.began.tv_sec, &local);
  char name[64], date[64], zone[8];
  strftime(name, sizeof name, "%Y-%m-%d_%H%M%S", &local);
  strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  strftime(zone, sizeof zone, "%z", &local);  // +0100, which ISO 8601 writes +01:00
  char iso[96];
  snprintf(iso, sizeof iso, "%s.%03ld%.3s:%s", date, job.began.tv_nsec / 1000000, zone, zone + 3);
  out.name = name;
  if (!run.khz.empty()) {
    out.name += "_" + run.khz + "kHz";
  }
  if (job.unsynced) {
    out.name += "_unsynced";
  }
  out.tags = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
  add_tag(out.tags, "DATE", iso);
  if (!run.khz.empty()) {
    add_tag(out.tags, "FREQUENCY", run.khz + " kHz");
    add_tag(out.tags, "TITLE", run.khz + " kHz, " + iso);
  }
  if (!run.demod.empty()) {
    add_tag(out.tags, "DEMODULATION", run.demod);
  }
  if (job.unsynced) {
    add_tag(out.tags, "CLOCK", "not synchronised: the time may be wrong");
  }
  add_tag(out.tags, "ENCODER", "orvctl-record " ORVCTL_VERSION);
}

// Lets go of the encoder and tags; the file's descriptor is gone by then, so that nothing the
// encoder still flushes reaches a descriptor the number may name now.
void close_output(Output& out) {
  out.fd = -1;
  if (out.encoder != nullptr) {
    FLAC__stream_encoder_delete(out.encoder);
  }
  if (out.tags != nullptr) {
    FLAC__metadata_object_delete(out.tags);
  }
  out.encoder = nullptr;
  out.tags = nullptr;
}

// Starts the file of `job`; false (with `errno` or out.error) when it cannot be made.
bool start_output(Run& run, const Job& job, Output& out) {
  out = Output{};
  describe(run, job, out);
  out.fd = make_file(run, out.part);
  if (out.fd < 0) {
    out.error = errno;
    close_output(out);
    return false;
  }
  out.encoder = FLAC__stream_encoder_new();
  FLAC__stream_encoder_set_channels(out.encoder, 1);
  FLAC__stream_encoder_set_bits_per_sample(out.encoder, 16);
  FLAC__stream_encoder_set_sample_rate(out.encoder, rate);
  FLAC__stream_encoder_set_compression_level(out.encoder, 5);
  FLAC__stream_encoder_set_metadata(out.encoder, &out.tags, 1);
  if (FLAC__stream_encoder_init_stream(out.encoder, write_out, seek_out, tell_out, nullptr, &out) !=
      FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
    out.error = out.error != 0 ? out.error : EIO;
    drop_file(run, out.fd, out.part);
    close_output(out);
    return false;
  }
  return true;
}

bool encode(Output& out, const int16_t* samples, size_t count) {
  FLAC__int32 wide[4096];
  while (count > 0) {
    size_t n = std::min(count, sizeof wide / sizeof wide[0]);
    std::copy(samples, samples + n, wide);
    if (!FLAC__stream_encoder_process_interleaved(out.encoder, wide, uint32_t(n))) {
      out.error = out.error != 0 ? out.error : EIO;
      return false;
    }
    samples += n;
    count -= n;
    out.samples += n;
  }
  return true;
}

// Gives the whole file its name in the folder: the first of NAME.flac, NAME-2.flac, ... that does
// not exist, never replacing one.
bool name_file(Run& run, Output& out) {
  std::string self = "/proc/self/fd/" + std::to_string(out.fd);
  for (int n = 1; n < 1000; ++n) {
    std::string name = out.name;
    if (n > 1) {
      name += '-';
      name += std::to_string(n);
    }
    name += ".flac";
    int done = !out.part.empty()
                   ? renameat2(run.folder_fd, out.part.c_str(), run.folder_fd, name.c_str(),
                               RENAME_NOREPLACE)
                   : linkat(AT_FDCWD, self.c_str(), run.folder_fd, name.c_str(), AT_SYMLINK_FOLLOW);
    if (done == 0) {
      out.name = name;
      return true;
    }
    if (errno != EEXIST) {
      out.error = errno;
      return false;
    }
  }
  out.error = EEXIST;
  return false;
}

// Whether the folder's path still leads to the folder held, or to another that can be recorded
// into (the folder moved away and made anew), said; false, said, where it leads to none.
bool same_folder(Run& run) {
  if (!folder_moved(run)) {
    return true;
  }
  std::string cause = open_folder(run);
  if (!cause.empty()) {
    failed(run, "it was moved or removed while recording, and " +
                    (cause == strerror(ENOENT) ? std::string("is not there any more") : cause));
    return false;
  }
  say("the folder %s was moved or removed while recording: recording into the one there now",
      run.options.folder.c_str());
  return true;
}

// Where the folder's path leads elsewhere now, the file is moved into the folder there: copied
// through its descriptor, as it may be another file system.
bool follow_folder(Run& run, Output& out) {
  int old_fd = dup(run.folder_fd);
  dev_t old_dev = run.folder_dev;
  ino_t old_ino = run.folder_ino;
  if (!same_folder(run)) {
    close(old_fd);
    out.error = 0;
    return false;
  }
  if (run.folder_dev == old_dev && run.folder_ino == old_ino) {
    close(old_fd);
    return true;
  }
  std::string part;
  int fd = make_file(run, part);
  bool moved = fd >= 0 && lseek(out.fd, 0, SEEK_SET) == 0;
  char bytes[65536];
  ssize_t n = 0;
  while (moved && (n = read(out.fd, bytes, sizeof bytes)) > 0) {
    moved = write(fd, bytes, size_t(n)) == n;
  }
  out.error = moved && n == 0 ? 0 : errno;
  if (!out.part.empty()) {
    unlinkat(old_fd, out.part.c_str(), 0);
  }
  close(out.fd);
  close(old_fd);
  out.fd = fd;
  out.part = part;
  return moved && n == 0;
}

// Finishes the file: whole, on the disk, and named. Says why not where it fails.
bool finish_output(Run& run, Output& out) {
  bool whole = FLAC__stream_encoder_finish(out.encoder) && out.error == 0;
  if (whole && fsync(out.fd) != 0) {
    whole = false;
    out.error = errno;
  }
  bool kept = whole && follow_folder(run, out) && name_file(run, out);
  if (!kept && out.fd >= 0) {
    drop_file(run, out.fd, out.part);
  }
  if (!kept && out.error != 0) {
    failed(run, strerror(out.error));
  }
  if (kept) {
    close(out.fd);
  }
  close_output(out);
  return kept;
}

// --- The writer -------------------------------------------------------------------------------

// The writer: each job in turn, into its file, as the reader hands its samples over.
void write_jobs(Run& run) {
  Shared& shared = run.shared;
  const uint64_t size = shared.ring.size();
  std::vector<int16_t> chunk(4800);
  bool said_drop = false;
  std::unique_lock<std::mutex> held(shared.lock);
  while (true) {
    shared.changed.wait_for(held, std::chrono::seconds(1),
                            [&] { return !shared.jobs.empty() || shared.ended; });
    if (shared.jobs.empty()) {
      if (shared.ended) {
        return;
      }
      held.unlock();
      folder_ready(run);  // the retry every 10 s, said when it succeeds
      held.lock();
      continue;
    }
    Job job = shared.jobs.front();
    held.unlock();
    Output out;
    bool writing = folder_ready(run) && same_folder(run) && start_output(run, job, out);
    if (!writing && run.said.empty()) {
      failed(run, strerror(out.error != 0 ? out.error : errno));
    }
    bool gap = false;
    uint64_t at = job.from;
    held.lock();
    while (true) {
      Job& now = shared.jobs.front();
      shared.changed.wait(held,
                          [&] { return shared.written > at || now.to <= at || shared.ended; });
      // Samples overwritten before the writer took them: it fell further behind than memory holds.
      uint64_t oldest = shared.written > size ? shared.written - size + rate / 4 : 0;
      if (at < oldest) {
        if (writing) {
          run.counts.samples_dropped += oldest - at;
          if (!said_drop) {
            say("dropped %.2f s of a transmission: the folder's writes fell more than %.0f s "
                "behind",
                double(oldest - at) / rate, held_seconds);
          }
          said_drop = gap = true;
          // The file keeps what came before the gap; what comes after goes into a new one.
          now.from = oldest;
          now.began = time_of(job.began, -int64_t(oldest - job.began_at));
          now.began_at = oldest;
          break;
        }
        at = oldest;
      }
      uint64_t end = std::min(shared.written, now.to);
      size_t n = size_t(std::min<uint64_t>(end > at ? end - at : 0, chunk.size()));
      for (size_t i = 0; writing && i < n; ++i) {
        chunk[i] = shared.ring[(at + i) % size];
      }
      bool done = now.to <= at + n || (shared.ended && shared.written <= at + n);
      held.unlock();
      if (writing && n > 0 && !encode(out, chunk.data(), n)) {
        writing = false;
        drop_file(run, out.fd, out.part);
        close_output(out);
        failed(run, strerror(out.error));
      }
      at += n;
      held.lock();
      if (done) {
        shared.jobs.pop_front();
        break;
      }
    }
    held.unlock();
    if (writing && out.samples == 0) {
      // (A gap before the file's first sample: nothing to keep of it.)
      drop_file(run, out.fd, out.part);
      close_output(out);
      held.lock();
      continue;
    }
    const bool kept = writing && finish_output(run, out);
    held.lock();  // (the counts are read by the reader, for the metrics)
    if (kept) {
      run.counts.recordings += 1;
      run.counts.samples_kept += out.samples;
      run.counts.last_recording = time(nullptr);
      said_drop = said_drop && gap;
    } else {
      run.counts.failures += 1;
    }
  }
}

// --- The metrics ------------------------------------------------------------------------------

// Every 15 s, while the input comes and while it does not, the counts in Prometheus's text format
// as orvctl-record.prom in the folder ORVCTL_METRICS names (beside orvctl's own): written whole
// under a temporary name and renamed.
constexpr int metrics_every_ms = 15000;

void open_metrics(Run& run) {
  const char* folder = getenv("ORVCTL_METRICS");
  if (folder == nullptr || *folder == '\0') {
    return;
  }
  run.metrics_folder = folder;
  run.metrics_fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (run.metrics_fd < 0) {
    say("cannot write the metrics into %s: %s; recording goes on", folder, strerror(errno));
    run.metrics_said = true;
  }
}

void write_metrics(Run& run) {
  if (run.metrics_fd < 0) {
    return;
  }
  Counts counts;
  {
    std::lock_guard<std::mutex> held(run.shared.lock);
    counts = run.counts;
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::string text;
  auto metric = [&](const char* name, const char* type, const char* help, double value) {
    char line[512];
    snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s %s\n%s{frequency_khz=\"%s\"} %.15g\n",
             name, help, name, type, name, run.khz.c_str(), value);
    text += line;
  };
  metric("orvctl_record_recordings_total", "counter", "Transmissions kept as files.",
         double(counts.recordings));
  metric("orvctl_record_kept_seconds_total", "counter", "Seconds of audio kept in those files.",
         double(counts.samples_kept) / rate);
  metric("orvctl_record_failures_total", "counter",
         "Transmissions (or their files) that could not be kept: the folder missing, full or "
         "refused, a write that failed.",
         double(counts.failures));
  metric("orvctl_record_dropped_seconds_total", "counter",
         "Seconds of transmissions lost because the folder's writes fell more than 60 s behind.",
         double(counts.samples_dropped) / rate);
  if (counts.last_recording != 0) {
    metric("orvctl_record_last_recording_timestamp_seconds", "gauge",
           "When the last file was kept, in seconds since the epoch.",
           double(counts.last_recording));
  }
  metric("orvctl_record_metrics_updated_timestamp_seconds", "gauge",
         "When this file was written (every 15 s), in seconds since the epoch.",
         double(now.tv_sec) + double(now.tv_nsec) / 1e9);
  const char* temporary = ".orvctl-record.prom.tmp";
  int fd = openat(run.metrics_fd, temporary,
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  int error = fd < 0 ? errno : 0;
  if (fd >= 0) {
    ssize_t written = write(fd, text.data(), text.size());
    error = written == ssize_t(text.size()) ? 0 : written < 0 ? errno : ENOSPC;
    close(fd);
    if (error == 0 &&
        renameat(run.metrics_fd, temporary, run.metrics_fd, "orvctl-record.prom") != 0) {
      error = errno;
    }
    if (error != 0) {
      unlinkat(run.metrics_fd, temporary, 0);
    }
  }
  if (error != 0 && !run.metrics_said) {
    say("cannot write the metrics into %s: %s; recording goes on", run.metrics_folder.c_str(),
        strerror(error));
  }
  run.metrics_said = error != 0;
}

// --- The reader -------------------------------------------------------------------------------

int signalled[2] = {-1, -1};

void on_stop(int) {
  int saved = errno;
  char byte = 1;
  ssize_t ignored = write(signalled[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

// Finds the transmissions in the input as it comes, sample by sample.
struct Detector {
  int32_t threshold;
  uint64_t hang, pre_roll, minimum, longest;
  bool active = false, confirmed = false;
  uint64_t first = 0, last = 0;  // the first and last sample above the level
  timespec first_time{};
  bool said_long = false;
};

// Takes `count` samples that arrived at `arrived` (the last of them then), and hands the reader's
// findings to the writer. Called with the shared lock held.
void detect(Run& run, Detector& d, const int16_t* samples, size_t count, const timespec& arrived) {
  Shared& shared = run.shared;
  const uint64_t size = shared.ring.size();
  for (size_t i = 0; i < count; ++i) {
    uint64_t n = shared.written++;
    shared.ring[n % size] = samples[i];
    bool loud = std::abs(int32_t(samples[i])) > d.threshold;
    if (!d.active) {
      if (!loud) {
        continue;
      }
      d.active = true;
      d.confirmed = d.said_long = false;
      d.first = d.last = n;
      d.first_time = time_of(arrived, int64_t(count - 1 - i));
    }
    if (loud) {
      d.last = n;
    }
    if (!d.confirmed && d.last + 1 - d.first >= d.minimum) {
      d.confirmed = true;
      uint64_t from = d.first >= d.pre_roll ? d.first - d.pre_roll : 0;
      shared.jobs.push_back(Job{from, open_end, d.first_time, d.first, clock_unsynced()});
    }
    if (n + 1 - d.last > d.hang) {
      if (d.confirmed) {
        shared.jobs.back().to = n + 1;
      }
      d.active = false;
      continue;
    }
    // A carrier that does not end: files of the longest length, one after another.
    if (d.confirmed && n + 1 - shared.jobs.back().from >= d.longest) {
      shared.jobs.back().to = n + 1;
      if (!d.said_long) {
        say("a transmission longer than %.0f s (a stuck carrier?): kept as files of %.0f s",
            run.options.longest, run.options.longest);
      }
      d.said_long = true;
      timespec next = time_of(arrived, int64_t(count - 1 - i) - 1);
      shared.jobs.push_back(Job{n + 1, open_end, next, n + 1, clock_unsynced()});
    }
  }
}

// Reads the input until its end, or a stop (what the pipe already holds is still taken).
void read_input(Run& run) {
  const Options& o = run.options;
  Detector d{int32_t(std::floor(32768 * std::pow(10.0, o.level_db / 20))), samples_of(o.hang),
             samples_of(o.pre_roll), samples_of(o.minimum), samples_of(o.longest)};
  unsigned char bytes[65536 + 1];
  size_t carried = 0;  // an odd byte of the last read
  bool stopping = false;
  timespec due{};
  clock_gettime(CLOCK_MONOTONIC, &due);
  while (true) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t wait_ms = (due.tv_sec - now.tv_sec) * 1000 + (due.tv_nsec - now.tv_nsec) / 1000000;
    if (wait_ms <= 0) {
      write_metrics(run);
      due = now;
      due.tv_sec += metrics_every_ms / 1000;
      wait_ms = metrics_every_ms;
    }
    pollfd fds[2] = {{0, POLLIN, 0}, {signalled[0], POLLIN, 0}};
    int ready = stopping ? 1 : poll(fds, 2, int(wait_ms));
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (ready == 0) {
      continue;  // nothing came: the metrics are due
    }
    if (!stopping && (fds[1].revents & POLLIN) != 0) {
      stopping = true;
      fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    }
    ssize_t n = read(0, bytes + carried, sizeof bytes - 1 - carried);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    timespec arrived{};
    clock_gettime(CLOCK_REALTIME, &arrived);
    size_t total = carried + size_t(n);
    size_t count = total / 2;
    int16_t samples[sizeof bytes / 2];
    for (size_t i = 0; i < count; ++i) {
      samples[i] = int16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
    carried = total % 2;
    bytes[0] = bytes[total - 1];
    {
      std::lock_guard<std::mutex> held(run.shared.lock);
      detect(run, d, samples, count, arrived);
    }
    run.shared.changed.notify_all();
  }
  std::lock_guard<std::mutex> held(run.shared.lock);
  // The transmission under way ends with the input: kept if its sound lasted the minimum.
  if (d.active && d.confirmed) {
    run.shared.jobs.back().to = run.shared.written;
  }
  run.shared.ended = true;
  run.shared.changed.notify_all();
}

}  // namespace

int main(int argc, char** argv) {
  Run run;
  if (!parse_options(argc, argv, run.options)) {
    say("usage: orvctl-record [--level DB] [--hang SECONDS] [--pre-roll SECONDS] [--minimum "
        "SECONDS] [--longest SECONDS] FOLDER");
    // The input still read away, so that the run that started this one plays on.
    char bytes[65536];
    while (read(0, bytes, sizeof bytes) > 0 || errno == EINTR) {
    }
    return 2;
  }
  const char* khz = getenv("ORVCTL_KHZ");
  if (khz != nullptr && *khz != '\0' && strspn(khz, "0123456789") == strlen(khz) &&
      strlen(khz) <= 10) {
    run.khz = khz;
  }
  const char* demod = getenv("ORVCTL_DEMOD");
  if (demod != nullptr && strlen(demod) <= 32) {
    run.demod = demod;
  }
  const Options& o = run.options;
  run.shared.ring.resize(samples_of(held_seconds + o.pre_roll + o.minimum + o.hang + 1));

  clock_unsynced();  // (what it reads once, read before the writer starts)
  open_metrics(run);
  // The first check of the folder: said at once when it cannot be recorded into.
  std::string cause = try_folder(run);
  if (!cause.empty()) {
    failed(run, cause);
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
  std::thread writer(write_jobs, std::ref(run));
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  read_input(run);
  writer.join();
  write_metrics(run);  // what the run ends with
  return 0;
}
