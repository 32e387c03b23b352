// Finds the transmissions in the audio, sample by sample: samples in, files to make out. A
// transmission begins at the first sample above the level and ends once the hang has passed with
// none; it is a file only if its sound (first sample above the level to last) lasted the minimum.
// Its file runs from the pre-roll before its first sound to the hang's end, and one longer than the
// longest is cut into files of that length. No clock, thread or file here: the time of a sample is
// worked out from the time its block arrived, which the caller hands in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int kRecordRate = 48000;

// The options, in samples (and the level as the largest magnitude that is not sound).
struct DetectorSettings {
  int32_t threshold = 0;
  uint64_t hang = 0, pre_roll = 0, minimum = 0, longest = 0;
};

// What one block brought: a file begins (its first sample `from`, named by `began_ns`: when its
// first sound came, or its first sample where a long transmission is cut), or the open file ends
// before sample `to`.
struct Finding {
  enum Kind { begins, ends } kind;
  uint64_t from = 0, to = 0;
  uint64_t sound_at = 0;  // begins: the sample `began_ns` is the time of
  int64_t began_ns = 0;
  bool cut = false;  // begins: the one before was cut at the longest
};

struct Detector {
  DetectorSettings settings;
  uint64_t taken = 0;  // samples taken so far
  bool active = false, confirmed = false;
  uint64_t first = 0, last = 0;  // the first and last sample above the level
  int64_t first_ns = 0;          // when the first came
  uint64_t file_from = 0;        // the open file's first sample, once confirmed
};

// The largest magnitude that is not sound, for a level in dB of full scale (below 0).
int32_t detector_threshold(double level_db);

// The time sample `index` of a block of `count` came (or would: `index` may be `count`), its last
// sample having come at `arrived_ns`.
int64_t detector_time_of(int64_t arrived_ns, size_t count, size_t index);

// Takes a block of `count` samples whose last came at `arrived_ns`; what it brought is appended to
// `found`, in order.
void detector_take(Detector& detector, const int16_t* samples, size_t count, int64_t arrived_ns,
                   std::vector<Finding>& found);

// The input ended: the open file, if any, ends there (kept if its sound lasted the minimum).
void detector_end(Detector& detector, std::vector<Finding>& found);
