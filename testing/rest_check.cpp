// orvctl-rest-check REPORT PPM [UPSET...]: judges a run in simulated time from the test output's
// report, as the tests' hour rows do (testing/at_rest.h), for scripts/soak.sh. An upset is
// stall:AT:MS, gap:AT:MS, step:AT:PPM or restart:AT, AT in seconds. Prints
// "band LOW HIGH rest LOW HIGH back MINUTES edits WANTED UNWANTED implied FRAMES minutes M" (the
// delays in microseconds, the edits and minutes at rest) and each fault on standard error; exits 1
// on a fault, 2 on a command line it cannot read.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "testing/at_rest.h"

namespace {

bool read_upset(const char* text, Upset& upset) {
  static const char* const kKinds[] = {"stall", "gap", "step", "restart"};
  const char* colon = std::strchr(text, ':');
  for (int kind = 0; colon != nullptr && kind < 4; ++kind) {
    if (std::strncmp(text, kKinds[kind], static_cast<size_t>(colon - text)) == 0 &&
        std::strlen(kKinds[kind]) == static_cast<size_t>(colon - text)) {
      upset.kind = static_cast<Upset::Kind>(kind);
      char rest = 0;
      const int read = std::sscanf(colon + 1, "%lf:%d%c", &upset.at, &upset.value, &rest);
      return upset.kind == Upset::restart ? read == 1 : read == 2;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  RestPlan plan{};
  std::ifstream file(argc >= 3 ? argv[1] : "");
  bool usable = file.good() && std::sscanf(argv[2], "%d", &plan.ppm) == 1;
  for (int i = 3; usable && i < argc; ++i) {
    Upset upset{};
    usable = read_upset(argv[i], upset);
    plan.upsets.push_back(upset);
  }
  if (!usable) {
    std::fprintf(stderr,
                 "usage: orvctl-rest-check REPORT PPM [stall|gap|step:AT:VALUE | restart:AT]...\n");
    return 2;
  }
  std::stringstream report;
  report << file.rdbuf();
  const RestVerdict v = judge_rest(minutes_of(report.str()), plan);
  std::printf("band %" PRId64 " %" PRId64 " rest %" PRId64 " %" PRId64
              " back %zu edits %lld %lld implied %.0f minutes %.0f\n",
              v.band_low_us, v.band_high_us, v.rest_low_us, v.rest_high_us, v.longest_back,
              v.rest_wanted, v.rest_unwanted, v.rest_implied, v.rest_minutes);
  for (const std::string& fault : v.faults) {
    std::fprintf(stderr, "%s\n", fault.c_str());
  }
  return v.faults.empty() ? 0 : 1;
}
