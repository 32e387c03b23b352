#include "testing/run_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string make_temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/orvctl-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::abort();
  }
  return pattern;
}

namespace {

bool inherited(const char* entry, const EnvList& env) {
  static const char* const kDropped[] = {"ORVSIM_", "FAKE_BCM2835_", "FAKE_SPIDEV_", "ALSA_",
                                         "SUDO_",   "FAKE_BUS_",     "NOTIFY_SOCKET"};
  for (const char* prefix : kDropped) {
    if (std::strncmp(entry, prefix, std::strlen(prefix)) == 0) {
      return false;
    }
  }
  for (const auto& [name, value] : env) {
    if (std::strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=') {
      return false;
    }
  }
  return true;
}

// Waits for the child, interrupting it after `interrupt_after_ms` and killing it when it
// outlives the grace time.
int wait_for(pid_t child, int interrupt_after_ms, const std::vector<TimedSignal>& signals) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const auto interrupt_at = start + std::chrono::milliseconds(interrupt_after_ms);
  // A run that Ctrl-C should end gets ten seconds for it; one that ends by itself, ten minutes.
  const auto kill_at = interrupt_after_ms > 0 ? interrupt_at + std::chrono::seconds(10)
                                              : start + std::chrono::minutes(10);
  bool interrupted = interrupt_after_ms <= 0;
  size_t signalled = 0;  // signals sent so far
  int wait_status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &wait_status, WNOHANG);
    if (done == child) {
      return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    }
    if (done < 0) {
      return -1;
    }
    const Clock::time_point now = Clock::now();
    while (signalled < signals.size() &&
           now >= start + std::chrono::milliseconds(signals[signalled].after_ms)) {
      kill(child, signals[signalled++].signal);
    }
    if (!interrupted && now >= interrupt_at) {
      kill(child, SIGINT);
      interrupted = true;
    }
    if (now >= kill_at) {
      kill(child, SIGKILL);
    }
    usleep(1000);
  }
}

}  // namespace

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const EnvList& env, int interrupt_after_ms, Console console,
                          const std::vector<TimedSignal>& signals) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_with_argv(program, argv, env, interrupt_after_ms, console, signals);
}

ProcessResult run_with_argv(const std::string& program,
                            const std::vector<std::string>& argv_strings, const EnvList& env,
                            int interrupt_after_ms, Console console,
                            const std::vector<TimedSignal>& signals) {
  const std::string dir = make_temp_dir();
  const std::string out_path = dir + "/stdout";
  const std::string err_path = dir + "/stderr";

  std::vector<std::string> env_strings;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (inherited(*entry, env)) {
      env_strings.emplace_back(*entry);
    }
  }
  for (const auto& [name, value] : env) {
    env_strings.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (std::string& entry : env_strings) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  std::vector<std::string> arg_strings = argv_strings;
  std::string path = program;
#ifdef ORVTEST_EMULATOR
  // A foreign build: the program runs under user-mode emulation (the emulator and its options,
  // separated by "|"), with its own argv[0].
  std::vector<std::string> emulator;
  std::istringstream list(ORVTEST_EMULATOR);
  for (std::string word; std::getline(list, word, '|');) {
    emulator.push_back(word);
  }
  path = emulator.at(0);
  emulator.insert(emulator.end(), {"-0", argv_strings.at(0), program});
  arg_strings.erase(arg_strings.begin());
  arg_strings.insert(arg_strings.begin(), emulator.begin(), emulator.end());
#endif
  std::vector<char*> argv;
  for (std::string& arg : arg_strings) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    const int out = open(console == Console::full ? "/dev/full" : out_path.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(126);
    }
    int pipe_ends[2];
    if (console == Console::gone && (pipe(pipe_ends) < 0 || dup2(pipe_ends[1], 1) < 0 ||
                                     close(pipe_ends[0]) < 0 || close(pipe_ends[1]) < 0)) {
      _exit(126);
    }
    if (console == Console::closed) {
      close(1);
      close(2);
    }
    if (console == Console::background) {
      signal(SIGINT, SIG_IGN);
      signal(SIGQUIT, SIG_IGN);
    }
    // Nothing else of this process stays open in the program.
    for (const int fd : {out, err, in}) {
      if (fd > 2) {
        close(fd);
      }
    }
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  ProcessResult result;
  if (child > 0) {
    result.status = wait_for(child, interrupt_after_ms, signals);
  }
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  rmdir(dir.c_str());
  return result;
}
