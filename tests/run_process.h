// Runs a program as a user would and collects what it printed and how it ended.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct ProcessResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status, or 128 + signal
};

// `args` follow the program name; `env` entries are set on top of this process's environment
// with every ORVSIM_ and FAKE_BCM2835_ variable removed.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::pair<std::string, std::string>>& env = {});

// The same with the whole argument vector, program name included (it may be empty).
ProcessResult run_with_argv(const std::string& program, const std::vector<std::string>& argv,
                            const std::vector<std::pair<std::string, std::string>>& env = {});

std::string read_file(const std::string& path);

// A fresh empty directory under the test temporary directory.
std::string make_temp_dir();
