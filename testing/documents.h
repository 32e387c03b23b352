// The blocks of the README and the man page that a user is meant to copy. Each is marked with a
// comment that names it: "<!-- copy: NAME -->" right before a fenced block of the README, or
// `.\" copy: NAME` right before the .nf ... .fi lines of the man page. The tests take the blocks
// from there and run them as written, so that a document and its tests cannot drift apart.
#pragma once

#include <string>

// The block `name` of the document at `path`, each line ending in a newline, with the man page's
// escapes for what a user types taken out (\- is -, \e and \\ are \). Empty when there is none.
std::string copied_block(const std::string& path, const std::string& name);
