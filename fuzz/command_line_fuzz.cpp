// Fuzz target: whole runs of orvctl-sim, in-process, for arbitrary argument lists. The input is
// split at NUL bytes into arguments after the program name. The simulated board answers at once
// and fills its buffer in microseconds; the sound output is the test device set to fail its first
// write, so that a run with s relays one block and ends the way a broken output ends it (status 1).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "driver.h"
#include "testing/alsa_config.h"

namespace {

constexpr size_t kMaxArguments = 64;

}  // namespace

extern char** environ;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  use_alsa_config("pcm.!default { type orvtest; fail_at 0 }");
  // Every knob of the simulated board left out (whatever the fuzzer was started with), but these.
  std::vector<std::string> knobs;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "ORVSIM_", 7) == 0) {
      knobs.emplace_back(*entry, std::strcspn(*entry, "="));
    }
  }
  for (const std::string& knob : knobs) {
    unsetenv(knob.c_str());
  }
  setenv("ORVSIM_SPI_HZ", "0", 1);
  setenv("ORVSIM_RATE", "1000000000", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments{"orvctl"};
  std::string current;
  for (size_t i = 0; i < size && arguments.size() < kMaxArguments; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (size > 0 && arguments.size() < kMaxArguments) {
    arguments.push_back(current);
  }
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(argument.c_str());
  }
  argv.push_back(nullptr);
  const int status = run_orvctl(static_cast<int>(arguments.size()), argv.data());
  // Nothing in a run through the simulated board may fail, but the sound output, which breaks
  // at its first write: a run with s ends with status 1, any other with 0.
  const bool sound =
      arguments.size() > 1 &&
      parse_command_line(static_cast<int>(arguments.size()), argv.data()).EmitSound != 0;
  if (status != (sound ? 1 : 0)) {
    __builtin_trap();
  }
  return 0;
}
