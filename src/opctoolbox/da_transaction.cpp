#include "opctoolbox/da_transaction.h"

namespace OpcToolbox {

long DaTransaction::handleReadRequests() {
  for (const auto& r : requests_) {
    if (!r || !r->element()) continue;
    ValueQT v;
    r->setResult(r->element()->getCacheValue(v));
    r->setValue(v);
  }
  return completeRequests();
}

long DaTransaction::handleWriteRequests() {
  for (const auto& r : requests_) {
    if (!r || !r->element()) continue;
    r->setResult(r->element()->valueChanged(r->getValue()));
  }
  return completeRequests();
}

void DaTransaction::setCompletion(Completion completion) {
  std::lock_guard lock(mutex_);
  completion_ = std::move(completion);
}

long DaTransaction::completeRequests() {
  if (completed_.exchange(true)) return S_OK;
  Completion done;
  {
    std::lock_guard lock(mutex_);
    done = std::move(completion_);
  }
  if (done) done(requests_);
  return S_OK;
}

}  // namespace OpcToolbox
