#pragma once
// The configuration automation object: the systems list, the connected clients, each
// system's connection status, whether the server is active and its release, for the
// configuration tool. Every call reads the shared data afresh; results are HRESULTs
// (S_OK, or S_FALSE when the result is not available).
//
// It reads the running server through AutomationServer, which the process provides, so
// that the settings store does not depend on the address space above it.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace vexahv {

inline constexpr std::int32_t kAutomationOk = 0;     // S_OK
inline constexpr std::int32_t kAutomationFalse = 1;  // S_FALSE

class AutomationServer {
 public:
  virtual ~AutomationServer() = default;
  virtual std::int32_t clientCount() const = 0;
  // The server's system list: nullopt while there is no server object or list.
  virtual std::optional<std::uint32_t> entryCount() const = 0;
  virtual void setEntryCount(std::uint32_t count) = 0;
  // Connection status of built system i (0 pending, 1 ok, other: not connected);
  // nullopt beyond the built systems or without a list.
  virtual std::optional<std::int32_t> connectionStatus(std::uint32_t index) const = 0;
  // The toolbox application is started (asking starts nothing).
  virtual bool active() const = 0;
  virtual std::string libraryRelease() const = 0;
};

class VEXAHVOPCService {
 public:
  explicit VEXAHVOPCService(AutomationServer& server) : server_(server) {}

  std::int32_t getClients(std::int32_t& value) const;
  // The entry with its password for a caller that may read it, otherwise masked.
  enum class Caller { MayReadSecrets, Other };
  std::int32_t getEntry(std::uint32_t index, std::string& value, Caller caller = Caller::Other) const;
  // Refused (S_FALSE, one Error line, nothing written) for an entry the server could not
  // use; S_FALSE too when the store could not be written.
  std::int32_t putEntry(const std::string& entry);
  // Refused (S_FALSE, one Error line) for an index at or beyond the count.
  std::int32_t removeEntry(std::uint32_t index);
  std::int32_t getPowerSupplies(std::uint32_t& value) const;
  std::int32_t getRelease(std::string& value) const;
  std::int32_t getServerActivity(std::int16_t& value) const;
  std::int32_t getConnectionStatus(std::uint32_t index, std::int16_t& value) const;

 private:
  AutomationServer& server_;
  // One change of the list at a time: a count is read, the store written, the count set.
  std::mutex changes_;
};

}  // namespace vexahv
