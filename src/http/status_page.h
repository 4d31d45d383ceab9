#pragma once
// The status page (/): one document of its own (no script or style from elsewhere) that
// reads /api/status every two seconds and fits a phone's screen.

#include <string>

namespace vexahv::http {

const std::string& statusPage();

}  // namespace vexahv::http
