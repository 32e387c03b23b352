// Console output. Every message goes to standard output and is flushed at once, so that a
// pipe or a file sees each line as it is written and a run ended by Ctrl-C loses none.
#pragma once

// Makes sure descriptors 0, 1 and 2 are open (on /dev/null where they are not), so that nothing
// the run opens later (the SPI device, a log, a sound device) becomes the console by accident.
// Called first thing in a run.
void console_open_standard_streams();

// A pipe that breaks under a write fails that write (EPIPE) instead of ending the process: the
// sound output may be a pipe (ALSA's file plugin writing to a command, a stream encoder say), and
// its failure is then the output's error, said and ending the run with status 1, where SIGPIPE's
// action would end it silently with a status that systemd counts as a clean stop. Standard output's
// broken pipe still ends the run by SIGPIPE, as before.
void console_catch_broken_pipes();

// printf-style message, written exactly as formatted.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line: the text followed by a newline (a text that ends in "\n" thus ends in an empty line).
void say_line(const char* text);

// The exit status of a run that would end with `status`: when its messages could not all be
// written (standard output closed, a full disk, a closed pipe), one line on standard error says
// so and a status of 0 becomes 1.
int console_status(int status);

// Ends the process with console_status(status).
[[noreturn]] void console_exit(int status);
