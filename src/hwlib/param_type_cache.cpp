#include "hwlib/param_type_cache.h"

namespace vexahv::hwlib {

std::string ParamTypeCache::key(std::uint16_t slot, std::int32_t channel, std::string_view param) {
  std::string k = std::to_string(slot);
  k += '/';
  k += std::to_string(channel);
  k += '/';
  k += param;
  return k;
}

bool ParamTypeCache::find(const std::string& key, std::uint32_t& type) const {
  std::lock_guard l(mutex_);
  auto it = types_.find(key);
  if (it == types_.end()) return false;
  type = it->second;
  return true;
}

void ParamTypeCache::learn(const std::string& key, std::uint32_t type) {
  std::lock_guard l(mutex_);
  if (types_.size() >= kMaxEntries) types_.clear();
  types_[key] = type;
}

void ParamTypeCache::forget(const std::string& key) {
  std::lock_guard l(mutex_);
  types_.erase(key);
}

}  // namespace vexahv::hwlib
