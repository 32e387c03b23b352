// ALSA configurations for runs under test. ALSA reads the file ALSA_CONFIG_PATH names and nothing
// else, so no file of the machine decides where "default" goes. The test output device
// (test_output_plugin.cpp) is declared first, so that the PCMs may be of `type orvtest`.
#pragma once

#include <string>

// Writes such a configuration to `path`: the test device's type, then `pcms`.
void write_alsa_config(const std::string& path, const std::string& pcms);

// The same into a new file of the temporary directory, which this process's ALSA then reads.
// Returns the file's path.
std::string use_alsa_config(const std::string& pcms);
