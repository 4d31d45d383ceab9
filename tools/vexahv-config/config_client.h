#pragma once
// vexahv-config's view of the running server: the automation interface on D-Bus. Every
// call tells apart an answer, a server that is not there (no bus, or nobody owns the
// name) and any other failure of the bus.

#include <cstdint>
#include <memory>
#include <string>

namespace vexahv::tool {

enum class Bus { System, Session };

class ConfigClient {
 public:
  // Denied: the bus policy does not let this user make the call.
  enum class Outcome { Answered, NotReachable, Denied, Failed };

  ConfigClient();
  ~ConfigClient();
  // Connects to the bus; NotReachable (with why) when there is none.
  Outcome connect(Bus bus, std::string& why);

  Outcome getClients(std::int32_t& hr, std::int32_t& value);
  Outcome getEntry(std::uint32_t index, std::int32_t& hr, std::string& value);
  Outcome putEntry(const std::string& entry, std::int32_t& hr);
  Outcome removeEntry(std::uint32_t index, std::int32_t& hr);
  Outcome getPowerSupplies(std::int32_t& hr, std::uint32_t& value);
  Outcome getRelease(std::int32_t& hr, std::string& value);
  Outcome getServerActivity(std::int32_t& hr, std::int16_t& value);
  Outcome getConnectionStatus(std::uint32_t index, std::int32_t& hr, std::int16_t& value);

  // Why the last call did not get an answer.
  const std::string& lastError() const { return lastError_; }
  bool lastDenied() const { return lastDenied_; }

 private:
  template <class Call>
  Outcome call(Call&& body);
  struct Proxy;
  std::unique_ptr<Proxy> proxy_;
  std::string lastError_;
  bool lastDenied_ = false;
};

}  // namespace vexahv::tool
