// orvctl-record fed a stream of samples as ALSA's file plugin feeds it, with the world around it
// made hostile: another user's files in its folder, the folder replaced, a disk that stalls, a stop
// mid-transmission, a carrier that does not end. Each file must be an exact slice of the input.
#include <FLAC/stream_decoder.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "testing/month.h"
#include "testing/run_process.h"

namespace {

constexpr int rate = 48000;
using Clock = std::chrono::system_clock;

// Input: seconds of silence or of sound (a pattern that is never quiet and never repeats soon, so
// that a slice found in a file can only be the one it came from).
struct Segment {
  double seconds;
  bool sound;
};

std::vector<int16_t> make_input(const std::vector<Segment>& segments) {
  std::vector<int16_t> samples;
  for (const Segment& s : segments) {
    for (long i = 0; i < long(s.seconds * rate + 0.5); ++i) {
      long n = long(samples.size());
      uint64_t z = uint64_t(n) * 0x9e3779b97f4a7c15u;  // (splitmix64's mix)
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
      samples.push_back(s.sound ? int16_t(1000 + (z ^ (z >> 31)) % 20000) : 0);
    }
  }
  return samples;
}

enum class Act {
  stall,
  unstall,
  interrupt,
  terminate,
  replace,
  remove,
  pause,
  step_back,
  make,
  unfill
};

// What the test does once the input is fed up to `at` seconds.
struct Event {
  double at;
  Act act;
  int ms = 0;  // for pause
};

// An expected file: input seconds [from, to), in the folder (0) or the folder moved away (1).
struct Span {
  double from, to;
  int folder = 0;
};

struct Row {
  const char* name;
  std::vector<Segment> input;
  std::vector<Span> files;
  std::vector<std::string> said;  // what standard error says, a part of each line, in order
  std::vector<Event> events = {};
  double speed = 0;  // 1: fed in real time, 20: twenty times as fast; 0: as fast as it is taken
  std::vector<std::string> options = {};
  std::vector<std::pair<std::string, std::string>> env = {};
  std::function<void(const std::string& folder)> prepare = nullptr;
  int recorders = 1;
  bool dropped = false;  // the files and what is said dropped make up the one transmission
  int failures = 0;      // transmissions the metrics count as not kept
  // The folder a file system of its own of this size (run as root; skipped otherwise), holding
  // first the user's own recordings `old` (oldest first, 400 KiB each, days old), of which only
  // `old_kept` must be there afterwards.
  int tmpfs_kib = 0;
  std::vector<std::string> old = {};
  std::vector<std::string> old_kept = {};
};

struct Recording {
  std::vector<int16_t> samples;
  std::string name, date;
};

FLAC__StreamDecoderWriteStatus decoded(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                       const FLAC__int32* const buffer[], void* data) {
  auto* r = static_cast<Recording*>(data);
  for (unsigned i = 0; i < frame->header.blocksize; ++i) {
    r->samples.push_back(int16_t(buffer[0][i]));
  }
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void tagged(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* m, void* data) {
  for (unsigned i = 0;
       m->type == FLAC__METADATA_TYPE_VORBIS_COMMENT && i < m->data.vorbis_comment.num_comments;
       ++i) {
    const auto& entry = m->data.vorbis_comment.comments[i];
    std::string tag(reinterpret_cast<char*>(entry.entry), entry.length);
    if (tag.rfind("DATE=", 0) == 0) {
      static_cast<Recording*>(data)->date = tag.substr(5);
    }
  }
}

void failed_decode(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* data) {
  static_cast<Recording*>(data)->samples.clear();
}

std::vector<Recording> recordings_in(const std::string& folder) {
  std::vector<Recording> found;
  DIR* dir = opendir(folder.c_str());
  for (dirent* e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
    std::string name = e->d_name;
    struct stat st {};
    if (name == "." || name == ".." || lstat((folder + "/" + name).c_str(), &st) != 0 ||
        st.st_uid != geteuid() || !S_ISREG(st.st_mode)) {
      continue;  // (another user's)
    }
    if (name.ends_with(".tsv") || name == ".orvctl-record.lock") {
      continue;  // (the lists, and their lock)
    }
    Recording r;
    r.name = name;
    FLAC__StreamDecoder* d = FLAC__stream_decoder_new();
    FLAC__stream_decoder_set_metadata_respond(d, FLAC__METADATA_TYPE_VORBIS_COMMENT);
    FLAC__stream_decoder_init_file(d, (folder + "/" + name).c_str(), decoded, tagged, failed_decode,
                                   &r);
    FLAC__stream_decoder_process_until_end_of_stream(d);
    FLAC__stream_decoder_delete(d);
    found.push_back(r);
  }
  if (dir != nullptr) {
    closedir(dir);
  }
  std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.name < b.name; });
  return found;
}

std::vector<std::string> lines_in(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The folder's lists: each recording of `found` on one line of its day's list, with its length and
// its largest sample; no line of a file that is not there; each day's count in days.tsv.
void expect_lists(const std::string& folder, const std::vector<Recording>& found) {
  std::map<std::string, std::string> listed;
  std::map<std::string, int> per_day;
  DIR* dir = opendir(folder.c_str());
  for (dirent* e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
    const std::string list = e->d_name;
    if (list.size() != 14 || !list.ends_with(".tsv")) {
      continue;
    }
    for (const std::string& line : lines_in(folder + "/" + list)) {
      const std::string name = line.substr(0, line.find('\t'));
      EXPECT_EQ(listed.count(name), 0u) << name << " listed twice";
      EXPECT_EQ(name.substr(0, 10), list.substr(0, 10)) << name << " in " << list;
      EXPECT_EQ(access((folder + "/" + name).c_str(), F_OK), 0) << name << " listed, not there";
      listed[name] = line;
      per_day[list.substr(0, 10)] += 1;
    }
  }
  if (dir != nullptr) {
    closedir(dir);
  }
  std::map<std::string, int> counted;
  for (const std::string& line : lines_in(folder + "/days.tsv")) {
    counted[line.substr(0, 10)] = std::stoi(line.substr(11));
  }
  EXPECT_EQ(counted, per_day) << "days.tsv in " << folder;
  for (const Recording& r : found) {
    int peak = 0;
    for (const int16_t sample : r.samples) {
      peak = std::max(peak, std::abs(int(sample)));
    }
    char figures[64];
    snprintf(figures, sizeof figures, "\t145500\t%.2f\t%.1f", double(r.samples.size()) / 48000,
             20 * std::log10(peak / 32768.0));
    const std::string& line = listed[r.name];
    EXPECT_TRUE(line.ends_with(figures)) << r.name << " listed as \"" << line << "\"";
  }
}

struct Recorder {
  pid_t pid;
  int input;
  std::string err;
};

// A system call filter on the calls that read the clock's state (ntp_adjtime): allowed, as the
// service's unit has it, or ending the process, as a filter that does not know them does.
void filter_clock_calls(bool allow) {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clock_adjtime, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_adjtimex, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, allow ? SECCOMP_RET_ALLOW : SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{sizeof code / sizeof code[0], code};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    _exit(126);
  }
}

Recorder start(const Row& row, const std::vector<std::string>& arguments, const std::string& work,
               int n) {
  Recorder r{-1, -1, work + "/err" + std::to_string(n)};
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {  // (another recorder's input ends when the test closes it)
    std::abort();
  }
  std::vector<std::string> args = {ORVCTL_RECORD_PATH};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::string folder = arguments.empty() ? "" : arguments.back();
  std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
  std::map<std::string, std::string> env = {{"LD_PRELOAD", ORVTEST_RECORD_SHIM},
                                            {"ASAN_OPTIONS", asan + ":verify_asan_link_order=0"},
                                            {"ORVTEST_CLOCK", "synced"},
                                            {"ORVTEST_STALL_WHILE", work + "/stall"},
                                            {"ORVTEST_STALL_DIR", folder},
                                            {"ORVCTL_KHZ", "145500"},
                                            {"ORVCTL_METRICS", work + "/metrics"},
                                            {"ORVTEST_STEP_BACK_WHILE", work + "/step"},
                                            {"TZ", "UTC"}};
  for (auto& [k, v] : row.env) {
    env[k] = v;
  }
  r.pid = fork();
  if (r.pid == 0) {
    dup2(fds[0], 0);
    close(fds[0]);
    close(fds[1]);
    int err = open(r.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    for (auto& [k, v] : env) {
      setenv(k.c_str(), v.c_str(), 1);
    }
    if (env.count("ORVTEST_SECCOMP") != 0) {
      filter_clock_calls(env["ORVTEST_SECCOMP"] == "allow");
    }
    std::vector<char*> argv;
    for (auto& a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[0]);
  r.input = fds[1];
  return r;
}

// Waits up to `seconds` for the recorder's end; its status, or -1 (killed then).
int finish(Recorder& r, int seconds) {
  for (int i = 0; i < seconds * 100; ++i) {
    int status = 0;
    if (waitpid(r.pid, &status, WNOHANG) == r.pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    usleep(10000);
  }
  kill(r.pid, SIGKILL);
  waitpid(r.pid, nullptr, 0);
  return -1;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

// The time of day the DATE tag gives, as seconds since the epoch (UTC, as the recorder is run).
double date_seconds(const std::string& date) {
  tm t{};
  const char* rest = strptime(date.c_str(), "%Y-%m-%dT%H:%M:%S", &t);
  return rest ? double(timegm(&t)) + atof(rest) : 0;  // ".123+00:00": the fraction
}

// Where `file` lies in `input`: placed by its first sixteen samples of sound, then compared whole;
// -1 if it is not there.
long slice_at(const std::vector<int16_t>& input, const std::vector<int16_t>& file) {
  auto sound = std::find_if(file.begin(), file.end(), [](int16_t s) { return s != 0; });
  if (file.end() - sound < 16) {
    return -1;
  }
  auto found = std::search(input.begin(), input.end(), sound, sound + 16);
  long at = long(found - input.begin()) - long(sound - file.begin());
  if (found == input.end() || at < 0 || at + long(file.size()) > long(input.size()) ||
      !std::equal(file.begin(), file.end(), input.begin() + at)) {
    return -1;
  }
  return at;
}

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

class RecordTest : public ::testing::TestWithParam<Row> {};

void chown_to_nobody(const std::string& path) {
  ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0);
}

// Another user's things at every name the recorder could give a recording in the next seconds:
// links to a file of ours, a FIFO, a file of theirs; the folder shared, sticky, as /tmp is.
void hostile(const std::string& folder) {
  chmod(folder.c_str(), 01777);
  std::string victim = folder + "/../victim";
  FILE* f = fopen(victim.c_str(), "w");
  fputs("ours", f);
  fclose(f);
  chmod(victim.c_str(), 0600);
  char name[64];
  for (time_t t = time(nullptr) - 1; t < time(nullptr) + 30; ++t) {
    tm local{};
    gmtime_r(&t, &local);
    strftime(name, sizeof name, "%Y-%m-%d_%H%M%S_145500kHz", &local);
    std::string base = folder + "/" + name;
    ASSERT_EQ(symlink(victim.c_str(), (base + ".flac").c_str()), 0);
    ASSERT_EQ(mkfifo((base + "-2.flac").c_str(), 0666), 0);
    close(open((base + "-3.flac").c_str(), O_CREAT | O_WRONLY, 0666));
    for (const char* suffix : {".flac", "-2.flac", "-3.flac"}) {
      chown_to_nobody(base + suffix);
    }
  }
}

// Another user's things in the form of the recordings' names, older than any: a file, a link to
// a file of ours, a FIFO.
void theirs_in_the_form(const std::string& folder) {
  const std::string base = folder + "/2025-12-0";
  close(open((base + "1_120000_145500kHz.flac").c_str(), O_CREAT | O_WRONLY, 0666));
  ASSERT_EQ(symlink((folder + "/../victim").c_str(), (base + "2_120000_145500kHz.flac").c_str()),
            0);
  ASSERT_EQ(mkfifo((base + "3_120000_145500kHz.flac").c_str(), 0666), 0);
  for (const char* day : {"1", "2", "3"}) {
    chown_to_nobody(base + day + "_120000_145500kHz.flac");
    // Older than every recording of the user's, by their times as by their names: first in line.
    const timespec when[2] = {{1764590400, 0}, {1764590400, 0}};
    utimensat(AT_FDCWD, (base + day + "_120000_145500kHz.flac").c_str(), when, AT_SYMLINK_NOFOLLOW);
  }
}

// Another file of the user's (not a recording) taking `kib` of the folder's file system.
void fill(const std::string& folder, int kib) {
  const int fd = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  std::vector<char> bytes(size_t(kib) << 10, 'x');
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  close(fd);
}

TEST_P(RecordTest, KeepsEachTransmissionWhole) {
  const Row& row = GetParam();
  if (row.prepare != nullptr && geteuid() != 0) {
    GTEST_SKIP() << "another user's files need root to make";
  }
  std::string work = make_temp_dir();
  std::string folder = work + "/recordings";
  mkdir(folder.c_str(), 0755);
  mkdir((work + "/metrics").c_str(), 0755);
  if (row.tmpfs_kib > 0) {
    const std::string size = "size=" + std::to_string(row.tmpfs_kib) + "k";
    if (geteuid() != 0 || mount("tmpfs", folder.c_str(), "tmpfs", 0, size.c_str()) != 0) {
      GTEST_SKIP() << "a file system of its own needs root to mount";
    }
    chmod(folder.c_str(), 0755);
  }
  for (size_t i = 0; i < row.old.size(); ++i) {
    const std::string path = folder + "/" + row.old[i];
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    std::vector<char> bytes(400 << 10, 'x');
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    const timespec then[2] = {{time(nullptr) - 86400 * 10 + long(i) * 3600, 0},
                              {time(nullptr) - 86400 * 10 + long(i) * 3600, 0}};
    futimens(fd, then);
    close(fd);
  }
  if (!row.old.empty()) {
    // Listed as a recorder lists them, with one more whose file was deleted while none ran: its
    // line goes at the start, the others' as the bounds delete them.
    std::map<std::string, std::string> lists;
    for (const std::string& name : row.old) {
      lists[name.substr(0, 10)] += name + "\t0.000\t145500\t8.53\t-20.0\n";
    }
    lists["2026-11-01"] += "2026-11-01_130000_145500kHz.flac\t0.000\t145500\t1.00\t-20.0\n";
    std::string days;
    for (const auto& [day, text] : lists) {
      std::ofstream(folder + "/" + day + ".tsv") << text;
      days += day + "\t" + std::to_string(std::count(text.begin(), text.end(), '\n')) + "\n";
    }
    std::ofstream(folder + "/days.tsv") << days;
  }
  if (row.prepare != nullptr) {
    row.prepare(folder);
  }
  // What others put in the folder, which must be there afterwards as it was.
  std::map<std::string, std::pair<ino_t, mode_t>> theirs;
  DIR* listed = opendir(folder.c_str());
  for (dirent* e; listed != nullptr && (e = readdir(listed)) != nullptr;) {
    struct stat st {};
    if (lstat((folder + "/" + e->d_name).c_str(), &st) == 0 && st.st_uid != geteuid()) {
      theirs[e->d_name] = {st.st_ino, st.st_mode};
    }
  }
  if (listed != nullptr) {
    closedir(listed);
  }
  std::vector<int16_t> input = make_input(row.input);
  std::vector<Recorder> recorders;
  for (int n = 0; n < row.recorders; ++n) {
    std::vector<std::string> args = row.options;
    args.push_back(folder);
    recorders.push_back(start(row, args, work, n));
  }
  // Fed in blocks of 50 ms; the events at their times; the wall-clock time of each block.
  std::vector<double> fed;
  auto begun = Clock::now();
  size_t next = 0;
  bool stopped = false;
  const size_t block = rate / 20;
  for (size_t at = 0; at <= input.size() && !stopped; at += block) {
    for (; next < row.events.size() && row.events[next].at * rate <= at; ++next) {
      const Event& e = row.events[next];
      if (e.act == Act::stall) {
        close(open((work + "/stall").c_str(), O_CREAT | O_WRONLY, 0644));
      } else if (e.act == Act::unstall) {
        unlink((work + "/stall").c_str());
      } else if (e.act == Act::interrupt || e.act == Act::terminate) {
        kill(recorders[0].pid, e.act == Act::interrupt ? SIGINT : SIGTERM);
        stopped = true;  // nothing fed after a stop; the input stays open
      } else if (e.act == Act::replace) {
        ASSERT_EQ(rename(folder.c_str(), (folder + ".old").c_str()), 0);
        mkdir(folder.c_str(), 0755);
      } else if (e.act == Act::remove) {
        ASSERT_EQ(system(("rm -rf " + folder).c_str()), 0);
      } else if (e.act == Act::step_back) {
        close(open((work + "/step").c_str(), O_CREAT | O_WRONLY, 0644));
      } else if (e.act == Act::make) {
        mkdir(folder.c_str(), 0755);
      } else if (e.act == Act::unfill) {
        unlink((folder + "/filler").c_str());
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(e.ms));
      }
    }
    if (row.speed > 0) {
      std::this_thread::sleep_until(begun +
                                    std::chrono::microseconds(long(at * 1e6 / rate / row.speed)));
    }
    size_t n = std::min(block, input.size() - std::min(at, input.size()));
    fed.push_back(std::chrono::duration<double>(Clock::now().time_since_epoch()).count());
    for (Recorder& r : recorders) {
      if (!stopped && n > 0) {
        ASSERT_EQ(write(r.input, input.data() + at, n * 2), ssize_t(n * 2));
      }
    }
    fed.back() = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
  }
  for (Recorder& r : recorders) {
    if (!stopped) {
      close(r.input);
    }
    EXPECT_EQ(finish(r, 60), 0) << "the recorder did not end by itself after the input or a stop";
    close(r.input);
  }

  // Every file an exact slice of the input, as many as expected, named by the time its sound came.
  std::vector<Recording> found[2] = {recordings_in(folder), recordings_in(folder + ".old")};
  // The user's own old recordings: the ones to keep kept, the others deleted.
  for (const std::string& name : row.old) {
    const bool kept = std::count(row.old_kept.begin(), row.old_kept.end(), name) != 0;
    EXPECT_EQ(access((folder + "/" + name).c_str(), F_OK) == 0, kept) << name;
    std::erase_if(found[0], [&](const Recording& r) { return r.name == name; });
  }
  std::erase_if(found[0], [&](const Recording& r) { return r.name == "filler"; });
  expect_lists(folder, found[0]);
  expect_lists(folder + ".old", found[1]);
  std::vector<Span> wanted;
  for (int n = 0; n < row.recorders; ++n) {
    wanted.insert(wanted.end(), row.files.begin(), row.files.end());
  }
  double kept = 0;
  std::vector<std::pair<double, double>> dated;  // (where a file's first sound is, its DATE)
  for (int f = 0; f < 2; ++f) {
    for (const Recording& r : found[f]) {
      ASSERT_FALSE(r.samples.empty()) << r.name << " is empty or not FLAC";
      long at = slice_at(input, r.samples);
      ASSERT_GE(at, 0) << r.name << " is not a slice of the input";
      double from = double(at) / rate;
      double to = from + double(r.samples.size()) / rate;
      kept += to - from;
      dated.push_back({from, date_seconds(r.date)});
      auto match = std::find_if(wanted.begin(), wanted.end(), [&](const Span& s) {
        return s.folder == f && std::abs(s.from - from) < 1e-6 && std::abs(s.to - to) < 1e-6;
      });
      EXPECT_TRUE(row.dropped || match != wanted.end())
          << r.name << " holds " << from << " s to " << to << " s of the input";
      if (match != wanted.end()) {
        wanted.erase(match);
      }
      // Named by the DATE tag's second, the frequency and what the clock said.
      time_t second = time_t(date_seconds(r.date));
      char name[64];
      strftime(name, sizeof name, "%Y-%m-%d_%H%M%S_145500kHz", gmtime(&second));
      // (Where the filter keeps the kernel from being asked, systemd-timesyncd's flag says.)
      bool unsynced =
          std::count(row.env.begin(), row.env.end(),
                     std::pair<std::string, std::string>{"ORVTEST_CLOCK", "unsynced"}) ||
          (std::count(row.env.begin(), row.env.end(),
                      std::pair<std::string, std::string>{"ORVTEST_SECCOMP", "kill"}) &&
           access("/run/systemd/timesync/synchronized", F_OK) != 0);
      EXPECT_EQ(r.name.rfind(std::string(name) + (unsynced ? "_unsynced" : ""), 0), 0u)
          << r.name << " is not named by its DATE tag " << r.date;
      EXPECT_EQ(r.name.find("_unsynced") != std::string::npos, unsynced) << r.name;
      // Its first sound came (was fed) at the DATE tag's time, within 0.25 s, however late the
      // file was written.
      if (row.speed == 1) {
        double sound = from + 0.2;  // (each file begins with its pre-roll)
        size_t b = size_t(sound * rate) / block;
        double came = fed[b] - double((b + 1) * block - 1 - size_t(sound * rate)) / rate;
        EXPECT_NEAR(date_seconds(r.date), came, 0.25) << r.name;
      }
    }
  }
  std::vector<std::string> said = lines_of(read_file(recorders[0].err));
  if (row.dropped) {
    ASSERT_GE(said.size(), 1u);
    double dropped = atof(said[0].c_str() + strlen("orvctl-record: dropped "));
    EXPECT_NEAR(kept + dropped, row.files[0].to - row.files[0].from, 0.011);
    // A file after the gap is named by the time its own first sample came, as the input comes
    // in real time (the transmission's first sound when it was fed, and as much later as that
    // sample is in the input), not by the transmission's first sound.
    const double sound = row.files[0].from + 0.2;
    const size_t b = size_t(sound * rate) / block;
    const double came = fed[b] - double((b + 1) * block - 1 - size_t(sound * rate)) / rate;
    ASSERT_FALSE(dated.empty());
    for (const auto& [from, date] : dated) {
      const double named = std::abs(from + 0.2 - sound) < 1e-6 ? sound : from;
      EXPECT_NEAR(date - came, named - sound, 0.5) << "a file from " << from << " s";
    }
  } else {
    EXPECT_TRUE(wanted.empty()) << wanted.size() << " expected files missing";
  }
  ASSERT_EQ(said.size(), row.said.size()) << read_file(recorders[0].err);
  for (size_t i = 0; i < said.size(); ++i) {
    std::string expected = row.said[i];
    for (size_t at; (at = expected.find("FOLDER")) != std::string::npos;) {
      expected.replace(at, 6, folder);
    }
    EXPECT_NE(said[i].find(expected), std::string::npos) << said[i];
  }
  for (const auto& [name, was] : theirs) {
    struct stat st {};
    EXPECT_TRUE(lstat((folder + "/" + name).c_str(), &st) == 0 && st.st_ino == was.first &&
                st.st_mode == was.second)
        << "another user's " << name << " was taken or changed";
  }
  // The metrics: each recorder its own file, counting its files and the transmissions lost.
  std::vector<std::string> names;
  DIR* metrics = opendir((work + "/metrics").c_str());
  for (dirent* e; metrics != nullptr && (e = readdir(metrics)) != nullptr;) {
    names.push_back(e->d_name);
  }
  if (metrics != nullptr) {
    closedir(metrics);
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> wanted_names = {".", "..", "orvctl-record.prom"};
  if (row.recorders == 2) {
    wanted_names.insert(wanted_names.begin() + 2, "orvctl-record-2.prom");
  }
  EXPECT_EQ(names, wanted_names) << "each recorder its own metrics, nothing else left";
  for (const std::string& name : names) {
    if (name[0] == '.') {
      continue;
    }
    std::string text = read_file(work + "/metrics/" + name);
    auto value = [&](const std::string& metric) {
      size_t at = text.find("\n" + metric + "{frequency_khz=\"145500\"} ");
      return at == std::string::npos ? -1 : atof(text.c_str() + text.find("} ", at) + 2);
    };
    if (!row.dropped) {
      EXPECT_EQ(value("orvctl_record_recordings_total"), double(row.files.size())) << text;
    }
    EXPECT_EQ(value("orvctl_record_failures_total"), row.failures) << text;
    // (0 while the folder is refused: what it last said.)
    const bool refused = !row.said.empty() && row.said.back().rfind("cannot record", 0) == 0;
    EXPECT_EQ(value("orvctl_record_recording"), refused ? 0 : 1) << text;
  }
  if (access((work + "/victim").c_str(), F_OK) == 0) {
    EXPECT_EQ(read_file(work + "/victim"), "ours") << "another user's link was followed";
  }
  for (int f = 0; f < 2; ++f) {
    DIR* dir = opendir((folder + (f ? ".old" : "")).c_str());
    for (dirent* e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
      EXPECT_EQ(std::string(e->d_name).find(".part"), std::string::npos) << "left: " << e->d_name;
    }
    if (dir != nullptr) {
      closedir(dir);
    }
  }
  if (row.tmpfs_kib > 0) {
    umount(folder.c_str());
  }
  ASSERT_EQ(system(("rm -rf " + work).c_str()), 0);
}

const std::string again =
    "; the audio plays on, and recording starts again once the folder can be written";

// Sound at 1-3 s (a 0.5 s pause inside), a 0.2 s blip at 7 s, sound at 11-12 s: with the defaults,
// files from 0.2 s before each sound to 2 s after it, and none for the blip.
const std::vector<Segment> bursts = {{1, false},   {1, true},  {0.5, false},
                                     {0.5, true},  {4, false}, {0.2, true},
                                     {3.8, false}, {1, true},  {3, false}};
const std::vector<Span> burst_files = {{0.8, 5}, {10.8, 14}};

INSTANTIATE_TEST_SUITE_P(
    Rows, RecordTest,
    ::testing::Values(
        Row{"EachTransmissionExactBlipLeftOut", bursts, burst_files, {}},
        Row{"OptionsMoveTheEdges",
            bursts,
            {{0.5, 4}, {6.5, 8.2}, {10.5, 13}},
            {},
            {},
            0,
            {"--hang", "1", "--pre-roll", "0.5", "--minimum", "0.1"}},
        Row{"InputEndingMidTransmission", {{1, false}, {3, true}}, {{0.8, 4}}, {}},
        Row{"StopByInterruptKeepsWhatCame",
            {{1, false}, {3, true}, {3, false}},
            {{0.8, 3}},
            {},
            {{3, Act::interrupt}}},
        Row{"StopWhileTheDiskStalls",
            {{1, false}, {8, true}},
            {{0.8, 5}},
            {},
            {{0, Act::stall}, {5, Act::terminate}, {5, Act::pause, 3000}, {5, Act::unstall}}},
        Row{"DiskStallWithinMemoryLosesNothing",
            {{1, false}, {30, true}, {3, false}},
            {{0.8, 33}},
            {},
            {{0, Act::stall}, {34, Act::pause, 2000}, {34, Act::unstall}}},
        Row{"DiskStallBeyondMemorySaidAndCounted",
            {{1, false}, {90, true}, {3, false}},
            {{0.8, 93}},
            {"s of a transmission: the folder's writes fell more than 60 s behind"},
            {{0, Act::stall}, {94, Act::pause, 2000}, {94, Act::unstall}},
            0,
            {},
            {},
            nullptr,
            1,
            true},
        // (150 s at twenty times real time: the ring goes round twice, nothing lost.)
        Row{"StuckCarrierInFilesOfTheLongest",
            {{1, false}, {150, true}, {2, false}},
            {{0.8, 60.8}, {60.8, 120.8}, {120.8, 153}},
            {"a transmission longer than 60 s (a stuck carrier?): kept as files of 60 s"},
            {},
            20,
            {"--longest", "60"}},
        // (The second transmission comes while the first's file is held up.)
        Row{"NamedWithinAQuarterSecondWhileTheDiskStalls",
            {{0.5, false}, {1, true}, {1.5, false}, {1, true}, {1.5, false}},
            {{0.3, 2}, {2.8, 4.5}},
            {},
            {{0.6, Act::stall}, {5.5, Act::pause, 2000}, {5.5, Act::unstall}},
            1,
            {"--hang", "0.5"}},
        Row{"UnsynchronisedClockSaidInNameAndTag",
            bursts,
            burst_files,
            {},
            {},
            0,
            {},
            {{"ORVTEST_CLOCK", "unsynced"}}},
        Row{"TwoRecordersOnOneFolder", bursts, burst_files, {}, {}, 0, {}, {}, nullptr, 2},
        Row{"AnotherUsersLinksAndFifosNeverOpened",
            bursts,
            burst_files,
            {},
            {},
            0,
            {},
            {},
            hostile},
        Row{"SameWithoutUnnamedFiles",
            bursts,
            burst_files,
            {},
            {},
            0,
            {},
            {{"ORVTEST_CLOCK", "synced"}, {"ORVTEST_NO_TMPFILE", "1"}},
            hostile},
        Row{"FolderReplacedBetweenTransmissions",
            bursts,
            {{0.8, 5, 1}, {10.8, 14}},
            {"the folder FOLDER was moved or removed while recording: recording into the one there "
             "now"},
            {{6, Act::pause, 500}, {6, Act::replace}}},
        // (The file under way, begun before the pause, is kept in the folder it began in, wherever
        // that went.)
        Row{"FolderReplacedMidTransmission",
            bursts,
            {{0.8, 5, 1}, {10.8, 14}},
            {"the folder FOLDER was moved or removed while recording: recording into the one there "
             "now"},
            {{1.5, Act::stall}, {2, Act::pause, 500}, {6, Act::replace}, {6, Act::unstall}}},
        Row{"FolderRemovedSaidNoEmptyFile",
            bursts,
            {{0.8, 5, 1}},
            {"cannot record into FOLDER: it was moved or removed while recording, and is not "
             "there any more" +
             again},
            {{6, Act::pause, 500}, {6, Act::replace}, {6, Act::remove}},
            0,
            {},
            {},
            nullptr,
            1,
            false,
            1},
        Row{"FolderOfAnotherUserRefused",
            bursts,
            {},
            {"cannot record into FOLDER: it belongs to nobody, not to the user recording" + again},
            {},
            0,
            {},
            {},
            [](const std::string& f) { chown_to_nobody(f); },
            1,
            false,
            2},
        Row{"FolderOthersMayWriteRefused",
            bursts,
            {},
            {"cannot record into FOLDER: other users may write to it (mode 0777, no sticky bit)" +
             again},
            {},
            0,
            {},
            {},
            [](const std::string& f) { chmod(f.c_str(), 0777); },
            1,
            false,
            2},
        // Another user's link at the folder's path, in a parent others may write to (as /tmp),
        // leading to a folder of the user's: not followed.
        Row{"FolderThroughAnotherUsersLinkRefused",
            bursts,
            {},
            {"cannot record into FOLDER: it is a link that nobody made" + again},
            {},
            0,
            {},
            {},
            [](const std::string& f) {
              ASSERT_EQ(rename(f.c_str(), (f + ".real").c_str()), 0);
              chmod((f + "/..").c_str(), 01777);
              ASSERT_EQ(symlink((f + ".real").c_str(), f.c_str()), 0);
              chown_to_nobody(f);
            },
            1,
            false,
            2},
        // The folder missing at the start; the clock stepped back an hour before it is made: it is
        // still tried every 10 s while nothing comes (a transmission tries it at once).
        Row{"RetriedThroughABackwardStepOfTheClock",
            {{14, false}},
            {},
            {"cannot record into FOLDER: No such file or directory" + again,
             "recording into FOLDER again"},
            {{0.5, Act::pause, 1000},
             {0.5, Act::step_back},
             {1, Act::make},
             {1, Act::pause, 12000}},
            0,
            {},
            {},
            [](const std::string& f) { rmdir(f.c_str()); }},
        // The clock's state under a system call filter: asked of the kernel where the filter
        // allows it (as the service's unit does, whichever daemon keeps the clock), and the
        // recorder not ended where it does not.
        Row{"ClockStateAskedUnderAFilterThatAllowsIt",
            bursts,
            burst_files,
            {},
            {},
            0,
            {},
            {{"ORVTEST_CLOCK", "synced"}, {"ORVTEST_SECCOMP", "allow"}}},
        // A card of 4 MiB kept 2 MiB free: the oldest of the user's own recordings deleted first,
        // as few as that takes, before a transmission's file; another user's things in the
        // recordings' name form, older still, never.
        Row{.name = "FloorKeptOldestFirstOnlyItsOwn",
            .input = bursts,
            .files = burst_files,
            .said = {"deleted 1 recording (0.4 MiB) from FOLDER to keep 2.0 MiB free; the oldest "
                     "kept: 2026-11-02_120000_145500kHz.flac"},
            .options = {"--keep-free", "2M"},
            .prepare = theirs_in_the_form,
            .tmpfs_kib = 4096,
            .old = {"2026-11-01_120000_145500kHz.flac", "2026-11-02_120000_145500kHz.flac",
                    "2026-11-03_120000_145500kHz.flac", "2026-11-04_120000.flac",
                    "2026-11-05_02B0000_145500kHz_unsynced-2.flac"},
            .old_kept = {"2026-11-02_120000_145500kHz.flac", "2026-11-03_120000_145500kHz.flac",
                         "2026-11-04_120000.flac", "2026-11-05_02B0000_145500kHz_unsynced-2.flac"}},
        // A card filled by another file: nothing of its own to delete, said once; it records on as
        // space allows.
        Row{.name = "FloorNotKeptSaidOnceRecordsOn",
            .input = bursts,
            .files = burst_files,
            .said = {"cannot keep 2.0 MiB free on the file system of FOLDER: "},
            .prepare = [](const std::string& f) { fill(f, 2600); },
            .tmpfs_kib = 4096},
        // Full: the transmission is lost (said, counted); the other file removed, the next one is
        // kept, tried at once, not 10 s later.
        Row{.name = "FolderFilledByAnotherFileThenFreed",
            .input = bursts,
            .files = {{10.8, 14}},
            .said = {"cannot record into FOLDER: No space left on device" + again,
                     "recording into FOLDER again"},
            .events = {{9, Act::pause, 300}, {9, Act::unfill}},
            .prepare = [](const std::string& f) { fill(f, 2000); },
            .failures = 1,
            .tmpfs_kib = 2048},
        Row{"ClockStateUnderAFilterThatForbidsIt",
            bursts,
            burst_files,
            {},
            {},
            0,
            {},
            {{"ORVTEST_CLOCK", "synced"}, {"ORVTEST_SECCOMP", "kill"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Bad command lines (each option's bounds are rows of the options' own test): said with the
// reason, the input still read to its end (the run that feeds it plays on), and a monitor told
// that nothing is recorded. --help is no folder.
TEST(RecordUsage, BadOptionsSaidInputReadAwayMonitorTold) {
  signal(SIGPIPE, SIG_IGN);
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"--hang"}, {"--hang", "0", "--minimum", "0", "f"}}) {
    std::string work = make_temp_dir();
    mkdir((work + "/metrics").c_str(), 0755);
    Recorder r = start(Row{}, args, work, 0);
    std::vector<char> zeros(1 << 20);
    EXPECT_EQ(write(r.input, zeros.data(), zeros.size()), ssize_t(zeros.size()))
        << "the input was not read away: " << ::testing::PrintToString(args);
    close(r.input);
    EXPECT_EQ(finish(r, 60), 2);
    std::string said = read_file(r.err);
    EXPECT_EQ(said.rfind("orvctl-record: ", 0), 0u) << said;
    EXPECT_NE(said.find("; nothing is recorded (usage: orvctl-record [--level DB]"),
              std::string::npos)
        << said;
    EXPECT_NE(read_file(work + "/metrics/orvctl-record.prom")
                  .find("\norvctl_record_recording{frequency_khz=\"145500\"} 0\n"),
              std::string::npos);
    ASSERT_EQ(system(("rm -rf " + work).c_str()), 0);
  }
  ProcessResult help = run_process(ORVCTL_RECORD_PATH, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: orvctl-record [--level DB]", 0), 0u) << help.out;
}

}  // namespace

namespace {

// A busy channel in the recorder's own time, its clocks running on the samples it reads
// (testing/month.h, through the stand-in): 1500 or so transmissions a day, a day with a carrier
// stuck on for six hours, a day of nothing, into a file system of 32 MiB that the 16 MiB kept free
// fills within the first days. Ten days here (2 minutes of a core); ORVTEST_MONTH_DAYS=30 for the
// month (docs/measurements.md). The free space never less than the floor by more than
// one file, every transmission kept or deleted (and each deletion said and counted), the newest
// day whole, memory flat; its CPU time said.
TEST(RecordMonth, BusyChannelWithinTheFloor) {
  const int days = std::getenv("ORVTEST_MONTH_DAYS") ? atoi(std::getenv("ORVTEST_MONTH_DAYS")) : 10;
  const std::string work = make_temp_dir(), folder = work + "/recordings";
  mkdir(folder.c_str(), 0755);
  mkdir((work + "/metrics").c_str(), 0755);
  if (geteuid() != 0 || mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=32m") != 0) {
    GTEST_SKIP() << "a file system of its own needs root to mount";
  }
  chmod(folder.c_str(), 0755);
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/zero", O_RDONLY);
    const int err = open((work + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(err, 2);
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
    setenv("LD_PRELOAD", ORVTEST_RECORD_SHIM, 1);
    setenv("ORVTEST_MONTH", ("20261101:" + std::to_string(days)).c_str(), 1);
    setenv("ORVTEST_MONTH_REPORT", (work + "/report").c_str(), 1);
    setenv("ORVTEST_CLOCK", "synced", 1);
    setenv("ORVCTL_KHZ", "118100", 1);
    setenv("ORVCTL_METRICS", (work + "/metrics").c_str(), 1);
    setenv("TZ", "UTC", 1);
    execl(ORVCTL_RECORD_PATH, ORVCTL_RECORD_PATH, "--keep-free", "16M", folder.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  rusage used{};
  ASSERT_EQ(wait4(pid, &status, 0, &used), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::printf("%d days: %.1f s of CPU (%.1f user, %.1f system)\n", days,
              double(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                  double(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6,
              double(used.ru_utime.tv_sec) + double(used.ru_utime.tv_usec) / 1e6,
              double(used.ru_stime.tv_sec) + double(used.ru_stime.tv_usec) / 1e6);

  const std::vector<month::Transmission> plan = month::plan(20261101, days);
  const size_t files = month::file_ends(plan, 2, 0.2, 300).size();
  long hwm = 0;
  long long least_free = 0, largest = 0;
  unsigned long long named = 0;
  FILE* report = fopen((work + "/report").c_str(), "r");
  ASSERT_NE(report, nullptr);
  ASSERT_EQ(fscanf(report, "%ld %lld %lld %llu", &hwm, &least_free, &largest, &named), 4);
  fclose(report);
  std::printf(
      "%zu transmissions, %zu files; most resident %ld kB; least free %lld bytes after a "
      "file, the largest %lld bytes\n",
      plan.size(), files, hwm, least_free, largest);
  EXPECT_EQ(named, files) << "every file kept";
  EXPECT_GE(least_free, (16 << 20) - largest) << "below the floor by more than one file";
#ifndef __SANITIZE_ADDRESS__  // (AddressSanitizer's shadow and quarantine are not the recorder's)
  EXPECT_LE(hwm, 16 * 1024) << "resident memory";
#endif

  // What is left and what was deleted make up every file; the newest day is whole.
  std::vector<std::string> left;
  DIR* dir = opendir(folder.c_str());
  std::vector<std::string> listed;  // what the days' lists name
  for (dirent* e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
    const std::string name = e->d_name;
    if (name.ends_with(".tsv") && name != "days.tsv") {
      for (const std::string& line : lines_in(folder + "/" + name)) {
        listed.push_back(line.substr(0, line.find('\t')));
      }
    } else if (name[0] != '.' && name != "days.tsv") {
      left.push_back(name);
    }
  }
  closedir(dir);
  std::sort(left.begin(), left.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_TRUE(listed == left) << "the lists name " << listed.size() << " recordings of "
                              << left.size();
  const std::string said = read_file(work + "/err");
  size_t deleted_said = 0;
  for (size_t at = said.find("orvctl-record: deleted "); at != std::string::npos;
       at = said.find("orvctl-record: deleted ", at + 1)) {
    deleted_said += strtoul(said.c_str() + at + strlen("orvctl-record: deleted "), nullptr, 10);
  }
  const std::string metrics = read_file(work + "/metrics/orvctl-record.prom");
  const std::string counted =
      "orvctl_record_deleted_recordings_total{frequency_khz=\"118100\",reason=\"space\"} ";
  const size_t at = metrics.find(counted);
  ASSERT_NE(at, std::string::npos) << metrics;
  EXPECT_EQ(strtoul(metrics.c_str() + at + counted.size(), nullptr, 10), deleted_said);
  EXPECT_EQ(left.size() + deleted_said, files) << "kept and deleted";
  EXPECT_GT(deleted_said, 0u);
  const time_t last_day = 1793491200 + time_t(days - 1) * 86400;
  char day[16];
  strftime(day, sizeof day, "%Y-%m-%d_", gmtime(&last_day));
  const size_t last_day_files = size_t(std::count_if(plan.begin(), plan.end(), [&](auto& t) {
    return t.from >= uint64_t(days - 1) * month::kDay;
  }));
  EXPECT_EQ(size_t(std::count_if(left.begin(), left.end(),
                                 [&](const std::string& n) { return n.rfind(day, 0) == 0; })),
            last_day_files)
      << "the newest day whole: " << day << " " << left.front() << " .. " << left.back();
  EXPECT_EQ(said.find("dropped"), std::string::npos) << said.substr(0, 2000);
  EXPECT_EQ(said.find("cannot"), std::string::npos) << said.substr(0, 2000);
  umount(folder.c_str());
  ASSERT_EQ(system(("rm -rf " + work).c_str()), 0);
}

}  // namespace
