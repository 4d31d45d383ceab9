#include "history/history_service.h"

#include <cmath>
#include <limits>
#include <mutex>

#include "logging/logging.h"

namespace vexahv::history {

HistoryService::HistoryService(std::unique_ptr<HistoryStore> store, Settings settings)
    : store_(std::move(store)), settings_(settings) {
  writer_ = std::make_unique<HistoryWriter>(*store_, settings_.limits, settings_.now,
                                            [this](std::int64_t now) { sweep(now); });
}

HistoryService::~HistoryService() {
  // What is held goes too, then nothing more is taken; the writer commits what it holds.
  sweep(std::numeric_limits<std::int64_t>::max());
  stopping_.store(true);
  writer_.reset();
}

std::uint32_t HistoryService::keep(std::string_view itemId, double deadband, std::int64_t minInterval) {
  std::unique_lock lock(slotsMutex_);
  if (auto it = slotOf_.find(std::string(itemId)); it != slotOf_.end()) return it->second;
  std::uint32_t key = 0;
  if (StoreStatus s = store_->keyOf(itemId, key); !s.ok()) {
    logError("History of item [", itemId, "] is not kept: ", s.message);
    return 0;
  }
  slots_.push_back(std::make_unique<Kept>(key, deadband, minInterval < 0 ? settings_.minInterval : minInterval));
  const auto slot = static_cast<std::uint32_t>(slots_.size());
  slotOf_.emplace(std::string(itemId), slot);
  return slot;
}

std::size_t HistoryService::keptCount() const {
  std::shared_lock lock(slotsMutex_);
  return slots_.size();
}

HistoryService::Kept* HistoryService::slot(std::uint32_t s) const {
  std::shared_lock lock(slotsMutex_);
  return s == 0 || s > slots_.size() ? nullptr : slots_[s - 1].get();
}

bool HistoryService::worthWriting(const Kept& k, const Sample& s) const {
  if (!k.last) return true;
  if (k.last->status != s.status) return true;
  const auto a = numberOf(k.last->value), b = numberOf(s.value);
  if (a && b) return k.deadband > 0 ? std::fabs(*a - *b) > k.deadband : *a != *b;
  return k.last->value != s.value;
}

void HistoryService::record(std::uint32_t s, Sample sample) {
  Kept* k = slot(s);
  if (k == nullptr || stopping_.load(std::memory_order_relaxed)) return;
  std::optional<Row> row;
  {
    std::lock_guard lock(k->mutex);
    if (!worthWriting(*k, sample)) {
      // Back where it was written last: what was held is no longer the value.
      k->held.reset();
      k->holding.store(false, std::memory_order_relaxed);
      return;
    }
    const bool statusChanged = !k->last || k->last->status != sample.status;
    if (statusChanged || sample.time - k->last->time >= k->minInterval) {
      k->last = sample;
      k->held.reset();
      k->holding.store(false, std::memory_order_relaxed);
      row = Row{k->key, std::move(sample)};
    } else {
      k->held = std::move(sample);
      k->holding.store(true, std::memory_order_relaxed);
    }
  }
  if (row) writer_->offer(std::move(*row));
}

void HistoryService::sweep(std::int64_t now) {
  if (stopping_.load(std::memory_order_relaxed)) return;
  std::vector<Kept*> holding;
  {
    std::shared_lock lock(slotsMutex_);
    for (const auto& k : slots_) {
      if (k->holding.load(std::memory_order_relaxed)) holding.push_back(k.get());
    }
  }
  for (Kept* k : holding) {
    std::optional<Row> row;
    {
      std::lock_guard lock(k->mutex);
      if (k->held && (!k->last || now - k->last->time >= k->minInterval)) {
        k->last = *k->held;
        row = Row{k->key, std::move(*k->held)};
        k->held.reset();
        k->holding.store(false, std::memory_order_relaxed);
      }
    }
    if (row) writer_->offer(std::move(*row));
  }
}

void HistoryService::flush() { writer_->flush(); }

void HistoryService::recordEvent(EventRecord event) {
  if (stopping_.load(std::memory_order_relaxed)) return;
  writer_->offerEvent(std::move(event));
}

EventAnswer HistoryService::readEvents(const EventRequest& request, std::size_t limit, const EventCursor* resume,
                                       const std::function<bool(const EventRecord&)>& pass) {
  return history::readEvents(*store_, request, limit, resume, pass);
}

bool HistoryService::historizing(std::string_view itemId) const {
  std::shared_lock lock(slotsMutex_);
  return slotOf_.count(std::string(itemId)) != 0;
}

std::optional<HistoryService::KeptInfo> HistoryService::keptInfo(std::string_view itemId) const {
  std::shared_lock lock(slotsMutex_);
  auto it = slotOf_.find(std::string(itemId));
  if (it == slotOf_.end()) return std::nullopt;
  const Kept& k = *slots_[it->second - 1];
  return KeptInfo{k.deadband, k.minInterval};
}

std::optional<std::uint32_t> HistoryService::keyFor(std::string_view itemId) const {
  std::shared_lock lock(slotsMutex_);
  auto it = slotOf_.find(std::string(itemId));
  if (it == slotOf_.end()) return std::nullopt;
  return slots_[it->second - 1]->key;
}

std::vector<Sample> HistoryService::readAtTime(std::string_view itemId, std::span<const std::int64_t> times,
                                              std::uint32_t& status, AtTimeOptions options) {
  const std::optional<std::uint32_t> key = keyFor(itemId);
  if (!key) {
    status = kBadHistoryOperationUnsupported;
    return {};
  }
  return history::readAtTime(*store_, *key, times, status, options);
}

std::vector<Sample> HistoryService::readProcessed(std::string_view itemId, const ProcessedRequest& request,
                                                 Aggregate aggregate, std::size_t maxRows, std::uint32_t& status,
                                                 const AggregateConfiguration& configuration) {
  const std::optional<std::uint32_t> key = keyFor(itemId);
  if (!key) {
    status = kBadHistoryOperationUnsupported;
    return {};
  }
  return history::readProcessed(*store_, *key, request, aggregate, maxRows, status, configuration);
}

RawAnswer HistoryService::readRaw(std::string_view itemId, const RawRequest& request, std::size_t limit,
                                  const RawCursor* resume) {
  const std::optional<std::uint32_t> key = keyFor(itemId);
  if (!key) return RawAnswer{kBadHistoryOperationUnsupported, {}, std::nullopt};
  return history::readRaw(*store_, *key, request, limit, resume);
}

}  // namespace vexahv::history
