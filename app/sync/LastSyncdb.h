// LastSyncdb: the mount database of one user, "<config>/<user id>/
// qvmountex.db": where the user's sync folder lies (table `mount`) and the
// target of a move from the old folder layout that has begun (`TEMPPATH`).
//
// Threads: any thread may call any operation (login threads, the main
// thread, the periodic jobs thread, the folder-move thread); each is one
// block on the file's serial queue, and a read-then-write runs in one
// transaction. Values are bound. Without a database setters do nothing and
// getters answer "" or 0.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class SQDatabaseQueue;

class LastSyncdb {
public:
  explicit LastSyncdb(const std::string& path);
  ~LastSyncdb();
  LastSyncdb(const LastSyncdb&) = delete;
  LastSyncdb& operator=(const LastSyncdb&) = delete;
  static std::shared_ptr<LastSyncdb> initpath(const std::string& path);
  // One instance for the process on UserData's getmountdb path; the
  // application itself uses its own lastsyncdb.
  static std::shared_ptr<LastSyncdb> shareLastSyncdb();

  std::shared_ptr<SQDatabaseQueue> dbQueue() const { return dbQueue_; }

  void createtable();
  void changeold();
  void close();

  void setsyncpath(int64_t userid, const std::string& syncpath);
  std::string getsyncpath(int64_t userid);
  void setchangeold(int64_t value);
  int64_t getchangeold();
  void settemppath(const std::string& path);
  std::string gettemppath();
  void setdateline(int64_t value);
  int64_t getdateline();

private:
  std::shared_ptr<SQDatabaseQueue> dbQueue_;
};
