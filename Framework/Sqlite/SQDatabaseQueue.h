// SQDatabaseQueue: the one door to a database file in a process. Every use of
// its connection runs as a block on a private serial queue while the caller
// waits, so blocks never overlap and run in the order they were submitted.
// A block that calls back into the same queue raises instead of deadlocking.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Framework/Sqlite/SQDatabase.h"
#include "Framework/Sqlite/SQResultSet.h"
#include "platform/foundation/error.h"
#include "platform/foundation/serial_queue.h"

class SQDatabaseQueue : public std::enable_shared_from_this<SQDatabaseQueue> {
public:
  using Block = std::function<void(SQDatabase* db)>;
  using TransactionBlock = std::function<void(SQDatabase* db, bool* rollback)>;

  // Opens (creating) the file; null, after a log line, when it can't be opened.
  static std::shared_ptr<SQDatabaseQueue> databaseQueueWithPath(const std::string& path);
  // The same with a connection of its own lock-free: every use of it is on
  // the queue, so SQLite's lock around each call (each value bound, each
  // column read) guards nothing. For a caller that never lets the
  // connection, a statement or a result set leave a block.
  static std::shared_ptr<SQDatabaseQueue> databaseQueueWithPathUnlocked(const std::string& path);
  ~SQDatabaseQueue();
  SQDatabaseQueue(const SQDatabaseQueue&) = delete;
  SQDatabaseQueue& operator=(const SQDatabaseQueue&) = delete;

  // "<SQDatabaseQueue: 0x...>"
  std::string description() const;
  const std::string& queueName() const { return _queue->name(); }

  void close();
  // The connection, reopened when it had been closed; null when that fails.
  // It takes no lock: use it inside the queue's blocks.
  std::shared_ptr<SQDatabase> database();

  // The block always gets a connection; when the file could not be reopened
  // it is one that is not open, so its statements do nothing.
  void inDatabase(const Block& block);
  void beginTransaction(bool useDeferred, const TransactionBlock& block);
  void inDeferredTransaction(const TransactionBlock& block) { beginTransaction(true, block); }
  void inTransaction(const TransactionBlock& block) { beginTransaction(false, block); }
  std::optional<plat::Error> inSavePoint(const TransactionBlock& block);

  std::string path() const;
  void setPath(std::string path);

private:
  struct PrivateTag {};

public:
  // Made only through databaseQueueWithPath.
  explicit SQDatabaseQueue(PrivateTag) {}

private:
  bool initWithPath(const std::string& path, bool unlocked);
  bool openConnection();
  std::shared_ptr<SQDatabase> databaseOrClosedStandIn();
  // Keeps the queue alive for the call when it is owned by a shared_ptr.
  void run(const std::function<void()>& body);

  mutable std::mutex _pathMutex;
  std::string _path;
  std::unique_ptr<plat::SerialQueue> _queue;
  bool _unlocked = false;
  std::shared_ptr<SQDatabase> _db;
};
