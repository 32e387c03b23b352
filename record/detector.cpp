#include "record/detector.h"

#include <cmath>
#include <cstdlib>

int32_t detector_threshold(double level_db) {
  return static_cast<int32_t>(std::floor(32768 * std::pow(10.0, level_db / 20)));
}

int64_t detector_time_of(int64_t arrived_ns, size_t count, size_t index) {
  const int64_t behind = static_cast<int64_t>(count) - 1 - static_cast<int64_t>(index);
  return arrived_ns - behind * 1000000000 / kRecordRate;
}

namespace {

// How many of the samples from `at` on are quiet, in whole runs of 32: silence (most of a day) is
// passed over without the work of each sample.
size_t quiet_run(const int16_t* samples, size_t at, size_t count, int32_t threshold) {
  size_t quiet = 0;
  while (at + quiet + 32 <= count) {
    bool loud = false;
    for (size_t k = 0; k < 32; ++k) {
      loud |= std::abs(static_cast<int32_t>(samples[at + quiet + k])) > threshold;
    }
    if (loud) {
      break;
    }
    quiet += 32;
  }
  return quiet;
}

// While a transmission goes on: how many of the samples from `at` on, in whole runs of 32, change
// nothing but its last sound (all loud, or all quiet within the hang), with no file beginning or
// ending among them.
size_t steady_run(Detector& d, const int16_t* samples, size_t at, size_t count) {
  const DetectorSettings& s = d.settings;
  size_t done = 0;
  while (at + done + 32 <= count && d.confirmed) {
    const uint64_t n = d.taken + done;
    int loud = 0;
    for (size_t k = 0; k < 32; ++k) {
      loud += std::abs(static_cast<int32_t>(samples[at + done + k])) > s.threshold;
    }
    const bool cut = n + 32 - d.file_from >= s.longest;
    if (cut || (loud != 0 && loud != 32) || (loud == 0 && n + 32 - d.last > s.hang)) {
      break;
    }
    if (loud == 32) {
      d.last = n + 31;
    }
    done += 32;
  }
  d.taken += done;
  return done;
}

}  // namespace

void detector_take(Detector& d, const int16_t* samples, size_t count, int64_t arrived_ns,
                   std::vector<Finding>& found) {
  const DetectorSettings& s = d.settings;
  for (size_t i = 0; i < count; ++i) {
    if (!d.active) {
      const size_t quiet = quiet_run(samples, i, count, s.threshold);
      d.taken += quiet;
      i += quiet;
      if (i == count) {
        break;
      }
    } else {
      i += steady_run(d, samples, i, count);
      if (i == count) {
        break;
      }
    }
    const uint64_t n = d.taken++;
    const bool loud = std::abs(static_cast<int32_t>(samples[i])) > s.threshold;
    if (!d.active) {
      if (!loud) {
        continue;
      }
      d.active = true;
      d.confirmed = false;
      d.first = n;
      d.first_ns = detector_time_of(arrived_ns, count, i);
    }
    if (loud) {
      d.last = n;
    }
    if (!d.confirmed && d.last + 1 - d.first >= s.minimum) {
      d.confirmed = true;
      d.file_from = d.first >= s.pre_roll ? d.first - s.pre_roll : 0;
      found.push_back(Finding{Finding::begins, d.file_from, 0, d.first, d.first_ns, false});
    }
    if (n + 1 - d.last > s.hang) {
      if (d.confirmed) {
        found.push_back(Finding{Finding::ends, 0, n + 1});
      }
      d.active = false;
      continue;
    }
    // A carrier that does not end: files of the longest length, one after another, the next named
    // by the time its first sample came.
    if (d.confirmed && n + 1 - d.file_from >= s.longest) {
      found.push_back(Finding{Finding::ends, 0, n + 1});
      d.file_from = n + 1;
      found.push_back(Finding{Finding::begins, n + 1, 0, n + 1,
                              detector_time_of(arrived_ns, count, i + 1), true});
    }
  }
}

void detector_end(Detector& d, std::vector<Finding>& found) {
  if (d.active && d.confirmed) {
    found.push_back(Finding{Finding::ends, 0, d.taken});
  }
  d.active = false;
}
