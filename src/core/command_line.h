#pragma once
// The server's command line before anything starts: --help and --version print and exit
// 0; a word that is neither a registration switch ("/RegServer", "-Service",
// "/UnregServer", in any letter case) nor one of the user switches exits 2 with the usage,
// and nothing is started. The registration switches themselves are scanned later, as
// always.

#include <optional>

namespace vexahv {

// Before the user switches: --help or --version anywhere.
std::optional<int> answerHelpOrVersion(int argc, char** argv);
// After them: a word no switch knows.
std::optional<int> refuseUnknownWords(int argc, char** argv);

}  // namespace vexahv
