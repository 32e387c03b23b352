// The driver of orvctl, kept apart from main() so that the same run can be driven in-process.
#pragma once

// One whole run for the argument vector `argv` (argv[0] is the program name): prints, talks to
// the board and plays as the command line asks. Returns the exit status.
int run_orvctl(int argc, const char* const argv[]);
