// Console output. Every message goes to standard output and is flushed at once, so that a
// pipe or a file sees each line as it is written and a run ended by Ctrl-C loses none.
#pragma once

// printf-style message, written exactly as formatted.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line: the text followed by a newline (a text that ends in "\n" thus ends in an empty line).
void say_line(const char* text);
