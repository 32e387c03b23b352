// A month of a busy channel, the same for the recorder's stand-in input (record_shim.cpp) and the
// test that judges what it kept: from a seed, each day 1500 or so transmissions of 2 to 20 s, 3 to
// 90 s apart; a day (the third of the month's days) with a carrier stuck on for six hours among
// them, and a day (two thirds in) of nothing at all.
#pragma once

#include <cstdint>
#include <vector>

namespace month {

constexpr uint64_t kRate = 48000;
constexpr uint64_t kDay = 86400 * kRate;

struct Transmission {
  uint64_t from, to;  // samples
  int16_t value;      // its sound: one level throughout (which FLAC keeps in a few bytes a frame)
};

inline uint64_t next(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

// Seconds as samples, uniformly from `least` to `most`.
inline uint64_t between(uint64_t& state, double least, double most) {
  return uint64_t((least + (most - least) * double(next(state) >> 11) / double(1ull << 53)) *
                  kRate);
}

inline std::vector<Transmission> plan(uint64_t seed, int days) {
  std::vector<Transmission> all;
  uint64_t state = seed;
  const int carrier_day = days / 3, quiet_day = days * 2 / 3;
  for (int day = 0; day < days; ++day) {
    if (day == quiet_day && days > 2) {
      continue;
    }
    const uint64_t start = uint64_t(day) * kDay, end = start + kDay - 25 * kRate;
    const uint64_t stuck = start + 10 * 3600 * kRate, unstuck = start + 16 * 3600 * kRate;
    for (uint64_t t = start + between(state, 3, 90); t < end;) {
      const uint64_t length = between(state, 2, 20);
      if (day == carrier_day && t + length + 30 * kRate > stuck && t < unstuck + 30 * kRate) {
        if (all.empty() || all.back().to != unstuck) {
          all.push_back(Transmission{stuck, unstuck, 12000});
        }
        t = unstuck + 30 * kRate;
        continue;
      }
      all.push_back(
          Transmission{t, std::min(t + length, end), int16_t(3000 + all.size() % 7 * 1000)});
      t += length + between(state, 3, 90);
    }
  }
  return all;
}

// Where the files of the plan end (samples): a transmission's file at its hang's end, and one
// longer than the longest cut into files of that length from the pre-roll on.
inline std::vector<uint64_t> file_ends(const std::vector<Transmission>& all, double hang,
                                       double pre_roll, double longest) {
  std::vector<uint64_t> ends;
  const uint64_t h = uint64_t(hang * kRate + 0.5), p = uint64_t(pre_roll * kRate + 0.5),
                 l = uint64_t(longest * kRate + 0.5);
  for (const Transmission& t : all) {
    uint64_t from = t.from - p;
    for (; t.to + h - from > l; from += l) {
      ends.push_back(from + l);
    }
    ends.push_back(t.to + h);
  }
  return ends;
}

}  // namespace month
