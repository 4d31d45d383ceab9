#include "core/command_line.h"

#include <cstdio>
#include <string_view>

#include "opctoolbox/registration.h"

namespace vexahv {
namespace {

constexpr const char* kUsage =
    "usage: vexahv-opcserver                 serve the configured mainframes over OPC UA (as the\n"
    "                                        installed service when registered as one)\n"
    "       vexahv-opcserver /RegServer | /Service\n"
    "                                        register the server as a service, then exit\n"
    "       vexahv-opcserver /UnregServer    remove that registration, then exit\n"
    "                                        ('-' or '/', any letter case)\n"
    "       vexahv-opcserver --add-user NAME --role reader|operator|admin [--certificate FILE]\n"
    "       vexahv-opcserver --remove-user NAME | --list-users\n"
    "                                        manage the OPC UA users, then exit\n"
    "       vexahv-opcserver --help | --version\n"
    "\n"
    "  The platform root is $VEXAHV_ROOT, else /var/lib/vexahv for root, else\n"
    "  $XDG_STATE_HOME/vexahv; the settings file VEXAHVOPCServer.cfg is read from the\n"
    "  working directory. VEXAHV_OPCUA_PORT and VEXAHV_OPCUA_HOST choose where it listens.\n";

}  // namespace

std::optional<int> answerHelpOrVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("vexahv-opcserver %s\n", VEXAHV_VERSION);
      return 0;
    }
  }
  return std::nullopt;
}

std::optional<int> refuseUnknownWords(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (OpcToolbox::registrationSwitch(argv[i]) != 0) continue;
    std::fprintf(stderr, "vexahv-opcserver: unknown argument [%s]\n%s", argv[i], kUsage);
    return 2;
  }
  return std::nullopt;
}

}  // namespace vexahv
