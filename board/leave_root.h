// Giving up root once SPI0 is mapped. The bcm2835 library needs root to map the peripherals
// through /dev/mem; nothing after that does. A run started through sudo then goes on as the user
// who ran sudo, so that the sound output is that user's own (their ~/.asoundrc, their desktop's
// sound server) and no plugin that a configuration names is loaded by root.
#pragma once

// Called once the peripherals are mapped and SPI0 is set up, before anything else is opened.
// Installed setuid root and started by a user, it becomes that user again (their real ids, their
// groups as they were), whatever the environment says. Root started through sudo (SUDO_USER,
// SUDO_UID and SUDO_GID name a user other than root) becomes that user: their groups, group id and
// user id, for good, with HOME, USER, LOGNAME and XDG_RUNTIME_DIR as theirs; sudo's variables count
// only where the real user is root too. Anyone else (root without sudo, a user) goes on as they
// are. After a change every id (real, effective, saved) and the groups are checked, and that none
// of root's can be taken back. Returns false, after a message, when the change could not be made in
// full.
bool board_leave_root();
