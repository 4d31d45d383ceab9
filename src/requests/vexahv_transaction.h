#pragma once
// A client read or write of a list of items: reads go batched (one library call per
// parameter, system and slot) or item by item as the setting says; writes go to the
// hardware grouped by board and parameter where that keeps their meaning, or to the server
// settings, and what took effect reaches the cache.

#include <cstdint>

#include "opctoolbox/da_transaction.h"

namespace vexahv {

class VEXAHVTransaction : public OpcToolbox::DaTransaction {
 public:
  using OpcToolbox::DaTransaction::DaTransaction;
  ~VEXAHVTransaction() override = default;

  long handleReadRequests() override;
  long handleWriteRequests() override;
  virtual void readRequestsOneByOne();

  // Read transactions handled since start; numbers their log lines.
  static std::int32_t readTransactionCount() noexcept;
};

}  // namespace vexahv
