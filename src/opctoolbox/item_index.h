#pragma once
// The item-id index of an address space. A Read of thousands of values looks up thousands
// of ids, and with a node-based map each look-up walked four cold cache lines (bucket,
// node, the key's heap buffer, the element's control block). Here a slot holds the id's
// full hash and the key's place in one shared key buffer (open addressing, linear
// probing, deletion by backward shift), and a batch look-up prefetches a few ids ahead,
// so the misses of neighbouring ids overlap instead of queueing.
// Not thread-safe: the address-space lock guards it.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace OpcToolbox {

class DaAddressSpaceElement;
using ElementPtr = std::shared_ptr<DaAddressSpaceElement>;

class ItemIndex {
 public:
  // Eight bytes a step, then a full mix: item ids are 10 to 60 bytes with long shared
  // prefixes. Never 0 (0 marks an empty slot).
  static std::uint64_t hashOf(std::string_view s) noexcept {
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
    h ^= h >> 31;
    return h == 0 ? 1 : h;
  }

  // False (and nothing changes) when the id is present already: the first one added stays.
  bool insert(std::string_view id, std::weak_ptr<DaAddressSpaceElement> element, DaAddressSpaceElement* raw);
  // Removes the id only while it names that element.
  bool erase(std::string_view id, const DaAddressSpaceElement* element);
  ElementPtr find(std::string_view id) const;
  // out[i] = find(ids[i]) for every i (out is at least as long as ids).
  void findMany(std::span<const std::string_view> ids, std::span<ElementPtr> out) const;
  std::size_t size() const noexcept { return size_; }
  void clear();

 private:
  struct Slot {
    std::uint64_t hash = 0;  // 0: empty
    std::uint32_t keyOffset = 0;
    std::uint32_t keyLength = 0;
    DaAddressSpaceElement* raw = nullptr;  // where the element lies, to prefetch it
    std::weak_ptr<DaAddressSpaceElement> element;
  };

  std::size_t mask() const noexcept { return slots_.size() - 1; }
  bool keyIs(const Slot& s, std::string_view id) const noexcept {
    return s.keyLength == id.size() && std::memcmp(keys_.data() + s.keyOffset, id.data(), id.size()) == 0;
  }
  // The slot holding the id, or npos.
  std::size_t locate(std::string_view id, std::uint64_t hash) const noexcept;
  // Rebuilds with `capacity` slots (a power of two) and a key buffer without erased keys.
  void rebuild(std::size_t capacity);

  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  std::vector<Slot> slots_;
  std::string keys_;         // every key, back to back; erased keys stay until a rebuild
  std::size_t size_ = 0;
  std::size_t deadBytes_ = 0;  // erased keys' bytes in keys_
};

}  // namespace OpcToolbox
