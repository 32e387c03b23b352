#include "testing/at_rest.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

// The minutes from which the delay has settled: the set point is taken a minute in, the drift
// learned a minute later, and what it moved meanwhile worked off.
constexpr size_t kSettled = 4;
// The dead band's width: the set point lies within half of it, and the queue may rest anywhere
// within half of it from the set point.
constexpr int64_t kDeadBandUs = 20500;
constexpr double kMinuteFrames = 2880000;

void fault(RestVerdict& verdict, const char* format, ...) {
  char text[200];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  verdict.faults.emplace_back(text);
}

bool in_band(const RestVerdict& verdict, const Minute& m) {
  return m.delay_low_us >= verdict.band_low_us && m.delay_high_us <= verdict.band_high_us;
}

}  // namespace

std::vector<Minute> minutes_of(const std::string& report) {
  std::vector<Minute> minutes;
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("minute ", 0) != 0) {
      continue;
    }
    std::istringstream in(line);
    std::string word, queue, low, high;
    Minute m;
    long long number = 0;
    in >> word >> number >> word >> m.drops >> word >> m.repeats >> word >> m.lost >> word >>
        m.repeated >> word >> m.underruns >> word >> queue >> high >> word >> low >> high;
    m.played = low != "-";
    if (m.played) {
      m.queue_low = queue == "-" ? 0 : std::stoll(queue);  // (no block began in the minute)
      m.delay_low_us = std::stoll(low);
      m.delay_high_us = std::stoll(high);
    }
    minutes.push_back(m);
  }
  return minutes;
}

size_t minute_of(const Upset& u, int ppm) {
  return static_cast<size_t>((u.at * (1 + ppm * 1e-6) - 2) / 60);
}

RestVerdict judge_rest(const std::vector<Minute>& minutes, const RestPlan& plan) {
  RestVerdict verdict;
  const bool tiny = plan.buffer > 0 && plan.buffer <= 12000;  // a block or less
  for (size_t m = 0; m < minutes.size(); ++m) {
    if (minutes[m].lost + minutes[m].repeated != 0) {
      fault(verdict, "minute %zu: %lld samples lost, %lld played again", m, minutes[m].lost,
            minutes[m].repeated);
    }
    // No underrun but those an upset forces (or a buffer too small for a block).
    const bool upset_here =
        std::any_of(plan.upsets.begin(), plan.upsets.end(), [&](const Upset& u) {
          return m >= minute_of(u, plan.ppm) && m <= minute_of(u, plan.ppm) + 2;
        });
    if (!upset_here && !tiny && minutes[m].underruns != 0) {
      fault(verdict, "minute %zu: %lld underruns", m, minutes[m].underruns);
    }
    // At matched clocks with nothing upsetting it, bit for bit from the start; with a buffer of a
    // block or less, underruns every few blocks, nothing to follow and no edit storm.
    if ((tiny || (plan.ppm == 0 && plan.upsets.empty())) && minutes[m].drops + minutes[m].repeats) {
      fault(verdict, "minute %zu: %lld drops, %lld repeats", m, minutes[m].drops,
            minutes[m].repeats);
    }
  }
  if (tiny) {
    return verdict;
  }
  if (minutes.size() < kSettled + 3) {
    fault(verdict, "%zu minutes, too few to settle", minutes.size());
    return verdict;
  }
  verdict.band_low_us = INT64_MAX;
  verdict.band_high_us = INT64_MIN;
  for (size_t m = kSettled; m < kSettled + 3; ++m) {
    verdict.band_low_us = std::min(verdict.band_low_us, minutes[m].delay_low_us - kDeadBandUs);
    verdict.band_high_us = std::max(verdict.band_high_us, minutes[m].delay_high_us + kDeadBandUs);
  }
  // The stretches between upsets, each from the minute an upset falls in.
  std::vector<size_t> starts{0};
  int ppm = plan.ppm;
  std::vector<int> ppms{ppm};
  for (const Upset& u : plan.upsets) {
    starts.push_back(minute_of(u, plan.ppm));
    ppm = u.kind == Upset::step ? u.value : ppm;
    ppms.push_back(ppm);
  }
  starts.push_back(minutes.size());
  for (size_t s = 0; s + 1 < starts.size(); ++s) {
    const size_t from = starts[s];
    const size_t to = starts[s + 1];
    // The backlog: how far the delay went up in the upset's minute and the two after it, from
    // where it was the minute before.
    int64_t backlog_us = 0;
    for (size_t m = from; s > 0 && m < std::min(to, from + 3); ++m) {
      backlog_us = std::max(backlog_us, minutes[m].delay_high_us - minutes[from - 1].delay_high_us);
    }
    const double backlog = static_cast<double>(backlog_us) * 0.048;  // samples
    const size_t rested =
        from + (s == 0 ? kSettled : 1 + static_cast<size_t>(std::ceil(backlog / 48 / 60 + 2)));
    if (rested + 3 > to) {
      fault(verdict, "from minute %zu: no room to come back to rest before the next upset", from);
      return verdict;
    }
    size_t back = to;  // the first minute from which the delay stays within the band
    while (back > from && in_band(verdict, minutes[back - 1])) {
      --back;
    }
    verdict.longest_back = std::max(verdict.longest_back, s == 0 ? 0 : back - from);
    // A backlog is worked off at up to 1000 ppm beyond what the drift needs (that of the clock
    // before a step, too, until the new one is learned).
    const int fastest = std::max(std::abs(ppms[s]), std::abs(ppms[s > 0 ? s - 1 : 0]));
    const double most_a_minute = (fastest + 1000) * 1e-6 * kMinuteFrames + 100;
    long long drops = 0, repeats = 0, settled_drops = 0, settled_repeats = 0;
    for (size_t m = from; m < to; ++m) {
      drops += minutes[m].drops;
      repeats += minutes[m].repeats;
      if (static_cast<double>(std::llabs(minutes[m].drops - minutes[m].repeats)) > most_a_minute) {
        fault(verdict, "minute %zu: %lld drops and %lld repeats, more than %.0f net", m,
              minutes[m].drops, minutes[m].repeats, most_a_minute);
      }
      if (m >= rested) {
        settled_drops += minutes[m].drops;
        settled_repeats += minutes[m].repeats;
        verdict.rest_low_us = std::min(verdict.rest_low_us, minutes[m].delay_low_us);
        verdict.rest_high_us = std::max(verdict.rest_high_us, minutes[m].delay_high_us);
        if (!in_band(verdict, minutes[m])) {
          fault(verdict, "minute %zu: the delay %lld to %lld us, out of its band %lld to %lld", m,
                static_cast<long long>(minutes[m].delay_low_us),
                static_cast<long long>(minutes[m].delay_high_us),
                static_cast<long long>(verdict.band_low_us),
                static_cast<long long>(verdict.band_high_us));
        }
      }
    }
    const double settled_minutes = static_cast<double>(to - rested);
    const double implied = std::abs(ppms[s]) * 1e-6 * kMinuteFrames * settled_minutes;
    const long long wanted = ppms[s] > 0 ? settled_repeats : settled_drops;
    const long long unwanted = ppms[s] > 0 ? settled_drops : settled_repeats;
    verdict.rest_minutes += settled_minutes;
    verdict.rest_implied += implied;
    verdict.rest_wanted += ppms[s] == 0 ? 0 : wanted;
    verdict.rest_unwanted += ppms[s] == 0 ? settled_drops + settled_repeats : unwanted;
    if (ppms[s] == 0) {
      // Bit for bit once at rest; before, one way and no more than the backlog needs (after a
      // step of the clock, the edits of the drift before it come first).
      if (settled_drops + settled_repeats != 0) {
        fault(verdict, "from minute %zu: %lld drops and %lld repeats at rest at matched clocks",
              from, settled_drops, settled_repeats);
      }
      if (s > 0 && plan.upsets[s - 1].kind == Upset::step) {
        continue;
      }
      const long long net = std::llabs(drops - repeats);
      if (static_cast<double>(std::min(drops, repeats)) > 0.05 * static_cast<double>(net) ||
          static_cast<double>(net) > backlog + 48) {
        fault(verdict, "from minute %zu: %lld drops and %lld repeats for a backlog of %.0f", from,
              drops, repeats, backlog);
      }
      continue;
    }
    // The drift's own rate, and the other kind of edit hardly ever.
    if (std::abs(static_cast<double>(wanted) - implied) > 0.25 * implied ||
        static_cast<double>(unwanted) > 0.05 * implied) {
      fault(verdict, "from minute %zu: %lld edits the drift wants and %lld others, %.0f implied",
            from, wanted, unwanted, implied);
    }
    // ... minute by minute: a drift the relay follows is never left to grow into a backlog.
    for (size_t m = rested; m < to; ++m) {
      const long long minute_wanted = ppms[s] > 0 ? minutes[m].repeats : minutes[m].drops;
      if (static_cast<double>(minute_wanted) < 0.5 * implied / settled_minutes) {
        fault(verdict, "minute %zu: %lld edits, under half the drift's", m, minute_wanted);
      }
    }
  }
  return verdict;
}
