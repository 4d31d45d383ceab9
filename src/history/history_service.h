#pragma once
// History as the server keeps it: which items are kept (each under a slot the address
// space holds), what of their values is written — a new status always, a value that moved
// by more than the item's deadband, at most one a second per item, the last of a busy
// second written when its second is over — and raw reads by item id. Recording never
// waits for the disk: it queues to the writer, which commits on its own thread.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "history/at_time.h"
#include "history/event_read.h"
#include "history/history_writer.h"
#include "history/processed_read.h"
#include "history/raw_read.h"

namespace vexahv::history {

// The history database's name under the platform root.
inline constexpr const char* kHistoryFile = "VEXAHVHistory.db";

class HistoryService {
 public:
  struct Settings {
    HistoryWriter::Limits limits;
    std::int64_t minInterval = 10'000'000;  // OPC UA ticks: a second
    std::function<std::int64_t()> now;       // the clock (OPC UA ticks); tests set their own
  };
  HistoryService(std::unique_ptr<HistoryStore> store, Settings settings);
  ~HistoryService();  // commits what it holds
  HistoryService(const HistoryService&) = delete;
  HistoryService& operator=(const HistoryService&) = delete;

  // Keeps the item's history from now on (again, after a rebuild: the same slot); its
  // slot, 0 when the store could not take it (logged). A value is written when it moved
  // by more than deadband (0: any change), at most one each minInterval ticks (-1: the
  // settings').
  std::uint32_t keep(std::string_view itemId, double deadband = 0, std::int64_t minInterval = -1);
  // A value of a kept item, from any thread.
  void record(std::uint32_t slot, Sample sample);
  bool historizing(std::string_view itemId) const;
  // How a kept item is kept; none for one that is not.
  struct KeptInfo {
    double deadband = 0;
    std::int64_t minInterval = 0;  // ticks
  };
  std::optional<KeptInfo> keptInfo(std::string_view itemId) const;
  // An event, from any thread: every one is kept, whatever it changed.
  void recordEvent(EventRecord event);
  EventAnswer readEvents(const EventRequest& request, std::size_t limit, const EventCursor* resume,
                         const std::function<bool(const EventRecord&)>& pass);
  // BadHistoryOperationUnsupported for an item that is not kept.
  RawAnswer readRaw(std::string_view itemId, const RawRequest& request, std::size_t limit,
                    const RawCursor* resume = nullptr);
  // At the given times (see readAtTime); BadHistoryOperationUnsupported for an item that
  // is not kept.
  std::vector<Sample> readAtTime(std::string_view itemId, std::span<const std::int64_t> times, std::uint32_t& status,
                                 AtTimeOptions options = {});
  // Aggregates over intervals (see readProcessed), reading at most maxRows raw values.
  std::vector<Sample> readProcessed(std::string_view itemId, const ProcessedRequest& request, Aggregate aggregate,
                                    std::size_t maxRows, std::uint32_t& status,
                                    const AggregateConfiguration& configuration = {});
  // Writes the values held back for a second that is over (the writer calls it each turn;
  // tests too).
  void sweep(std::int64_t now);
  // Everything recorded so far on disk (tests, and before a stop).
  void flush();
  HistoryWriter::Counts counts() const { return writer_->counts(); }
  std::size_t keptCount() const;

 private:
  struct Kept {
    Kept(std::uint32_t k, double d, std::int64_t i) : key(k), deadband(d), minInterval(i) {}
    const std::uint32_t key;
    const double deadband;
    const std::int64_t minInterval;
    std::mutex mutex;  // leaf
    std::optional<Sample> last;  // the last written
    std::optional<Sample> held;  // newer, not written yet (within its second)
    std::atomic<bool> holding{false};
  };
  Kept* slot(std::uint32_t s) const;
  std::optional<std::uint32_t> keyFor(std::string_view itemId) const;
  bool worthWriting(const Kept& k, const Sample& s) const;

  std::unique_ptr<HistoryStore> store_;
  const Settings settings_;
  mutable std::shared_mutex slotsMutex_;  // leaf; taken shared by record, alone by keep
  std::vector<std::unique_ptr<Kept>> slots_;  // slot n at n - 1
  std::unordered_map<std::string, std::uint32_t> slotOf_;
  std::atomic<bool> stopping_{false};
  std::unique_ptr<HistoryWriter> writer_;  // last: stops first
};

}  // namespace vexahv::history
