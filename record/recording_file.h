// One recording's file: made with no name in the folder, encoded by libFLAC as the samples come,
// made durable, then named by the time its first sound came and the frequency, never over a file
// that is there already.
#pragma once

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

struct Folder;

// What names and tags a file.
struct FileLabel {
  int64_t began_ns = 0;   // the wall-clock time its first sound came
  bool unsynced = false;  // the system's clock was not synchronised then
  std::string khz;        // the frequency tuned, if any
  std::string demod;      // the demodulation, if given
};

struct RecordingFile {
  int fd = -1;
  int dir = -1;      // the folder it is made in (the one held when it began)
  std::string part;  // its name while it is written, where the file system needs one
  FLAC__StreamEncoder* encoder = nullptr;
  FLAC__StreamMetadata* tags = nullptr;
  int error = 0;  // errno of what failed
  std::string name;
  uint64_t samples = 0;
  int peak = 0;          // the largest sample's magnitude
  int64_t began_ns = 0;  // its time, which it also gets as its modification time
  int64_t bytes = 0;     // once kept: what it takes on the disk
  ino_t ino = 0;
};

// The local date and time of `second` as a name begins: 2026-12-09_184233, and where the hour comes
// twice (the clocks going back), 2026-10-25_02A3000 the first time and 2026-10-25_02B3000 the
// second.
std::string recording_stamp(time_t second);

// The name (without a number or ".flac") a file of `label` gets: 2026-12-09_184233_145500kHz.
std::string recording_name(const FileLabel& label);

// Starts the file in the folder held; false (with `error`) when it cannot be made.
bool recording_start(RecordingFile& file, const Folder& folder, const FileLabel& label);

// Encodes samples into it; false (with `error`) when that fails.
bool recording_encode(RecordingFile& file, const int16_t* samples, size_t count);

// Finishes the file: whole, on the disk, named, and its name on the disk. False (with `error`)
// where that fails, and nothing of it is left.
bool recording_finish(RecordingFile& file);

// Lets go of a file that is not to be kept: nothing of it is left.
void recording_drop(RecordingFile& file);
