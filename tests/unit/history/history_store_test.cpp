// History in SQLite and in PostgreSQL (a server of the test's own), read back as OPC UA's
// raw reads do: the direction and bounds the times give, paging by cursor matching one
// long read, values of every form, a database that is not one, the writer's batches and
// retention, and a writer killed mid-stream.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "history/at_time.h"
#include "history/event_read.h"
#include "history/history_service.h"
#include "history/history_writer.h"
#include "history/postgres_history_store.h"
#include "history/processed_read.h"
#include "history/raw_read.h"
#include "history/sqlite_history_store.h"
#include "support/postgres_server.h"
#include "support/test_environment.h"

using namespace vexahv::history;

namespace {

constexpr std::int64_t kT0 = 134'000'000'000'000'000;  // a time in 2025
constexpr std::int64_t kStep = 10'000'000;              // 1 s

enum class Backend { Sqlite, Postgres };

// One PostgreSQL server for all of this process's tests; each test has a database of its own.
vexahv::test::PostgresServer* sharedPostgres(std::string& why) {
  static std::string reason;
  static std::unique_ptr<vexahv::test::PostgresServer> server = vexahv::test::PostgresServer::start(reason);
  why = reason;
  return server.get();
}

// The same tests on each back-end: open() gives the test's store, the same one each time.
class Stores : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::Sqlite) return;
    std::string why;
    vexahv::test::PostgresServer* server = sharedPostgres(why);
    if (server == nullptr) GTEST_SKIP() << "PostgreSQL: " << why;
    static int databases = 0;
    conninfo_ = server->createDatabase("history" + std::to_string(++databases), why);
    ASSERT_FALSE(conninfo_.empty()) << why;
  }
  std::unique_ptr<HistoryStore> open() {
    StoreStatus s;
    std::unique_ptr<HistoryStore> store;
    if (GetParam() == Backend::Sqlite) {
      store = SqliteHistoryStore::open(env_.root() / "history.db", s);
    } else {
      store = PostgresHistoryStore::open(conninfo_, "test-host", s);
    }
    EXPECT_TRUE(s.ok()) << s.message;
    return store;
  }
  bool postgres() const { return GetParam() == Backend::Postgres; }
  const std::string& conninfo() const { return conninfo_; }

 private:
  vexahv::test::ScratchEnvironment env_;
  std::string conninfo_;
};

INSTANTIATE_TEST_SUITE_P(History, Stores, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const auto& info) { return info.param == Backend::Sqlite ? "SQLite" : "PostgreSQL"; });

// Values 0..n-1 of item key, one a second from kT0 (value i at kT0 + i s).
void ramp(HistoryStore& store, std::uint32_t key, int n) {
  std::vector<Row> rows;
  for (int i = 0; i < n; ++i) rows.push_back(Row{key, Sample{kT0 + i * kStep, 0, Value(static_cast<double>(i))}});
  ASSERT_TRUE(store.append(rows).ok());
}

std::vector<double> numbers(const RawAnswer& a) {
  std::vector<double> out;
  for (const Sample& s : a.values) out.push_back(s.status == kBadBoundNotFound ? -1 : std::get<double>(s.value));
  return out;
}

std::vector<double> range(int from, int to, int step = 1) {
  std::vector<double> out;
  for (int i = from; step > 0 ? i < to : i > to; i += step) out.push_back(i);
  return out;
}

}  // namespace

TEST_P(Stores, RawReadsFollowTheTimesBoundsAndCursors) {
  auto store = open();
  std::uint32_t a = 0, b = 0;
  ASSERT_TRUE(store->keyOf("CrateA.Board00.Chan000.VMon", a).ok());
  ASSERT_TRUE(store->keyOf("CrateA.Board00.Chan001.VMon", b).ok());
  ASSERT_NE(a, b);
  ramp(*store, a, 1000);
  ramp(*store, b, 10);  // another item's values never show in a's reads

  // [start, end): forward, the end excluded; with bounds the value before the start
  // (none is exactly at it) and the one at the end.
  const std::int64_t half = kStep / 2;
  RawAnswer r = readRaw(*store, a, RawRequest{kT0 + 100 * kStep, kT0 + 200 * kStep, 0, false}, 0);
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(numbers(r), range(100, 200));
  r = readRaw(*store, a, RawRequest{kT0 + 100 * kStep + half, kT0 + 110 * kStep + half, 0, true}, 0);
  EXPECT_EQ(numbers(r), range(100, 112));
  // Start after end: newest first, (end, start], bounds on both sides.
  r = readRaw(*store, a, RawRequest{kT0 + 20 * kStep, kT0 + 10 * kStep, 0, true}, 0);
  EXPECT_EQ(numbers(r), range(20, 9, -1));
  // Only a start, or only an end, and a count.
  r = readRaw(*store, a, RawRequest{kT0 + 990 * kStep, 0, 50, false}, 0);
  EXPECT_EQ(numbers(r), range(990, 1000));
  EXPECT_FALSE(r.more);
  r = readRaw(*store, a, RawRequest{0, kT0 + 5 * kStep, 3, false}, 0);
  EXPECT_EQ(numbers(r), (std::vector<double>{5, 4, 3}));
  EXPECT_TRUE(r.more) << "more lie before";
  // Nothing there: GoodNoData, the bounds not found.
  r = readRaw(*store, a, RawRequest{kT0 - 100 * kStep, kT0 - 50 * kStep, 0, true}, 0);
  EXPECT_EQ(r.status, kGoodNoData);
  ASSERT_EQ(r.values.size(), 2u);
  EXPECT_EQ(r.values[0].status, kBadBoundNotFound);
  EXPECT_EQ(r.values[0].time, kT0 - 100 * kStep);
  EXPECT_EQ(r.values[1].time, kT0) << "the first value after the end bounds it";
  r = readRaw(*store, a, RawRequest{kT0 + 2000 * kStep, kT0 + 3000 * kStep, 0, false}, 0);
  EXPECT_EQ(r.status, kGoodNoData);
  EXPECT_TRUE(r.values.empty());
  EXPECT_EQ(readRaw(*store, a, RawRequest{0, 0, 10, false}, 0).status, kBadInvalidTimestampArgument);
  // The same time twice: that time's values.
  r = readRaw(*store, a, RawRequest{kT0 + 7 * kStep, kT0 + 7 * kStep, 0, true}, 0);
  EXPECT_EQ(numbers(r), (std::vector<double>{7}));

  // Paging, forward and backward, with bounds, at a server limit of 37 a call and a client
  // count of 50: every value once, in order, the same as one read.
  for (bool forward : {true, false}) {
    const RawRequest q = forward ? RawRequest{kT0 - half, kT0 + 999 * kStep + half, 50, true}
                                 : RawRequest{kT0 + 999 * kStep + half, kT0 - half, 50, true};
    std::vector<double> all;
    std::optional<RawCursor> cursor;
    int calls = 0;
    do {
      RawAnswer page = readRaw(*store, a, q, 37, cursor ? &*cursor : nullptr);
      ASSERT_EQ(page.status, 0u);
      EXPECT_LE(page.values.size(), 37u);
      for (double v : numbers(page)) all.push_back(v);
      cursor = page.more;
    } while (cursor && ++calls < 100);
    std::vector<double> expected{-1};
    for (double v : forward ? range(0, 1000) : range(999, -1, -1)) expected.push_back(v);
    expected.push_back(-1);
    EXPECT_EQ(all, expected) << (forward ? "forward" : "backward");
    EXPECT_EQ(calls, 27);
  }

  // Values of every form, and a key found again after reopening.
  std::uint32_t s = 0;
  ASSERT_TRUE(store->keyOf("CrateA.Board00.Chan000.Status", s).ok());
  ASSERT_TRUE(store->append(std::vector<Row>{{s, {kT0, 0, Value(std::int64_t{0x41})}},
                                             {s, {kT0 + 1, 0, Value(std::string("Tripped"))}},
                                             {s, {kT0 + 2, 0x808A0000, Value()}}})
                  .ok());
  store.reset();
  store = open();
  std::optional<std::uint32_t> again;
  ASSERT_TRUE(store->findKey("CrateA.Board00.Chan000.Status", again).ok());
  ASSERT_EQ(again, s);
  ASSERT_TRUE(store->findKey("CrateA.Nothing", again).ok());
  EXPECT_FALSE(again);
  r = readRaw(*store, s, RawRequest{kT0, kT0 + 10, 0, false}, 0);
  ASSERT_EQ(r.values.size(), 3u);
  EXPECT_EQ(r.values[0].value, Value(std::int64_t{0x41}));
  EXPECT_EQ(r.values[1].value, Value(std::string("Tripped")));
  EXPECT_EQ(r.values[2], (Sample{kT0 + 2, 0x808A0000, Value()})) << "a loss is kept as a Bad value";
}

TEST(History, ADamagedDatabaseIsReportedNotOpened) {
  vexahv::test::ScratchEnvironment env;
  const auto file = env.root() / "history.db";
  vexahv::test::writeFile(file, std::string(8192, 'x'));
  StoreStatus s;
  EXPECT_EQ(SqliteHistoryStore::open(file, s), nullptr);
  EXPECT_EQ(s.code, StoreStatus::Code::Damaged) << s.message;
  EXPECT_NE(s.message.find("history database"), std::string::npos) << s.message;
  EXPECT_EQ(vexahv::test::readFile(file), std::string(8192, 'x')) << "what is there stays as it was";
}

TEST(HistoryOnPostgres, SourcesApartBadTextKeptAndAStoreNotOursOrLostReported) {
  std::string why;
  vexahv::test::PostgresServer* server = sharedPostgres(why);
  if (server == nullptr) GTEST_SKIP() << "PostgreSQL: " << why;
  const std::string info = server->createDatabase("shared", why);
  ASSERT_FALSE(info.empty()) << why;
  StoreStatus s;
  auto a = PostgresHistoryStore::open(info, "host-a", s);
  ASSERT_TRUE(a) << s.message;
  auto b = PostgresHistoryStore::open(info, "host-b", s);
  ASSERT_TRUE(b) << s.message;
  // Two servers with crates of one name keep them apart; each ages out its own only.
  std::uint32_t ka = 0, kb = 0;
  ASSERT_TRUE(a->keyOf("CrateA.Board00.Chan000.VMon", ka).ok());
  ASSERT_TRUE(b->keyOf("CrateA.Board00.Chan000.VMon", kb).ok());
  ASSERT_NE(ka, kb);
  // Text that is not UTF-8 (a board's name in Latin-1) or holds COPY's own characters.
  const std::string latin1 = "Kan\xe4l 1\t\\N\n";
  ASSERT_TRUE(a->append(std::vector<Row>{{ka, {kT0, 0, Value(1.5)}}, {ka, {kT0 + kStep, 0, Value(latin1)}}}).ok());
  ASSERT_TRUE(b->append(std::vector<Row>{{kb, {kT0, 0, Value(std::int64_t{-7})}}}).ok());
  std::size_t removed = 0;
  ASSERT_TRUE(a->removeOlderThan(kT0 + 1, 1000, removed).ok());
  EXPECT_EQ(removed, 1u);
  std::vector<Stored> rows;
  ASSERT_TRUE(b->scan(Scan{kb, kT0, kT0 + 1, true, 0, std::nullopt}, rows).ok());
  ASSERT_EQ(rows.size(), 1u) << "the other server's value stays";
  EXPECT_EQ(rows[0].sample.value, Value(std::int64_t{-7}));
  rows.clear();
  ASSERT_TRUE(a->scan(Scan{ka, kT0, kT0 + 2 * kStep, true, 0, std::nullopt}, rows).ok());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].sample.value, Value(std::string("Kan\xef\xbf\xbdl 1\t\\N\n")));
  // A server started again finds its keys.
  a.reset();
  a = PostgresHistoryStore::open(info, "host-a", s);
  std::optional<std::uint32_t> again;
  ASSERT_TRUE(a && a->findKey("CrateA.Board00.Chan000.VMon", again).ok());
  EXPECT_EQ(again, ka);

  // The connection cut (the database restarted, say): the call fails, a later one
  // connects again and the batch is written.
  ASSERT_EQ(server->execute("shared", "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                                      " WHERE application_name = 'vexahv-opcserver'"), "");
  const std::vector<Row> batch{{ka, {kT0 + 5 * kStep, 0, Value(2.5)}}};
  s = a->append(batch);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message.find("history database"), std::string::npos) << s.message;
  std::this_thread::sleep_for(std::chrono::milliseconds(5100));
  s = a->append(batch);
  EXPECT_TRUE(s.ok()) << s.message;

  // Not there, or tables of another program's: refused with the reason, nothing touched.
  EXPECT_EQ(PostgresHistoryStore::open("host=/nonexistent user=vexahv dbname=none connect_timeout=2", "h", s), nullptr);
  EXPECT_NE(s.message.find("history database: connecting"), std::string::npos) << s.message;
  ASSERT_FALSE(server->createDatabase("another", why).empty()) << why;
  ASSERT_EQ(server->execute("another", "CREATE TABLE history_samples(reading text); INSERT INTO history_samples VALUES ('x')"), "");
  EXPECT_EQ(PostgresHistoryStore::open(server->conninfo("another"), "h", s), nullptr);
  EXPECT_NE(s.message.find("history database"), std::string::npos) << s.message;
  EXPECT_EQ(server->execute("another", "DO $$ BEGIN IF (SELECT count(*) FROM history_samples) <> 1 THEN"
                                       " RAISE 'touched'; END IF; END $$"), "");
}

namespace {

// A store that fails while told to, as a full disk would.
class FailingStore : public HistoryStore {
 public:
  explicit FailingStore(HistoryStore& inner) : inner_(inner) {}
  std::atomic<bool> failing{false};
  StoreStatus keyOf(std::string_view i, std::uint32_t& k) override { return inner_.keyOf(i, k); }
  StoreStatus findKey(std::string_view i, std::optional<std::uint32_t>& k) override { return inner_.findKey(i, k); }
  StoreStatus append(std::span<const Row> rows) override {
    if (failing) return StoreStatus::failed(StoreStatus::Code::Full, "history database: disk full");
    return inner_.append(rows);
  }
  StoreStatus scan(const Scan& q, std::vector<Stored>& out) override { return inner_.scan(q, out); }
  StoreStatus appendEvents(std::span<const EventRecord> events) override {
    if (failing) return StoreStatus::failed(StoreStatus::Code::Full, "history database: disk full");
    return inner_.appendEvents(events);
  }
  StoreStatus scanEvents(const EventScan& q, std::vector<StoredEvent>& out) override { return inner_.scanEvents(q, out); }
  StoreStatus nearest(std::uint32_t k, std::int64_t t, bool b, std::optional<Stored>& o) override {
    return inner_.nearest(k, t, b, o);
  }
  StoreStatus removeOlderThan(std::int64_t t, std::size_t m, std::size_t& r) override {
    return inner_.removeOlderThan(t, m, r);
  }
  StoreStatus removeOldest(std::size_t m, std::size_t& r) override { return inner_.removeOldest(m, r); }
  StoreStatus usedBytes(std::uint64_t& b) override { return inner_.usedBytes(b); }

 private:
  HistoryStore& inner_;
};

}  // namespace

TEST_P(Stores, TheWriterCommitsInBatchesKeepsTheBoundsAndSurvivesAFailingStore) {
  auto inner = open();
  FailingStore store(*inner);
  std::uint32_t k = 0;
  ASSERT_TRUE(store.keyOf("CrateA.Board00.Chan000.IMon", k).ok());
  std::atomic<std::int64_t> now{kT0 + 40LL * 24 * 3600 * kStep};  // 40 days after the ramp begins
  HistoryWriter::Limits limits;
  limits.queueRows = 5000;
  limits.maxAge = std::chrono::hours(24 * 30);
  limits.maxBytes = 0;
  limits.removeSlice = 100;  // several slices a turn
  auto writer = std::make_unique<HistoryWriter>(store, limits, [&] { return now.load(); });
  // One value an hour for 40 days: the first ten days are past the age bound.
  for (int h = 0; h < 40 * 24; ++h) {
    ASSERT_TRUE(writer->offer(Row{k, Sample{kT0 + h * 3600 * kStep, 0, Value(static_cast<double>(h))}}));
  }
  writer->flush();
  RawAnswer r = readRaw(*inner, k, RawRequest{kT0, now.load(), 0, false}, 0);
  ASSERT_FALSE(r.values.empty());
  EXPECT_EQ(r.values.front().value, Value(10.0 * 24)) << "older than 30 days: removed";
  EXPECT_EQ(r.values.size(), 30u * 24);
  EXPECT_EQ(writer->counts().written, 40u * 24);
  EXPECT_EQ(writer->counts().removed, 10u * 24);

  // The store fails: the rows are counted lost, the writer carries on, and so does
  // history once the store takes rows again.
  store.failing = true;
  writer->offer(Row{k, Sample{now.load(), 0, Value(1.0)}});
  writer->flush();
  EXPECT_FALSE(writer->counts().healthy);
  EXPECT_EQ(writer->counts().dropped, 1u);
  store.failing = false;
  writer->offer(Row{k, Sample{now.load() + 1, 0, Value(2.0)}});
  writer->flush();
  EXPECT_TRUE(writer->counts().healthy);
  // A full queue loses the newest, counted, and blocks no one.
  store.failing = true;
  std::size_t refused = 0;
  for (int i = 0; i < 20000; ++i) refused += writer->offer(Row{k, Sample{now.load() + 2 + i, 0, Value(3.0)}}) ? 0 : 1;
  writer.reset();  // stops: what it holds is written or counted
  EXPECT_GT(refused, 0u);

  // The size bound removes the oldest, the newest stay. (None on PostgreSQL: a site's
  // database is the site's to size, and its table does not shrink as rows go.)
  if (postgres()) return;
  store.failing = false;
  limits.maxBytes = 64 * 1024;
  limits.queueRows = 1u << 16;
  limits.maxAge = std::chrono::hours(24 * 365 * 100);
  writer = std::make_unique<HistoryWriter>(store, limits, [&] { return now.load(); });
  for (int i = 0; i < 20000; ++i) writer->offer(Row{k, Sample{now.load() + 100 + i, 0, Value(static_cast<double>(i))}});
  for (int turn = 0; turn < 20; ++turn) writer->flush();
  std::uint64_t used = 0;
  ASSERT_TRUE(inner->usedBytes(used).ok());
  EXPECT_LE(used, 96u * 1024) << "within the bound, give or take the pages of one slice";
  std::optional<Stored> newest;
  ASSERT_TRUE(inner->nearest(k, now.load() + 1'000'000, true, newest).ok());
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->sample.value, Value(19999.0));
}

TEST_P(Stores, AWriterKilledMidStreamLosesNothingItCommitted) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipeFds[0]);
    auto store = open();
    std::uint32_t k = 0;
    if (!store || !store->keyOf("CrateA.Board00.Chan000.VMon", k).ok()) ::_exit(3);
    HistoryWriter::Limits limits;
    limits.flushEvery = std::chrono::milliseconds(20);
    limits.maxAge = std::chrono::hours(24 * 365 * 100);  // the values are of 2025
    HistoryWriter writer(*store, limits);
    // Writes on and on; after each flush, says how many are committed.
    for (std::int64_t i = 0;; ++i) {
      writer.offer(Row{k, Sample{kT0 + i, 0, Value(static_cast<double>(i))}});
      if (i % 500 == 499) {
        writer.flush();
        const std::int64_t committed = i + 1;
        if (::write(pipeFds[1], &committed, sizeof committed) != sizeof committed) ::_exit(4);
      }
    }
  }
  ::close(pipeFds[1]);
  std::int64_t committed = 0, n = 0;
  for (int reads = 0; reads < 20 && ::read(pipeFds[0], &n, sizeof n) == sizeof n; ++reads) committed = n;
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(pipeFds[0]);
  ASSERT_GE(committed, 500);

  auto store = open();
  ASSERT_TRUE(store);
  std::optional<std::uint32_t> k;
  ASSERT_TRUE(store->findKey("CrateA.Board00.Chan000.VMon", k).ok());
  ASSERT_TRUE(k);
  std::vector<Stored> rows;
  ASSERT_TRUE(store->scan(Scan{*k, kT0, kT0 + committed, true, 0, std::nullopt}, rows).ok());
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(committed)) << "every committed value is there";
  for (std::int64_t i = 0; i < committed; ++i) ASSERT_EQ(rows[static_cast<std::size_t>(i)].sample.time, kT0 + i);
  // And the database takes writes again.
  EXPECT_TRUE(store->append(std::vector<Row>{{*k, {kT0 - 1, 0, Value(0.5)}}}).ok());
}

TEST_P(Stores, TheServiceKeepsChangesAtMostOneASecondAndEveryStatusAtOnce) {
  HistoryService::Settings settings;
  settings.limits.maxAge = std::chrono::hours(24 * 365 * 100);
  std::atomic<std::int64_t> now{kT0};
  settings.now = [&] { return now.load(); };
  HistoryService service(open(), settings);
  const std::uint32_t vmon = service.keep("CrateA.Board00.Chan000.VMon", 0.5);
  ASSERT_NE(vmon, 0u);
  EXPECT_EQ(service.keep("CrateA.Board00.Chan000.VMon"), vmon) << "kept again after a rebuild: the same slot";
  EXPECT_TRUE(service.historizing("CrateA.Board00.Chan000.VMon"));
  EXPECT_FALSE(service.historizing("CrateA.Board00.Chan000.RUp"));
  auto at = [](double seconds) { return kT0 + static_cast<std::int64_t>(seconds * kStep); };
  service.record(vmon, Sample{at(0), 0, Value(100.0)});
  service.record(vmon, Sample{at(0.2), 0, Value(100.3)});   // within the deadband: not a change
  service.record(vmon, Sample{at(0.4), 0, Value(101.0)});   // a change within the second: held
  service.record(vmon, Sample{at(0.6), 0, Value(102.0)});   // the held value is now this one
  service.record(vmon, Sample{at(0.7), 0x808A0000, Value()});  // a loss: written at once
  service.record(vmon, Sample{at(2.0), 0, Value(103.0)});   // back: a new status, at once
  service.record(vmon, Sample{at(2.5), 0, Value(104.0)});   // held until its second is over
  now = at(2.9);  // the writer sweeps at each turn: not over yet
  service.flush();
  RawAnswer r = service.readRaw("CrateA.Board00.Chan000.VMon", RawRequest{at(-1), at(10), 0, false}, 0);
  std::vector<std::pair<std::int64_t, std::uint32_t>> got;
  for (const Sample& v : r.values) got.emplace_back(v.time, v.status);
  EXPECT_EQ(got, (std::vector<std::pair<std::int64_t, std::uint32_t>>{{at(0), 0}, {at(0.7), 0x808A0000}, {at(2.0), 0}}));
  now = at(3.1);
  service.flush();
  service.flush();  // a turn with the new time, then its rows
  r = service.readRaw("CrateA.Board00.Chan000.VMon", RawRequest{at(2.1), at(10), 0, false}, 0);
  ASSERT_EQ(r.values.size(), 1u);
  EXPECT_EQ(r.values[0], (Sample{at(2.5), 0, Value(104.0)})) << "the last of a busy second, once it is over";
  EXPECT_EQ(service.readRaw("CrateA.Board00.Chan000.RUp", RawRequest{at(0), at(1), 0, false}, 0).status, 0x80720000u);
}

TEST_P(Stores, ValuesAtTimesAreRawInterpolatedSteppedOrHonestlyMissing) {
  auto store = open();
  std::uint32_t vmon = 0, status = 0;
  ASSERT_TRUE(store->keyOf("VMon", vmon).ok());
  ASSERT_TRUE(store->keyOf("Status", status).ok());
  ASSERT_TRUE(store->append(std::vector<Row>{
                                {vmon, {kT0, 0, Value(100.0)}},
                                {vmon, {kT0 + 10 * kStep, 0, Value(200.0)}},
                                {vmon, {kT0 + 20 * kStep, 0x808A0000, Value()}},  // the crate lost
                                {vmon, {kT0 + 30 * kStep, 0, Value(300.0)}},
                                {status, {kT0, 0, Value(std::int64_t{1})}},
                                {status, {kT0 + 10 * kStep, 0, Value(std::int64_t{3})}},
                            })
                  .ok());
  const std::int64_t times[] = {kT0 - kStep, kT0, kT0 + 5 * kStep, kT0 + 25 * kStep, kT0 + 40 * kStep};
  std::uint32_t rc = 1;
  std::vector<Sample> v = readAtTime(*store, vmon, times, rc);
  ASSERT_EQ(rc, 0u);
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(v[0].status, kBadNoData) << "before the first value";
  EXPECT_EQ(v[1], (Sample{kT0, 0, Value(100.0)})) << "raw at its very time";
  EXPECT_EQ(v[2].status, kInfoDataValue | kHistorianInterpolated);
  EXPECT_EQ(v[2].value, Value(150.0)) << "on the line between the values around it";
  EXPECT_EQ(v[2].time, kT0 + 5 * kStep);
  EXPECT_EQ(v[3].status, 0x808A0000u) << "within a loss: the loss, not a bridge over it";
  EXPECT_EQ(v[4].status, kUncertainDataSubNormal | kInfoDataValue | kHistorianInterpolated);
  EXPECT_EQ(v[4].value, Value(300.0)) << "past the last value: the last, uncertain";
  // Without simple bounds the good values around a loss bound it, the value Uncertain;
  // sloped, past the last value on the line through the last two good ones.
  const std::int64_t later[] = {kT0 + 25 * kStep, kT0 + 40 * kStep};
  v = readAtTime(*store, vmon, later, rc, AtTimeOptions{false, true});
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0], (Sample{kT0 + 25 * kStep, kUncertainDataSubNormal | kInfoDataValue | kHistorianInterpolated, Value(275.0)}));
  EXPECT_EQ(v[1].value, Value(350.0));
  // A status word steps: never a value between two words.
  const std::int64_t mid[] = {kT0 + 5 * kStep};
  v = readAtTime(*store, status, mid, rc);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].value, Value(std::int64_t{1}));
  EXPECT_EQ(v[0].status, kInfoDataValue | kHistorianInterpolated);
}

TEST_P(Stores, AggregatesOverIntervalsCountTheGoodValuesAndSayWhatTheyLack) {
  auto store = open();
  std::uint32_t k = 0;
  ASSERT_TRUE(store->keyOf("VMon", k).ok());
  ramp(*store, k, 100);  // value i at kT0 + i s
  ASSERT_TRUE(store->append(std::vector<Row>{{k, {kT0 + 55 * kStep + 1, 0x808A0000, Value()}}}).ok());  // a loss
  const ProcessedRequest q{kT0, kT0 + 115 * kStep, 10 * kStep};  // 12 intervals, the last of 5 s
  ASSERT_EQ(intervalCount(q), 12u);
  std::uint32_t rc = 1;
  auto run = [&](Aggregate a) {
    auto v = readProcessed(*store, k, q, a, 1'000'000, rc);
    EXPECT_EQ(rc, 0u);
    return v;
  };
  const auto average = run(Aggregate::Average), minimum = run(Aggregate::Minimum), maximum = run(Aggregate::Maximum),
             count = run(Aggregate::Count), at = run(Aggregate::Interpolative);
  ASSERT_EQ(average.size(), 12u);
  const std::uint32_t calculated = kInfoDataValue | kHistorianCalculated;
  EXPECT_EQ(average[0], (Sample{kT0, calculated, Value(4.5)}));
  EXPECT_EQ(minimum[1].value, Value(10.0));
  EXPECT_EQ(maximum[1].value, Value(19.0));
  EXPECT_EQ(count[2], (Sample{kT0 + 20 * kStep, calculated, Value(std::int64_t{10})}));
  EXPECT_EQ(at[3].value, Value(30.0)) << "the value at the interval's start";
  EXPECT_EQ(average[5].status, kUncertainDataSubNormal | calculated) << "a loss within the interval";
  EXPECT_EQ(count[5].value, Value(std::int64_t{10})) << "good values only";
  EXPECT_EQ(average[10].status, kBadNoData) << "nothing kept in it";
  EXPECT_EQ(count[10].value, Value(std::int64_t{0}));
  EXPECT_EQ(count[11].status, calculated | kHistorianPartial) << "the last interval is shorter";
  // Five intervals at a time from where the last stopped, as continuation points go: the
  // same values, the short last one still Partial.
  std::vector<Sample> paged;
  for (std::size_t first = 0; first < 12; first += 5) {
    for (const Sample& v : readProcessed(*store, k, intervalsFrom(q, first, 5), Aggregate::Count, 1'000'000, rc)) paged.push_back(v);
  }
  EXPECT_EQ(paged, count);
  EXPECT_EQ(intervalCount(intervalsFrom(q, 12, 5)), 0u) << "none left";
  // One interval for all; a range backwards is refused.
  auto whole = readProcessed(*store, k, ProcessedRequest{kT0, kT0 + 100 * kStep, 0}, Aggregate::Maximum, 1'000'000, rc);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].value, Value(99.0));
  // Backwards: from the start, newest first, each interval (its start - step, its start].
  auto back = readProcessed(*store, k, ProcessedRequest{kT0 + 100 * kStep, kT0, 10 * kStep}, Aggregate::Maximum,
                            1'000'000, rc);
  ASSERT_EQ(back.size(), 10u);
  EXPECT_EQ(back[0], (Sample{kT0 + 100 * kStep, calculated, Value(99.0)}));
  EXPECT_EQ(back[9].value, Value(10.0));
  EXPECT_EQ(back[4].status, kUncertainDataSubNormal | calculated) << "the loss, counted backwards too";
  // The client's configuration: half the values good is enough; shares that overlap are refused.
  const AggregateConfiguration half{true, 50, 50, false};
  EXPECT_EQ(readProcessed(*store, k, q, Aggregate::Average, 1'000'000, rc, half)[5].status, calculated);
  EXPECT_TRUE(readProcessed(*store, k, q, Aggregate::Average, 1'000'000, rc, AggregateConfiguration{true, 10, 10, false}).empty());
  EXPECT_EQ(rc, kBadAggregateConfigurationRejected);
  // More raw values than the read may go through: refused, not cut short.
  EXPECT_TRUE(readProcessed(*store, k, q, Aggregate::Average, 50, rc).empty());
  EXPECT_EQ(rc, kBadHistoryOperationUnsupported);
}

TEST_P(Stores, EventsComeBackByTimeBranchFilterAndCursor) {
  auto store = open();
  // One event a second, from four branches in turn; a branch's own, and those under it.
  const char* sources[] = {"CrateA.Board00.Chan003", "CrateA", "CrateAB.Board01", ""};
  std::vector<EventRecord> events;
  for (int i = 0; i < 40; ++i) {
    events.push_back(EventRecord{kT0 + i * kStep, sources[i % 4], "event " + std::to_string(i) + std::string(1, '\0')});
  }
  ASSERT_TRUE(store->appendEvents(events).ok());
  auto read = [&](const EventRequest& q, std::size_t limit, const EventCursor* resume, std::vector<std::string>& out,
                  std::function<bool(const EventRecord&)> pass = {}) {
    return readEvents(*store, q, limit, resume, [&](const EventRecord& e) {
      if (pass && !pass(e)) return false;
      out.push_back(e.body.substr(6, e.body.size() - 7));
      return true;
    });
  };
  std::vector<std::string> got;
  EventAnswer a = read(EventRequest{kT0, kT0 + 9 * kStep, 0, "CrateA"}, 0, nullptr, got);
  EXPECT_EQ(a.status, 0u);
  EXPECT_EQ(got, (std::vector<std::string>{"0", "1", "4", "5", "8"})) << "CrateA and under it, not CrateAB";
  got.clear();
  a = read(EventRequest{kT0 + 10 * kStep, kT0, 3, ""}, 0, nullptr, got);
  EXPECT_EQ(got, (std::vector<std::string>{"10", "9", "8"})) << "start after end: newest first, the start included";
  EXPECT_TRUE(a.more);
  EXPECT_EQ(read(EventRequest{kT0, 0, 0, ""}, 0, nullptr, got).status, kBadInvalidTimestampArgument)
      << "one time without a count has no end";
  // A filter that takes one event in ten, two a call: every one once, in order, by cursor;
  // a call that may read only a few events gives none but carries on.
  got.clear();
  std::optional<EventCursor> cursor;
  int calls = 0;
  do {
    a = read(EventRequest{kT0, kT0 + 100 * kStep, 0, ""}, 2, cursor ? &*cursor : nullptr, got,
             [](const EventRecord& e) { return e.body.find('0') == 7 || e.body == std::string("event 0\0", 8); });
    cursor = a.more;
  } while (cursor && ++calls < 50);
  EXPECT_EQ(got, (std::vector<std::string>{"0", "10", "20", "30"}));
  got.clear();
  a = readEvents(*store, EventRequest{kT0, kT0 + 100 * kStep, 0, ""}, 10, nullptr, [](const EventRecord&) { return false; }, 5);
  EXPECT_EQ(a.given, 0u);
  ASSERT_TRUE(a.more) << "five read, none taken: the next call goes on from the fifth";
  EXPECT_EQ(a.more->last->event.time, kT0 + 4 * kStep);
  // Events age out with the samples.
  std::size_t removed = 0;
  ASSERT_TRUE(store->removeOlderThan(kT0 + 30 * kStep, 1000, removed).ok());
  EXPECT_EQ(removed, 30u);
  got.clear();
  a = read(EventRequest{kT0 - kStep, kT0 + 100 * kStep, 0, ""}, 0, nullptr, got);
  EXPECT_EQ(got.front(), "30");
  EXPECT_EQ(read(EventRequest{kT0 - 10 * kStep, kT0 - kStep, 0, ""}, 0, nullptr, got).status, kGoodNoData);
}
