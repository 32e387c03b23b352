// The recorder's rooms on their own: the detector sample by sample (the level, the minimum, the
// hang, the pre-roll, the longest, the time a file is named by), the options' bounds, the folder's
// rules, and the metrics' writer among another user's files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/prom_file.h"
#include "record/detector.h"
#include "record/folder.h"
#include "record/listing.h"
#include "record/options.h"
#include "record/recording_file.h"
#include "record/retention.h"
#include "record/ring.h"
#include "testing/run_process.h"

namespace {

void write_file(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  fputs(text.c_str(), f);
  fclose(f);
}

struct Stretch {
  int count;
  int16_t value;
};

// A file the detector asked for: samples [from, to), named by the time sample `named` came.
struct File {
  uint64_t from, to, named;
  bool operator==(const File&) const = default;
};

std::ostream& operator<<(std::ostream& out, const File& f) {
  return out << "[" << f.from << ", " << f.to << ") named at " << f.named;
}

struct DetectorRow {
  const char* name;
  std::vector<Stretch> input;
  std::vector<File> files;
  uint64_t longest = 1000;
};

// Blocks of 0.25 s (as orvctl hands them over), each arriving a little late, and not in step with
// the samples it holds: block k's last sample came at `block_ns(k)`.
constexpr size_t kBlock = 12000;
int64_t block_ns(size_t k) {
  return 1800000000000000000 + int64_t(k + 1) * 250000000 + int64_t(k * k) * 3000000;
}
int64_t sample_ns(uint64_t n) {
  return detector_time_of(block_ns(n / kBlock), kBlock, n % kBlock);
}

// Threshold 100 (a sample of 100 is not sound, 101 is), hang 10, pre-roll 5, minimum 4.
TEST(RecordDetector, FindsEachTransmissionSampleBySample) {
  const DetectorRow rows[] = {
      {"at the level: nothing", {{50, 0}, {4, 100}, {50, 0}}, {}},
      {"one step over", {{50, 0}, {4, 101}, {50, 0}}, {{45, 64, 50}}},
      {"one step over, negative", {{50, 0}, {4, -101}, {50, 0}}, {{45, 64, 50}}},
      {"after whole runs of quiet", {{96, 0}, {4, 101}, {50, 0}}, {{91, 110, 96}}},
      {"one into a run", {{95, 0}, {1, 101}, {3, 102}, {50, 0}}, {{90, 109, 95}}},
      {"one sample short of the minimum", {{50, 0}, {3, 101}, {50, 0}}, {}},
      {"the minimum from first to last sound",
       {{50, 0}, {1, 101}, {2, 0}, {1, 101}, {50, 0}},
       {{45, 64, 50}}},
      {"a pause one short of the hang",
       {{50, 0}, {4, 101}, {9, 0}, {4, 101}, {50, 0}},
       {{45, 77, 50}}},
      {"a pause of the hang",
       {{50, 0}, {4, 101}, {10, 0}, {4, 101}, {50, 0}},
       {{45, 64, 50}, {59, 78, 64}}},
      {"the pre-roll cut at the input's start", {{2, 0}, {4, 101}, {50, 0}}, {{0, 16, 2}}},
      {"the input ends mid transmission", {{10, 0}, {10, 101}}, {{5, 20, 10}}},
      {"the input ends before the minimum", {{10, 0}, {3, 101}}, {}},
      {"cut at the longest",
       {{10, 0}, {60, 101}, {30, 0}},
       {{5, 25, 10}, {25, 45, 25}, {45, 65, 45}, {65, 80, 65}},
       20},
      // (The first sound half way through the third block: named by its place there, not by
      // when the block came, nor by the pre-roll's first sample.)
      {"named by where the sound is in its block",
       {{30000, 0}, {4, 3000}, {20, 0}},
       {{29995, 30014, 30000}}},
  };
  for (const DetectorRow& row : rows) {
    Detector d{DetectorSettings{100, 10, 5, 4, row.longest}};
    std::vector<int16_t> input;
    for (const Stretch& run : row.input) {
      input.insert(input.end(), size_t(run.count), run.value);
    }
    std::vector<Finding> found;
    for (size_t at = 0, k = 0; at < input.size(); at += kBlock, ++k) {
      const size_t n = std::min(kBlock, input.size() - at);
      // (A short last block came when a whole one would have: its own last sample then.)
      detector_take(d, input.data() + at, n, detector_time_of(block_ns(k), kBlock, n - 1), found);
    }
    detector_end(d, found);
    std::vector<File> files;
    for (const Finding& f : found) {
      if (f.kind == Finding::begins) {
        files.push_back(File{f.from, 0, f.sound_at});
        // (Within a nanosecond: a short last block's times are rounded from its own end.)
        EXPECT_NEAR(double(f.began_ns - sample_ns(f.sound_at)), 0, 1) << row.name;
      } else {
        ASSERT_FALSE(files.empty()) << row.name;
        files.back().to = f.to;
      }
    }
    EXPECT_EQ(files, row.files) << row.name;
  }
}

// A file is named by its first sound, not by its pre-roll; the file after a gap by its own first
// sample, as the input comes in real time.
TEST(RecordJobs, FileNamedByItsFirstSoundOrItsOwnStart) {
  const Job job{48000, kOpenEnd, 57600, 5000000000, false};  // sound at 1.2 s, file from 1 s
  const struct {
    uint64_t from;
    int64_t ns;
  } rows[] = {{48000, 5000000000}, {57600, 5000000000}, {57601, 5000020833}, {153600, 7000000000}};
  for (const auto& row : rows) {
    EXPECT_EQ(job_file_time(job, row.from), row.ns) << row.from;
  }
}

// Through the clocks going back (Europe/Berlin, 25 October 2026: 02:00 to 03:00 CEST, then 02:00
// to 03:00 CET) and forward (29 March), the names stay apart and sort in time.
TEST(RecordNames, SortInTimeThroughAChangeOfTheClocks) {
  const char* zone = getenv("TZ");
  const std::string saved = zone != nullptr ? zone : "";
  const struct {
    const char* tz;
    time_t utc;
    const char* stamp;
  } rows[] = {
      {"Europe/Berlin", 1774745999, "2026-03-29_015959"},  // (the hour skipped in spring)
      {"Europe/Berlin", 1774746000, "2026-03-29_030000"},
      {"Europe/Berlin", 1792886399, "2026-10-25_015959"},  // 23:59:59 UTC
      {"Europe/Berlin", 1792886400, "2026-10-25_02A0000"},
      {"Europe/Berlin", 1792888200, "2026-10-25_02A3000"},
      {"Europe/Berlin", 1792889999, "2026-10-25_02A5959"},
      {"Europe/Berlin", 1792890000, "2026-10-25_02B0000"},
      {"Europe/Berlin", 1792891800, "2026-10-25_02B3000"},
      {"Europe/Berlin", 1792893599, "2026-10-25_02B5959"},
      {"Europe/Berlin", 1792893600, "2026-10-25_030000"},
      {"Europe/Berlin", 1794012600, "2026-11-07_015000"},
      {"America/New_York", 1793511000, "2026-11-01_01A3000"},
      {"America/New_York", 1793514600, "2026-11-01_01B3000"},
      {"UTC", 1792888200, "2026-10-25_003000"},
  };
  std::string last;
  for (const auto& row : rows) {
    setenv("TZ", row.tz, 1);
    tzset();
    const std::string stamp = recording_stamp(row.utc);
    EXPECT_EQ(stamp, row.stamp) << row.tz << " " << row.utc;
    if (std::string(row.tz) == "Europe/Berlin") {
      EXPECT_LT(last, stamp) << "out of order";
      last = stamp;
    }
  }
  zone != nullptr ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
}

// What the recorder may delete is only what it could have named; what it keeps free and deletes
// is figured from sizes alone.
TEST(RecordRetention, OnlyItsOwnNamesOldestFirstToTheFloor) {
  const struct {
    const char* name;
    bool recording;
  } names[] = {
      {"2026-12-09_184233_145500kHz.flac", true},
      {"2026-12-09_184233_145500kHz-2.flac", true},
      {"2026-12-09_184233_145500kHz_unsynced-999.flac", true},
      {"2026-12-09_184233.flac", true},
      {"2026-10-25_02B3000_145500kHz.flac", true},
      {"2026-12-09_184233_145500kHz-1000.flac", false},
      {"2026-12-09_184233_145500kHz-.flac", false},
      {"2026-12-09_184233_145500kHz.flac.part", false},
      {".orvctl-record-0123456789abcdef01234567.part", false},
      {"2026-12-09_1842_145500kHz.flac", false},
      {"2026-12-09_02C3000_145500kHz.flac", false},
      {"2026-12-09_184233_kHz.flac", false},
      {"2026-12-09_184233_145500kHz.FLAC", false},
      {"x2026-12-09_184233_145500kHz.flac", false},
      {"notes.txt", false},
  };
  for (const auto& row : names) {
    EXPECT_EQ(retention_is_recording(row.name), row.recording) << row.name;
  }
  const int64_t M = int64_t(1) << 20, G = M << 10;
  const struct {
    RetentionSettings settings;
    int64_t size, floor;
  } floors[] = {
      {{}, 16 * M, 8 * M},               // never more than half
      {{}, 4 * G, G},                    // at least 1 GiB
      {{}, 16 * G, 16 * G * 15 / 100},   // 15 %
      {{}, 64 * G, 4 * G},               // at most 4 GiB
      {{500 * M}, 64 * G, 500 * M},      // as given
      {{0}, 64 * G, 0},                  // none
      {{-1, 0.1}, 64 * G, 64 * G / 10},  // a share
  };
  for (const auto& row : floors) {
    EXPECT_EQ(retention_floor(row.settings, row.size), row.floor) << row.size;
  }
  // Five recordings of 100 bytes, a day apart (the last the newest).
  std::vector<Kept> oldest;
  for (int i = 0; i < 5; ++i) {
    oldest.push_back(Kept{int64_t(i) * 86400000000000, 100, ino_t(i), std::to_string(i)});
  }
  const struct {
    int64_t free, floor, total, max_total, cutoff_ns;
    size_t count;
  } plans[] = {
      {1000, 1000, 500, 0, 0, 0},  // the floor exactly: nothing
      {999, 1000, 500, 0, 0, 1},   // one byte short: the oldest
      {800, 1000, 500, 0, 0, 2},   // as few as it takes
      {801, 1000, 500, 0, 0, 2},
      {0, 1000, 500, 0, 0, 4},       // never the newest
      {5000, 1000, 500, 400, 0, 1},  // the total
      {5000, 1000, 500, 300, 0, 2},
      {5000, 1000, 500, 0, 2 * 86400000000000, 2},  // older than the cutoff
      {5000, 1000, 500, 0, 2 * 86400000000000 + 1, 3},
  };
  for (const auto& row : plans) {
    EXPECT_EQ(
        retention_plan(oldest, row.free, row.floor, row.total, row.max_total, row.cutoff_ns).count,
        row.count)
        << row.free << " free, " << row.total << " in all";
  }
}

// The folder looked through again finds all of it again, its oldest first.
TEST(RecordRetention, EachLookSeesTheWholeFolder) {
  const std::string work = make_temp_dir();
  for (const char* name : {"2026-11-03_120000_145500kHz.flac", "2026-11-01_120000_145500kHz.flac",
                           "notes.txt", "2026-11-02_120000_145500kHz.flac"}) {
    write_file(work + "/" + name, "x");
  }
  const int dir = open(work.c_str(), O_RDONLY | O_DIRECTORY);
  for (int look = 0; look < 2; ++look) {
    Archive archive;
    archive_look(archive, dir);
    EXPECT_EQ(archive.count, 3) << "look " << look;
    ASSERT_EQ(archive.oldest.size(), 3u) << "look " << look;
    EXPECT_TRUE(archive.complete);
  }
  close(dir);
  ASSERT_EQ(system(("rm -rf " + work).c_str()), 0);
}

struct OptionsRow {
  std::vector<std::string> args;
  Parsed parsed;
  const char* said;  // a part of the error
};

// A recording's line, and days.tsv's with a day's count: in the order of days, once each, none for
// an emptied day.
TEST(RecordLists, LinesAndDaysAsTheDocumentsSay) {
  struct Line {
    ListEntry entry;
    const char* line;
  } lines[] = {
      {{"2026-12-11_140203_145500kHz.flac", 1765461723250000000, "145500", 348000, 32767},
       "2026-12-11_140203_145500kHz.flac\t1765461723.250\t145500\t7.25\t-0.0\n"},
      {{"2026-12-11_140203.flac", 1765461723009999999, "", 4799, 3277},
       "2026-12-11_140203.flac\t1765461723.009\t\t0.10\t-20.0\n"},
      {{"2026-10-25_02B3000_145500kHz-2.flac", 0, "145500", 48000, 0},
       "2026-10-25_02B3000_145500kHz-2.flac\t0.000\t145500\t1.00\t-inf\n"},
  };
  for (const Line& l : lines) {
    EXPECT_EQ(listing_line(l.entry), l.line);
  }
  EXPECT_EQ(listing_day("2026-10-25_02B3000_145500kHz-2.flac"), "2026-10-25");
  EXPECT_EQ(listing_day("2026-10-25.tsv"), "");
  struct Days {
    const char *before, *day;
    size_t count;
    const char* after;
  } days[] = {
      {"", "2026-12-11", 1, "2026-12-11\t1\n"},
      {"2026-12-10\t5\n", "2026-12-11", 1, "2026-12-10\t5\n2026-12-11\t1\n"},
      {"2026-12-11\t1\n", "2026-12-10", 5, "2026-12-10\t5\n2026-12-11\t1\n"},
      {"2026-12-10\t5\n2026-12-12\t2\n", "2026-12-11", 3,
       "2026-12-10\t5\n2026-12-11\t3\n2026-12-12\t2\n"},
      {"2026-12-10\t5\n2026-12-11\t1\n", "2026-12-11", 2, "2026-12-10\t5\n2026-12-11\t2\n"},
      {"2026-12-10\t5\n2026-12-11\t1\n", "2026-12-10", 0, "2026-12-11\t1\n"},
  };
  for (const Days& d : days) {
    EXPECT_EQ(listing_days_with(d.before, d.day, d.count), d.after) << d.before << "+" << d.day;
  }
}

// Two recorders (the services of two frequencies share the state folder) keeping at once: every
// recording on its day's list, none lost to the other's rewrite.
TEST(RecordLists, TwoWritersLoseNoLine) {
  const std::string folder = make_temp_dir();
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  pid_t writers[2];
  for (int w = 0; w < 2; ++w) {
    writers[w] = fork();
    if (writers[w] == 0) {
      for (int i = 0; i < 60; ++i) {
        char name[64];
        snprintf(name, sizeof name, "2026-12-11_1%d%04d_145500kHz.flac", w, i);
        if (listing_add(dir, ListEntry{name, 0, "145500", 48000, 1000}) != 0) {
          _exit(1);
        }
      }
      _exit(0);
    }
  }
  for (const pid_t writer : writers) {
    int status = -1;
    waitpid(writer, &status, 0);
    EXPECT_EQ(status, 0);
  }
  const std::string days = read_file(folder + "/days.tsv");
  const std::string day = read_file(folder + "/2026-12-11.tsv");
  EXPECT_EQ(days, "2026-12-11\t120\n");
  EXPECT_EQ(std::count(day.begin(), day.end(), '\n'), 120);
  close(dir);
}

TEST(RecordOptions, BoundsRefusedWithTheReason) {
  const OptionsRow rows[] = {
      {{"--hang", "0.1", "f"}, Parsed::run, ""},
      {{"--hang", "0.09", "f"}, Parsed::bad, "--hang takes 0.1 to 60 seconds, not \"0.09\""},
      {{"--hang", "0", "f"}, Parsed::bad, "--hang takes 0.1 to 60 seconds"},
      {{"--hang", "60", "f"}, Parsed::run, ""},
      {{"--hang", "60.01", "f"}, Parsed::bad, "--hang takes"},
      {{"--minimum", "0", "--pre-roll", "0", "f"}, Parsed::run, ""},
      {{"--pre-roll", "nan", "f"}, Parsed::bad, "--pre-roll takes 0 to 60 seconds"},
      {{"--longest", "0.9", "f"}, Parsed::bad, "--longest takes 1 to 3600 seconds"},
      {{"--longest", "3600", "f"}, Parsed::run, ""},
      {{"--level", "0", "f"}, Parsed::bad, "--level takes dB below 0, to -96"},
      {{"--level", "-0dB", "f"}, Parsed::bad, "--level takes dB below 0, to -96"},
      {{"--level", "-0.1dB", "f"}, Parsed::run, ""},
      {{"--level", "-96", "f"}, Parsed::run, ""},
      {{"--level", "-96.1", "f"}, Parsed::bad, "--level takes"},
      {{"--level", "-50dBx", "f"}, Parsed::bad, "--level takes"},
      {{"--hang"}, Parsed::bad, "--hang needs a value"},
      {{"--hang", "1"}, Parsed::bad, "no folder given"},
      {{}, Parsed::bad, "no folder given"},
      {{"f", "g"}, Parsed::bad, "one folder only, not f and g"},
      {{"--bogus", "1", "f"}, Parsed::bad, "no option --bogus"},
      {{"--hang", "1", "--help"}, Parsed::help, ""},
      {{"--keep-free", "2G", "--max-total", "500M", "--max-age", "30", "f"}, Parsed::run, ""},
      {{"--keep-free", "10%", "f"}, Parsed::run, ""},
      {{"--keep-free", "91%", "f"}, Parsed::bad, "--keep-free takes a size (500M, 2G, 10%)"},
      {{"--max-total", "10%", "f"}, Parsed::bad, "--max-total takes a size (500M, 2G)"},
      {{"--keep-free", "2X", "f"}, Parsed::bad, "--keep-free takes a size"},
      {{"--max-age", "36501", "f"}, Parsed::bad, "--max-age takes days, 0 to 36500"},
  };
  for (const OptionsRow& row : rows) {
    std::vector<char*> argv = {const_cast<char*>("orvctl-record")};
    for (const std::string& a : row.args) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    RecordOptions options;
    std::string error;
    const std::string shown = ::testing::PrintToString(row.args);
    EXPECT_EQ(record_parse_options(int(argv.size()), argv.data(), options, error), row.parsed)
        << shown;
    EXPECT_NE(error.find(row.said), std::string::npos) << shown << ": " << error;
  }
  // The level's threshold: -50 dB of full scale is 103.6, so 103 is the largest quiet sample.
  EXPECT_EQ(detector_threshold(-50), 103);
}

TEST(RecordFolder, OnlyTheUsersOwn) {
  struct Row {
    uid_t owner;
    mode_t mode;
    bool group_private;
    const char* refusal;
  } rows[] = {
      {1000, 0755, false, ""},
      {1000, 0700, false, ""},
      {1000, 0775, true, ""},
      {1000, 0775, false, "other users may write to it (mode 0775, no sticky bit)"},
      {1000, 0757, true, "other users may write to it (mode 0757, no sticky bit)"},
      {1000, 01777, false, ""},
      {0, 0755, false, "it belongs to root, not to the user recording"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(folder_refusal(row.owner, S_IFDIR | row.mode, 1000, row.group_private), row.refusal)
        << std::oct << row.mode;
  }
}

// A folder that cannot be recorded into is tried every 10 s on the steady clock, and said when its
// cause changes and again every 10 minutes while it lasts: a journal read days later still shows
// why nothing is kept.
TEST(RecordFolder, TriedEvery10sSaidAgainEvery10Minutes) {
  const std::string work = make_temp_dir();
  Folder folder;
  folder.path = work + "/missing";
  const std::string said = work + "/said";
  const int saved = dup(2);
  const int file = open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(file, 2);
  const int64_t s = 1000000000;
  folder_failed(folder, "No such file or directory", 100 * s);
  // (row: when it is asked, whether it is ready)
  const struct {
    int64_t at;
    bool ready;
  } rows[] = {{100 * s, false}, {110 * s - 1, false}, {110 * s, false}, {115 * s, false},
              {690 * s, false}, {700 * s, false},     {710 * s, false}};
  for (const auto& row : rows) {
    EXPECT_EQ(folder_ready(folder, row.at, false), row.ready) << row.at / s;
  }
  folder_failed(folder, "No space left on device", 711 * s);
  mkdir(folder.path.c_str(), 0700);
  EXPECT_FALSE(folder_ready(folder, 712 * s, false));
  // (A transmission tries it at once.)
  EXPECT_TRUE(folder_ready(folder, 712 * s, true));
  dup2(saved, 2);
  close(saved);
  close(file);
  const std::string missing = "orvctl-record: cannot record into " + folder.path +
                              ": No such file or directory; the audio plays on, and recording "
                              "starts again once the folder can be written\n";
  // Said at 100 s, again at 700 s (not at 690 s), the new cause at once, and the folder back.
  EXPECT_EQ(read_file(said), missing + missing + "orvctl-record: cannot record into " +
                                 folder.path +
                                 ": No space left on device; the audio plays on, and recording "
                                 "starts again once the folder can be written\n" +
                                 "orvctl-record: recording into " + folder.path + " again\n");
  ASSERT_EQ(system(("rm -rf " + work).c_str()), 0);
}

// Another user's link, FIFO and file at the very name the next write goes under (as if foreseen),
// and at the name the metrics used to be written under, in a folder others may write to: none is
// opened, written through or waited on, all are there afterwards as they were, and the file is
// ours, whole. A second writer of the same name takes a name of its own.
TEST(PromFile, NobodyElsesFileWrittenThrough) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "another user's files need root to make";
  }
  for (const char* planted : {"link", "fifo", "file"}) {
    const std::string work = make_temp_dir(), folder = work + "/metrics";
    mkdir(folder.c_str(), 01777);
    chmod(folder.c_str(), 01777);
    write_file(work + "/victim", "ours");
    setenv("ORVCTL_METRICS", folder.c_str(), 1);
    PromFile file, second;
    ASSERT_EQ(prom_open(file, "orvctl"), 0);
    ASSERT_EQ(prom_open(second, "orvctl"), 0);
    EXPECT_STREQ(file.name, "orvctl.prom");
    EXPECT_STREQ(second.name, "orvctl-2.prom");
    std::string foreseen = ".foreseen.tmp";
    snprintf(file.temporary, sizeof file.temporary, "%s", foreseen.c_str());
    for (const std::string& name : {foreseen, std::string(".orvctl.prom.tmp")}) {
      const std::string path = folder + "/" + name;
      if (std::string(planted) == "link") {
        ASSERT_EQ(symlink((work + "/victim").c_str(), path.c_str()), 0);
      } else if (std::string(planted) == "fifo") {
        ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
      } else {
        write_file(path, "theirs");
        chmod(path.c_str(), 0666);
      }
      ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0);
    }
    for (const char* text : {"first 1\n", "second 2\n"}) {
      EXPECT_EQ(prom_write(file, text, strlen(text)), 0) << planted;
      EXPECT_EQ(read_file(folder + "/orvctl.prom"), text) << planted;
    }
    struct stat st {};
    ASSERT_EQ(lstat((folder + "/orvctl.prom").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == geteuid()) << planted;
    for (const std::string& name : {foreseen, std::string(".orvctl.prom.tmp")}) {
      ASSERT_EQ(lstat((folder + "/" + name).c_str(), &st), 0) << planted << " " << name;
      EXPECT_EQ(st.st_uid, 65534u) << planted << " " << name;
      if (std::string(planted) == "file") {
        EXPECT_EQ(read_file(folder + "/" + name), "theirs");
      }
    }
    EXPECT_EQ(read_file(work + "/victim"), "ours") << "a link was followed";
    prom_close(file);
    prom_close(second);
    unsetenv("ORVCTL_METRICS");
    ASSERT_EQ(system(("rm -rf " + work).c_str()), 0);
  }
}

}  // namespace
