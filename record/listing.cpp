#include "record/listing.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "common/prom_file.h"
#include "record/retention.h"

namespace {

constexpr double kRate = 48000;

// The text of the folder's file `name`, where it is a regular file of the user's ("" where it is
// not there); false where it cannot be read.
bool read_list(int dir, const std::string& name, std::string& text) {
  text.clear();
  const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return errno == ENOENT;
  }
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
  char buffer[65536];
  for (ssize_t n = 1; ok && n > 0;) {
    n = read(fd, buffer, sizeof buffer);
    ok = n >= 0;
    text.append(buffer, size_t(n > 0 ? n : 0));
  }
  close(fd);
  if (!text.empty() && text.back() != '\n') {
    text += '\n';  // (a line cut short by hand: the next one still begins a line)
  }
  return ok;
}

// Writes the day's list (or removes it, empty) and its count in days.tsv.
int write_day(int dir, const std::string& day, const std::string& text) {
  const std::string name = day + ".tsv";
  int error = 0;
  if (text.empty()) {
    error = unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
  } else {
    error = whole_file_write(dir, name.c_str(), text.data(), text.size());
  }
  std::string days;
  if (error == 0 && !read_list(dir, "days.tsv", days)) {
    error = errno;
  }
  if (error == 0) {
    days = listing_days_with(days, day, size_t(std::count(text.begin(), text.end(), '\n')));
    error = whole_file_write(dir, "days.tsv", days.data(), days.size());
  }
  return error;
}

// The lists' lock: the services of two frequencies share one state folder, and each rewrites the
// same days.tsv. A file of the user's alone (0600): nobody else can open it to hold it. -1 where it
// cannot be had; the lists are then written unlocked.
int lock_lists(int dir) {
  const int fd = openat(dir, ".orvctl-record.lock",
                        O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
                  flock(fd, LOCK_EX) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

void unlock_lists(int fd) {
  if (fd >= 0) {
    close(fd);
  }
}

}  // namespace

std::string listing_line(const ListEntry& e) {
  char figures[128];
  const double peak = e.peak > 0 ? 20 * std::log10(e.peak / 32768.0) : -INFINITY;
  snprintf(figures, sizeof figures, "\t%lld.%03lld\t%s\t%.2f\t%.1f\n",
           static_cast<long long>(e.began_ns / 1000000000),
           static_cast<long long>(e.began_ns % 1000000000 / 1000000), e.khz.c_str(),
           double(e.samples) / kRate, peak);
  return e.name + figures;
}

std::string listing_day(const std::string& name) {
  return retention_is_recording(name.c_str()) ? name.substr(0, 10) : "";
}

std::string listing_days_with(const std::string& days, const std::string& day, size_t count) {
  std::string out;
  bool placed = count == 0;
  const std::string own = day + "\t" + std::to_string(count) + "\n";
  for (size_t at = 0; at < days.size();) {
    size_t end = days.find('\n', at);
    end = end == std::string::npos ? days.size() : end + 1;
    const std::string line = days.substr(at, end - at);
    at = end;
    const std::string other = line.substr(0, line.find('\t'));
    if (other == day) {
      continue;
    }
    if (!placed && other > day) {
      out += own;
      placed = true;
    }
    out += line;
  }
  return placed ? out : out + own;
}

int listing_add(int dir, const ListEntry& entry) {
  const std::string day = listing_day(entry.name);
  std::string text;
  if (day.empty()) {
    return EINVAL;
  }
  const int lock = lock_lists(dir);
  const int error =
      read_list(dir, day + ".tsv", text) ? write_day(dir, day, text + listing_line(entry)) : errno;
  unlock_lists(lock);
  return error;
}

int listing_prune(int dir, const std::vector<std::string>& deleted) {
  std::vector<std::string> gone(deleted), days;
  std::sort(gone.begin(), gone.end());
  int error = 0;
  const int lock = lock_lists(dir);
  std::string text;
  if (gone.empty() && read_list(dir, "days.tsv", text)) {
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
      days.push_back(text.substr(at, 10));
    }
  }
  for (const std::string& name : gone) {
    if (days.empty() || days.back() != name.substr(0, 10)) {
      days.push_back(name.substr(0, 10));
    }
  }
  for (const std::string& day : days) {
    std::string kept;
    if (!read_list(dir, day + ".tsv", text)) {
      error = errno;
      continue;
    }
    for (size_t at = 0; at < text.size();) {
      const size_t end = text.find('\n', at) + 1;
      const std::string line = text.substr(at, end - at);
      const std::string name = line.substr(0, line.find('\t'));
      at = end;
      struct stat st {};
      if (gone.empty() ? fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                       : !std::binary_search(gone.begin(), gone.end(), name)) {
        kept += line;
      }
    }
    if (kept.size() != text.size()) {
      const int failed = write_day(dir, day, kept);
      error = failed != 0 ? failed : error;
    }
  }
  unlock_lists(lock);
  return error;
}
