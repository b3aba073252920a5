// A second process that reads a sync database the way the Finder plug-in
// does (plain SQLite, its own connection, no functions of the engine): SYNC
// and VERSION in one read transaction, again and again, until VERSION holds
// the root "/done/". Each read is checked for what a torn write would show:
// a row whose parent folder has no row, a VERSION cursor whose two halves
// differ, or fewer rows than the read before. Prints "ready" once it has
// opened the file, and at the end "reads <n> rows <m>"; exits 1 on any error.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>

namespace {

int fail(const char* what, sqlite3* db) {
  std::printf("error %s: %s\n", what, db ? sqlite3_errmsg(db) : "");
  std::fflush(stdout);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return fail("open", db);
  // A bounded wait: a lock held by the engine delays a read, never fails it.
  sqlite3_busy_timeout(db, 10000);
  std::printf("ready\n");
  std::fflush(stdout);

  const auto start = std::chrono::steady_clock::now();
  long reads = 0;
  size_t lastRows = 0;
  bool done = false;
  while (!done) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(120)) return fail("timeout", nullptr);
    if (sqlite3_exec(db, "begin", nullptr, nullptr, nullptr) != SQLITE_OK) return fail("begin", db);
    std::set<std::string> paths;
    std::set<std::string> parents;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "select path,parent from SYNC", -1, &st, nullptr) != SQLITE_OK) return fail("prepare", db);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      const auto* p = sqlite3_column_text(st, 0);
      const auto* q = sqlite3_column_text(st, 1);
      paths.insert(p ? reinterpret_cast<const char*>(p) : "");
      if (q && *q) parents.insert(reinterpret_cast<const char*>(q));
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) return fail("read SYNC", db);
    for (const auto& parent : parents) {
      if (!paths.count(parent)) {
        std::printf("error torn: no row for parent %s\n", parent.c_str());
        return 1;
      }
    }
    if (paths.size() < lastRows) {
      std::printf("error torn: %zu rows after %zu\n", paths.size(), lastRows);
      return 1;
    }
    lastRows = paths.size();

    if (sqlite3_prepare_v2(db, "select path,version,dateline from VERSION", -1, &st, nullptr) != SQLITE_OK) {
      return fail("prepare", db);
    }
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      const std::string path = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      if (sqlite3_column_int64(st, 1) != sqlite3_column_int64(st, 2)) {
        std::printf("error torn: cursor of %s\n", path.c_str());
        return 1;
      }
      if (path == "/done/") done = true;
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) return fail("read VERSION", db);
    if (sqlite3_exec(db, "commit", nullptr, nullptr, nullptr) != SQLITE_OK) return fail("commit", db);
    ++reads;
  }
  std::printf("reads %ld rows %zu\n", reads, lastRows);
  sqlite3_close(db);
  return 0;
}
