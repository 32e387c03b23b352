#include "run_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::pair<std::string, std::string>>& env) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_with_argv(program, argv, env);
}

ProcessResult run_with_argv(const std::string& program,
                            const std::vector<std::string>& argv_strings,
                            const std::vector<std::pair<std::string, std::string>>& env) {
  const std::string dir = make_temp_dir();
  const std::string out_path = dir + "/stdout";
  const std::string err_path = dir + "/stderr";

  std::vector<std::string> env_strings;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "ORVSIM_", 7) != 0 && std::strncmp(*entry, "FAKE_BCM2835_", 13) != 0) {
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
  std::vector<char*> argv;
  for (std::string& arg : arg_strings) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(126);
    }
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  ProcessResult result;
  int wait_status = 0;
  if (child > 0 && waitpid(child, &wait_status, 0) == child) {
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  }
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  rmdir(dir.c_str());
  return result;
}
