// The folder recordings go into: whose it must be, how it is opened, and what is said and tried
// while it cannot be recorded into. Only the writer's thread uses it, once the run has begun.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// How often a folder that cannot be recorded into is tried again, and how often that is said
// again while it lasts.
constexpr int64_t kFolderRetryNs = 10000000000;
constexpr int64_t kFolderSayAgainNs = 600000000000;

struct Folder {
  std::string path;
  int fd = -1;  // the folder held
  dev_t dev = 0;
  ino_t ino = 0;
  std::string said;      // why it cannot be recorded into; empty while it can
  int64_t tried_ns = 0;  // when it was last tried (CLOCK_MONOTONIC)
  int64_t said_ns = 0;   // when that was last said
};

// Why a folder with this owner and mode must not take the recordings of `user`: "" where it may.
// `group_private`: its group is the user's own, with no other member (Debian's private group).
std::string folder_refusal(uid_t owner, mode_t mode, uid_t user, bool group_private);

// Opens the folder's path afresh and checks it; "" when it can be recorded into, else the cause. A
// link at the path is followed only where it is the user's own (or root's).
std::string folder_open(Folder& folder);

// Opens it afresh and reserves a megabyte there (a few transmissions' room, not written): "" when
// it can be recorded into, else the cause.
std::string folder_try(Folder& folder);

// A failure to record: said when its cause is new, or again every kFolderSayAgainNs while it
// lasts.
void folder_failed(Folder& folder, const std::string& cause, int64_t now_ns);

// Whether the folder can be recorded into now: it could last time, or a try finds it can (said).
// The try is due every kFolderRetryNs, and at once for a transmission, so that a folder freed
// meanwhile takes the next one.
bool folder_ready(Folder& folder, int64_t now_ns, bool for_a_transmission);

// Before each file: where the folder's path leads to another folder now (moved away and made
// anew), that one is opened and said; false, said, where it leads to none that can be recorded
// into.
bool folder_current(Folder& folder, int64_t now_ns);

// A new file in the folder that no other process can open: without a name (O_TMPFILE), or where
// the file system has none of those, under a name nobody can foresee, which `part` gets.
int folder_new_file(const Folder& folder, std::string& part);

// The steady clock the tries are timed on, which a step of the wall clock does not move.
int64_t folder_now_ns();
