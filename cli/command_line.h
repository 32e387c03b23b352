// The command line: `orvctl [OPTIONS] n`, the banner and the usage text.
#pragma once

#include <cstdint>

// What the command line asks for; filled once by parse_command_line and read-only afterwards.
struct RunSettings {
  uint32_t FreqInHz = 0;  // tuning frequency in kHz as typed (despite the name); 0 = no tuning
  uint8_t AM = 0;         // AM demodulation
  uint8_t WB = 0;         // wide band FM demodulation (neither AM nor WB: narrow band FM)
  uint8_t HF = 0;         // HF antenna and up-converter instead of the VHF/UHF antenna
  int EmitSound = 0;      // relay the board's audio to the sound output
  int Debug = 0;          // print trace lines
  int DisplayRSSI = 0;    // print the board's signal status once per audio block
};

void print_banner();
void print_usage();

// Turns the arguments after the program name into settings. Never fails: unknown option
// letters are ignored and a frequency without digits is 0.
RunSettings parse_command_line(int argc, const char* const argv[]);

// The frequency argument as C's atoi reads it (leading white space, optional sign, digits up to
// the first other character), except that a value beyond the signed 32-bit range saturates to
// its largest or smallest value instead of being undefined. The 32-bit pattern is returned.
uint32_t parse_frequency(const char* text);
