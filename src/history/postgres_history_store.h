#pragma once
// History in a PostgreSQL database that several servers share: each keeps its items under
// a source name of its own (the host's, unless configured), so crates of one name on two
// servers never mix. Time is a bigint of OPC UA ticks, and no unique key leaves it out, so
// TimescaleDB can make history_samples a hypertable on it. One connection writes (a batch
// is one COPY in one transaction), another reads; each is used under its own lock. A lost
// connection is opened again on a later call, at most every few seconds, so a database
// that is down costs a failed call, never a stalled writer.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "history/history_store.h"
#include "history/item_keys.h"

namespace vexahv::history {

class PostgresHistoryStore final : public HistoryStore {
 public:
  // conninfo: a libpq connection string or URI. Makes the tables when missing (under a lock,
  // for servers starting together); null with the reason in status when the database
  // cannot be reached or its tables are not ours.
  static std::unique_ptr<PostgresHistoryStore> open(const std::string& conninfo, const std::string& source,
                                                    StoreStatus& status);
  ~PostgresHistoryStore() override;

  StoreStatus keyOf(std::string_view item, std::uint32_t& key) override;
  StoreStatus findKey(std::string_view item, std::optional<std::uint32_t>& key) override;
  StoreStatus append(std::span<const Row> rows) override;
  StoreStatus scan(const Scan& scan, std::vector<Stored>& out) override;
  StoreStatus appendEvents(std::span<const EventRecord> events) override;
  // This source's events only.
  StoreStatus scanEvents(const EventScan& scan, std::vector<StoredEvent>& out) override;
  StoreStatus nearest(std::uint32_t key, std::int64_t t, bool before, std::optional<Stored>& out) override;
  // These two remove this source's samples only: other servers keep their own bounds.
  StoreStatus removeOlderThan(std::int64_t t, std::size_t max, std::size_t& removed) override;
  StoreStatus removeOldest(std::size_t max, std::size_t& removed) override;
  // The samples table's whole size, every source's.
  StoreStatus usedBytes(std::uint64_t& bytes) override;

  struct Connection;  // defined with the store; opaque outside it

 private:
  PostgresHistoryStore(std::string source, std::unique_ptr<Connection> writer, std::unique_ptr<Connection> reader);
  StoreStatus lookUp(Connection& c, std::string_view item, std::optional<std::uint32_t>& key);

  const std::string source_;
  std::unique_ptr<Connection> writer_;  // appends, keys, retention
  std::unique_ptr<Connection> reader_;  // scans
  ItemKeys keys_;
};

}  // namespace vexahv::history
