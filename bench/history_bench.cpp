// The history store at a plant's rate: four crates of 768 channels, six kept parameters
// each (VMon, IMon, Status, Pw, V0Set, I0Set), every one changing every second: how many
// rows a second the writer commits, what it costs, what the database grows by, and what
// reading back costs (one channel's day, and a minute of 768 channels).
//   build/bin/history_bench [seconds of plant time to write, default 120]
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "history/history_writer.h"
#include "history/raw_read.h"
#include "history/sqlite_history_store.h"

using namespace vexahv::history;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kSecond = 10'000'000;
constexpr int kChannels = 4 * 768;
constexpr int kParameters = 6;

double cpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 120;
  std::string pattern = (std::filesystem::temp_directory_path() / "vexahv-history-bench-XXXXXX").string();
  const std::filesystem::path dir = ::mkdtemp(pattern.data());
  const auto file = dir / "history.db";
  StoreStatus status;
  auto store = SqliteHistoryStore::open(file, status);
  if (!store) {
    std::fprintf(stderr, "%s\n", status.message.c_str());
    return 1;
  }
  std::vector<std::uint32_t> keys;
  const char* names[kParameters] = {"VMon", "IMon", "Status", "Pw", "V0Set", "I0Set"};
  for (int c = 0; c < kChannels; ++c) {
    for (const char* p : names) {
      std::uint32_t k = 0;
      store->keyOf("Plant" + std::to_string(c / 768) + ".Board" + std::to_string(c % 768 / 48) + ".Chan" +
                       std::to_string(c % 48) + "." + p,
                   k);
      keys.push_back(k);
    }
  }
  const std::int64_t t0 = 134'000'000'000'000'000;
  {
    HistoryWriter::Limits limits;
    limits.maxAge = std::chrono::hours(24 * 365 * 100);
    limits.maxBytes = 0;
    HistoryWriter writer(*store, limits);
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    std::uint64_t rows = 0;
    for (int s = 0; s < seconds; ++s) {
      for (std::size_t i = 0; i < keys.size(); ++i) {
        const double v = (i % kParameters == 2 || i % kParameters == 3) ? static_cast<double>(s % 2)
                                                                        : 1000.0 + s * 0.25 + static_cast<double>(i % 97) * 0.001;
        writer.offer(Row{keys[i], Sample{t0 + s * kSecond + static_cast<std::int64_t>(i), 0, Value(v)}});
        ++rows;
      }
      if (s % 4 == 3) writer.flush();  // a queue of 4 s at most, as the plant's would be
    }
    writer.flush();
    const double ms = msSince(start), cpu = cpuSeconds() - cpu0;
    const auto bytes = std::filesystem::file_size(file);
    std::uint64_t used = 0;
    store->usedBytes(used);
    std::printf("write: %llu rows in %.0f ms: %.0f rows/s; CPU %.2f s (%.1f us a row); lost %llu\n",
                static_cast<unsigned long long>(rows), ms, rows / (ms / 1000), cpu, 1e6 * cpu / rows,
                static_cast<unsigned long long>(writer.counts().dropped));
    const double perRow = static_cast<double>(used) / rows;
    std::printf("size: %.1f MiB for %llu rows, %.1f bytes a row: %.0f MiB an hour at %d rows/s (the plant at 1 Hz)\n",
                bytes / 1048576.0, static_cast<unsigned long long>(rows), perRow,
                perRow * kChannels * kParameters * 3600 / 1048576.0, kChannels * kParameters);
  }
  // One channel's day: 86,400 values of one second each.
  std::uint32_t day = 0;
  store->keyOf("Plant0.Board0.Chan0.VMonDay", day);
  {
    std::vector<Row> rows;
    for (int s = 0; s < 86400; ++s) rows.push_back(Row{day, Sample{t0 + s * kSecond, 0, Value(1000.0 + s * 0.01)}});
    store->append(rows);
  }
  for (int turn = 0; turn < 3; ++turn) {
    const auto start = Clock::now();
    std::size_t n = 0, calls = 0;
    std::optional<RawCursor> cursor;
    const RawRequest q{t0, t0 + 86400 * kSecond, 0, false};
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
    const std::int64_t from = t0 + (seconds / 2) * kSecond;
    for (int c = 0; c < 768; ++c) {
      n += readRaw(*store, keys[static_cast<std::size_t>(c) * kParameters], RawRequest{from, from + 60 * kSecond, 0, false}, 10000)
               .values.size();
    }
    std::printf("read a minute of 768 channels: %zu values, %.1f ms\n", n, msSince(start));
  }
  store.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
