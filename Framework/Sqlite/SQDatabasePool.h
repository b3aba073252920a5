// SQDatabasePool: separate connections to one database file, each handed to
// one caller at a time and taken back for reuse (the free ones last in,
// first out). Only the two lists are guarded, by a serial queue; a handed-out
// connection belongs to its caller until it comes back. Nothing in the
// system makes a pool: it serialises through database queues.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Framework/Sqlite/SQDatabase.h"
#include "platform/foundation/serial_queue.h"

class SQDatabasePool;

class SQDatabasePoolDelegate {
public:
  virtual ~SQDatabasePoolDelegate() = default;
  // databasePool:shouldAddDatabaseToPool:; false refuses the connection.
  virtual bool databasePool(SQDatabasePool& pool, SQDatabase& shouldAddDatabaseToPool) = 0;
};

class SQDatabasePool {
public:
  static std::shared_ptr<SQDatabasePool> databasePoolWithPath(const std::string& path) {
    return std::make_shared<SQDatabasePool>(path);
  }
  explicit SQDatabasePool(std::string path);
  ~SQDatabasePool();
  SQDatabasePool(const SQDatabasePool&) = delete;
  SQDatabasePool& operator=(const SQDatabasePool&) = delete;

  const std::string& path() const { return _path; }
  SQDatabasePoolDelegate* delegate() const { return _delegate; }
  void setDelegate(SQDatabasePoolDelegate* d) { _delegate = d; }  // not owned
  uint64_t maximumNumberOfDatabasesToCreate() const { return _maximumNumberOfDatabasesToCreate; }
  void setMaximumNumberOfDatabasesToCreate(uint64_t n) { _maximumNumberOfDatabasesToCreate = n; }
  std::string description() const;

  void executeLocked(const std::function<void()>& block);
  // A free or new open connection, or null (limit reached, open failed,
  // refused by the delegate).
  std::shared_ptr<SQDatabase> db();
  // Null does nothing. A connection already free raises "Database already in
  // pool"; one this pool did not hand out raises "Database not from pool".
  void pushDatabaseBackInPool(const std::shared_ptr<SQDatabase>& db);

  size_t countOfCheckedInDatabases();
  size_t countOfCheckedOutDatabases();
  size_t countOfOpenDatabases();
  // Forgets every connection; each closes when its last owner lets go.
  void releaseAllDatabases();

  // The block gets null when no connection could be had.
  void inDatabase(const std::function<void(SQDatabase* db)>& block);
  // A block that throws rolls back, and its connection comes back, before
  // the exception leaves.
  void beginTransaction(bool useDeferred, const std::function<void(SQDatabase* db, bool* rollback)>& block);
  void inDeferredTransaction(const std::function<void(SQDatabase* db, bool* rollback)>& block) {
    beginTransaction(true, block);
  }
  void inTransaction(const std::function<void(SQDatabase* db, bool* rollback)>& block) {
    beginTransaction(false, block);
  }
  std::optional<plat::Error> inSavePoint(const std::function<void(SQDatabase* db, bool* rollback)>& block);

private:
  std::string _path;
  std::unique_ptr<plat::SerialQueue> _lockQueue;
  std::vector<std::shared_ptr<SQDatabase>> _databaseInPool;
  std::vector<std::shared_ptr<SQDatabase>> _databaseOutPool;
  SQDatabasePoolDelegate* _delegate = nullptr;
  uint64_t _maximumNumberOfDatabasesToCreate = 0;
};
