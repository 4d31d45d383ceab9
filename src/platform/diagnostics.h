#pragma once
// The platform layer sits below logging, so it reports faults it cannot return to a
// caller (a damaged hive kept aside, an exception caught at a thread's entry) through one
// sink that the process installs. Until then they go to stderr.

#include <string_view>

namespace vexahv::platform {

using DiagnosticSink = void (*)(std::string_view message);

// Installs the sink (nullptr restores stderr). Thread-safe.
void setDiagnosticSink(DiagnosticSink sink) noexcept;
void reportDiagnostic(std::string_view message) noexcept;

}  // namespace vexahv::platform
