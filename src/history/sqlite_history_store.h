#pragma once
// History in one SQLite database file, in WAL mode: the writer's batches commit without
// blocking readers, and a process killed between them loses only the batch under way.
// One connection writes, another reads; each is used under its own lock.

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "history/history_store.h"
#include "history/item_keys.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vexahv::history {

class SqliteHistoryStore final : public HistoryStore {
 public:
  // Opens (making it, and its tables, when missing) the database at path; null with the
  // reason in status when it cannot be opened or is not a database of ours.
  static std::unique_ptr<SqliteHistoryStore> open(const std::filesystem::path& path, StoreStatus& status);
  ~SqliteHistoryStore() override;

  StoreStatus keyOf(std::string_view item, std::uint32_t& key) override;
  StoreStatus findKey(std::string_view item, std::optional<std::uint32_t>& key) override;
  StoreStatus append(std::span<const Row> rows) override;
  StoreStatus scan(const Scan& scan, std::vector<Stored>& out) override;
  StoreStatus appendEvents(std::span<const EventRecord> events) override;
  StoreStatus scanEvents(const EventScan& scan, std::vector<StoredEvent>& out) override;
  StoreStatus nearest(std::uint32_t key, std::int64_t t, bool before, std::optional<Stored>& out) override;
  StoreStatus removeOlderThan(std::int64_t t, std::size_t max, std::size_t& removed) override;
  StoreStatus removeOldest(std::size_t max, std::size_t& removed) override;
  StoreStatus usedBytes(std::uint64_t& bytes) override;

  struct Connection;  // defined with the store; opaque outside it

 private:
  SqliteHistoryStore(std::unique_ptr<Connection> writer, std::unique_ptr<Connection> reader);
  StoreStatus lookUp(Connection& c, std::string_view item, std::optional<std::uint32_t>& key);

  std::unique_ptr<Connection> writer_;  // appends, keys, retention
  std::unique_ptr<Connection> reader_;  // scans
  ItemKeys keys_;
};

}  // namespace vexahv::history
