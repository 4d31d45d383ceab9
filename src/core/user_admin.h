#pragma once
// The command-line switches that manage the OPC UA users and exit, like the registration
// switches:
//   --add-user NAME --role ROLE [--certificate FILE]   a password (asked twice on a
//       terminal, one line from a pipe) or, with --certificate, that certificate's key
//   --remove-user NAME
//   --list-users

#include <optional>

namespace vexahv {

// The exit code when argv holds a user switch (0 done, 1 refused, 2 wrong use), else none.
std::optional<int> runUserAdministration(int argc, char** argv);

}  // namespace vexahv
