// Giving up root once SPI0 is mapped. The bcm2835 library needs root to map the peripherals
// through /dev/mem; nothing after that does. A run started through sudo then goes on as the user
// who ran sudo, so that the sound output is that user's own (their ~/.asoundrc, their desktop's
// sound server) and no plugin that a configuration names is loaded by root.
#pragma once

// Called once the peripherals are mapped and SPI0 is set up, before anything else is opened.
// Root started through sudo (SUDO_USER, SUDO_UID and SUDO_GID name a user other than root)
// becomes that user: their groups, group id and user id, for good, with HOME, USER, LOGNAME and
// XDG_RUNTIME_DIR as theirs. Anyone else (root without sudo, a user) goes on as they are.
// Returns false, after a message, when the change could not be made in full.
bool board_leave_root();
