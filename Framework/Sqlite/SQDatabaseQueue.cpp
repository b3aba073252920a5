#include "Framework/Sqlite/SQDatabaseQueue.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdio>

#include "platform/foundation/format.h"
#include "platform/foundation/log.h"

namespace {
// Process-wide savepoint name counter of the queues.
std::atomic<long> gQueueSavePointIdx{0};
}  // namespace

std::shared_ptr<SQDatabaseQueue> SQDatabaseQueue::databaseQueueWithPath(const std::string& path) {
  auto q = std::make_shared<SQDatabaseQueue>(PrivateTag{});
  if (!q->initWithPath(path, false)) return nullptr;
  return q;
}

std::shared_ptr<SQDatabaseQueue> SQDatabaseQueue::databaseQueueWithPathUnlocked(const std::string& path) {
  auto q = std::make_shared<SQDatabaseQueue>(PrivateTag{});
  if (!q->initWithPath(path, true)) return nullptr;
  return q;
}

bool SQDatabaseQueue::openConnection() {
  return _unlocked ? _db->openWithFlags(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX)
                   : _db->open();
}

bool SQDatabaseQueue::initWithPath(const std::string& path, bool unlocked) {
  _unlocked = unlocked;
  _db = SQDatabase::databaseWithPath(path);
  if (!openConnection()) {
    plat::log("Could not create database queue for path %@", path);
    _db.reset();
    return false;
  }
  _path = path;
  _queue = std::make_unique<plat::SerialQueue>(plat::format("sqdb.%@", description()));
  return true;
}

SQDatabaseQueue::~SQDatabaseQueue() = default;

std::string SQDatabaseQueue::description() const {
  char buf[48];
  std::snprintf(buf, sizeof buf, "<SQDatabaseQueue: %p>", static_cast<const void*>(this));
  return buf;
}

std::string SQDatabaseQueue::path() const {
  std::lock_guard<std::mutex> l(_pathMutex);
  return _path;
}

void SQDatabaseQueue::setPath(std::string path) {
  std::lock_guard<std::mutex> l(_pathMutex);
  _path = std::move(path);
}

void SQDatabaseQueue::run(const std::function<void()>& body) {
  const auto self = weak_from_this().lock();
  _queue->sync(body);
}

void SQDatabaseQueue::close() {
  run([this] {
    if (_db) _db->close();
    _db.reset();
  });
}

std::shared_ptr<SQDatabase> SQDatabaseQueue::database() {
  if (!_db) {
    const std::string p = path();
    _db = SQDatabase::databaseWithPath(p);
    if (!openConnection()) {
      plat::log("SQDatabaseQueue could not reopen database for path %@", p);
      _db.reset();
      return nullptr;
    }
  }
  return _db;
}

// When the file can't be reopened a block still runs, with a connection that
// is not open: every statement it tries then answers false or no rows, as
// messages to no database would, instead of dereferencing nothing.
std::shared_ptr<SQDatabase> SQDatabaseQueue::databaseOrClosedStandIn() {
  if (auto db = database()) return db;
  return SQDatabase::databaseWithPath(path());
}

void SQDatabaseQueue::inDatabase(const Block& block) {
  run([&] {
    const auto db = databaseOrClosedStandIn();
    block(db.get());
  });
}

void SQDatabaseQueue::beginTransaction(bool useDeferred, const TransactionBlock& block) {
  run([&] {
    const auto db = databaseOrClosedStandIn();
    bool shouldRollback = false;
    bool began = false;
    if (db->sqliteHandle()) began = useDeferred ? db->beginDeferredTransaction() : db->beginTransaction();
    {
      SQRollbackGuard undo(began ? db.get() : nullptr, std::nullopt);
      block(db.get(), &shouldRollback);
      undo.dismiss();
    }
    if (db->sqliteHandle()) {
      if (shouldRollback) {
        db->rollback();
      } else {
        db->commit();
      }
    }
  });
}

std::optional<plat::Error> SQDatabaseQueue::inSavePoint(const TransactionBlock& block) {
  std::optional<plat::Error> result;
  run([&] {
    const std::string name = plat::format("savePoint%ld", gQueueSavePointIdx.fetch_add(1));
    const auto db = database();
    bool shouldRollback = false;
    if (!db) {
      // No savepoint to start, so no block to run: the caller must know.
      result = plat::Error::withDescription(
          "SQDatabase", SQLITE_CANTOPEN, plat::format("SQDatabaseQueue could not reopen database for path %@", path()));
      return;
    }
    plat::Error err;
    if (!db->startSavePointWithName(name, &err)) {
      result = err;
      return;
    }
    {
      SQRollbackGuard undo(db.get(), name);
      block(db.get(), &shouldRollback);
      undo.dismiss();
    }
    // Released after a rollback too, so an outermost savepoint does not leave
    // its transaction open.
    bool ok = !shouldRollback || db->rollbackToSavePointWithName(name, &err);
    ok = db->releaseSavePointWithName(name, ok ? &err : nullptr) && ok;
    if (!ok) result = err;
  });
  return result;
}
