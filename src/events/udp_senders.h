#pragma once
// Who may speak for whom on the UDP event port: a datagram is taken only from the address
// of a system this server subscribes over UDP (every type but 2), and a record in it only
// for a system at that address. Anyone else who reaches the port could otherwise set any
// value, or the connection status, of any crate on an operator's screen.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vexahv {
class Crate;
}

namespace vexahv::events {

class UdpSenders {
 public:
  using Crates = std::vector<std::shared_ptr<Crate>>;
  // The UDP crates configured at that address (IPv4, host order); null when there are
  // none. Follows the system list as it grows.
  std::shared_ptr<const Crates> systemsAt(std::uint32_t address);
  // The one of those crates the record's identifier names (by its first non-empty
  // piece), or null.
  static Crate* speaksFor(const Crates& systems, std::string_view id);

 private:
  using Map = std::map<std::uint32_t, Crates>;
  std::mutex mutex_;
  std::size_t known_ = 0;  // systems in the list when the map was made
  std::shared_ptr<const Map> byAddress_ = std::make_shared<Map>();
};

}  // namespace vexahv::events
