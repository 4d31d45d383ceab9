#include "platform/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace vexahv::platform {

bool standardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool readStandardInputLine(std::string& out, bool secret) {
  out.clear();
  termios saved{};
  const bool hide = secret && standardInputIsTerminal() && ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (hide) {
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  bool ok = false;
  char c = 0;
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n <= 0) {
      ok = !out.empty();
      break;
    }
    if (c == '\n') {
      ok = true;
      break;
    }
    if (out.size() >= 4096) break;
    out += c;
  }
  if (!out.empty() && out.back() == '\r') out.pop_back();
  if (hide) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);  // the Enter the person typed was not echoed
  }
  return ok;
}

}  // namespace vexahv::platform
