#include "testing/alsa_config.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

void write_alsa_config(const std::string& path, const std::string& pcms) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr ||
      std::fprintf(file, "pcm_type.orvtest { lib \"%s\" }\n%s\n", ORVTEST_PLUGIN_PATH,
                   pcms.c_str()) < 0 ||
      std::fclose(file) != 0) {
    std::perror(path.c_str());
    std::abort();
  }
}

std::string use_alsa_config(const std::string& pcms) {
  const char* base = std::getenv("TMPDIR");
  std::string path = std::string(base != nullptr ? base : "/tmp") + "/orvctl-asound-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) {
    std::perror(path.c_str());
    std::abort();
  }
  close(fd);
  write_alsa_config(path, pcms);
  setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
  return path;
}
