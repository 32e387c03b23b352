// One run per bus: a run that reaches SPI0 holds it until the process ends, so that two runs
// (the service and a user's check, a system and a user unit, a bcm2835 build beside a spidev one)
// never interleave their frames on the board.
//
// The lock is the device itself, /dev/spidev0.0: only a user who may open it (the group spi, root,
// the service's user through its groups) can lock it, so nobody else can keep the bus from those
// who may use it, and nothing in a folder that every user can write is involved. The bcm2835 build
// runs as root and reaches the bus without the device: it locks the device where it exists, and a
// file of root's in /run as well, for two bcm2835 runs on a system without spidev.
#pragma once

constexpr const char* kBusDevice = "/dev/spidev0.0";
constexpr const char* kRootBusLockPath = "/run/orvctl-spi0.lock";

// Takes the bus for this process, for good, through the device's open descriptor (the spidev
// build's own): the kernel lets it go when the process ends, however it ends. Returns false, after
// a message that names the run holding it (its process id and command line, where they are known),
// when another process has it.
bool board_lock_bus(int device_fd);

// The same for a run as root without the device's descriptor (the bcm2835 build): locks the device
// where it exists, and the root's file. Refuses, after a message, where something other than a file
// of root's stands at that file's path. A system without /run, or a run that is not root (which the
// library then refuses), goes on without that file.
bool board_lock_bus_as_root();
