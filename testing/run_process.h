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

using EnvList = std::vector<std::pair<std::string, std::string>>;

// A signal sent to the program from outside, `after_ms` after its start.
struct TimedSignal {
  int after_ms;
  int signal;
};

// Where the program's standard output and error go.
enum class Console {
  captured,    // into ProcessResult
  closed,      // nowhere: both descriptors closed
  full,        // standard output into /dev/full (every write fails), standard error captured
  gone,        // standard output a pipe whose reader has gone, standard error captured
  background,  // captured, started as a script starts a job in the background: SIGINT and
               // SIGQUIT ignored
};

// `args` follow the program name; `env` entries replace or add to this process's environment
// with every ORVSIM_, FAKE_BCM2835_, FAKE_SPIDEV_, FAKE_BUS_, ALSA_ and SUDO_ variable and
// NOTIFY_SOCKET removed. With
// `interrupt_after_ms`, the program gets SIGINT (Ctrl-C) that long after its start, and is killed
// if it is still running ten seconds later. Without it, it is killed after ten minutes.
// `signals` are sent at their times, in order, as long as the program runs.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const EnvList& env = {}, int interrupt_after_ms = 0,
                          Console console = Console::captured,
                          const std::vector<TimedSignal>& signals = {});

// The same with the whole argument vector, program name included (it may be empty).
ProcessResult run_with_argv(const std::string& program, const std::vector<std::string>& argv,
                            const EnvList& env = {}, int interrupt_after_ms = 0,
                            Console console = Console::captured,
                            const std::vector<TimedSignal>& signals = {});

std::string read_file(const std::string& path);

// A fresh empty directory under the test temporary directory.
std::string make_temp_dir();
