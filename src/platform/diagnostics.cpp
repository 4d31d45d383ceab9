#include "platform/diagnostics.h"

#include <atomic>
#include <cstdio>

namespace vexahv::platform {
namespace {
std::atomic<DiagnosticSink> sink{nullptr};
}

void setDiagnosticSink(DiagnosticSink s) noexcept { sink.store(s); }

void reportDiagnostic(std::string_view message) noexcept {
  if (DiagnosticSink s = sink.load()) {
    s(message);
    return;
  }
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
}

}  // namespace vexahv::platform
