#include "record/folder.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "record/say.h"

namespace {

const char* const going_on =
    "the audio plays on, and recording starts again once the folder can be written";

std::string user_name(uid_t uid) {
  const passwd* user = getpwuid(uid);
  return user != nullptr ? user->pw_name : std::to_string(uid);
}

// Whether the group is the user's own, with no other member.
bool private_group(gid_t gid, uid_t uid) {
  const group* grp = getgrgid(gid);
  const passwd* me = getpwuid(uid);
  return grp != nullptr && me != nullptr && grp->gr_gid == me->pw_gid &&
         strcmp(grp->gr_name, me->pw_name) == 0 && grp->gr_mem[0] == nullptr;
}

}  // namespace

int64_t folder_now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::string folder_refusal(uid_t owner, mode_t mode, uid_t user, bool group_private) {
  if (owner != user) {
    return "it belongs to " + user_name(owner) + ", not to the user recording";
  }
  const bool others_write = (mode & S_IWOTH) != 0 || ((mode & S_IWGRP) != 0 && !group_private);
  if ((mode & S_ISVTX) == 0 && others_write) {
    char octal[8];
    snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
    return std::string("other users may write to it (mode ") + octal + ", no sticky bit)";
  }
  return "";
}

std::string folder_open(Folder& folder) {
  // A link another user made (in a folder others may write to, /tmp say) is not followed.
  struct stat at {};
  const bool link =
      fstatat(AT_FDCWD, folder.path.c_str(), &at, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(at.st_mode);
  if (link && at.st_uid != geteuid() && at.st_uid != 0) {
    return "it is a link that " + user_name(at.st_uid) + " made";
  }
  const int fd =
      open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (link ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    return strerror(errno);
  }
  struct stat st {};
  fstat(fd, &st);
  std::string cause =
      folder_refusal(st.st_uid, st.st_mode, geteuid(), private_group(st.st_gid, geteuid()));
  if (!cause.empty()) {
    close(fd);
    return cause;
  }
  if (folder.fd >= 0) {
    close(folder.fd);
  }
  folder.fd = fd;
  folder.dev = st.st_dev;
  folder.ino = st.st_ino;
  return "";
}

int folder_new_file(const Folder& folder, std::string& part) {
  const mode_t mode = 0666;
  part.clear();
  int fd = openat(folder.fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
    return fd;
  }
  unsigned char random[12];
  if (getrandom(random, sizeof random, 0) != sizeof random) {
    return -1;
  }
  part = ".orvctl-record-";
  for (unsigned char byte : random) {
    part += "0123456789abcdef"[byte >> 4];
    part += "0123456789abcdef"[byte & 15];
  }
  part += ".part";
  return openat(folder.fd, part.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR | O_CLOEXEC, mode);
}

std::string folder_try(Folder& folder) {
  std::string cause = folder_open(folder);
  if (!cause.empty()) {
    return cause;
  }
  std::string part;
  const int fd = folder_new_file(folder, part);
  if (fd < 0) {
    return strerror(errno);
  }
  int reserved = fallocate(fd, 0, 0, 1 << 20);
  if (reserved != 0 && errno == EOPNOTSUPP) {
    std::vector<char> zeros(1 << 20);
    reserved = write(fd, zeros.data(), zeros.size()) == ssize_t(zeros.size()) ? 0 : -1;
  }
  cause = reserved == 0 ? "" : strerror(errno);
  if (!part.empty()) {
    unlinkat(folder.fd, part.c_str(), 0);
  }
  close(fd);
  return cause;
}

void folder_failed(Folder& folder, const std::string& cause, int64_t now_ns) {
  if (cause != folder.said || now_ns - folder.said_ns >= kFolderSayAgainNs) {
    record_say("cannot record into %s: %s; %s", folder.path.c_str(), cause.c_str(), going_on);
    folder.said_ns = now_ns;
  }
  folder.said = cause;
  folder.tried_ns = now_ns;
}

bool folder_ready(Folder& folder, int64_t now_ns, bool for_a_transmission) {
  if (folder.said.empty()) {
    return true;
  }
  if (!for_a_transmission && now_ns - folder.tried_ns < kFolderRetryNs) {
    return false;
  }
  const std::string cause = folder_try(folder);
  if (!cause.empty()) {
    folder_failed(folder, cause, now_ns);
    return false;
  }
  record_say("recording into %s again", folder.path.c_str());
  folder.said.clear();
  return true;
}

bool folder_current(Folder& folder, int64_t now_ns) {
  struct stat st {};
  if (stat(folder.path.c_str(), &st) == 0 && st.st_dev == folder.dev && st.st_ino == folder.ino) {
    return true;
  }
  const std::string cause = folder_open(folder);
  if (!cause.empty()) {
    folder_failed(folder,
                  "it was moved or removed while recording, and " +
                      (cause == strerror(ENOENT) ? std::string("is not there any more") : cause),
                  now_ns);
    return false;
  }
  record_say("the folder %s was moved or removed while recording: recording into the one there now",
             folder.path.c_str());
  return true;
}
