#pragma once
// Handles of open mainframe links. A call holds its link by shared ownership, so a
// DeinitSystem on another thread never frees a link under a call; it shuts the link down,
// which ends that call at once.

#include <map>
#include <memory>
#include <mutex>

#include "hwlib/mainframe_link.h"

namespace vexahv::hwlib {

class HandleTable {
 public:
  static HandleTable& instance();

  int add(std::unique_ptr<MainframeLink> link);
  std::shared_ptr<MainframeLink> find(int handle) const;
  // The link removed, or none for an unknown handle.
  std::shared_ptr<MainframeLink> remove(int handle);

 private:
  mutable std::mutex mutex_;
  std::map<int, std::shared_ptr<MainframeLink>> links_;
  int next_ = 0;
};

}  // namespace vexahv::hwlib
