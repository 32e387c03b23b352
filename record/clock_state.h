// Whether the system's clock is synchronised, for the names of the files: as the kernel says
// (ntp_adjtime, whichever daemon keeps the clock: systemd-timesyncd, chrony, ntpd). Under a system
// call filter, which may end the process for that call, the kernel is first asked in a child: where
// the child cannot ask, systemd-timesyncd's flag file says.
#pragma once

// Finds out, before any thread starts, how the clock's state can be read.
void clock_state_start();

// Whether the clock says it is not synchronised now.
bool clock_unsynced();
