#pragma once
// The history writer: takes samples from the value and event paths without blocking them
// (a bounded queue; what does not fit is counted, never waited for), and commits them on
// a thread of its own in batches, at least every flushEvery, so a value taken is on disk
// within that time. Between batches it keeps the store within its age and size bounds a
// slice at a time, so writing never stalls behind a large removal. A failing store
// (damaged, full) is logged when it starts and when it ends; the samples meanwhile are
// counted as lost, and the server serves on without them.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "history/history_store.h"
#include "platform/worker_thread.h"

namespace vexahv::history {

class HistoryWriter {
 public:
  struct Limits {
    std::size_t queueRows = 1u << 18;  // about 4 s of four plant crates' changes
    std::size_t queueEvents = 1u << 16;  // an interlock tripping four crates' channels at once, and more
    std::chrono::milliseconds flushEvery{250};
    std::chrono::hours maxAge{24 * 30};
    std::uint64_t maxBytes = 1ull << 30;  // 0: no size bound
    std::size_t removeSlice = 20000;     // rows removed at a time: fewer, larger slices cost less a row
    std::chrono::milliseconds retentionEvery{10000};
  };
  struct Counts {
    std::uint64_t written = 0;  // rows and events
    std::uint64_t dropped = 0;  // the queue was full, or the store failed
    std::uint64_t removed = 0;  // by retention
    bool healthy = true;        // the last batch committed
  };
  // now: the time in OPC UA ticks (tests set their own); turn: called on the writer's
  // thread at each turn, before it takes the queue, with that time (it may offer rows).
  HistoryWriter(HistoryStore& store, Limits limits, std::function<std::int64_t()> now = {},
                std::function<void(std::int64_t)> turn = {});
  ~HistoryWriter();  // commits what it holds, then stops
  HistoryWriter(const HistoryWriter&) = delete;
  HistoryWriter& operator=(const HistoryWriter&) = delete;

  // False when the queue is full: the row is lost, and counted.
  bool offer(Row row);
  // The same for an event.
  bool offerEvent(EventRecord event);
  // Returns once every row offered before is committed (or lost), and retention has run.
  void flush();
  Counts counts() const;

 private:
  void loop(std::stop_token stop);
  void commit(std::vector<Row>& batch, std::vector<EventRecord>& events);
  bool retain();  // true when more is to go than one turn's time allowed

  HistoryStore& store_;
  const Limits limits_;
  const std::function<std::int64_t()> now_;
  const std::function<void(std::int64_t)> turn_;
  mutable std::mutex mutex_;  // leaf
  std::condition_variable_any wake_;
  std::vector<Row> queue_;
  std::vector<EventRecord> events_;
  std::uint64_t offered_ = 0, done_ = 0;  // rows offered, and of them committed or lost
  std::uint64_t retainAsked_ = 0, retainDone_ = 0;
  Counts counts_;
  platform::WorkerThread thread_;  // last: starts after, and stops before, the above
};

}  // namespace vexahv::history
