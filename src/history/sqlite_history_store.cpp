#include "history/sqlite_history_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>

namespace vexahv::history {
namespace {

constexpr std::int64_t kMinTime = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxTime = std::numeric_limits<std::int64_t>::max();

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS history_items(key INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS history_samples(seq INTEGER PRIMARY KEY, key INTEGER NOT NULL,"
    " time INTEGER NOT NULL, status INTEGER NOT NULL, value);"
    "CREATE INDEX IF NOT EXISTS history_samples_key_time ON history_samples(key, time, seq);"
    "CREATE TABLE IF NOT EXISTS history_events(seq INTEGER PRIMARY KEY, time INTEGER NOT NULL,"
    " source TEXT NOT NULL, body BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_events_time ON history_events(time, seq);";

// A branch's events: its own, and those of the ids under it ('/' follows '.').
#define VEXAHV_IN_SCOPE "(?5 = '' OR source = ?5 OR (source >= ?5 || '.' AND source < ?5 || '/'))"

StoreStatus::Code codeOf(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return StoreStatus::Code::Damaged;
    case SQLITE_FULL:
      return StoreStatus::Code::Full;
    default:
      return StoreStatus::Code::Failed;
  }
}

// A prepared statement, finalized with its owner; reset before each use.
struct Statement {
  sqlite3_stmt* stmt = nullptr;
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt); }
};

Value columnValue(sqlite3_stmt* s, int i) {
  switch (sqlite3_column_type(s, i)) {
    case SQLITE_INTEGER:
      return Value(static_cast<std::int64_t>(sqlite3_column_int64(s, i)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(s, i));
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
      return Value(std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(s, i))));
    }
    default:
      return Value();
  }
}

int bindValue(sqlite3_stmt* s, int i, const Value& v) {
  if (const auto* n = std::get_if<std::int64_t>(&v)) return sqlite3_bind_int64(s, i, *n);
  if (const auto* d = std::get_if<double>(&v)) return sqlite3_bind_double(s, i, *d);
  if (const auto* t = std::get_if<std::string>(&v)) {
    return sqlite3_bind_text(s, i, t->data(), static_cast<int>(t->size()), SQLITE_TRANSIENT);
  }
  return sqlite3_bind_null(s, i);
}

// seq, time, status, value
Stored storedOf(sqlite3_stmt* s) {
  Stored out;
  out.seq = sqlite3_column_int64(s, 0);
  out.sample.time = sqlite3_column_int64(s, 1);
  out.sample.status = static_cast<std::uint32_t>(sqlite3_column_int64(s, 2));
  out.sample.value = columnValue(s, 3);
  return out;
}

}  // namespace

struct SqliteHistoryStore::Connection {
  sqlite3* db = nullptr;
  std::mutex mutex;  // leaf: one statement at a time on this connection
  Statement insert, findItem, addItem, forward, backward, before, after, ageOut, oldest;
  Statement insertEvent, eventsAgeOut, eventsForward, eventsBackward;
  ~Connection() {
    // Statements first: a connection with statements left would not close.
    for (Statement* s : {&insert, &findItem, &addItem, &forward, &backward, &before, &after, &ageOut, &oldest,
                         &insertEvent, &eventsAgeOut, &eventsForward, &eventsBackward}) {
      sqlite3_finalize(s->stmt);
      s->stmt = nullptr;
    }
    sqlite3_close_v2(db);
  }
  StoreStatus error(int rc, const char* what) const {
    return StoreStatus::failed(codeOf(rc), std::string("history database: ") + what + ": " + sqlite3_errmsg(db));
  }
  StoreStatus exec(const char* sql, const char* what) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (rc == SQLITE_OK) return {};
    std::string text = message != nullptr ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return StoreStatus::failed(codeOf(rc), std::string("history database: ") + what + ": " + text);
  }
  StoreStatus prepare(Statement& s, const char* sql) {
    const int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s.stmt, nullptr);
    return rc == SQLITE_OK ? StoreStatus{} : error(rc, "preparing a statement");
  }
  // Runs a prepared query, calling row for each row; the statement is reset afterwards.
  template <class F>
  StoreStatus run(Statement& s, const char* what, F&& row) {
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(s.stmt)) == SQLITE_ROW) row(s.stmt);
    sqlite3_reset(s.stmt);
    sqlite3_clear_bindings(s.stmt);
    return rc == SQLITE_DONE ? StoreStatus{} : error(rc, what);
  }
};

namespace {

StoreStatus openConnection(const std::filesystem::path& path, bool writer,
                           std::unique_ptr<SqliteHistoryStore::Connection>& out);

}  // namespace

std::unique_ptr<SqliteHistoryStore> SqliteHistoryStore::open(const std::filesystem::path& path, StoreStatus& status) {
  auto writer = std::make_unique<Connection>();
  auto reader = std::make_unique<Connection>();
  status = openConnection(path, true, writer);
  if (status.ok()) status = openConnection(path, false, reader);
  if (!status.ok()) return nullptr;
  return std::unique_ptr<SqliteHistoryStore>(new SqliteHistoryStore(std::move(writer), std::move(reader)));
}

namespace {

StoreStatus openConnection(const std::filesystem::path& path, bool writer,
                           std::unique_ptr<SqliteHistoryStore::Connection>& c) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (writer ? SQLITE_OPEN_CREATE : 0);
  const int rc = sqlite3_open_v2(path.c_str(), &c->db, flags, nullptr);
  if (rc != SQLITE_OK) {
    return StoreStatus::failed(codeOf(rc), "history database " + path.string() + ": " +
                                               (c->db != nullptr ? sqlite3_errmsg(c->db) : sqlite3_errstr(rc)));
  }
  sqlite3_extended_result_codes(c->db, 1);
  // A reader waits for the writer's commit rather than failing at once.
  sqlite3_busy_timeout(c->db, 2000);
  StoreStatus s;
  if (writer) {
    // WAL: commits do not block readers; NORMAL: a commit reaches the file at once (a
    // killed process loses nothing committed), the disk at each checkpoint.
    s = c->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-65536;", "opening");
    if (s.ok()) s = c->exec(kSchema, "making its tables");
  } else {
    s = c->exec("SELECT count(*) FROM history_items;", "opening");  // not a database of ours: fails here
  }
  if (!s.ok()) return s;
  if (writer) {
    for (auto [stmt, sql] : {
             std::pair{&c->insert, "INSERT INTO history_samples(key, time, status, value) VALUES (?1, ?2, ?3, ?4)"},
             std::pair{&c->findItem, "SELECT key FROM history_items WHERE name = ?1"},
             std::pair{&c->addItem, "INSERT INTO history_items(name) VALUES (?1)"},
             std::pair{&c->ageOut,
                       "DELETE FROM history_samples WHERE seq IN (SELECT seq FROM history_samples"
                       " ORDER BY seq LIMIT ?2) AND time < ?1"},
             std::pair{&c->oldest,
                       "DELETE FROM history_samples WHERE seq IN (SELECT seq FROM history_samples ORDER BY seq LIMIT ?1)"},
             std::pair{&c->insertEvent, "INSERT INTO history_events(time, source, body) VALUES (?1, ?2, ?3)"},
             std::pair{&c->eventsAgeOut,
                       "DELETE FROM history_events WHERE seq IN (SELECT seq FROM history_events"
                       " ORDER BY seq LIMIT ?2) AND time < ?1"},
         }) {
      if (s = c->prepare(*stmt, sql); !s.ok()) return s;
    }
  } else {
    for (auto [stmt, sql] : {
             std::pair{&c->findItem, "SELECT key FROM history_items WHERE name = ?1"},
             std::pair{&c->forward,
                       "SELECT seq, time, status, value FROM history_samples WHERE key = ?1 AND time >= ?2 AND time < ?3"
                       " AND (time, seq) > (?4, ?5) ORDER BY time, seq LIMIT ?6"},
             std::pair{&c->backward,
                       "SELECT seq, time, status, value FROM history_samples WHERE key = ?1 AND time <= ?2 AND time > ?3"
                       " AND (time, seq) < (?4, ?5) ORDER BY time DESC, seq DESC LIMIT ?6"},
             std::pair{&c->before,
                       "SELECT seq, time, status, value FROM history_samples WHERE key = ?1 AND time <= ?2"
                       " ORDER BY time DESC, seq DESC LIMIT 1"},
             std::pair{&c->after,
                       "SELECT seq, time, status, value FROM history_samples WHERE key = ?1 AND time >= ?2"
                       " ORDER BY time, seq LIMIT 1"},
             std::pair{&c->eventsForward,
                       "SELECT seq, time, source, body FROM history_events WHERE time >= ?1 AND time < ?2"
                       " AND (time, seq) > (?3, ?4) AND " VEXAHV_IN_SCOPE " ORDER BY time, seq LIMIT ?6"},
             std::pair{&c->eventsBackward,
                       "SELECT seq, time, source, body FROM history_events WHERE time <= ?1 AND time > ?2"
                       " AND (time, seq) < (?3, ?4) AND " VEXAHV_IN_SCOPE " ORDER BY time DESC, seq DESC LIMIT ?6"},
         }) {
      if (s = c->prepare(*stmt, sql); !s.ok()) return s;
    }
  }
  return {};
}

}  // namespace

SqliteHistoryStore::SqliteHistoryStore(std::unique_ptr<Connection> writer, std::unique_ptr<Connection> reader)
    : writer_(std::move(writer)), reader_(std::move(reader)) {}

SqliteHistoryStore::~SqliteHistoryStore() = default;

StoreStatus SqliteHistoryStore::lookUp(Connection& c, std::string_view item, std::optional<std::uint32_t>& key) {
  key.reset();
  sqlite3_bind_text(c.findItem.stmt, 1, item.data(), static_cast<int>(item.size()), SQLITE_STATIC);
  return c.run(c.findItem, "finding an item",
               [&](sqlite3_stmt* s) { key = static_cast<std::uint32_t>(sqlite3_column_int64(s, 0)); });
}

StoreStatus SqliteHistoryStore::keyOf(std::string_view item, std::uint32_t& key) {
  if (auto known = keys_.find(item)) {
    key = *known;
    return {};
  }
  std::lock_guard lock(writer_->mutex);
  std::optional<std::uint32_t> found;
  if (StoreStatus s = lookUp(*writer_, item, found); !s.ok()) return s;
  if (!found) {
    sqlite3_bind_text(writer_->addItem.stmt, 1, item.data(), static_cast<int>(item.size()), SQLITE_STATIC);
    if (StoreStatus s = writer_->run(writer_->addItem, "adding an item", [](sqlite3_stmt*) {}); !s.ok()) return s;
    found = static_cast<std::uint32_t>(sqlite3_last_insert_rowid(writer_->db));
  }
  key = *found;
  keys_.add(std::string(item), key);
  return {};
}

StoreStatus SqliteHistoryStore::findKey(std::string_view item, std::optional<std::uint32_t>& key) {
  if (auto known = keys_.find(item)) {
    key = known;
    return {};
  }
  std::lock_guard lock(reader_->mutex);
  return lookUp(*reader_, item, key);
}

StoreStatus SqliteHistoryStore::append(std::span<const Row> rows) {
  std::lock_guard lock(writer_->mutex);
  if (StoreStatus s = writer_->exec("BEGIN IMMEDIATE", "beginning a batch"); !s.ok()) return s;
  sqlite3_stmt* insert = writer_->insert.stmt;
  for (const Row& row : rows) {
    sqlite3_bind_int64(insert, 1, row.key);
    sqlite3_bind_int64(insert, 2, row.sample.time);
    sqlite3_bind_int64(insert, 3, row.sample.status);
    bindValue(insert, 4, row.sample.value);
    const int rc = sqlite3_step(insert);
    sqlite3_reset(insert);
    if (rc != SQLITE_DONE) {
      StoreStatus s = writer_->error(rc, "writing a batch");
      writer_->exec("ROLLBACK", "rolling a batch back");
      return s;
    }
  }
  StoreStatus s = writer_->exec("COMMIT", "committing a batch");
  if (!s.ok()) writer_->exec("ROLLBACK", "rolling a batch back");
  return s;
}

StoreStatus SqliteHistoryStore::scan(const Scan& q, std::vector<Stored>& out) {
  std::lock_guard lock(reader_->mutex);
  Statement& st = q.forward ? reader_->forward : reader_->backward;
  sqlite3_stmt* s = st.stmt;
  sqlite3_bind_int64(s, 1, q.key);
  sqlite3_bind_int64(s, 2, q.from);
  sqlite3_bind_int64(s, 3, q.to);
  const std::int64_t edge = q.forward ? kMinTime : kMaxTime;
  sqlite3_bind_int64(s, 4, q.after ? q.after->sample.time : edge);
  sqlite3_bind_int64(s, 5, q.after ? q.after->seq : edge);
  sqlite3_bind_int64(s, 6, q.max == 0 ? -1 : static_cast<sqlite3_int64>(q.max));
  return reader_->run(st, "reading", [&](sqlite3_stmt* row) { out.push_back(storedOf(row)); });
}

StoreStatus SqliteHistoryStore::appendEvents(std::span<const EventRecord> events) {
  std::lock_guard lock(writer_->mutex);
  if (StoreStatus s = writer_->exec("BEGIN IMMEDIATE", "beginning a batch"); !s.ok()) return s;
  sqlite3_stmt* insert = writer_->insertEvent.stmt;
  for (const EventRecord& e : events) {
    sqlite3_bind_int64(insert, 1, e.time);
    sqlite3_bind_text(insert, 2, e.source.data(), static_cast<int>(e.source.size()), SQLITE_STATIC);
    sqlite3_bind_blob(insert, 3, e.body.data(), static_cast<int>(e.body.size()), SQLITE_STATIC);
    const int rc = sqlite3_step(insert);
    sqlite3_reset(insert);
    if (rc != SQLITE_DONE) {
      StoreStatus s = writer_->error(rc, "writing events");
      writer_->exec("ROLLBACK", "rolling a batch back");
      return s;
    }
  }
  StoreStatus s = writer_->exec("COMMIT", "committing events");
  if (!s.ok()) writer_->exec("ROLLBACK", "rolling a batch back");
  return s;
}

StoreStatus SqliteHistoryStore::scanEvents(const EventScan& q, std::vector<StoredEvent>& out) {
  std::lock_guard lock(reader_->mutex);
  Statement& st = q.forward ? reader_->eventsForward : reader_->eventsBackward;
  sqlite3_stmt* s = st.stmt;
  sqlite3_bind_int64(s, 1, q.from);
  sqlite3_bind_int64(s, 2, q.to);
  const std::int64_t edge = q.forward ? kMinTime : kMaxTime;
  sqlite3_bind_int64(s, 3, q.after ? q.after->event.time : edge);
  sqlite3_bind_int64(s, 4, q.after ? q.after->seq : edge);
  sqlite3_bind_text(s, 5, q.scope.data(), static_cast<int>(q.scope.size()), SQLITE_STATIC);
  sqlite3_bind_int64(s, 6, q.max == 0 ? -1 : static_cast<sqlite3_int64>(q.max));
  return reader_->run(st, "reading events", [&](sqlite3_stmt* row) {
    StoredEvent e;
    e.seq = sqlite3_column_int64(row, 0);
    e.event.time = sqlite3_column_int64(row, 1);
    e.event.source.assign(reinterpret_cast<const char*>(sqlite3_column_text(row, 2)),
                          static_cast<std::size_t>(sqlite3_column_bytes(row, 2)));
    const void* body = sqlite3_column_blob(row, 3);
    e.event.body.assign(static_cast<const char*>(body), body != nullptr ? static_cast<std::size_t>(sqlite3_column_bytes(row, 3)) : 0);
    out.push_back(std::move(e));
  });
}

StoreStatus SqliteHistoryStore::nearest(std::uint32_t key, std::int64_t t, bool before, std::optional<Stored>& out) {
  std::lock_guard lock(reader_->mutex);
  out.reset();
  Statement& st = before ? reader_->before : reader_->after;
  sqlite3_bind_int64(st.stmt, 1, key);
  sqlite3_bind_int64(st.stmt, 2, t);
  return reader_->run(st, "reading a bound", [&](sqlite3_stmt* row) { out = storedOf(row); });
}

StoreStatus SqliteHistoryStore::removeOlderThan(std::int64_t t, std::size_t max, std::size_t& removed) {
  std::lock_guard lock(writer_->mutex);
  sqlite3_bind_int64(writer_->ageOut.stmt, 1, t);
  sqlite3_bind_int64(writer_->ageOut.stmt, 2, static_cast<sqlite3_int64>(max));
  StoreStatus s = writer_->run(writer_->ageOut, "removing old samples", [](sqlite3_stmt*) {});
  removed = s.ok() ? static_cast<std::size_t>(sqlite3_changes64(writer_->db)) : 0;
  if (!s.ok()) return s;
  sqlite3_bind_int64(writer_->eventsAgeOut.stmt, 1, t);
  sqlite3_bind_int64(writer_->eventsAgeOut.stmt, 2, static_cast<sqlite3_int64>(max));
  s = writer_->run(writer_->eventsAgeOut, "removing old events", [](sqlite3_stmt*) {});
  if (s.ok()) removed += static_cast<std::size_t>(sqlite3_changes64(writer_->db));
  return s;
}

StoreStatus SqliteHistoryStore::removeOldest(std::size_t max, std::size_t& removed) {
  std::lock_guard lock(writer_->mutex);
  sqlite3_bind_int64(writer_->oldest.stmt, 1, static_cast<sqlite3_int64>(max));
  StoreStatus s = writer_->run(writer_->oldest, "removing the oldest samples", [](sqlite3_stmt*) {});
  removed = s.ok() ? static_cast<std::size_t>(sqlite3_changes64(writer_->db)) : 0;
  return s;
}

StoreStatus SqliteHistoryStore::usedBytes(std::uint64_t& bytes) {
  std::lock_guard lock(writer_->mutex);
  std::int64_t pages = 0, freePages = 0, pageSize = 0;
  for (auto [sql, target] : {std::pair{"PRAGMA page_count", &pages}, std::pair{"PRAGMA freelist_count", &freePages},
                             std::pair{"PRAGMA page_size", &pageSize}}) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(writer_->db, sql, -1, &s, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) *target = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    if (rc != SQLITE_ROW) return writer_->error(rc, "measuring");
  }
  bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(pages - freePages, 0) * pageSize);
  return {};
}

}  // namespace vexahv::history
