#include "record/retention.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "record/say.h"

namespace {

constexpr int64_t GiB = int64_t(1) << 30;
// The oldest recordings a look keeps in memory: a month of a busy channel is tens of thousands,
// of which only the oldest are wanted; the folder is looked through again once they are gone.
constexpr size_t kListed = 4096;
constexpr int64_t kLookEveryNs = int64_t(3600) * 1000000000;

bool digits(const char*& at, int count) {
  for (int i = 0; i < count; ++i, ++at) {
    if (!isdigit(static_cast<unsigned char>(*at))) {
      return false;
    }
  }
  return true;
}

bool literal(const char*& at, const char* text) {
  const size_t n = strlen(text);
  if (strncmp(at, text, n) != 0) {
    return false;
  }
  at += n;
  return true;
}

std::string size_text(double bytes) {
  char text[32];
  if (bytes >= GiB) {
    snprintf(text, sizeof text, "%.1f GiB", bytes / GiB);
  } else {
    snprintf(text, sizeof text, "%.1f MiB", bytes / (1 << 20));
  }
  return text;
}

}  // namespace

int64_t retention_floor(const RetentionSettings& s, int64_t size) {
  if (s.keep_free >= 0) {
    return s.keep_free;
  }
  if (s.keep_free_share > 0) {
    return int64_t(double(size) * s.keep_free_share);
  }
  return std::min(std::clamp(size * 15 / 100, GiB, 4 * GiB), size / 2);
}

bool retention_is_recording(const char* name) {
  const char* at = name;
  if (!(digits(at, 4) && literal(at, "-") && digits(at, 2) && literal(at, "-") && digits(at, 2) &&
        literal(at, "_") && digits(at, 2))) {
    return false;
  }
  if (*at == 'A' || *at == 'B') {
    ++at;  // (the hour that comes twice)
  }
  if (!digits(at, 4)) {
    return false;
  }
  if (*at == '_' && isdigit(static_cast<unsigned char>(at[1]))) {
    ++at;
    int n = 0;
    for (; isdigit(static_cast<unsigned char>(*at)) && n <= 10; ++at, ++n) {
    }
    if (n > 10 || !literal(at, "kHz")) {
      return false;
    }
  }
  literal(at, "_unsynced");
  if (*at == '-') {
    ++at;
    int n = 0;
    for (; isdigit(static_cast<unsigned char>(*at)) && n <= 3; ++at, ++n) {
    }
    if (n == 0 || n > 3) {
      return false;
    }
  }
  return strcmp(at, ".flac") == 0;
}

RetentionPlan retention_plan(const std::vector<Kept>& oldest, int64_t free, int64_t floor,
                             int64_t total, int64_t max_total, int64_t cutoff_ns) {
  RetentionPlan plan;
  for (size_t i = 0; i + 1 < oldest.size(); ++i) {
    const bool space = free < floor;
    const bool over = max_total > 0 && total > max_total;
    const bool old = cutoff_ns > 0 && oldest[i].mtime_ns < cutoff_ns;
    if (!space && !over && !old) {
      break;
    }
    plan.for_space |= space;
    plan.for_total |= over;
    plan.for_age |= old;
    plan.count += 1;
    free += oldest[i].bytes;
    total -= oldest[i].bytes;
  }
  return plan;
}

void archive_look(Archive& a, int dir) {
  a.oldest.clear();
  a.total = 0;
  a.count = 0;
  // (A descriptor of its own: a copy of `dir` would share its place in the listing, and a second
  // look would begin where the first ended.)
  const int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
  auto by_age = [](const Kept& x, const Kept& y) { return x.mtime_ns < y.mtime_ns; };
  for (dirent* e; listing != nullptr && (e = readdir(listing)) != nullptr;) {
    struct stat st {};
    if (!retention_is_recording(e->d_name) ||
        fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != geteuid()) {
      continue;
    }
    const Kept kept{int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                    int64_t(st.st_blocks) * 512, st.st_ino, e->d_name};
    a.total += kept.bytes;
    a.count += 1;
    a.oldest.push_back(kept);
    if (a.oldest.size() >= 2 * kListed) {
      std::nth_element(a.oldest.begin(), a.oldest.begin() + kListed, a.oldest.end(), by_age);
      a.oldest.resize(kListed);
    }
  }
  if (listing != nullptr) {
    closedir(listing);
  } else if (fd >= 0) {
    close(fd);
  }
  std::sort(a.oldest.begin(), a.oldest.end(), by_age);
  a.complete = a.oldest.size() <= kListed;
  if (!a.complete) {
    a.oldest.resize(kListed);
  }
  a.looked = true;
}

void archive_added(Archive& a, const Kept& kept) {
  a.total += kept.bytes;
  a.count += 1;
  if (a.complete && a.oldest.size() < kListed) {
    a.oldest.push_back(kept);
  } else {
    a.complete = false;
  }
}

void archive_keep(Archive& a, int dir, const std::string& path, int64_t now_ns, int64_t steady_ns) {
  struct statvfs fs {};
  if (fstatvfs(dir, &fs) != 0) {
    return;
  }
  a.free = int64_t(fs.f_bavail) * int64_t(fs.f_frsize);
  a.floor = retention_floor(a.settings, int64_t(fs.f_blocks) * int64_t(fs.f_frsize));
  if (!a.looked || steady_ns - a.looked_ns >= kLookEveryNs) {
    archive_look(a, dir);
    a.looked_ns = steady_ns;
  }
  const int64_t cutoff = a.settings.max_age_s > 0 ? now_ns - a.settings.max_age_s * 1000000000 : 0;
  RetentionPlan why;
  size_t deleted = 0;
  int64_t freed = 0;
  for (int looks = 0; looks < 2; ++looks) {
    const RetentionPlan plan =
        retention_plan(a.oldest, a.free, a.floor, a.total, a.settings.max_total, cutoff);
    size_t done = 0;
    for (; done < plan.count; ++done) {
      const Kept& k = a.oldest[done];
      struct stat st {};
      // Still the file looked at, the user's and regular: deleted through the folder's descriptor.
      if (fstatat(dir, k.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
          st.st_uid == geteuid() && st.st_ino == k.ino && unlinkat(dir, k.name.c_str(), 0) == 0) {
        const int reason = plan.for_space || plan.for_total ? 0 : 1;
        a.deleted_files[reason] += 1;
        a.deleted_bytes[reason] += uint64_t(k.bytes);
        deleted += 1;
        freed += k.bytes;
        a.deleted_names.push_back(k.name);
      }
      a.free += k.bytes;
      a.total -= k.bytes;
      a.count -= 1;
    }
    a.oldest.erase(a.oldest.begin(), a.oldest.begin() + long(done));
    why.for_space |= plan.for_space;
    why.for_total |= plan.for_total;
    why.for_age |= plan.for_age;
    // Used up what the last look kept in mind, with room still wanted: look again, once.
    const bool wanting =
        a.free < a.floor || (a.settings.max_total > 0 && a.total > a.settings.max_total);
    if (a.complete || a.oldest.size() > 1 || !wanting) {
      break;
    }
    archive_look(a, dir);
    a.looked_ns = steady_ns;
  }
  if (fstatvfs(dir, &fs) == 0) {
    a.free = int64_t(fs.f_bavail) * int64_t(fs.f_frsize);
  }
  if (deleted > 0) {
    std::string reasons;
    if (why.for_space) {
      reasons += "to keep " + size_text(double(a.floor)) + " free";
    }
    if (why.for_total) {
      reasons += std::string(reasons.empty() ? "" : ", ") + "to keep the folder under " +
                 size_text(double(a.settings.max_total));
    }
    if (why.for_age) {
      char days[64];
      snprintf(days, sizeof days, "%sas older than %g days", reasons.empty() ? "" : ", ",
               double(a.settings.max_age_s) / 86400);
      reasons += days;
    }
    record_say("deleted %zu recording%s (%s) from %s %s; the oldest kept: %s", deleted,
               deleted == 1 ? "" : "s", size_text(double(freed)).c_str(), path.c_str(),
               reasons.c_str(), a.oldest.empty() ? "none" : a.oldest.front().name.c_str());
  }
  if (a.free < a.floor && !a.floor_said) {
    record_say(
        "cannot keep %s free on the file system of %s: %s free, and no recording of its own "
        "left to delete but the newest; recording goes on as space allows",
        size_text(double(a.floor)).c_str(), path.c_str(), size_text(double(a.free)).c_str());
  }
  a.floor_said = a.free < a.floor;
}
