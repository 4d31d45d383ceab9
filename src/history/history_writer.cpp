#include "history/history_writer.h"

#include <algorithm>
#include <limits>

#include "logging/logging.h"

namespace vexahv::history {
namespace {

constexpr std::int64_t kTicksPerHour = 36'000'000'000;

std::int64_t ticksNow() {
  // OPC UA's DateTime: 100 ns since 1601-01-01, 11,644,473,600 s before the Unix epoch.
  const auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return since1970.count() / 100 + 116'444'736'000'000'000;
}

}  // namespace

HistoryWriter::HistoryWriter(HistoryStore& store, Limits limits, std::function<std::int64_t()> now,
                             std::function<void(std::int64_t)> turn)
    : store_(store),
      limits_(limits),
      now_(now ? std::move(now) : std::function<std::int64_t()>(ticksNow)),
      turn_(std::move(turn)),
      thread_("history-write", [this](std::stop_token st) { loop(st); }) {}

HistoryWriter::~HistoryWriter() {
  thread_.requestStop();
  wake_.notify_all();
  thread_.join();
}

bool HistoryWriter::offer(Row row) {
  std::lock_guard lock(mutex_);
  ++offered_;
  if (queue_.size() >= limits_.queueRows) {
    ++counts_.dropped;
    ++done_;
    return false;
  }
  queue_.push_back(std::move(row));
  return true;
}

bool HistoryWriter::offerEvent(EventRecord event) {
  std::lock_guard lock(mutex_);
  ++offered_;
  if (events_.size() >= limits_.queueEvents) {
    ++counts_.dropped;
    ++done_;
    return false;
  }
  events_.push_back(std::move(event));
  return true;
}

void HistoryWriter::flush() {
  std::unique_lock lock(mutex_);
  const std::uint64_t target = offered_;
  const std::uint64_t retainTarget = ++retainAsked_;
  wake_.notify_all();
  wake_.wait(lock, [&] { return (done_ >= target && retainDone_ >= retainTarget) || !thread_.running(); });
}

HistoryWriter::Counts HistoryWriter::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

void HistoryWriter::loop(std::stop_token stop) {
  auto nextRetention = std::chrono::steady_clock::now();
  std::vector<Row> batch;
  std::vector<EventRecord> events;
  while (true) {
    if (turn_) turn_(now_());
    std::uint64_t asked = 0;  // the flushes this turn answers: those asked before its batch
    bool retainNow = false;
    {
      std::unique_lock lock(mutex_);
      // Rows wait at most flushEvery; a flush asked for, or the stop, does not wait.
      wake_.wait_for(lock, stop, limits_.flushEvery, [&] { return retainAsked_ != retainDone_; });
      batch.swap(queue_);
      events.swap(events_);
      asked = retainAsked_;
      retainNow = asked != retainDone_;
    }
    const bool stopping = stop.stop_requested();
    commit(batch, events);
    const auto now = std::chrono::steady_clock::now();
    if (!stopping && (retainNow || now >= nextRetention)) {
      // Behind (a bound lowered, a plant writing faster than one turn's slices remove):
      // again at the next turn, so removal keeps up with writing at up to half the time.
      nextRetention = retain() ? now : now + limits_.retentionEvery;
    }
    if (stopping) {
      // Whatever came in meanwhile goes too.
      {
        std::lock_guard lock(mutex_);
        batch.swap(queue_);
        events.swap(events_);
      }
      commit(batch, events);
      asked = std::numeric_limits<std::uint64_t>::max();
    }
    {
      std::lock_guard lock(mutex_);
      retainDone_ = std::min(std::max(retainDone_, asked), retainAsked_);
    }
    wake_.notify_all();
    if (stopping) return;
  }
}

void HistoryWriter::commit(std::vector<Row>& batch, std::vector<EventRecord>& events) {
  if (batch.empty() && events.empty()) return;
  StoreStatus s;
  if (!batch.empty()) s = store_.append(batch);
  // Events are few, and each is worth its own try.
  const StoreStatus e = events.empty() ? StoreStatus{} : store_.appendEvents(events);
  if (s.ok() && !e.ok()) s = e;
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    changed = s.ok() != counts_.healthy;
    counts_.healthy = s.ok();
    (s.ok() ? counts_.written : counts_.dropped) += batch.size();
    (e.ok() ? counts_.written : counts_.dropped) += events.size();
    done_ += batch.size() + events.size();
  }
  if (changed && !s.ok()) logError("History is not kept: ", s.message);
  if (changed && s.ok()) logNotice("History is kept again");
  batch.clear();
  events.clear();
}

bool HistoryWriter::retain() {
  // A slice at a time, and no more slices than keep the next batch within its time.
  const auto deadline = std::chrono::steady_clock::now() + limits_.flushEvery / 2;
  std::size_t removed = 0, n = 0;
  const std::int64_t oldest = now_() - limits_.maxAge.count() * kTicksPerHour;
  StoreStatus s;
  bool behind = false;
  do {
    s = store_.removeOlderThan(oldest, limits_.removeSlice, n);
    removed += n;
    behind = s.ok() && n >= limits_.removeSlice;
  } while (behind && std::chrono::steady_clock::now() < deadline);
  std::uint64_t used = 0;
  while (s.ok() && !behind && limits_.maxBytes != 0 && (s = store_.usedBytes(used)).ok() && used > limits_.maxBytes) {
    if (std::chrono::steady_clock::now() >= deadline) {
      behind = true;
      break;
    }
    s = store_.removeOldest(limits_.removeSlice, n);
    removed += n;
    if (n == 0) break;
  }
  if (!s.ok()) logWarning("History retention failed: ", s.message);
  std::lock_guard lock(mutex_);
  counts_.removed += removed;
  return behind;
}

}  // namespace vexahv::history
