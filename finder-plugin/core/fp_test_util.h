// Helpers of the plug-in's tests: a sync database of the main application's
// layout made with plain SQLite, and a private runtime folder so that each
// test's named connection is its own.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/file_util.h"

namespace fptest {

// The main application's tables, as its sync engine makes them.
inline const char* kSchema =
    "CREATE TABLE IF NOT EXISTS SYNC(path varchar[1000],parent varchar[1000],type int, filehash "
    "char[40],filesize bigint,last bigint,status int,version int,memberid int,membername "
    "varchar[50],diskversion int,lock int,actlast bigint,PRIMARY KEY (path));"
    "CREATE TABLE IF NOT EXISTS VERSION(path varchar[1000],version int,dateline int,changekey "
    "char[40],synctype int,local int,org int,PRIMARY KEY (path));"
    "CREATE TABLE IF NOT EXISTS SYNCNODES(path varchar[1000],type int ,PRIMARY KEY(path));"
    "CREATE TABLE IF NOT EXISTS SYNCEDNOW(path varchar[1000],type int ,PRIMARY KEY(path));"
    "CREATE TABLE IF NOT EXISTS LINKNODE(srcpath varchar[1000],dstpath varchar[1000],PRIMARY KEY(srcpath));"
    "CREATE TABLE IF NOT EXISTS MENU(name varchar[1000],status int,PRIMARY KEY(name));"
    "CREATE TABLE IF NOT EXISTS HISTORY(path varchar[1000]);";

class Raw {
public:
  explicit Raw(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    sqlite3_busy_timeout(db_, 5000);
    sqlite3_exec(db_, "PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);  // test files need no flush
  }
  ~Raw() { sqlite3_close(db_); }
  Raw(const Raw&) = delete;
  Raw& operator=(const Raw&) = delete;
  void exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) ADD_FAILURE() << (err ? err : "?") << " in " << sql;
    sqlite3_free(err);
  }
  std::vector<std::string> column(const std::string& sql) {
    std::vector<std::string> out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sqlite3_errmsg(db_);
      return out;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
      const auto* t = sqlite3_column_text(st, 0);
      out.emplace_back(t ? reinterpret_cast<const char*>(t) : "NULL");
    }
    sqlite3_finalize(st);
    return out;
  }
  void row(const std::string& path, int type, int status, int lock = 0) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, "insert or replace into SYNC(path,parent,type,status,lock) values(?,?,?,?,?)", -1, &st, nullptr);
    const size_t slash = path.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
    sqlite3_bind_text(st, 1, path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, parent.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 3, type);
    sqlite3_bind_int(st, 4, status);
    sqlite3_bind_int(st, 5, lock);
    EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_finalize(st);
  }
  sqlite3* handle() { return db_; }

private:
  sqlite3* db_ = nullptr;
};

// XDG_RUNTIME_DIR pointed at a private folder for the test's life.
class RuntimeDir {
public:
  RuntimeDir() : dir_(plat::makeTemporaryDirectory("fpruntime")) {
    ::chmod(dir_.c_str(), 0700);
    if (const char* old = ::getenv("XDG_RUNTIME_DIR")) old_ = old;
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  }
  ~RuntimeDir() {
    if (old_) ::setenv("XDG_RUNTIME_DIR", old_->c_str(), 1); else ::unsetenv("XDG_RUNTIME_DIR");
    plat::removeTree(dir_);
  }
  const std::string& path() const { return dir_; }

private:
  std::string dir_;
  std::optional<std::string> old_;
};

}  // namespace fptest
