// 10,000 single-row inserts and 10,000 single-row selects through
// SQDatabaseQueue::inDatabase, and the same statements through the raw SQLite
// C API (prepare, bind, step, finalize each time, as the wrapper does without
// a statement cache), each on its own file database in a temporary folder.
// Both sides run with "pragma synchronous=off" so the figures show the
// wrapper's cost rather than the disk's. Prints each figure (best of the
// repetitions), its reference and the ratio.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <string>

#include "Framework/Sqlite/SQDatabaseQueue.h"
#include "bench/common/figure.h"

namespace {

constexpr int kRows = 10000;

std::filesystem::path gDir;
int gFileNo = 0;

std::string freshFile() { return (gDir / ("bench" + std::to_string(gFileNo++) + ".db")).string(); }

const char* kCreate = "create table t (id integer primary key, v text, n integer)";
const char* kInsert = "insert into t (v, n) values (?, ?)";
const char* kSelect = "select v, n from t where id = ?";

void fill(sqlite3* db) {
  sqlite3_exec(db, "begin", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, kInsert, -1, &st, nullptr);
  for (int i = 0; i < kRows; ++i) {
    const std::string v = "/folder/file" + std::to_string(i) + ".txt";
    sqlite3_bind_text(st, 1, v.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(st, 2, i);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
}

sqlite3* openRaw(bool filled) {
  sqlite3* db = nullptr;
  sqlite3_open(freshFile().c_str(), &db);
  sqlite3_exec(db, "pragma synchronous=off", nullptr, nullptr, nullptr);
  sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
  if (filled) fill(db);
  return db;
}

std::shared_ptr<SQDatabaseQueue> openQueue(bool filled) {
  auto queue = SQDatabaseQueue::databaseQueueWithPath(freshFile());
  queue->inDatabase([&](SQDatabase* db) {
    db->executeUpdate("pragma synchronous=off");
    db->executeUpdate(kCreate);
    if (filled) fill(db->sqliteHandle());
  });
  return queue;
}

void QueueInsert(benchmark::State& state) {
  auto queue = openQueue(false);
  int i = 0;
  for (auto _ : state) {
    const std::string v = "/folder/file" + std::to_string(i) + ".txt";
    queue->inDatabase([&](SQDatabase* db) {
      if (!db->executeUpdate(kInsert, v, i)) state.SkipWithError("insert failed");
    });
    ++i;
  }
  queue->close();
}

void RawInsert(benchmark::State& state) {
  sqlite3* db = openRaw(false);
  int i = 0;
  for (auto _ : state) {
    const std::string v = "/folder/file" + std::to_string(i) + ".txt";
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, kInsert, -1, &st, nullptr);
    sqlite3_bind_text(st, 1, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(st, 2, i);
    if (sqlite3_step(st) != SQLITE_DONE) state.SkipWithError("insert failed");
    sqlite3_finalize(st);
    ++i;
  }
  sqlite3_close(db);
}

void QueueSelect(benchmark::State& state) {
  auto queue = openQueue(true);
  int i = 0;
  int64_t sum = 0;
  for (auto _ : state) {
    queue->inDatabase([&](SQDatabase* db) {
      auto rs = db->executeQuery(kSelect, (i % kRows) + 1);
      if (rs && rs->next()) {
        auto v = rs->stringForColumn("v");
        sum += rs->intForColumn("n") + static_cast<int64_t>(v ? v->size() : 0);
      }
      if (rs) rs->close();
    });
    ++i;
  }
  benchmark::DoNotOptimize(sum);
  queue->close();
}

void RawSelect(benchmark::State& state) {
  sqlite3* db = openRaw(true);
  int i = 0;
  int64_t sum = 0;
  for (auto _ : state) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, kSelect, -1, &st, nullptr);
    sqlite3_bind_int64(st, 1, (i % kRows) + 1);
    if (sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char* v = sqlite3_column_text(st, 0);
      std::string copy(v ? reinterpret_cast<const char*>(v) : "", static_cast<size_t>(sqlite3_column_bytes(st, 0)));
      sum += sqlite3_column_int(st, 1) + static_cast<int64_t>(copy.size());
    }
    sqlite3_reset(st);
    sqlite3_finalize(st);
    ++i;
  }
  benchmark::DoNotOptimize(sum);
  sqlite3_close(db);
}

// Keeps the console output and remembers the best time of 10,000 operations.
class Collector : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations == 0) continue;
      const double ms = r.real_accumulated_time * 1e3 * kRows / static_cast<double>(r.iterations);
      auto [it, inserted] = best.try_emplace(r.run_name.function_name, ms);
      if (!inserted && ms < it->second) it->second = ms;
    }
  }
  std::map<std::string, double> best;
};

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/sqbench.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  gDir = tmpl;

  benchmark::RegisterBenchmark("QueueInsert", QueueInsert)->Iterations(kRows);
  benchmark::RegisterBenchmark("RawInsert", RawInsert)->Iterations(kRows);
  benchmark::RegisterBenchmark("QueueSelect", QueueSelect)->Iterations(kRows);
  benchmark::RegisterBenchmark("RawSelect", RawSelect)->Iterations(kRows);
  benchmark::Initialize(&argc, argv);
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nSQDatabaseQueue against the raw SQLite C API (%s), best of the repetitions:\n",
              sqlite3_libversion());
  int status = 0;
  for (const char* what : {"Insert", "Select"}) {
    const std::string ours = std::string("Queue") + what, ref = std::string("Raw") + what;
    if (!reporter.best.count(ours) || !reporter.best.count(ref)) {
      std::printf("%s: no figure\n", what);
      status = 1;
      continue;
    }
    const std::string figure = std::string("10,000 single-row ") + (what[0] == 'I' ? "inserts" : "selects") +
                               " through inDatabase";
    if (!qvbench::reportFigure({figure, reporter.best[ours], "ms", "raw SQLite C API", reporter.best[ref], "<=1.3"}))
      status = 1;
  }
  std::error_code ec;
  std::filesystem::remove_all(gDir, ec);
  return status;
}
