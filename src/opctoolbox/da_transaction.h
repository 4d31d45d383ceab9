#pragma once
// A client read or write of a list of items, handed to the server on a toolbox worker
// thread. completeRequests() hands every request's value and result back to whoever
// issued the transaction; the toolbox completes a transaction whose handler did not.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "opctoolbox/da_request.h"

namespace OpcToolbox {

class DaTransaction {
 public:
  using Completion = std::function<void(const RequestList&)>;

  DaTransaction(EnumTransactionType type, RequestList requests, std::uint32_t sessionHandle)
      : type_(type), requests_(std::move(requests)), sessionHandle_(sessionHandle) {}
  virtual ~DaTransaction() = default;

  // Defaults: answer reads from the cache, take writes into the cache.
  virtual long handleReadRequests();
  virtual long handleWriteRequests();
  // Whether handling may wait on a device: such a transaction runs on a toolbox worker.
  // A small one that cannot (the creator's default, which answers from memory) runs at
  // once on the issuer's thread and spares it the hand-off.
  virtual bool mayBlock() const { return true; }

  EnumTransactionType getType() const noexcept { return type_; }
  std::uint32_t getSessionHandle() const noexcept { return sessionHandle_; }
  const RequestList& getRequests() const noexcept { return requests_; }
  bool isEmpty() const noexcept { return requests_.empty(); }
  // Once per transaction; later calls do nothing.
  long completeRequests();

  void setCompletion(Completion completion);
  bool completed() const noexcept { return completed_; }

 private:
  const EnumTransactionType type_;
  const RequestList requests_;
  const std::uint32_t sessionHandle_;
  std::mutex mutex_;
  Completion completion_;
  std::atomic<bool> completed_{false};
};

}  // namespace OpcToolbox
