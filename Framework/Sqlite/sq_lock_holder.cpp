// Test helper: holds "begin exclusive" on a database file from a second
// process. It inserts a row inside the transaction, prints "locked", waits for
// a line on standard input (or its end), then commits and exits.
//   sq_lock_holder <database path> <table> <text to insert>
#include <sqlite3.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: sq_lock_holder <db> <table> <text>\n");
    return 2;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open(argv[1], &db) != SQLITE_OK) return 1;
  sqlite3_busy_timeout(db, 10000);
  if (sqlite3_exec(db, "begin exclusive", nullptr, nullptr, nullptr) != SQLITE_OK) return 1;
  const std::string insert = std::string("insert into ") + argv[2] + " values (?)";
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, insert.c_str(), -1, &st, nullptr) != SQLITE_OK) return 1;
  sqlite3_bind_text(st, 1, argv[3], -1, SQLITE_TRANSIENT);
  if (sqlite3_step(st) != SQLITE_DONE) return 1;
  sqlite3_finalize(st);
  std::printf("locked\n");
  std::fflush(stdout);
  char line[64];
  (void)std::fgets(line, sizeof line, stdin);
  int rc = sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return rc == SQLITE_OK ? 0 : 1;
}
