#include "config/vexahv_opc_service.h"

#include "config/system_entries.h"
#include "config/system_entry.h"
#include "logging/logging.h"

namespace vexahv {

std::int32_t VEXAHVOPCService::getClients(std::int32_t& value) const {
  value = server_.clientCount();
  return kAutomationOk;
}

std::int32_t VEXAHVOPCService::getEntry(std::uint32_t index, std::string& value, Caller caller) const {
  const std::vector<std::string> entries = readSystemEntries();
  if (index < entries.size()) {
    value = caller == Caller::MayReadSecrets ? entries[index] : maskSystemEntry(entries[index]);
    return kAutomationOk;
  }
  value.clear();
  return kAutomationFalse;
}

std::int32_t VEXAHVOPCService::putEntry(const std::string& entry) {
  if (const std::string wrong = checkSystemEntry(entry); !wrong.empty()) {
    logError("Refused system entry [", maskSystemEntry(entry.substr(0, kSystemEntryBuffer)), "]: ", wrong);
    return kAutomationFalse;
  }
  std::lock_guard lock(changes_);
  const std::optional<std::uint32_t> known = server_.entryCount();
  if (!known) return kAutomationFalse;
  std::uint32_t count = *known;
  addSystemEntry(entry, count);
  if (count == *known) return kAutomationFalse;  // the store was not written
  server_.setEntryCount(count);
  logNotice("System entry [", maskSystemEntry(entry), "] added as [", count - 1, "]; it is served from the next start");
  return kAutomationOk;
}

std::int32_t VEXAHVOPCService::removeEntry(std::uint32_t index) {
  std::lock_guard lock(changes_);
  const std::optional<std::uint32_t> known = server_.entryCount();
  if (!known) return kAutomationFalse;
  std::uint32_t count = *known;
  removeSystemEntry(index, count);
  if (count == *known) return kAutomationFalse;
  server_.setEntryCount(count);
  logNotice("System entry [", index, "] removed; the address space keeps it until the next start");
  return kAutomationOk;
}

std::int32_t VEXAHVOPCService::getPowerSupplies(std::uint32_t& value) const {
  value = 0;
  const std::optional<std::uint32_t> count = server_.entryCount();
  if (!count) return kAutomationFalse;
  value = *count;
  return kAutomationOk;
}

std::int32_t VEXAHVOPCService::getRelease(std::string& value) const {
  value = "5.62 (" + server_.libraryRelease() + ")";
  return kAutomationOk;
}

std::int32_t VEXAHVOPCService::getServerActivity(std::int16_t& value) const {
  value = server_.active() ? 1 : 0;
  return kAutomationOk;
}

std::int32_t VEXAHVOPCService::getConnectionStatus(std::uint32_t index, std::int16_t& value) const {
  value = 0;
  const std::optional<std::int32_t> status = server_.connectionStatus(index);
  if (!status) return kAutomationFalse;
  value = *status == 0 ? 0 : *status == 1 ? 1 : 2;
  return kAutomationOk;
}

}  // namespace vexahv
