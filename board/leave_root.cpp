#include "board/leave_root.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/console.h"

namespace {

// An id given in full as a decimal number.
bool parse_id(const char* text, unsigned long& id) {
  if (text == nullptr || *text < '0' || *text > '9') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  id = std::strtoul(text, &end, 10);
  return *end == '\0' && errno == 0 && id <= UINT32_MAX;
}

// Who the run is to become, for the message that says it could not.
const char* becoming = "the user who ran sudo";

bool refuse(const char* format, ...) __attribute__((format(printf, 1, 2)));
bool refuse(const char* format, ...) {
  char why[300];
  va_list args;
  va_start(args, format);
  std::vsnprintf(why, sizeof why, format, args);
  va_end(args);
  say("orvctl could not become %s: %s. It does not go on as root\n", becoming, why);
  return false;
}

// Whether every id of the process (real, effective and saved; user and group) is `uid` or `gid`,
// its supplementary groups are `groups` (in any order), and none of root's powers can be taken
// back: not its user id, nor its group, nor another set of groups.
bool left_for_good(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
  uid_t r = 0, e = 0, saved = 0;
  gid_t rg = 0, eg = 0, saved_g = 0;
  if (getresuid(&r, &e, &saved) != 0 || r != uid || e != uid || saved != uid ||
      getresgid(&rg, &eg, &saved_g) != 0 || rg != gid || eg != gid || saved_g != gid) {
    return refuse("its user and group ids are not all the user's");
  }
  const int count = getgroups(0, nullptr);
  std::vector<gid_t> now(static_cast<size_t>(std::max(count, 0)));
  if (count < 0 || getgroups(count, now.data()) != count ||
      !std::is_permutation(now.begin(), now.end(), groups.begin(), groups.end())) {
    return refuse("its groups are not the user's");
  }
  if (setuid(0) == 0 || seteuid(0) == 0 || (gid != 0 && (setgid(0) == 0 || setegid(0) == 0)) ||
      setgroups(0, nullptr) == 0) {
    return refuse("root could be taken back after the change");
  }
  return true;
}

// A program installed setuid root, started by a user: that user again, whatever the environment
// says (it is theirs to set). Their groups and environment are theirs already.
bool leave_setuid_root(uid_t uid, gid_t gid) {
  becoming = "the user who started it";
  const int count = getgroups(0, nullptr);
  std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 0)));
  if (count < 0 || getgroups(count, groups.data()) != count) {
    return refuse("its groups: %s", std::strerror(errno));
  }
  if (setresgid(gid, gid, gid) != 0) {
    return refuse("the group %lu: %s", static_cast<unsigned long>(gid), std::strerror(errno));
  }
  if (setresuid(uid, uid, uid) != 0) {
    return refuse("the user %lu: %s", static_cast<unsigned long>(uid), std::strerror(errno));
  }
  return left_for_good(uid, gid, groups);
}

// Whether `gid` is the user's own group or one of the groups they belong to.
bool has_group(const char* name, gid_t own, gid_t gid) {
  int count = 0;
  getgrouplist(name, own, nullptr, &count);  // fails, and gives the count
  std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 1)));
  if (getgrouplist(name, own, groups.data(), &count) < 0) {
    return false;
  }
  groups.resize(static_cast<size_t>(count));
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

}  // namespace

bool board_leave_root() {
  if (geteuid() != 0) {
    return true;  // a user already
  }
  if (getuid() != 0) {
    return leave_setuid_root(getuid(), getgid());
  }
  // Root started it: sudo's variables say who ran sudo, if anyone did.
  const char* const name = std::getenv("SUDO_USER");
  const char* const uid_text = std::getenv("SUDO_UID");
  const char* const gid_text = std::getenv("SUDO_GID");
  if (name == nullptr && uid_text == nullptr && gid_text == nullptr) {
    return true;  // root, not through sudo
  }
  unsigned long uid = 0;
  unsigned long gid = 0;
  if (name == nullptr || !parse_id(uid_text, uid) || !parse_id(gid_text, gid)) {
    return refuse("SUDO_USER, SUDO_UID and SUDO_GID do not name a user and a group");
  }
  if (uid == 0) {
    return true;  // root ran sudo: root it stays
  }
  const passwd* const entry = getpwnam(name);
  if (entry == nullptr) {
    return refuse("there is no user \"%s\" (SUDO_USER)", name);
  }
  if (entry->pw_uid != uid) {
    return refuse("the user \"%s\" has the id %lu, not %s (SUDO_UID)", name,
                  static_cast<unsigned long>(entry->pw_uid), uid_text);
  }
  const std::string home = entry->pw_dir;
  const std::string user = entry->pw_name;
  if (!has_group(user.c_str(), entry->pw_gid, static_cast<gid_t>(gid))) {
    return refuse("the group %s (SUDO_GID) is not one of the groups of \"%s\"", gid_text,
                  user.c_str());
  }
  // The groups first and the user id last: each step needs root.
  if (initgroups(user.c_str(), static_cast<gid_t>(gid)) != 0) {
    return refuse("the groups of \"%s\": %s", user.c_str(), std::strerror(errno));
  }
  if (setresgid(static_cast<gid_t>(gid), static_cast<gid_t>(gid), static_cast<gid_t>(gid)) != 0) {
    return refuse("the group %s: %s", gid_text, std::strerror(errno));
  }
  if (setresuid(static_cast<uid_t>(uid), static_cast<uid_t>(uid), static_cast<uid_t>(uid)) != 0) {
    return refuse("the user %s: %s", uid_text, std::strerror(errno));
  }
  int count = 0;
  getgrouplist(user.c_str(), static_cast<gid_t>(gid), nullptr, &count);  // fails, gives the count
  std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 1)));
  if (getgrouplist(user.c_str(), static_cast<gid_t>(gid), groups.data(), &count) < 0) {
    return refuse("the groups of \"%s\" could not be listed", user.c_str());
  }
  groups.resize(static_cast<size_t>(count));
  if (!left_for_good(static_cast<uid_t>(uid), static_cast<gid_t>(gid), groups)) {
    return false;
  }

  // What ALSA and a sound server read: the user's home (~/.asoundrc), name and runtime folder,
  // where their sound server listens. A runtime folder that is missing or not theirs is left
  // unset: ALSA then plays through the user's configuration, but without their sound server.
  setenv("HOME", home.c_str(), 1);
  setenv("USER", user.c_str(), 1);
  setenv("LOGNAME", user.c_str(), 1);
  char runtime[40];
  std::snprintf(runtime, sizeof runtime, "/run/user/%lu", uid);
  struct stat folder {};
  if (stat(runtime, &folder) == 0 && S_ISDIR(folder.st_mode) && folder.st_uid == uid) {
    setenv("XDG_RUNTIME_DIR", runtime, 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
  return true;
}
