#pragma once
// The parameter types one connection has learnt: a set needs the parameter's type for its
// value, and asking the mainframe before every write doubled the round trips. A type is
// learnt once per connection (a new connection starts empty). The mainframe checks the
// type that comes with every value, so an entry gone stale (a board of another model
// put into the slot) is refused there, never applied; such a refusal forgets it.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vexahv::hwlib {

class ParamTypeCache {
 public:
  // Board parameters have channel -1. A channel parameter is one for every channel of its
  // board (kEveryChannel): a board's channels share their parameters, and a set of a list
  // then asks at most once per board.
  static constexpr std::int32_t kEveryChannel = -2;
  static std::string key(std::uint16_t slot, std::int32_t channel, std::string_view param);
  bool find(const std::string& key, std::uint32_t& type) const;
  void learn(const std::string& key, std::uint32_t type);
  void forget(const std::string& key);

 private:
  // Far above any crate's parameters; past it everything is forgotten, so a peer that
  // names endless parameters cannot grow the cache.
  static constexpr std::size_t kMaxEntries = 200000;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::uint32_t> types_;
};

}  // namespace vexahv::hwlib
