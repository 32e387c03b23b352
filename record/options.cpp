#include "record/options.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

const char* const kRecordUsage =
    "usage: orvctl-record [--level DB] [--hang SECONDS] [--pre-roll SECONDS] [--minimum SECONDS] "
    "[--longest SECONDS] [--keep-free SIZE] [--max-total SIZE] [--max-age DAYS] FOLDER";

const char* const kRecordHelp =
    "Keeps each transmission in orvctl's audio (48000 Hz S16_LE mono on standard input) as a\n"
    "FLAC file in FOLDER.\n"
    "  --level DB          above it, a sample is sound: below 0 dB, to -96 (default -50dB)\n"
    "  --hang SECONDS      silence that ends a transmission: 0.1 to 60 (default 2)\n"
    "  --pre-roll SECONDS  audio kept before the first sound: 0 to 60 (default 0.2)\n"
    "  --minimum SECONDS   the shortest sound kept: 0 to 60 (default 0.5)\n"
    "  --longest SECONDS   the longest file: 1 to 3600 (default 300)\n"
    "  --keep-free SIZE    free space kept on the folder's file system, deleting the oldest\n"
    "                      recordings: 500M, 2G, 10% (default 15%, 1G to 4G); 0: none\n"
    "  --max-total SIZE    the recordings together at most this: 20G (default: no bound)\n"
    "  --max-age DAYS      recordings older are deleted: 30 (default: kept)\n"
    "See man orvctl-record.\n";

namespace {

// A number as the command line gives it: digits with at most one point.
bool parse_number(const char* text, double& value) {
  const size_t digits = strspn(text, "0123456789.");
  if (digits == 0 || text[digits] != '\0' || std::count(text, text + digits, '.') > 1 ||
      strcmp(text, ".") == 0) {
    return false;
  }
  value = strtod(text, nullptr);
  return true;
}

// A level in dB of full scale: "-50dB", "-50".
bool parse_level(const char* text, double& value) {
  std::string number = text;
  if (number.size() > 2 && number.compare(number.size() - 2, 2, "dB") == 0) {
    number.resize(number.size() - 2);
  }
  if (number.empty() || number[0] != '-' || !parse_number(number.c_str() + 1, value)) {
    return false;
  }
  value = -value;
  return value < 0 && value >= -96;
}

// A size: digits with at most one point and K, M, G or T (powers of 1024), or none for bytes; with
// `share`, N% too.
bool parse_size(const char* text, int64_t& bytes, double* share) {
  std::string number = text;
  const char last = number.empty() ? '\0' : number.back();
  double unit = 1;
  const char* units = "KMGT";
  if (const char* at = strchr(units, last); last != '\0' && at != nullptr) {
    unit = double(int64_t(1) << (10 * (at - units + 1)));
    number.pop_back();
  } else if (last == '%' && share != nullptr) {
    number.pop_back();
    double percent = 0;
    if (!parse_number(number.c_str(), percent) || percent > 90) {
      return false;
    }
    *share = percent / 100;
    bytes = percent == 0 ? 0 : -1;
    return true;
  }
  double value = 0;
  if (!parse_number(number.c_str(), value) || value * unit > 1e15) {
    return false;
  }
  bytes = int64_t(value * unit);
  return true;
}

struct Bounds {
  const char* name;
  double RecordOptions::*field;
  double least, most;
  const char* said;
};

const Bounds bounds[] = {
    {"--hang", &RecordOptions::hang, 0.1, 60, "0.1 to 60 seconds"},
    {"--pre-roll", &RecordOptions::pre_roll, 0, 60, "0 to 60 seconds"},
    {"--minimum", &RecordOptions::minimum, 0, 60, "0 to 60 seconds"},
    {"--longest", &RecordOptions::longest, 1, 3600, "1 to 3600 seconds"},
};

}  // namespace

Parsed record_parse_options(int argc, char** argv, RecordOptions& options, std::string& error) {
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
    const std::string name = argv[i];
    if (name == "--help") {
      return Parsed::help;
    }
    if (i + 1 >= argc) {
      error = name + " needs a value";
      return Parsed::bad;
    }
    const char* value = argv[i + 1];
    if (name == "--keep-free" || name == "--max-total") {
      RetentionSettings& r = options.retention;
      const bool free = name == "--keep-free";
      if (!parse_size(value, free ? r.keep_free : r.max_total,
                      free ? &r.keep_free_share : nullptr)) {
        error =
            name + " takes a size (500M, 2G" + (free ? ", 10%" : "") + "), not \"" + value + "\"";
        return Parsed::bad;
      }
      continue;
    }
    if (name == "--max-age") {
      double days = 0;
      if (!parse_number(value, days) || days > 36500) {
        error = "--max-age takes days, 0 to 36500, not \"" + std::string(value) + "\"";
        return Parsed::bad;
      }
      options.retention.max_age_s = int64_t(days * 86400);
      continue;
    }
    if (name == "--level") {
      if (!parse_level(value, options.level_db)) {
        error = "--level takes dB below 0, to -96 (-50dB, say), not \"" + std::string(value) + "\"";
        return Parsed::bad;
      }
      continue;
    }
    const Bounds* b = std::find_if(std::begin(bounds), std::end(bounds),
                                   [&](const Bounds& o) { return name == o.name; });
    if (b == std::end(bounds)) {
      error = "no option " + name;
      return Parsed::bad;
    }
    double number = 0;
    if (!parse_number(value, number) || number < b->least || number > b->most) {
      error = name + " takes " + b->said + ", not \"" + value + "\"";
      return Parsed::bad;
    }
    options.*(b->field) = number;
  }
  if (i >= argc || argv[i][0] == '\0') {
    error = "no folder given";
    return Parsed::bad;
  }
  if (i + 1 < argc) {
    error = std::string("one folder only, not ") + argv[i] + " and " + argv[i + 1];
    return Parsed::bad;
  }
  options.folder = argv[i];
  return Parsed::run;
}

DetectorSettings record_detector_settings(const RecordOptions& o) {
  auto samples = [](double seconds) { return static_cast<uint64_t>(seconds * kRecordRate + 0.5); };
  return DetectorSettings{detector_threshold(o.level_db), samples(o.hang), samples(o.pre_roll),
                          samples(o.minimum), samples(o.longest)};
}
