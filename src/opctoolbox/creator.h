#pragma once
// The server's factory: the toolbox creates every element, request, transaction,
// session and the root through it, so the server's own classes stand in for the
// toolbox's. Each slot returns null when it cannot create the object.

#include <cstdint>
#include <memory>
#include <string>

#include "opctoolbox/da_address_space_element.h"
#include "opctoolbox/da_address_space_root.h"
#include "opctoolbox/da_request.h"
#include "opctoolbox/da_session.h"
#include "opctoolbox/da_transaction.h"

namespace OpcToolbox {

// Alarms and events and the web interface are not offered by this toolbox; their slots
// stay for the factory's shape and create nothing.
class AeAddressSpaceElement;
class AeAddressSpaceRoot;
class WebTemplate;

class Creator {
 public:
  // Slots, in order.
  virtual ~Creator() = default;
  virtual ElementPtr createDaAddressSpaceElement();
  virtual std::shared_ptr<AeAddressSpaceElement> createAeAddressSpaceElement() { return nullptr; }
  virtual std::unique_ptr<DaAddressSpaceRoot> createDaAddressSpaceRoot();
  virtual ElementPtr createInternalDaAddressSpaceElement(const std::string& itemId,
                                                         const std::string& name,
                                                         std::uint32_t accessRights,
                                                         std::uint32_t ioMode,
                                                         std::uint32_t datatype);
  virtual std::shared_ptr<DaRequest> createRequest(EnumTransactionType type,
                                                   std::uint32_t sessionHandle, ElementPtr element,
                                                   int propertyId, std::uint32_t requestHandle);
  virtual std::shared_ptr<DaTransaction> createTransaction(EnumTransactionType type,
                                                           RequestList requests,
                                                           std::uint32_t sessionHandle);
  virtual std::shared_ptr<DaSession> createSession(EnumSessionType type, std::uint32_t handle);
  virtual std::shared_ptr<AeAddressSpaceRoot> createAeAddressSpaceRoot();
  virtual std::shared_ptr<AeAddressSpaceElement> createInternalAeAddressSpaceElement() { return nullptr; }
  virtual std::shared_ptr<WebTemplate> createWebTemplate();
  // Carries out activation changes the clients asked for, in order, on the activation
  // thread; the default calls change() on each. A server whose change() talks to a
  // device may group the calls.
  struct ActivationChange {
    ElementPtr element;
    bool active = false;
    int updateRate = 0;
  };
  virtual void changeActivations(const std::vector<ActivationChange>& changes);
};

}  // namespace OpcToolbox
