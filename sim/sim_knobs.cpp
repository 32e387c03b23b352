#include "sim/sim_knobs.h"

#include <cstdint>
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
          .log = std::getenv("ORVSIM_LOG")};
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
    } else {
      error = "ORVSIM_SIGNAL must be chime or ramp" + rejected(texts.signal);
      return false;
    }
  }
  if (texts.log != nullptr && *texts.log == '\0') {
    error = "ORVSIM_LOG must name a file";
    return false;
  }
  knobs.log_path = texts.log;
  return true;
}
