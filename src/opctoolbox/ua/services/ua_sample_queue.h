#pragma once
// The queue of one monitored item: a ring over a vector that allocates nothing until the
// first sample (a std::deque allocates a 512-byte block per item even when empty, and
// servers hold tens of thousands of items with a queue of one).

#include <cstddef>
#include <utility>
#include <vector>

namespace OpcToolbox::ua {

template <class T>
class SampleQueue {
 public:
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& front() { return slots_[head_]; }
  T& back() { return slots_[at(size_ - 1)]; }
  void push_back(T value) {
    if (size_ == slots_.size()) grow();
    slots_[at(size_)] = std::move(value);
    ++size_;
  }
  // Popped slots are reset, so that a queued value's memory goes with it.
  void pop_front() {
    slots_[head_] = T{};
    head_ = size_ == 1 ? 0 : (head_ + 1) % slots_.size();
    --size_;
  }
  void pop_back() {
    slots_[at(size_ - 1)] = T{};
    if (--size_ == 0) head_ = 0;
  }

 private:
  std::size_t at(std::size_t i) const noexcept { return (head_ + i) % slots_.size(); }
  void grow() {
    std::vector<T> bigger(slots_.empty() ? 1 : slots_.size() * 2);
    for (std::size_t i = 0; i < size_; ++i) bigger[i] = std::move(slots_[at(i)]);
    slots_ = std::move(bigger);
    head_ = 0;
  }
  std::vector<T> slots_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace OpcToolbox::ua
