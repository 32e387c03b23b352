// The folder's list of its recordings, for the station's page and the user's own scripts. A file a
// day, DAY.tsv (2026-12-11.tsv, the day of the recordings' names), one line a recording, in the
// order they were kept, its fields apart by tabs:
//   NAME  TIME  KHZ  SECONDS  PEAK
// (2026-12-11_140203_145500kHz.flac  1765461723.250  145500  7.25  -12.3: its file, when its first
// sound came in seconds since the epoch, the frequency or nothing, its length, its largest sample
// in dB of full scale); and days.tsv, one line a day that has a list: DAY  COUNT. Each is written
// whole under a temporary name and renamed: a reader sees the old list or the new one. A recording
// kept rewrites its day's list and days.tsv, never more.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ListEntry {
  std::string name;  // its file's name in the folder
  int64_t began_ns = 0;
  std::string khz;
  uint64_t samples = 0;  // at 48 kHz
  int peak = 0;          // its largest sample's magnitude (0 to 32768)
};

// Its line, with the newline.
std::string listing_line(const ListEntry& entry);

// The day a recording of `name` is listed under (its first ten characters), or "" for a name that
// is not a recording's.
std::string listing_day(const std::string& name);

// days.tsv's text with the day `day` given `count` lines (none: left out), in the order of days.
std::string listing_days_with(const std::string& days, const std::string& day, size_t count);

// Adds a kept recording to its day's list in the folder `dir`: 0, or the errno of what failed.
int listing_add(int dir, const ListEntry& entry);

// Drops from the days' lists the lines of the recordings `deleted` (by the bounds); with none
// given, the lines of every day whose file is no longer in the folder (deleted by hand, or by an
// age rule while the recorder was not running). 0, or the errno of what failed.
int listing_prune(int dir, const std::vector<std::string>& deleted);
