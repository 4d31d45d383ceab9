#pragma once
// Standard input as a person or a pipe gives it: a line, with echo off for secrets typed
// on a terminal.

#include <string>

namespace vexahv::platform {

bool standardInputIsTerminal();
// One line of standard input without its end (at most 4096 bytes; false at end of input
// or on a longer line). On a terminal echo is off while it is typed when secret is true.
bool readStandardInputLine(std::string& out, bool secret);

}  // namespace vexahv::platform
