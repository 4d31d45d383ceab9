#pragma once
// The root of the toolbox's address space and its index: every element that is part of
// it is found by item id in O(1). Adding and removing are safe while other threads browse,
// look up and read.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "opctoolbox/da_address_space_element.h"

namespace OpcToolbox {

class DaAddressSpaceRoot {
 public:
  DaAddressSpaceRoot();
  virtual ~DaAddressSpaceRoot();
  DaAddressSpaceRoot(const DaAddressSpaceRoot&) = delete;
  DaAddressSpaceRoot& operator=(const DaAddressSpaceRoot&) = delete;

  long addChild(ElementPtr child);
  long removeChild(DaAddressSpaceElement* child);
  std::vector<ElementPtr> getChildren() const;
  // The element with that item id, or null. With two elements of one id, the first added.
  ElementPtr findElement(std::string_view itemId) const;
  std::size_t elementCount() const;

  void setDelimiter(char delimiter) noexcept { delimiter_ = delimiter; }
  char getDelimiter() const noexcept { return delimiter_; }

  // The one lock over the structure of every address space.
  static std::shared_mutex& treeMutex();

 private:
  friend class DaAddressSpaceElement;
  // Under the exclusive tree lock.
  void attach(DaAddressSpaceElement& element, const std::string& parentId);
  void detach(DaAddressSpaceElement& element);

  // Looks up by string_view without building a string. Eight bytes a step, then a full
  // mix: item ids are 10 to 60 bytes with long shared prefixes, and a Read looks up
  // thousands of them (the library's byte-wise hash was a tenth of such a Read).
  struct IdHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      std::uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
      std::size_t i = 0;
      for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 29;
      }
      std::uint64_t tail = 0;
      if (i < s.size()) std::memcpy(&tail, s.data() + i, s.size() - i);
      h = (h ^ tail) * 0x94D049BB133111EBull;
      return static_cast<std::size_t>(h ^ (h >> 31));
    }
  };

  ElementPtr top_;  // the invisible element whose children are the root's
  std::unordered_map<std::string, std::weak_ptr<DaAddressSpaceElement>, IdHash, std::equal_to<>> index_;
  char delimiter_ = '.';
};

}  // namespace OpcToolbox
