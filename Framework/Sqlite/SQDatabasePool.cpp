#include "Framework/Sqlite/SQDatabasePool.h"

#include <algorithm>
#include <atomic>

#include "platform/foundation/format.h"
#include "platform/foundation/log.h"

namespace {
// Process-wide, shared by every pool, as the savepoint names need only differ.
std::atomic<long> savePointIdx{0};

bool contains(const std::vector<std::shared_ptr<SQDatabase>>& list, const SQDatabase* db) {
  return std::any_of(list.begin(), list.end(), [&](const auto& d) { return d.get() == db; });
}
void removeFrom(std::vector<std::shared_ptr<SQDatabase>>& list, const SQDatabase* db) {
  list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& d) { return d.get() == db; }), list.end());
}

// Puts a connection back on every way out of a block, throwing ones included.
struct PushBack {
  SQDatabasePool& pool;
  std::shared_ptr<SQDatabase> db;
  ~PushBack() {
    try {
      pool.pushDatabaseBackInPool(db);
    } catch (const plat::Exception& e) {
      // The block released it already (releaseAllDatabases): nothing to return.
      plat::log("%@: %@", e.name(), e.reason());
    }
  }
};
}  // namespace

SQDatabasePool::SQDatabasePool(std::string path) : _path(std::move(path)) {
  _lockQueue = std::make_unique<plat::SerialQueue>(plat::format("sqdb.%@", description()));
}

SQDatabasePool::~SQDatabasePool() { _delegate = nullptr; }

std::string SQDatabasePool::description() const {
  return plat::format("<SQDatabasePool: %p>", static_cast<const void*>(this));
}

void SQDatabasePool::executeLocked(const std::function<void()>& block) { _lockQueue->sync(block); }

std::shared_ptr<SQDatabase> SQDatabasePool::db() {
  std::shared_ptr<SQDatabase> db;
  executeLocked([&] {
    bool reused = false;
    if (!_databaseInPool.empty()) {
      db = _databaseInPool.back();
      _databaseInPool.pop_back();
      _databaseOutPool.push_back(db);
      reused = true;
    } else {
      const size_t open = _databaseOutPool.size() + _databaseInPool.size();
      if (_maximumNumberOfDatabasesToCreate && open >= _maximumNumberOfDatabasesToCreate) {
        plat::log("Maximum number of databases (%ld) has already been reached!", static_cast<long>(open));
        return;
      }
      db = SQDatabase::databaseWithPath(_path);
    }
    // A connection that cannot be opened or is refused is forgotten as well
    // as closed, so it is neither counted nor handed out again.
    if (!db->open()) {
      plat::log("Could not open up the database at path %@", _path);
      if (reused) removeFrom(_databaseOutPool, db.get());
      db.reset();
      return;
    }
    if (_delegate && !_delegate->databasePool(*this, *db)) {
      db->close();
      removeFrom(_databaseOutPool, db.get());
      db.reset();
      return;
    }
    if (!contains(_databaseOutPool, db.get())) _databaseOutPool.push_back(db);
  });
  return db;
}

void SQDatabasePool::pushDatabaseBackInPool(const std::shared_ptr<SQDatabase>& db) {
  if (!db) return;
  executeLocked([&] {
    if (contains(_databaseInPool, db.get()))
      throw plat::Exception("Database already in pool",
                            "The SQDatabase being put back into the pool is already present in the pool");
    // A stranger (another pool's, or one released by releaseAllDatabases)
    // must not be handed to the next caller.
    if (!contains(_databaseOutPool, db.get()))
      throw plat::Exception("Database not from pool",
                            "The SQDatabase being put back into the pool was not handed out by this pool");
    _databaseInPool.push_back(db);
    removeFrom(_databaseOutPool, db.get());
  });
}

size_t SQDatabasePool::countOfCheckedInDatabases() {
  size_t n = 0;
  executeLocked([&] { n = _databaseInPool.size(); });
  return n;
}

size_t SQDatabasePool::countOfCheckedOutDatabases() {
  size_t n = 0;
  executeLocked([&] { n = _databaseOutPool.size(); });
  return n;
}

size_t SQDatabasePool::countOfOpenDatabases() {
  size_t n = 0;
  executeLocked([&] { n = _databaseOutPool.size() + _databaseInPool.size(); });
  return n;
}

void SQDatabasePool::releaseAllDatabases() {
  executeLocked([&] {
    _databaseOutPool.clear();
    _databaseInPool.clear();
  });
}

void SQDatabasePool::inDatabase(const std::function<void(SQDatabase* db)>& block) {
  PushBack guard{*this, db()};
  block(guard.db.get());
}

void SQDatabasePool::beginTransaction(bool useDeferred,
                                      const std::function<void(SQDatabase* db, bool* rollback)>& block) {
  PushBack guard{*this, db()};
  SQDatabase* d = guard.db.get();
  if (d) {
    if (useDeferred) {
      d->beginDeferredTransaction();
    } else {
      d->beginTransaction();
    }
  }
  bool shouldRollback = false;
  try {
    block(d, &shouldRollback);
  } catch (...) {
    if (d) d->rollback();
    throw;
  }
  if (!d) return;
  if (shouldRollback) {
    d->rollback();
  } else {
    d->commit();
  }
}

std::optional<plat::Error> SQDatabasePool::inSavePoint(
    const std::function<void(SQDatabase* db, bool* rollback)>& block) {
  const std::string name = plat::format("savePoint%ld", savePointIdx++);
  PushBack guard{*this, db()};
  SQDatabase* d = guard.db.get();
  plat::Error err;
  // No connection to hand out (the limit is reached): the block never ran,
  // which the caller must not take for success.
  if (!d) return plat::Error::withDescription("SQDatabasePool", SQLITE_CANTOPEN, "No database connection to hand out");
  if (!d->startSavePointWithName(name, &err)) return err;
  bool shouldRollback = false;
  try {
    block(d, &shouldRollback);
  } catch (...) {
    plat::Error ignored;
    d->rollbackToSavePointWithName(name, &ignored);
    d->releaseSavePointWithName(name, &ignored);
    throw;
  }
  if (shouldRollback) {
    // Rolled back to, the savepoint still stands: release it too, or the
    // connection would go back to the pool inside a transaction.
    if (!d->rollbackToSavePointWithName(name, &err)) return err;
    plat::Error ignored;
    d->releaseSavePointWithName(name, &ignored);
  } else if (!d->releaseSavePointWithName(name, &err)) {
    return err;
  }
  return std::nullopt;
}
