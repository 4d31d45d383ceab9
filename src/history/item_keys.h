#pragma once
// The keys a store gave items' names, kept in memory once looked up or made: recording and
// reading ask for them often, the database need be asked once. Safe from any thread.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vexahv::history {

class ItemKeys {
 public:
  std::optional<std::uint32_t> find(std::string_view item) const {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(std::string(item));
    if (it == keys_.end()) return std::nullopt;
    return it->second;
  }
  void add(std::string item, std::uint32_t key) {
    std::lock_guard lock(mutex_);
    keys_.emplace(std::move(item), key);
  }

 private:
  mutable std::mutex mutex_;  // leaf
  std::unordered_map<std::string, std::uint32_t> keys_;
};

}  // namespace vexahv::history
