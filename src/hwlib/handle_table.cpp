#include "hwlib/handle_table.h"

#include <limits>

namespace vexahv::hwlib {

HandleTable& HandleTable::instance() {
  static HandleTable table;
  return table;
}

int HandleTable::add(std::unique_ptr<MainframeLink> link) {
  std::lock_guard lock(mutex_);
  // Handles are never reused while the process lives (wrap-around aside), so a stale
  // handle cannot reach a newer mainframe's link.
  while (links_.contains(next_)) next_ = next_ == std::numeric_limits<int>::max() ? 0 : next_ + 1;
  const int handle = next_;
  next_ = next_ == std::numeric_limits<int>::max() ? 0 : next_ + 1;
  links_.emplace(handle, std::move(link));
  return handle;
}

std::shared_ptr<MainframeLink> HandleTable::find(int handle) const {
  std::lock_guard lock(mutex_);
  auto it = links_.find(handle);
  return it == links_.end() ? nullptr : it->second;
}

std::shared_ptr<MainframeLink> HandleTable::remove(int handle) {
  std::lock_guard lock(mutex_);
  auto it = links_.find(handle);
  if (it == links_.end()) return nullptr;
  auto link = std::move(it->second);
  links_.erase(it);
  return link;
}

}  // namespace vexahv::hwlib
