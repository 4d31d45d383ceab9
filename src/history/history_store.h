#pragma once
// The store history is kept in, with one interface for its back-ends (SQLite embedded,
// PostgreSQL for a plant). One writer appends, in batches; any number of readers scan.
// Every call answers with a status rather than throwing: a damaged or full database is
// reported, and the server serves on without history.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "history/history_sample.h"

namespace vexahv::history {

struct StoreStatus {
  enum class Code { Ok, Failed, Damaged, Full };
  Code code = Code::Ok;
  std::string message;  // what failed, for the log
  bool ok() const noexcept { return code == Code::Ok; }
  static StoreStatus failed(Code c, std::string m) { return StoreStatus{c, std::move(m)}; }
};

// Samples of one item: times in [from, to) oldest first, or, backward, in (to, from]
// newest first; at most max (0: no limit); after a position, to resume a read.
struct Scan {
  std::uint32_t key = 0;
  std::int64_t from = 0;
  std::int64_t to = 0;
  bool forward = true;
  std::size_t max = 0;
  std::optional<Stored> after;  // resume behind this sample (its time and seq)
};

// Events in the same way: times, direction, count and resumption as Scan; scope: only
// events of that branch or below it (its id, or ids under it: "CrateA" holds
// "CrateA.Board00"), every event when empty.
struct EventScan {
  std::int64_t from = 0;
  std::int64_t to = 0;
  bool forward = true;
  std::size_t max = 0;
  std::string scope;
  std::optional<StoredEvent> after;
};

class HistoryStore {
 public:
  virtual ~HistoryStore() = default;
  // The key of an item's history, made on first use.
  virtual StoreStatus keyOf(std::string_view item, std::uint32_t& key) = 0;
  // The key of an item that has a history; none when it never had.
  virtual StoreStatus findKey(std::string_view item, std::optional<std::uint32_t>& key) = 0;
  // All of them or none, in one transaction.
  virtual StoreStatus append(std::span<const Row> rows) = 0;
  virtual StoreStatus scan(const Scan& scan, std::vector<Stored>& out) = 0;
  virtual StoreStatus appendEvents(std::span<const EventRecord> events) = 0;
  virtual StoreStatus scanEvents(const EventScan& scan, std::vector<StoredEvent>& out) = 0;
  // The last sample at or before t (before), or the first at or after it.
  virtual StoreStatus nearest(std::uint32_t key, std::int64_t t, bool before, std::optional<Stored>& out) = 0;
  // Of the max samples written first, removes those older than t (every item's), and
  // as many events older than t; says how many went. Samples come in about the order of their times, so repeated calls remove
  // every old one without an index on time alone.
  virtual StoreStatus removeOlderThan(std::int64_t t, std::size_t max, std::size_t& removed) = 0;
  // Removes the samples written first, up to max, whatever their age.
  virtual StoreStatus removeOldest(std::size_t max, std::size_t& removed) = 0;
  // What the samples take, for the size bound (not the file's size: freed room is reused).
  virtual StoreStatus usedBytes(std::uint64_t& bytes) = 0;
};

}  // namespace vexahv::history
