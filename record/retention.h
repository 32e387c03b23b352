// Keeps the recordings' folder within bounds, so that the card never fills: a floor of free space
// on its file system (on by default), and, where asked, a longest age and a largest total. What is
// deleted is only a recording the recorder could have made (its name's form, a regular file of the
// user's, in the folder, reached through the folder's descriptor), oldest first, never the newest;
// each pass that deletes says so in one line, and counts it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// The bounds, as the command line gives them.
struct RetentionSettings {
  int64_t keep_free = -1;      // bytes (-1: the default, from the file system's size)
  double keep_free_share = 0;  // or this share of the file system (0: not given so)
  int64_t max_total = 0;       // bytes (0: no bound)
  int64_t max_age_s = 0;       // seconds (0: no bound)
};

// The floor for a file system of `size` bytes: as given, or by default 15 % of it, at least 1 GiB
// and at most 4 GiB (what systemd-journald keeps free for itself), but never more than half of it.
int64_t retention_floor(const RetentionSettings& settings, int64_t size);

// Whether `name` has the form of a recording's name (2026-12-09_184233_145500kHz-2.flac, and the
// forms without the frequency, with _unsynced, of the hour that comes twice).
bool retention_is_recording(const char* name);

// One recording, as a look through the folder found it.
struct Kept {
  int64_t mtime_ns = 0;  // when its transmission began (its time)
  int64_t bytes = 0;     // what it takes on the disk
  ino_t ino = 0;
  std::string name;
};

// How many of `oldest` (oldest first) to delete, and why: until the file system has the floor
// free, the folder is within its total, and none is older than the age; never the last one (the
// newest).
struct RetentionPlan {
  size_t count = 0;
  bool for_space = false, for_total = false, for_age = false;
};
RetentionPlan retention_plan(const std::vector<Kept>& oldest, int64_t free, int64_t floor,
                             int64_t total, int64_t max_total, int64_t cutoff_ns);

// What the folder holds and what was deleted, for the metrics and the next pass.
struct Archive {
  RetentionSettings settings;
  std::vector<Kept> oldest;  // the oldest recordings, oldest first (all, where `complete`)
  bool complete = false;
  int64_t total = 0;  // bytes of every recording in the folder
  int64_t count = 0;
  int64_t free = 0, floor = 0;  // the file system's, at the last pass
  uint64_t deleted_files[2] = {0, 0}, deleted_bytes[2] = {0, 0};  // for space (or total), age
  bool looked = false;
  int64_t looked_ns = 0;                   // when it was last looked through (steady clock)
  bool floor_said = false;                 // that the floor cannot be kept, said
  std::vector<std::string> deleted_names;  // what was deleted, for the lists
};

// Looks through the folder afresh: its recordings, their total, the oldest of them.
void archive_look(Archive& archive, int dir);

// A recording was just kept.
void archive_added(Archive& archive, const Kept& kept);

// A pass: deletes what the bounds ask for, said in one line, and says once when the floor cannot
// be kept with nothing of its own left. `now_ns` is the wall clock's, `steady_ns` the steady
// clock's (the folder is looked through again at most every hour, or when what it holds is used
// up). `path` names the folder in messages.
void archive_keep(Archive& archive, int dir, const std::string& path, int64_t now_ns,
                  int64_t steady_ns);
