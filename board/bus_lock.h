// One run per bus: a run that reaches SPI0 holds it until the process ends, so that two runs
// (the service and a user's check, a system and a user unit, a bcm2835 build beside a spidev one)
// never interleave their frames on the board.
#pragma once

// Where the lock lives. Anyone may open it for reading, which is all that a lock needs; the
// packages have it made at boot (tmpfiles.d), owned by root, and a run makes it where it is
// missing.
constexpr const char* kBusLockPath = "/run/lock/orvctl-spi0";

// Takes the bus for this process, for good: the kernel lets it go when the process ends, however
// it ends. Returns false, after a message that names the run holding it (its process id and
// command line, where they can be read), when another process has it, or when the lock cannot be
// opened at all.
bool board_lock_bus();
