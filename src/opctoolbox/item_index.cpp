#include "opctoolbox/item_index.h"

#include <algorithm>
#include <array>
#include <limits>

namespace OpcToolbox {

std::size_t ItemIndex::locate(std::string_view id, std::uint64_t hash) const noexcept {
  if (slots_.empty()) return npos;
  for (std::size_t i = hash & mask();; i = (i + 1) & mask()) {
    const Slot& s = slots_[i];
    if (s.hash == 0) return npos;
    if (s.hash == hash && keyIs(s, id)) return i;
  }
}

bool ItemIndex::insert(std::string_view id, std::weak_ptr<DaAddressSpaceElement> element, DaAddressSpaceElement* raw) {
  const std::uint64_t hash = hashOf(id);
  if (locate(id, hash) != npos) return false;
  // At most three quarters full, so a probe stays short.
  if ((size_ + 1) * 4 > slots_.size() * 3) rebuild(slots_.empty() ? 64 : slots_.size() * 2);
  if (keys_.size() + id.size() > std::numeric_limits<std::uint32_t>::max()) {
    rebuild(slots_.size());  // drops erased keys; a live key set of 4 GiB is out of reach
    if (keys_.size() + id.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  }
  std::size_t i = hash & mask();
  while (slots_[i].hash != 0) i = (i + 1) & mask();
  Slot& s = slots_[i];
  s.hash = hash;
  s.keyOffset = static_cast<std::uint32_t>(keys_.size());
  s.keyLength = static_cast<std::uint32_t>(id.size());
  s.raw = raw;
  s.element = std::move(element);
  keys_.append(id);
  ++size_;
  return true;
}

bool ItemIndex::erase(std::string_view id, const DaAddressSpaceElement* element) {
  std::size_t i = locate(id, hashOf(id));
  if (i == npos || slots_[i].raw != element) return false;
  deadBytes_ += slots_[i].keyLength;
  --size_;
  // Backward shift: pull up every later slot of the run that may live at the hole, so a
  // probe never meets a gap before its key.
  for (std::size_t j = (i + 1) & mask(); slots_[j].hash != 0; j = (j + 1) & mask()) {
    const std::size_t home = slots_[j].hash & mask();
    const bool homeAfterHole = i <= j ? (home > i && home <= j) : (home > i || home <= j);
    if (homeAfterHole) continue;
    slots_[i] = std::move(slots_[j]);
    i = j;
  }
  slots_[i] = Slot{};
  if (deadBytes_ > 4096 && deadBytes_ > keys_.size() / 2) {
    // The slots shrink with the keys (to half full at most), so removing a large branch
    // does not allocate the full table again at every compaction.
    std::size_t capacity = 64;
    while (capacity < 2 * size_) capacity *= 2;
    rebuild(std::min(capacity, slots_.size()));
  }
  return true;
}

ElementPtr ItemIndex::find(std::string_view id) const {
  const std::size_t i = locate(id, hashOf(id));
  return i == npos ? nullptr : slots_[i].element.lock();
}

void ItemIndex::findMany(std::span<const std::string_view> ids, std::span<ElementPtr> out) const {
  const std::size_t n = ids.size();
  if (slots_.empty()) {
    for (std::size_t k = 0; k < n; ++k) out[k] = nullptr;
    return;
  }
  // Three stages, kAhead ids apart: hash and prefetch the home slot; find the slot whose
  // hash matches and prefetch its key and element; compare the key and take the element.
  constexpr std::size_t kAhead = 8;
  constexpr std::size_t kRing = 4 * kAhead;  // holds 2 * kAhead ids in flight
  std::array<std::uint64_t, kRing> hashes{};
  std::array<std::size_t, kRing> found{};
  for (std::size_t k = 0; k < n + 2 * kAhead; ++k) {
    if (k < n) {
      const std::uint64_t h = hashOf(ids[k]);
      hashes[k % kRing] = h;
      __builtin_prefetch(&slots_[h & mask()]);
    }
    if (k >= kAhead && k - kAhead < n) {
      const std::size_t j = k - kAhead;
      const std::uint64_t h = hashes[j % kRing];
      std::size_t i = h & mask();
      while (slots_[i].hash != 0 && slots_[i].hash != h) i = (i + 1) & mask();
      if (slots_[i].hash == 0) {
        found[j % kRing] = npos;
      } else {
        found[j % kRing] = i;
        __builtin_prefetch(keys_.data() + slots_[i].keyOffset);
        // With make_shared the control block that lock() counts on lies just before it.
        __builtin_prefetch(reinterpret_cast<const char*>(slots_[i].raw) - 16);
      }
    }
    if (k >= 2 * kAhead) {
      const std::size_t j = k - 2 * kAhead;
      const std::size_t i = found[j % kRing];
      if (i == npos) {
        out[j] = nullptr;
      } else if (keyIs(slots_[i], ids[j])) {
        out[j] = slots_[i].element.lock();
      } else {
        out[j] = find(ids[j]);  // another id of the same 64-bit hash: probe on
      }
    }
  }
}

void ItemIndex::clear() {
  slots_.clear();
  keys_.clear();
  size_ = 0;
  deadBytes_ = 0;
}

void ItemIndex::rebuild(std::size_t capacity) {
  std::vector<Slot> old = std::move(slots_);
  std::string oldKeys = std::move(keys_);
  slots_.assign(capacity, Slot{});
  keys_.clear();
  keys_.reserve(oldKeys.size() - deadBytes_);
  deadBytes_ = 0;
  for (Slot& s : old) {
    if (s.hash == 0) continue;
    std::size_t i = s.hash & mask();
    while (slots_[i].hash != 0) i = (i + 1) & mask();
    const std::uint32_t offset = static_cast<std::uint32_t>(keys_.size());
    keys_.append(oldKeys, s.keyOffset, s.keyLength);
    s.keyOffset = offset;
    slots_[i] = std::move(s);
  }
}

}  // namespace OpcToolbox
