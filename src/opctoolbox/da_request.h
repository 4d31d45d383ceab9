#pragma once
// One item of a client read or write, answered by the server's transaction handler.

#include <cstdint>
#include <memory>
#include <vector>

#include "opctoolbox/da_address_space_element.h"
#include "opctoolbox/value_qt.h"

namespace OpcToolbox {

enum class EnumTransactionType : int { Read = 0, Write = 1 };

class DaRequest {
 public:
  DaRequest(EnumTransactionType type, std::uint32_t sessionHandle, ElementPtr element,
            int propertyId, std::uint32_t requestHandle)
      : type_(type),
        sessionHandle_(sessionHandle),
        element_(std::move(element)),
        propertyId_(propertyId),
        requestHandle_(requestHandle) {}
  virtual ~DaRequest() = default;

  EnumTransactionType getTransactionType() const noexcept { return type_; }
  std::uint32_t getSessionHandle() const noexcept { return sessionHandle_; }
  DaAddressSpaceElement* getAddressSpaceElement() const noexcept { return element_.get(); }
  const ElementPtr& element() const noexcept { return element_; }
  int getPropertyId() const noexcept { return propertyId_; }
  std::uint32_t getRequestHandle() const noexcept { return requestHandle_; }
  const ValueQT& getValue() const noexcept { return value_; }
  void setValue(const ValueQT& v) { value_ = v; }
  // Until a handler answers, a request carries E_FAIL.
  long getResult() const noexcept { return result_; }
  void setResult(long r) noexcept { result_ = r; }

 private:
  const EnumTransactionType type_;
  const std::uint32_t sessionHandle_;
  const ElementPtr element_;
  const int propertyId_;
  const std::uint32_t requestHandle_;
  ValueQT value_;
  long result_ = E_FAIL;
};

using RequestList = std::vector<std::shared_ptr<DaRequest>>;

}  // namespace OpcToolbox
