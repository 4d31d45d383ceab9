#pragma once
// Who monitors what: every monitor of an element (its observer and sampling rate) under a
// handle, and per element the rates it is monitored at, whose fastest is its sampling
// rate. A subscription of ten thousand items makes ten thousand monitors at once, so a
// monitor is a slot of one array rather than a node of its own, and an element watched
// at one rate (almost every one) keeps that rate in place rather than in a set.
// Not thread-safe: the client access's lock guards it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace OpcToolbox {

class DaAddressSpaceElement;
class ValueObserver;
using ElementPtr = std::shared_ptr<DaAddressSpaceElement>;

class MonitorBook {
 public:
  struct Monitor {
    ElementPtr element;  // null: a free slot
    ValueObserver* observer = nullptr;
    int rate = 0;
    std::uint32_t serial = 0;  // tells it apart from earlier monitors of the same slot
  };
  struct Added {
    std::uint64_t handle = 0;
    bool first = false;  // the element was not monitored before
    int fastest = 0;     // its sampling rate now
  };

  // Room for n more monitors without growing one by one.
  void reserve(std::size_t n);
  Added add(const ElementPtr& element, int rate, ValueObserver* observer);
  // The monitor of that handle, removed (element null when there is none), and the
  // element's fastest rate left (0: no monitor left).
  std::pair<Monitor, int> remove(std::uint64_t handle);
  int rateOf(const DaAddressSpaceElement* element) const;
  std::size_t size() const noexcept { return live_; }

 private:
  // The rates one element is monitored at, with how many monitors each.
  struct Rates {
    int rate = 0;  // the first rate, in place
    std::uint32_t count = 0;
    std::vector<std::pair<int, std::uint32_t>> more;  // any others
    int fastest() const;
    void add(int r);
    bool remove(int r);  // true when no rate is left
  };

  std::vector<Monitor> slots_;
  std::vector<std::uint32_t> free_;  // indexes of free slots
  std::size_t live_ = 0;
  std::uint32_t nextSerial_ = 1;
  std::unordered_map<const DaAddressSpaceElement*, Rates> rates_;
};

}  // namespace OpcToolbox
