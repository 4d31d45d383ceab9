#include "history/postgres_history_store.h"

#include <libpq-fe.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <vector>

namespace vexahv::history {
namespace {

// Reconnecting is tried at most this often: a database that is down costs each caller one
// failed call, not a connect timeout per call.
constexpr auto kRetryEvery = std::chrono::seconds(5);

// Under one advisory lock, so that servers starting together do not race to make them.
// No primary key on seq: a hypertable's unique keys must hold its time column.
const char* const kSchema =
    "BEGIN;"
    "SELECT pg_advisory_xact_lock(7654987012);"
    "CREATE TABLE IF NOT EXISTS history_items(key integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
    " source text NOT NULL, name text NOT NULL, UNIQUE (source, name));"
    "CREATE TABLE IF NOT EXISTS history_samples(seq bigint GENERATED ALWAYS AS IDENTITY,"
    " key integer NOT NULL, time bigint NOT NULL, status bigint NOT NULL,"
    " value_int bigint, value_real double precision, value_text text);"
    "CREATE INDEX IF NOT EXISTS history_samples_key_time ON history_samples(key, time, seq);"
    // Age retention finds old samples by this; it costs inserts next to nothing.
    "CREATE INDEX IF NOT EXISTS history_samples_time ON history_samples USING brin(time)"
    " WITH (autosummarize = on);"
    // Events: source is the server's, as in history_items; branch the item id they come from.
    "CREATE TABLE IF NOT EXISTS history_events(seq bigint GENERATED ALWAYS AS IDENTITY, source text NOT NULL,"
    " time bigint NOT NULL, branch text NOT NULL, body bytea NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_events_time ON history_events(source, time, seq);"
    "COMMIT;";

struct Prepared {
  const char* name;
  const char* sql;
  bool writer;
};
const std::array<Prepared, 13> kStatements{{
    {"event", "INSERT INTO history_events(source, time, branch, body) VALUES ($1::text, $2::bigint, $3::text, $4::bytea)",
     true},
    {"events_age",
     "DELETE FROM history_events e USING (SELECT time, seq FROM history_events WHERE source = $1::text"
     " AND time < $2::bigint LIMIT $3::bigint) o WHERE e.source = $1::text AND e.time = o.time AND e.seq = o.seq",
     true},
    // A branch's events: its own, and those of the ids under it.
    {"events_forward",
     "SELECT seq, time, branch, body FROM history_events WHERE source = $1::text AND time >= $2::bigint"
     " AND time < $3::bigint AND (time, seq) > ($4::bigint, $5::bigint)"
     " AND ($6::text = '' OR branch = $6::text OR starts_with(branch, $6::text || '.'))"
     " ORDER BY time, seq LIMIT $7::bigint",
     false},
    {"events_backward",
     "SELECT seq, time, branch, body FROM history_events WHERE source = $1::text AND time <= $2::bigint"
     " AND time > $3::bigint AND (time, seq) < ($4::bigint, $5::bigint)"
     " AND ($6::text = '' OR branch = $6::text OR starts_with(branch, $6::text || '.'))"
     " ORDER BY time DESC, seq DESC LIMIT $7::bigint",
     false},
    {"find", "SELECT key FROM history_items WHERE source = $1::text AND name = $2::text", true},
    {"add",
     "INSERT INTO history_items(source, name) VALUES ($1::text, $2::text) ON CONFLICT (source, name) DO NOTHING"
     " RETURNING key",
     true},
    {"age",
     "DELETE FROM history_samples s USING (SELECT key, time, seq FROM history_samples WHERE time < $2::bigint"
     " AND key IN (SELECT key FROM history_items WHERE source = $1::text) LIMIT $3::bigint) o"
     " WHERE s.key = o.key AND s.time = o.time AND s.seq = o.seq",
     true},
    {"oldest",
     "DELETE FROM history_samples s USING (SELECT key, time, seq FROM history_samples"
     " WHERE key IN (SELECT key FROM history_items WHERE source = $1::text) ORDER BY seq LIMIT $2::bigint) o"
     " WHERE s.key = o.key AND s.time = o.time AND s.seq = o.seq",
     true},
    {"find", "SELECT key FROM history_items WHERE source = $1::text AND name = $2::text", false},
    {"forward",
     "SELECT seq, time, status, value_int, value_real, value_text FROM history_samples WHERE key = $1::integer"
     " AND time >= $2::bigint AND time < $3::bigint AND (time, seq) > ($4::bigint, $5::bigint)"
     " ORDER BY time, seq LIMIT $6::bigint",
     false},
    {"backward",
     "SELECT seq, time, status, value_int, value_real, value_text FROM history_samples WHERE key = $1::integer"
     " AND time <= $2::bigint AND time > $3::bigint AND (time, seq) < ($4::bigint, $5::bigint)"
     " ORDER BY time DESC, seq DESC LIMIT $6::bigint",
     false},
    {"before",
     "SELECT seq, time, status, value_int, value_real, value_text FROM history_samples WHERE key = $1::integer"
     " AND time <= $2::bigint ORDER BY time DESC, seq DESC LIMIT 1",
     false},
    {"after",
     "SELECT seq, time, status, value_int, value_real, value_text FROM history_samples WHERE key = $1::integer"
     " AND time >= $2::bigint ORDER BY time, seq LIMIT 1",
     false},
}};

struct Result {
  PGresult* r = nullptr;
  explicit Result(PGresult* p) : r(p) {}
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  ~Result() { PQclear(r); }
};

std::uint64_t bigEndian(const char* p, int n) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

std::int64_t int8At(const PGresult* r, int row, int col) {
  return static_cast<std::int64_t>(bigEndian(PQgetvalue(r, row, col), 8));
}

// A row of kColumns, in binary.
Stored storedAt(const PGresult* r, int row) {
  Stored out;
  out.seq = int8At(r, row, 0);
  out.sample.time = int8At(r, row, 1);
  out.sample.status = static_cast<std::uint32_t>(int8At(r, row, 2));
  if (!PQgetisnull(r, row, 3)) {
    out.sample.value = Value(int8At(r, row, 3));
  } else if (!PQgetisnull(r, row, 4)) {
    const std::uint64_t bits = bigEndian(PQgetvalue(r, row, 4), 8);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    out.sample.value = Value(d);
  } else if (!PQgetisnull(r, row, 5)) {
    out.sample.value = Value(std::string(PQgetvalue(r, row, 5), static_cast<std::size_t>(PQgetlength(r, row, 5))));
  }
  return out;
}

// s as the database holds text, UTF-8 only: one bad text would lose its whole batch, so
// what is not UTF-8 becomes U+FFFD, and a NUL is dropped.
std::string utf8Of(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c != 0) out += static_cast<char>(c);
      ++i;
      continue;
    }
    // The length of a well-formed sequence starting here, 0 when it is not one.
    std::size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n != 0 && i + n <= s.size()) {
      const auto c1 = static_cast<unsigned char>(s[i + 1]);
      bool ok = (c == 0xE0 ? c1 >= 0xA0 : c == 0xED ? c1 <= 0x9F : c == 0xF0 ? c1 >= 0x90 : c == 0xF4 ? c1 <= 0x8F : true) &&
                (c1 & 0xC0) == 0x80;
      for (std::size_t k = 2; ok && k < n; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
      if (ok) {
        out.append(s.substr(i, n));
        i += n;
        continue;
      }
    }
    out += "\xEF\xBF\xBD";
    ++i;
  }
  return out;
}

// Text as COPY's text format takes it.
void appendCopyText(std::string& out, std::string_view s) {
  for (char c : utf8Of(s)) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
}

void appendNumber(std::string& out, std::int64_t v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, end);
}

void appendReal(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
  } else if (std::isinf(v)) {
    out += v > 0 ? "Infinity" : "-Infinity";
  } else {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);  // shortest that reads back the same
    out.append(buf, end);
  }
}

// key, time, status, value_int, value_real, value_text
void appendCopyRow(std::string& out, const Row& row) {
  appendNumber(out, row.key);
  out += '\t';
  appendNumber(out, row.sample.time);
  out += '\t';
  appendNumber(out, row.sample.status);
  const Value& v = row.sample.value;
  if (const auto* n = std::get_if<std::int64_t>(&v)) {
    out += '\t';
    appendNumber(out, *n);
    out += "\t\\N\t\\N\n";
  } else if (const auto* d = std::get_if<double>(&v)) {
    out += "\t\\N\t";
    appendReal(out, *d);
    out += "\t\\N\n";
  } else if (const auto* t = std::get_if<std::string>(&v)) {
    out += "\t\\N\t\\N\t";
    appendCopyText(out, *t);
    out += '\n';
  } else {
    out += "\t\\N\t\\N\t\\N\n";
  }
}

// libpq's messages end with a line break; the log's lines do not.
std::string trimmed(const char* message) {
  std::string s = message != nullptr ? message : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

StoreStatus::Code codeOf(const PGresult* r) {
  const char* state = r != nullptr ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  if (state == nullptr) return StoreStatus::Code::Failed;
  if (std::strncmp(state, "53", 2) == 0) return StoreStatus::Code::Full;  // insufficient resources
  if (std::strncmp(state, "XX001", 5) == 0 || std::strncmp(state, "XX002", 5) == 0) return StoreStatus::Code::Damaged;
  return StoreStatus::Code::Failed;
}

}  // namespace

struct PostgresHistoryStore::Connection {
  Connection(std::string info, bool w) : conninfo(std::move(info)), writer(w) {}
  ~Connection() {
    if (conn != nullptr) PQfinish(conn);
  }
  const std::string conninfo;
  const bool writer;
  PGconn* conn = nullptr;
  std::mutex mutex;  // leaf: one exchange at a time on this connection
  std::chrono::steady_clock::time_point lastTry{};
  bool tried = false;
  bool inTransaction = false;  // a batch of events under way

  StoreStatus error(const char* what, const PGresult* r = nullptr) const {
    const char* message = r != nullptr ? PQresultErrorMessage(r) : PQerrorMessage(conn);
    if ((message == nullptr || *message == '\0') && conn != nullptr) message = PQerrorMessage(conn);
    return StoreStatus::failed(codeOf(r), std::string("history database: ") + what + ": " + trimmed(message));
  }
  StoreStatus exec(const char* sql, const char* what) {
    Result r(PQexec(conn, sql));
    const ExecStatusType st = PQresultStatus(r.r);
    return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK ? StoreStatus{} : error(what, r.r);
  }
  // Connected, with the tables and this side's statements; a new connection when the
  // last was lost, and the time is come to try again.
  StoreStatus ready() {
    if (conn != nullptr && PQstatus(conn) == CONNECTION_OK) return {};
    const auto now = std::chrono::steady_clock::now();
    if (tried && now - lastTry < kRetryEvery) {
      return StoreStatus::failed(StoreStatus::Code::Failed, "history database: not connected: " +
                                                                trimmed(conn != nullptr ? PQerrorMessage(conn) : ""));
    }
    tried = true;
    lastTry = now;
    if (conn != nullptr) PQfinish(conn);
    // Bounds on a database that stops answering; the caller's own string comes last and
    // overrides any of them.
    const char* keys[] = {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                          "keepalives_count", "tcp_user_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"10", "1", "10", "5", "3", "20000", "vexahv-opcserver", conninfo.c_str(), nullptr};
    conn = PQconnectdbParams(keys, values, 1);
    if (conn == nullptr) return StoreStatus::failed(StoreStatus::Code::Failed, "history database: out of memory");
    if (PQstatus(conn) != CONNECTION_OK) return error("connecting");
    // Notices ("already exists, skipping") are no news; errors come back as results.
    PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
    // A statement the server does not answer in time fails rather than holding the
    // writer; synchronous_commit off: a commit reaches the disk within the WAL writer's
    // delay (well under a second), as a batch does with SQLite, and costs no flush.
    StoreStatus s = exec("SET statement_timeout = 30000; SET client_encoding = 'UTF8'; SET synchronous_commit = off",
                         "setting up the connection");
    if (s.ok() && writer) s = exec(kSchema, "making its tables");
    if (!s.ok()) {
      exec("ROLLBACK", "rolling back");
      return s;
    }
    for (const Prepared& p : kStatements) {
      if (p.writer != writer) continue;
      Result r(PQprepare(conn, p.name, p.sql, 0, nullptr));
      if (PQresultStatus(r.r) != PGRES_COMMAND_OK) return error("preparing a statement (not a history database of ours?)", r.r);
    }
    return {};
  }
  // Runs a prepared statement with text parameters (one binary, its length given, when
  // binary is set) and binary results.
  StoreStatus run(const char* name, std::initializer_list<const char*> params, const char* what, Result& out,
                  const std::string* binary = nullptr) {
    // Within a transaction a lost connection fails the transaction: a new one would take
    // the rest of it as statements of their own.
    if (inTransaction && PQstatus(conn) != CONNECTION_OK) return error(what);
    if (StoreStatus s = ready(); !s.ok()) return s;
    std::vector<const char*> values(params);
    std::vector<int> lengths(values.size(), 0), formats(values.size(), 0);
    if (binary != nullptr) {
      values.push_back(binary->data());
      lengths.push_back(static_cast<int>(binary->size()));
      formats.push_back(1);
    }
    PQclear(out.r);
    out.r = PQexecPrepared(conn, name, static_cast<int>(values.size()), values.data(), lengths.data(), formats.data(), 1);
    const ExecStatusType st = PQresultStatus(out.r);
    return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK ? StoreStatus{} : error(what, out.r);
  }
};

namespace {

std::string text(std::int64_t v) { return std::to_string(v); }

std::size_t changed(const PGresult* r) {
  std::size_t n = 0;
  const char* s = PQcmdTuples(const_cast<PGresult*>(r));
  std::from_chars(s, s + std::strlen(s), n);
  return n;
}

}  // namespace

std::unique_ptr<PostgresHistoryStore> PostgresHistoryStore::open(const std::string& conninfo,
                                                                 const std::string& source, StoreStatus& status) {
  auto writer = std::make_unique<Connection>(conninfo, true);
  auto reader = std::make_unique<Connection>(conninfo, false);
  status = writer->ready();
  if (status.ok()) status = reader->ready();
  if (!status.ok()) return nullptr;
  auto store = std::unique_ptr<PostgresHistoryStore>(
      new PostgresHistoryStore(source, std::move(writer), std::move(reader)));
  // The keys this source has, in one query: a later start looks up none one by one.
  const char* params[] = {source.c_str()};
  Result r(PQexecParams(store->writer_->conn, "SELECT name, key FROM history_items WHERE source = $1::text", 1,
                        nullptr, params, nullptr, nullptr, 1));
  if (PQresultStatus(r.r) != PGRES_TUPLES_OK) {
    status = store->writer_->error("reading its items", r.r);
    return nullptr;
  }
  for (int i = 0; i < PQntuples(r.r); ++i) {
    store->keys_.add(std::string(PQgetvalue(r.r, i, 0), static_cast<std::size_t>(PQgetlength(r.r, i, 0))),
                         static_cast<std::uint32_t>(bigEndian(PQgetvalue(r.r, i, 1), 4)));
  }
  return store;
}

PostgresHistoryStore::PostgresHistoryStore(std::string source, std::unique_ptr<Connection> writer,
                                           std::unique_ptr<Connection> reader)
    : source_(std::move(source)), writer_(std::move(writer)), reader_(std::move(reader)) {}

PostgresHistoryStore::~PostgresHistoryStore() = default;

StoreStatus PostgresHistoryStore::lookUp(Connection& c, std::string_view item, std::optional<std::uint32_t>& key) {
  key.reset();
  const std::string name(item);
  Result r(nullptr);
  if (StoreStatus s = c.run("find", {source_.c_str(), name.c_str()}, "finding an item", r); !s.ok()) return s;
  if (PQntuples(r.r) == 1) key = static_cast<std::uint32_t>(bigEndian(PQgetvalue(r.r, 0, 0), 4));
  return {};
}

StoreStatus PostgresHistoryStore::keyOf(std::string_view item, std::uint32_t& key) {
  if (auto known = keys_.find(item)) {
    key = *known;
    return {};
  }
  std::lock_guard lock(writer_->mutex);
  const std::string name(item);
  Result r(nullptr);
  if (StoreStatus s = writer_->run("add", {source_.c_str(), name.c_str()}, "adding an item", r); !s.ok()) return s;
  std::optional<std::uint32_t> found;
  if (PQntuples(r.r) == 1) {
    found = static_cast<std::uint32_t>(bigEndian(PQgetvalue(r.r, 0, 0), 4));
  } else if (StoreStatus s = lookUp(*writer_, item, found); !s.ok()) {
    return s;
  }
  if (!found) return StoreStatus::failed(StoreStatus::Code::Failed, "history database: an item added is not there");
  key = *found;
  keys_.add(name, key);
  return {};
}

StoreStatus PostgresHistoryStore::findKey(std::string_view item, std::optional<std::uint32_t>& key) {
  if (auto known = keys_.find(item)) {
    key = known;
    return {};
  }
  std::lock_guard lock(reader_->mutex);
  return lookUp(*reader_, item, key);
}

StoreStatus PostgresHistoryStore::append(std::span<const Row> rows) {
  std::lock_guard lock(writer_->mutex);
  Connection& c = *writer_;
  if (StoreStatus s = c.ready(); !s.ok()) return s;
  std::string data;
  data.reserve(rows.size() * 48);
  for (const Row& row : rows) appendCopyRow(data, row);
  if (StoreStatus s = c.exec("BEGIN", "beginning a batch"); !s.ok()) return s;
  StoreStatus s;
  {
    Result copy(PQexec(c.conn, "COPY history_samples(key, time, status, value_int, value_real, value_text) FROM STDIN"));
    if (PQresultStatus(copy.r) != PGRES_COPY_IN) s = c.error("writing a batch", copy.r);
  }
  if (s.ok()) {
    const bool sent = PQputCopyData(c.conn, data.data(), static_cast<int>(data.size())) == 1;
    PQputCopyEnd(c.conn, sent ? nullptr : "the batch could not be sent");
    // The COPY's result, then the end of its results.
    for (PGresult* p; (p = PQgetResult(c.conn)) != nullptr;) {
      Result r(p);
      if (s.ok() && PQresultStatus(p) != PGRES_COMMAND_OK) s = c.error("writing a batch", p);
    }
  }
  if (s.ok()) s = c.exec("COMMIT", "committing a batch");
  if (!s.ok() && PQstatus(c.conn) == CONNECTION_OK) c.exec("ROLLBACK", "rolling a batch back");
  return s;
}

StoreStatus PostgresHistoryStore::scan(const Scan& q, std::vector<Stored>& out) {
  std::lock_guard lock(reader_->mutex);
  const std::int64_t edge = q.forward ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  const std::string key = text(q.key), from = text(q.from), to = text(q.to),
                    afterTime = text(q.after ? q.after->sample.time : edge), afterSeq = text(q.after ? q.after->seq : edge),
                    max = text(static_cast<std::int64_t>(q.max));
  Result r(nullptr);
  StoreStatus s = reader_->run(q.forward ? "forward" : "backward",
                               {key.c_str(), from.c_str(), to.c_str(), afterTime.c_str(), afterSeq.c_str(),
                                q.max == 0 ? nullptr : max.c_str()},
                               "reading", r);
  if (!s.ok()) return s;
  for (int i = 0; i < PQntuples(r.r); ++i) out.push_back(storedAt(r.r, i));
  return {};
}

StoreStatus PostgresHistoryStore::appendEvents(std::span<const EventRecord> events) {
  std::lock_guard lock(writer_->mutex);
  Connection& c = *writer_;
  if (StoreStatus s = c.ready(); !s.ok()) return s;
  if (StoreStatus s = c.exec("BEGIN", "beginning a batch"); !s.ok()) return s;
  StoreStatus s;
  c.inTransaction = true;
  for (const EventRecord& e : events) {
    const std::string branch = utf8Of(e.source), time = text(e.time);
    Result r(nullptr);
    if (s = c.run("event", {source_.c_str(), time.c_str(), branch.c_str()}, "writing events", r, &e.body); !s.ok()) break;
  }
  c.inTransaction = false;
  if (s.ok()) s = c.exec("COMMIT", "committing events");
  if (!s.ok() && PQstatus(c.conn) == CONNECTION_OK) c.exec("ROLLBACK", "rolling a batch back");
  return s;
}

StoreStatus PostgresHistoryStore::scanEvents(const EventScan& q, std::vector<StoredEvent>& out) {
  std::lock_guard lock(reader_->mutex);
  const std::int64_t edge = q.forward ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  const std::string from = text(q.from), to = text(q.to), afterTime = text(q.after ? q.after->event.time : edge),
                    afterSeq = text(q.after ? q.after->seq : edge), max = text(static_cast<std::int64_t>(q.max));
  Result r(nullptr);
  StoreStatus s = reader_->run(q.forward ? "events_forward" : "events_backward",
                               {source_.c_str(), from.c_str(), to.c_str(), afterTime.c_str(), afterSeq.c_str(),
                                q.scope.c_str(), q.max == 0 ? nullptr : max.c_str()},
                               "reading events", r);
  if (!s.ok()) return s;
  for (int i = 0; i < PQntuples(r.r); ++i) {
    StoredEvent e;
    e.seq = int8At(r.r, i, 0);
    e.event.time = int8At(r.r, i, 1);
    e.event.source.assign(PQgetvalue(r.r, i, 2), static_cast<std::size_t>(PQgetlength(r.r, i, 2)));
    e.event.body.assign(PQgetvalue(r.r, i, 3), static_cast<std::size_t>(PQgetlength(r.r, i, 3)));
    out.push_back(std::move(e));
  }
  return {};
}

StoreStatus PostgresHistoryStore::nearest(std::uint32_t key, std::int64_t t, bool before, std::optional<Stored>& out) {
  std::lock_guard lock(reader_->mutex);
  out.reset();
  const std::string k = text(key), time = text(t);
  Result r(nullptr);
  StoreStatus s = reader_->run(before ? "before" : "after", {k.c_str(), time.c_str()}, "reading a bound", r);
  if (s.ok() && PQntuples(r.r) == 1) out = storedAt(r.r, 0);
  return s;
}

StoreStatus PostgresHistoryStore::removeOlderThan(std::int64_t t, std::size_t max, std::size_t& removed) {
  std::lock_guard lock(writer_->mutex);
  removed = 0;
  const std::string time = text(t), n = text(static_cast<std::int64_t>(max));
  Result r(nullptr);
  StoreStatus s = writer_->run("age", {source_.c_str(), time.c_str(), n.c_str()}, "removing old samples", r);
  if (!s.ok()) return s;
  removed = changed(r.r);
  s = writer_->run("events_age", {source_.c_str(), time.c_str(), n.c_str()}, "removing old events", r);
  if (s.ok()) removed += changed(r.r);
  return s;
}

StoreStatus PostgresHistoryStore::removeOldest(std::size_t max, std::size_t& removed) {
  std::lock_guard lock(writer_->mutex);
  removed = 0;
  const std::string n = text(static_cast<std::int64_t>(max));
  Result r(nullptr);
  StoreStatus s = writer_->run("oldest", {source_.c_str(), n.c_str()}, "removing the oldest samples", r);
  if (s.ok()) removed = changed(r.r);
  return s;
}

StoreStatus PostgresHistoryStore::usedBytes(std::uint64_t& bytes) {
  std::lock_guard lock(writer_->mutex);
  if (StoreStatus s = writer_->ready(); !s.ok()) return s;
  Result r(PQexecParams(writer_->conn, "SELECT pg_total_relation_size('history_samples')", 0, nullptr, nullptr,
                        nullptr, nullptr, 1));
  if (PQresultStatus(r.r) != PGRES_TUPLES_OK || PQntuples(r.r) != 1) return writer_->error("measuring", r.r);
  bytes = static_cast<std::uint64_t>(int8At(r.r, 0, 0));
  return {};
}

}  // namespace vexahv::history
