#include "opctoolbox/condition_table.h"

namespace OpcToolbox {

bool ConditionTable::report(const ConditionReport& r) {
  std::lock_guard order(reportMutex_);
  {
    std::lock_guard lock(mutex_);
    auto it = active_.find(r.id);
    if (!r.active) {
      if (it == active_.end()) return false;
      active_.erase(it);
    } else if (it == active_.end()) {
      active_.emplace(r.id, r);
    } else if (it->second.severity != r.severity) {
      it->second = r;
    } else {
      return false;
    }
  }
  if (listener_ != nullptr) listener_->conditionChanged(r);
  return true;
}

std::vector<ConditionReport> ConditionTable::active() const {
  std::lock_guard lock(mutex_);
  std::vector<ConditionReport> out;
  out.reserve(active_.size());
  for (const auto& [id, r] : active_) out.push_back(r);
  return out;
}

bool ConditionTable::isActive(std::string_view id) const {
  std::lock_guard lock(mutex_);
  return active_.find(id) != active_.end();
}

void ConditionTable::declareType(ConditionType type) { types_.push_back(std::move(type)); }

std::uint32_t ConditionTable::baseTypeOf(std::uint32_t id) const noexcept {
  const ConditionType* t = typeOf(id);
  return t != nullptr ? t->baseType : 0;
}

const ConditionType* ConditionTable::typeOf(std::uint32_t id) const noexcept {
  for (const ConditionType& t : types_) {
    if (t.id == id) return &t;
  }
  return nullptr;
}

std::span<const ConditionClass> ConditionTable::conditionsOf(std::string_view source) const {
  if (!sources_ || source.empty()) return {};
  return sources_(source);
}

const ConditionClass* ConditionTable::classOf(std::string_view id) const {
  const std::size_t hash = id.rfind('#');
  if (hash == std::string_view::npos) return nullptr;
  const std::string_view name = id.substr(hash + 1);
  for (const ConditionClass& c : conditionsOf(id.substr(0, hash))) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

void ConditionTable::setListener(ConditionListener* listener) {
  std::lock_guard order(reportMutex_);
  listener_ = listener;
}

}  // namespace OpcToolbox
