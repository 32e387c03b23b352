#include "cli/command_line.h"

#include "common/console.h"
#include "version.h"

void print_banner() {
  say_line("Orvane RF tuning utility v" ORVCTL_VERSION "\n");
}

void print_usage() {
  say("Usage: orvctl [OPTIONS] n\n");
  say("where: n = frequency in kHz\n\n");
  say_line("OPTIONS\n");
  say_line("    -a   AM demodulation");
  say_line("    -n   Narrow band FM demodulation (default)");
  say_line("    -w   Wide band FM demodulation");
  say_line("    -h   Use HF antenna and up-converter");
  say_line("    -v   Use VHF/UHF antenna (default)");
  say_line("    -s   Emit sound on playback channel (Ctrl-C to exit)");
  say("\n");
}

namespace {

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void apply_option_letter(char letter, RunSettings& settings) {
  switch (letter) {
    case 'a':
      settings.AM = 1;
      settings.WB = 0;
      break;
    case 'w':
      settings.WB = 1;
      settings.AM = 0;
      break;
    case 'n':
      settings.AM = 0;
      settings.WB = 0;
      break;
    case 'h':
      settings.HF = 1;
      break;
    case 'v':  // the usage text offers -v to go back to the VHF/UHF antenna
      settings.HF = 0;
      break;
    case 's':
      settings.EmitSound = 1;
      break;
    case 'd':
      settings.Debug = 1;
      break;
    case 'r':
      settings.DisplayRSSI = 1;
      break;
    default:  // anything else is ignored without a word
      break;
  }
}

}  // namespace

uint32_t parse_frequency(const char* text) {
  while (is_c_space(*text)) {
    ++text;
  }
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') {
    ++text;
  }
  // Magnitude limit: 2^31 - 1 for a positive number, 2^31 for a negative one.
  const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
  int64_t magnitude = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    magnitude = magnitude * 10 + (*text - '0');
    if (magnitude > limit) {
      magnitude = limit;  // saturated; further digits cannot bring it back
    }
  }
  const int64_t value = negative ? -magnitude : magnitude;
  return static_cast<uint32_t>(static_cast<int32_t>(value));
}

RunSettings parse_command_line(int argc, const char* const argv[]) {
  RunSettings settings;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] == '-') {
      for (const char* letter = argument + 1; *letter != '\0'; ++letter) {
        apply_option_letter(*letter, settings);
      }
    } else {
      settings.FreqInHz = parse_frequency(argument);  // the last frequency argument wins
    }
  }
  return settings;
}
