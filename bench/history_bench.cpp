// The history store at a plant's rate: four crates of 768 channels, six kept parameters
// each (VMon, IMon, Status, Pw, V0Set, I0Set), every one changing every second: how many
// rows a second the writer commits, what it costs, what the database grows by, what
// reading back costs (one channel's day, and a minute of 768 channels), and retention
// removing old rows while the plant writes at its full rate in real time.
//   build/bin/history_bench [seconds of plant time to write, default 120] [--postgres]
// With --postgres the same runs against a PostgreSQL server the bench starts on a Unix
// socket in a temporary folder of its own.
//   build/bin/history_bench --make-day FILE CRATE END
// makes a history database FILE holding, before END (OPC UA ticks), one value a second:
// a day of CRATE.Board00.Chan000.VMon and a minute of every VMon of CRATE's 16 x 48
// channels, for a measurement of HistoryRead through OPC UA.
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "history/history_writer.h"
#include "history/postgres_history_store.h"
#include "history/raw_read.h"
#include "history/sqlite_history_store.h"
#include "support/postgres_server.h"

using namespace vexahv::history;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kSecond = 10'000'000;
constexpr int kChannels = 4 * 768;
constexpr int kParameters = 6;
constexpr std::int64_t kT0 = 134'000'000'000'000'000;

double cpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The plant's value of kept item i at second s: ramps and noise move, Status and Pw toggle.
double plantValue(std::size_t i, std::int64_t s) {
  return (i % kParameters == 2 || i % kParameters == 3) ? static_cast<double>(s % 2)
                                                       : 1000.0 + static_cast<double>(s) * 0.25 + static_cast<double>(i % 97) * 0.001;
}

int makeDay(const char* file, const std::string& crate, std::int64_t end) {
  StoreStatus status;
  auto store = SqliteHistoryStore::open(file, status);
  std::vector<Row> rows;
  for (int b = 0; b < 16 && status.ok(); ++b) {
    for (int c = 0; c < 48 && status.ok(); ++c) {
      char name[64];
      std::snprintf(name, sizeof name, "%s.Board%02d.Chan%03d.VMon", crate.c_str(), b, c);
      std::uint32_t key = 0;
      status = store->keyOf(name, key);
      const int n = b == 0 && c == 0 ? 86400 : 60;
      for (std::int64_t s = n; s > 0; --s) rows.push_back(Row{key, Sample{end - s * kSecond, 0, Value(1000.0 + s * 0.01)}});
    }
  }
  if (status.ok()) status = store->append(rows);
  if (!status.ok()) std::fprintf(stderr, "%s\n", status.message.c_str());
  return status.ok() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--make-day") == 0) return makeDay(argv[2], argv[3], std::atoll(argv[4]));
  int seconds = 120;
  bool postgres = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--postgres") == 0) {
      postgres = true;
    } else {
      seconds = std::atoi(argv[i]);
    }
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "vexahv-history-bench-XXXXXX").string();
  const std::filesystem::path dir = ::mkdtemp(pattern.data());
  const auto file = dir / "history.db";
  StoreStatus status;
  std::unique_ptr<vexahv::test::PostgresServer> server;
  std::unique_ptr<HistoryStore> store;
  if (postgres) {
    std::string why;
    server = vexahv::test::PostgresServer::start(why);
    if (!server) {
      std::fprintf(stderr, "PostgreSQL: %s\n", why.c_str());
      return 1;
    }
    store = PostgresHistoryStore::open(server->conninfo("postgres"), "bench", status);
  } else {
    store = SqliteHistoryStore::open(file, status);
  }
  if (!store) {
    std::fprintf(stderr, "%s\n", status.message.c_str());
    return 1;
  }
  std::printf("store: %s\n", postgres ? "PostgreSQL (its own, on a Unix socket)" : "SQLite");
  std::vector<std::uint32_t> keys;
  const char* names[kParameters] = {"VMon", "IMon", "Status", "Pw", "V0Set", "I0Set"};
  const auto keysStart = Clock::now();
  for (int c = 0; c < kChannels; ++c) {
    for (const char* p : names) {
      std::uint32_t k = 0;
      store->keyOf("Plant" + std::to_string(c / 768) + ".Board" + std::to_string(c % 768 / 48) + ".Chan" +
                       std::to_string(c % 48) + "." + p,
                   k);
      keys.push_back(k);
    }
  }
  std::printf("keys: %zu items named in %.0f ms (a first start over the plant)\n", keys.size(), msSince(keysStart));
  const std::uint64_t written = static_cast<std::uint64_t>(seconds) * keys.size();
  {
    HistoryWriter::Limits limits;
    limits.maxAge = std::chrono::hours(24 * 365 * 100);
    limits.maxBytes = 0;
    HistoryWriter writer(*store, limits);
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    for (int s = 0; s < seconds; ++s) {
      for (std::size_t i = 0; i < keys.size(); ++i) {
        writer.offer(Row{keys[i], Sample{kT0 + s * kSecond + static_cast<std::int64_t>(i), 0, Value(plantValue(i, s))}});
      }
      if (s % 4 == 3) writer.flush();  // a queue of 4 s at most, as the plant's would be
    }
    writer.flush();
    const double ms = msSince(start), cpu = cpuSeconds() - cpu0;
    std::uint64_t used = 0;
    store->usedBytes(used);
    std::printf("write: %llu rows in %.0f ms: %.0f rows/s; CPU %.2f s (%.1f us a row, client side); lost %llu\n",
                static_cast<unsigned long long>(written), ms, written / (ms / 1000), cpu, 1e6 * cpu / written,
                static_cast<unsigned long long>(writer.counts().dropped));
    const double perRow = static_cast<double>(used) / written;
    std::printf("size: %.1f MiB for %llu rows, %.1f bytes a row: %.0f MiB an hour at %d rows/s (the plant at 1 Hz)\n",
                used / 1048576.0, static_cast<unsigned long long>(written), perRow,
                perRow * kChannels * kParameters * 3600 / 1048576.0, kChannels * kParameters);
  }
  // One channel's day: 86,400 values of one second each.
  std::uint32_t day = 0;
  store->keyOf("Plant0.Board0.Chan0.VMonDay", day);
  {
    std::vector<Row> rows;
    for (int s = 0; s < 86400; ++s) rows.push_back(Row{day, Sample{kT0 + s * kSecond, 0, Value(1000.0 + s * 0.01)}});
    store->append(rows);
  }
  for (int turn = 0; turn < 3; ++turn) {
    const auto start = Clock::now();
    std::size_t n = 0, calls = 0;
    std::optional<RawCursor> cursor;
    const RawRequest q{kT0, kT0 + 86400 * kSecond, 0, false};
    do {
      RawAnswer a = readRaw(*store, day, q, 10000, cursor ? &*cursor : nullptr);
      n += a.values.size();
      cursor = a.more;
      ++calls;
    } while (cursor);
    std::printf("read a day of one channel: %zu values in %zu calls of 10,000, %.1f ms\n", n, calls, msSince(start));
  }
  // A minute of 768 channels' VMon, from the middle of what was written.
  for (int turn = 0; turn < 3; ++turn) {
    const auto start = Clock::now();
    std::size_t n = 0;
    const std::int64_t from = kT0 + (seconds / 2) * kSecond;
    for (int c = 0; c < 768; ++c) {
      n += readRaw(*store, keys[static_cast<std::size_t>(c) * kParameters], RawRequest{from, from + 60 * kSecond, 0, false}, 10000)
               .values.size();
    }
    std::printf("read a minute of 768 channels: %zu values, %.1f ms\n", n, msSince(start));
  }

  // Retention while the plant writes at its full rate, in real time: everything written
  // above is now past the age bound and goes, a slice at a time, between the batches.
  {
    const std::uint64_t old = written + 86400;
    const int liveSeconds = std::getenv("LIVE") ? std::atoi(std::getenv("LIVE")) : 30;
    HistoryWriter::Limits limits;
    limits.maxBytes = 0;
    if (const char* slice = std::getenv("SLICE")) limits.removeSlice = static_cast<std::size_t>(std::atoi(slice));
    const auto start = Clock::now();
    const std::int64_t live0 = kT0 + 365LL * 86400 * kSecond;
    auto plantNow = [&] { return live0 + static_cast<std::int64_t>(msSince(start) * 10'000); };
    const double cpu0 = cpuSeconds();
    HistoryWriter writer(*store, limits, plantNow);
    double goneAfter = -1;
    std::uint64_t offered = 0, maxBacklog = 0;
    for (int tick = 0; tick < liveSeconds * 10; ++tick) {
      // A tenth of the plant's second's rows every 100 ms.
      const std::int64_t s = tick / 10;
      for (std::size_t i = static_cast<std::size_t>(tick % 10); i < keys.size(); i += 10) {
        writer.offer(Row{keys[i], Sample{plantNow(), 0, Value(plantValue(i, s))}});
        ++offered;
      }
      std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * (tick + 1)));
      const HistoryWriter::Counts c = writer.counts();
      maxBacklog = std::max(maxBacklog, offered - c.written - c.dropped);
      if (goneAfter < 0 && c.removed >= old) goneAfter = msSince(start) / 1000;
    }
    writer.flush();
    const HistoryWriter::Counts c = writer.counts();
    const double cpu = cpuSeconds() - cpu0;
    std::printf("retention: %llu old rows to go while writing %d rows/s for %d s: %llu removed (%.0f a second), %s;"
                " the longest a row waited: %.2f s; lost %llu; CPU %.1f %% of a core\n",
                static_cast<unsigned long long>(old), kChannels * kParameters, liveSeconds,
                static_cast<unsigned long long>(c.removed), c.removed / (msSince(start) / 1000),
                goneAfter < 0 ? "not all gone yet" : ("all gone after " + std::to_string(goneAfter) + " s").c_str(),
                static_cast<double>(maxBacklog) / (kChannels * kParameters) + 0.1,
                static_cast<unsigned long long>(c.dropped), 100 * cpu / (msSince(start) / 1000));
  }
  store.reset();
  server.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
