#include "requests/vexahv_transaction.h"

#include <atomic>
#include <vector>

#include <boost/timer/timer.hpp>

#include "addressspace/item_reader.h"
#include "addressspace/vexahv_element.h"
#include "config/server_globals.h"
#include "requests/group_read_transaction_handler.h"
#include "requests/grouped_write.h"
#include "requests/item_writer.h"
#include "addressspace/library_result.h"
#include "requests/property_value.h"
#include "logging/logging.h"

namespace vexahv {
namespace {
// Atomic: several toolbox threads handle reads at once.
std::atomic<std::int32_t> gReadTransactions{0};

constexpr const char* kRead = "VEXAHVTransaction::handleReadRequests";

}  // namespace

std::int32_t VEXAHVTransaction::readTransactionCount() noexcept { return gReadTransactions.load(); }

long VEXAHVTransaction::handleReadRequests() {
  const boost::timer::cpu_timer timer;
  const std::int32_t number = gReadTransactions.fetch_add(1) + 1;
  const bool batched = VEXAHVServerGlobals::getUseBatchedGroupTransactions();
  // Two lines per read transaction, as often as clients read: Informational, not Notice.
  logInformational(kRead, "+ start read [", number, "] batched? [", batched ? "Y" : "N", "] item count [",
                   getRequests().size(), "]");
  if (batched) {
    VEXAHVGroupReadTransactionHandler handler(getRequests());
    handler.readTransaction();
  } else {
    readRequestsOneByOne();
  }
  const auto elapsedMs = static_cast<std::int64_t>(timer.elapsed().wall / 1000000);
  logInformational(kRead, "- stop read [", number, "], elapsed time [", elapsedMs, "ms]");
  return completeRequests();
}

void VEXAHVTransaction::readRequestsOneByOne() {
  for (const auto& request : getRequests()) {
    OpcToolbox::DaAddressSpaceElement* element = request ? request->getAddressSpaceElement() : nullptr;
    if (element == nullptr) {
      logDebug("Handle read request received an invalid item");
      if (request) request->setResult(OpcToolbox::E_FAIL);
      return;  // the requests after it stay unanswered
    }
    if (request->getPropertyId() == 0) {
      // No element lock across the library call: the value comes back as a copy.
      request->setValue(readItemValue(dynamic_cast<VEXAHVElement*>(element)));
      request->setResult(OpcToolbox::S_OK);
      continue;
    }
    OpcToolbox::ValueQT property;
    if (readPropertyValue(*element, request->getPropertyId(), property)) {
      request->setValue(property);
      request->setResult(OpcToolbox::S_OK);
    } else {
      request->setResult(OpcToolbox::OPC_E_INVALID_PID);
    }
  }
}

long VEXAHVTransaction::handleWriteRequests() {
  std::vector<OpcToolbox::DaRequest*> requests;
  std::vector<VEXAHVElement*> elements;
  std::vector<OpcToolbox::ValueQT> values;
  for (const auto& request : getRequests()) {
    if (!request) {
      logError("Handle write request received an invalid write request");
      continue;
    }
    auto* element = dynamic_cast<VEXAHVElement*>(request->getAddressSpaceElement());
    if (element == nullptr) {
      logError("Handle write request received an invalid item");
      continue;
    }
    requests.push_back(request.get());
    elements.push_back(element);
    values.push_back(request->getValue());
  }
  const std::vector<std::int32_t> status = writeGrouped(elements, values);
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (status[i] == 0) {
      // A server setting has cached the value that took effect (a log level of 12 is 9).
      if (elements[i]->getKind() == ElementKind::ServerSetting) {
        requests[i]->setResult(OpcToolbox::S_OK);
        continue;
      }
      requests[i]->setResult(elements[i]->setCachedValue(values[i]));
    } else {
      logError("Failed to write item [", elements[i]->getName(), "]");
      requests[i]->setResult(requestResultOf(status[i]));
    }
  }
  return completeRequests();
}

}  // namespace vexahv
