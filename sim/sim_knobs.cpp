#include "sim/sim_knobs.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Whole decimal number of at most `max`; digits only.
bool read_decimal(const char*& p, uint64_t max, uint64_t& value) {
  if (*p < '0' || *p > '9') {
    return false;
  }
  value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > max) {
      return false;
    }
  }
  return true;
}

bool parse_version(const char* text, FirmwareVersion& version) {
  uint64_t major = 0;
  uint64_t minor = 0;
  if (!read_decimal(text, 255, major) || *text++ != '.' || !read_decimal(text, 255, minor) ||
      *text != '\0') {
    return false;
  }
  version = {static_cast<uint8_t>(major), static_cast<uint8_t>(minor)};
  return true;
}

bool parse_status(const char* text, BoardStatus& status) {
  uint8_t bytes[4];
  for (uint8_t& byte : bytes) {
    while (*text == ' ') {
      ++text;
    }
    uint64_t value = 0;
    if (!read_decimal(text, 255, value) || (*text != ' ' && *text != '\0')) {
      return false;
    }
    byte = static_cast<uint8_t>(value);
  }
  while (*text == ' ') {
    ++text;
  }
  if (*text != '\0') {
    return false;
  }
  status = {bytes[0], bytes[1], bytes[2], bytes[3]};
  return true;
}

bool parse_whole(const char* text, uint32_t max, uint32_t& number) {
  uint64_t value = 0;
  if (!read_decimal(text, max, value) || *text != '\0') {
    return false;
  }
  number = static_cast<uint32_t>(value);
  return true;
}

// SECONDS with an optional fraction of up to nine digits ("3600", "0.25"), as nanoseconds.
bool read_seconds(const char*& p, int64_t& ns) {
  constexpr uint64_t kMaxSeconds = 10 * 365 * 86400ULL;
  uint64_t whole = 0;
  if (!read_decimal(p, kMaxSeconds, whole)) {
    return false;
  }
  ns = static_cast<int64_t>(whole) * 1000000000;
  if (*p == '.') {
    ++p;
    int64_t scale = 100000000;
    if (*p < '0' || *p > '9') {
      return false;
    }
    for (; *p >= '0' && *p <= '9'; ++p, scale /= 10) {
      if (scale == 0) {
        return false;
      }
      ns += (*p - '0') * scale;
    }
  }
  return true;
}

bool parse_seconds(const char* text, int64_t& ns) {
  return read_seconds(text, ns) && *text == '\0';
}

// Upsets "SECONDS:MS SECONDS:MS ...", in order of time, none starting before the previous ended.
bool parse_upsets(const char* text, std::vector<SimUpset>& upsets) {
  upsets.clear();
  int64_t free_from = 0;
  for (;;) {
    while (*text == ' ') {
      ++text;
    }
    if (*text == '\0') {
      return true;
    }
    SimUpset upset{};
    uint64_t ms = 0;
    if (!read_seconds(text, upset.at_ns) || *text++ != ':' || !read_decimal(text, 3600000, ms) ||
        (*text != ' ' && *text != '\0') || upset.at_ns < free_from) {
      return false;
    }
    upset.length_ns = static_cast<int64_t>(ms) * 1000000;
    free_from = upset.at_ns + upset.length_ns;
    upsets.push_back(upset);
  }
}

std::string rejected(const char* text) {
  return std::string(", not \"") + text + "\"";
}

}  // namespace

SimKnobTexts sim_knobs_from_environment() {
  return {.version = std::getenv("ORVSIM_VERSION"),
          .status = std::getenv("ORVSIM_STATUS"),
          .rate = std::getenv("ORVSIM_RATE"),
          .spi_hz = std::getenv("ORVSIM_SPI_HZ"),
          .signal = std::getenv("ORVSIM_SIGNAL"),
          .log = std::getenv("ORVSIM_LOG"),
          .clock = std::getenv("ORVSIM_CLOCK"),
          .stall = std::getenv("ORVSIM_STALL"),
          .gap = std::getenv("ORVSIM_GAP"),
          .stop_at = std::getenv("ORVSIM_STOP_AT"),
          .preempt = std::getenv("ORVSIM_PREEMPT"),
          .seed = std::getenv("ORVSIM_SEED"),
          .miso = std::getenv("ORVSIM_MISO"),
          .reset = std::getenv("ORVSIM_RESET"),
          .halt = std::getenv("ORVSIM_HALT"),
          .bursts = std::getenv("ORVSIM_BURSTS")};
}

bool sim_parse_knobs(const SimKnobTexts& texts, SimKnobs& knobs, std::string& error) {
  knobs = SimKnobs{};
  if (texts.version != nullptr && !parse_version(texts.version, knobs.version)) {
    error = "ORVSIM_VERSION must be MAJOR.MINOR, each 0 to 255 (for example 1.4)" +
            rejected(texts.version);
    return false;
  }
  if (texts.status != nullptr) {
    if (!parse_status(texts.status, knobs.status)) {
      error =
          "ORVSIM_STATUS must be four numbers 0 to 255 separated by spaces, RSSI AGC B5 B6 "
          "(for example \"52 180 0 1\")" +
          rejected(texts.status);
      return false;
    }
    knobs.fixed_status = true;
  }
  if (texts.rate != nullptr && !parse_whole(texts.rate, kSimMaxRate, knobs.rate)) {
    error = "ORVSIM_RATE must be a whole number of samples per second from 0 to " +
            std::to_string(kSimMaxRate) + rejected(texts.rate);
    return false;
  }
  if (texts.spi_hz != nullptr && !parse_whole(texts.spi_hz, kSimMaxSpiHz, knobs.spi_hz)) {
    error = "ORVSIM_SPI_HZ must be a bus clock in Hz from 0 (no bus time) to " +
            std::to_string(kSimMaxSpiHz) + rejected(texts.spi_hz);
    return false;
  }
  if (texts.signal != nullptr) {
    if (std::strcmp(texts.signal, "chime") == 0) {
      knobs.signal = SimSignal::chime;
    } else if (std::strcmp(texts.signal, "ramp") == 0) {
      knobs.signal = SimSignal::ramp;
    } else if (std::strncmp(texts.signal, "file:", 5) == 0 && texts.signal[5] != '\0') {
      knobs.signal = SimSignal::recording;
      knobs.recording_path = texts.signal + 5;
    } else {
      error =
          "ORVSIM_SIGNAL must be chime, ramp or file:PATH (a raw recording: 48000 Hz, signed "
          "16-bit little-endian, mono)" +
          rejected(texts.signal);
      return false;
    }
  }
  if (texts.log != nullptr && *texts.log == '\0') {
    error = "ORVSIM_LOG must name a file";
    return false;
  }
  knobs.log_path = texts.log;
  if (texts.clock != nullptr) {
    if (std::strcmp(texts.clock, "simulated") == 0) {
      knobs.simulated_time = true;
    } else if (std::strcmp(texts.clock, "real") != 0) {
      error = "ORVSIM_CLOCK must be real or simulated" + rejected(texts.clock);
      return false;
    }
  }
  const struct {
    const char* name;
    const char* text;
    std::vector<SimUpset>& upsets;
  } lists[] = {{"ORVSIM_STALL", texts.stall, knobs.stalls},
               {"ORVSIM_GAP", texts.gap, knobs.gaps},
               {"ORVSIM_RESET", texts.reset, knobs.resets},
               {"ORVSIM_HALT", texts.halt, knobs.halts},
               {"ORVSIM_BURSTS", texts.bursts, knobs.bursts}};
  for (const auto& list : lists) {
    if (list.text != nullptr && !parse_upsets(list.text, list.upsets)) {
      error = std::string(list.name) +
              " must be SECONDS:MS pairs separated by spaces, in order of time and not "
              "overlapping (for example \"60:150 3600.5:400\")" +
              rejected(list.text);
      return false;
    }
  }
  if (texts.miso != nullptr) {
    if (std::strcmp(texts.miso, "low") == 0) {
      knobs.miso = 0x00;
    } else if (std::strcmp(texts.miso, "high") == 0) {
      knobs.miso = 0xFF;
    } else {
      error = "ORVSIM_MISO must be low or high (no board answers: every bit read is 0, or 1)" +
              rejected(texts.miso);
      return false;
    }
  }
  if (knobs.simulated_time && knobs.spi_hz == 0) {
    error =
        "ORVSIM_SPI_HZ=0 cannot go with ORVSIM_CLOCK=simulated: a frame would take no time, "
        "and the simulated time of a relay waiting for the board would never move";
    return false;
  }
  if (texts.preempt != nullptr) {
    const char* text = texts.preempt;
    uint64_t rate = 0;
    uint64_t ms = 0;
    if (!read_decimal(text, 1000, rate) || *text++ != ':' || !read_decimal(text, 1000, ms) ||
        *text != '\0') {
      error =
          "ORVSIM_PREEMPT must be RATE:MS, preemptions a second (up to 1000) and the longest "
          "in milliseconds (up to 1000), for example \"4:10\"" +
          rejected(texts.preempt);
      return false;
    }
    knobs.preempt_rate = static_cast<uint32_t>(rate);
    knobs.preempt_ns = static_cast<int64_t>(ms) * 1000000;
  }
  if (texts.seed != nullptr) {
    const char* text = texts.seed;
    if (!read_decimal(text, 1000000000000000000ULL, knobs.seed) || *text != '\0') {
      error = "ORVSIM_SEED must be a whole number" + rejected(texts.seed);
      return false;
    }
  }
  if (texts.stop_at != nullptr && !parse_seconds(texts.stop_at, knobs.stop_at_ns)) {
    error = "ORVSIM_STOP_AT must be a number of seconds (for example 3600 or 0.5)" +
            rejected(texts.stop_at);
    return false;
  }
  return true;
}

bool sim_load_recording(SimKnobs& knobs, std::string& error) {
  if (knobs.signal != SimSignal::recording) {
    return true;
  }
  std::FILE* file = std::fopen(knobs.recording_path, "rb");
  if (file == nullptr) {
    error = std::string("ORVSIM_SIGNAL: cannot open \"") + knobs.recording_path +
            "\": " + std::strerror(errno);
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  for (size_t got = 0; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  knobs.recording.clear();
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {  // an odd last byte is no sample
    knobs.recording.push_back(static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8));
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    error = std::string("ORVSIM_SIGNAL: cannot read \"") + knobs.recording_path + "\"";
    return false;
  }
  return true;
}
