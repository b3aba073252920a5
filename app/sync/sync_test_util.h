// Helpers of the sync engine's tests: a private temporary folder and a
// second, plain SQLite connection that reads what is really stored and makes
// files of older layouts without the class under test.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "app/core/QVLog.h"
#include "app/trans/TransHandoff.h"
#include "platform/foundation/file_util.h"
#include "platform/system/trash.h"

namespace synctest {

class TempDir {
public:
  TempDir() : path_(plat::makeTemporaryDirectory("synctest")) {}
  ~TempDir() { plat::removeTree(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

using Rows = std::vector<std::vector<std::string>>;

class Raw {
public:
  explicit Raw(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) ADD_FAILURE() << "cannot open " << path;
    sqlite3_busy_timeout(db_, 5000);
  }
  ~Raw() { sqlite3_close(db_); }
  Raw(const Raw&) = delete;
  Raw& operator=(const Raw&) = delete;

  void exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      ADD_FAILURE() << (err ? err : "error") << " in " << sql;
    }
    sqlite3_free(err);
  }
  // Every row as texts, NULL as "NULL".
  Rows rows(const std::string& sql) {
    Rows out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sqlite3_errmsg(db_) << " in " << sql;
      return out;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        const auto* t = sqlite3_column_text(st, i);
        row.emplace_back(t ? reinterpret_cast<const char*>(t) : "NULL");
      }
      out.push_back(std::move(row));
    }
    sqlite3_finalize(st);
    return out;
  }
  // The first column of every row.
  std::vector<std::string> column(const std::string& sql) {
    std::vector<std::string> out;
    for (auto& r : rows(sql)) out.push_back(r.empty() ? "" : r[0]);
    return out;
  }

private:
  sqlite3* db_ = nullptr;
};

// Whether the in-memory log has a line "<date> ...<info><cloud path>".
inline bool logged(const std::string& webpath, const std::string& info) {
  QVLog::sharedQVLog().flush();
  const std::string tail = info + webpath;
  for (const QVLogLine& l : QVLog::sharedQVLog().arrLogData()) {
    if (l.text.size() >= tail.size() && l.text.compare(l.text.size() - tail.size(), tail.size(), tail) == 0) return true;
  }
  return false;
}

// The contents of the files in the home Trash, in order.
inline std::vector<std::string> trashed() {
  std::vector<std::string> out;
  std::error_code ec;
  const std::string files = plat::FreedesktopTrash::homeTrashDirectory() + "/files";
  for (std::filesystem::directory_iterator it(files, ec), end; !ec && it != end; it.increment(ec)) {
    out.push_back(plat::readFile(it->path().string()).value_or("<unreadable>"));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The transfer engine as the sync engine sees it, with no transfers: it
// records what it is asked to stop.
class RecordingTrans : public TransControl {
public:
  void cleartrans(const std::string& folder) override {
    std::lock_guard<std::mutex> l(m_);
    cleared_.push_back(folder);
  }
  void removeall() override {
    std::lock_guard<std::mutex> l(m_);
    ++removealls_;
  }
  std::optional<std::string> getTransErrorMsgFileHash(const std::string&) const override { return std::nullopt; }
  void wakeup() override { ++wakeups_; }
  int64_t wakeups() const { return wakeups_.load(); }
  std::vector<std::string> cleared() const {
    std::lock_guard<std::mutex> l(m_);
    return cleared_;
  }
  int removealls() const {
    std::lock_guard<std::mutex> l(m_);
    return removealls_;
  }

private:
  mutable std::mutex m_;
  std::vector<std::string> cleared_;
  int removealls_ = 0;
  std::atomic<int64_t> wakeups_{0};
};

}  // namespace synctest
