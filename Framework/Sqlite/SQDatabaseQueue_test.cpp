#include "Framework/Sqlite/SQDatabaseQueue.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "Framework/Sqlite/sq_test_util.h"
#include "platform/foundation/log.h"

namespace {

int countRows(SQDatabase* db, const std::string& sql) {
  auto rs = db ? db->executeQuery(sql) : nullptr;
  int n = rs && rs->next() ? rs->intForColumnIndex(0) : -1;
  if (rs) rs->close();
  return n;
}

TEST(SQDatabaseQueue, MissingFolderGivesNoQueue) {
  sqtest::TempDir dir;
  plat::LogCapture log;
  const std::string path = dir.file("missing/sync.db");
  EXPECT_EQ(nullptr, SQDatabaseQueue::databaseQueueWithPath(path));
  EXPECT_TRUE(log.contains("Could not create database queue for path " + path));
}

using MakeQueue = std::shared_ptr<SQDatabaseQueue> (*)(const std::string&);
const MakeQueue kBothKinds[] = {&SQDatabaseQueue::databaseQueueWithPath,
                                &SQDatabaseQueue::databaseQueueWithPathUnlocked};

// Created, altered, then written and read from 8 threads through one queue,
// of either kind.
TEST(SQDatabaseQueue, EightThreadsThroughOneQueue) {
  for (const MakeQueue make : kBothKinds) {
    sqtest::TempDir dir;
    auto queue = make(dir.file("sync.db"));
    ASSERT_TRUE(queue);
    EXPECT_EQ("sqdb." + queue->description(), queue->queueName());
    EXPECT_TRUE(std::filesystem::exists(dir.file("sync.db")));
    queue->inDatabase([](SQDatabase* db) {
      ASSERT_TRUE(db);
      EXPECT_TRUE(db->executeUpdate("create table files (path text, thread integer)"));
      EXPECT_TRUE(db->executeUpdate("alter table files add column size integer default 0"));
      EXPECT_FALSE(db->executeUpdate("alter table files add column size integer default 0"));
      EXPECT_EQ("duplicate column name: size", db->lastErrorMessage());
    });

    constexpr int kThreads = 8, kRows = 60;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kRows; ++i) {
          queue->inDatabase([&](SQDatabase* db) {
            if (inside.fetch_add(1) != 0) overlapped = true;
            EXPECT_TRUE(db->executeUpdate("insert into files (path, thread, size) values (?, ?, ?)",
                                          "/t" + std::to_string(t) + "/" + std::to_string(i), t, i));
            EXPECT_EQ(i + 1, countRows(db, "select count(*) from files where thread = " + std::to_string(t)));
            inside.fetch_sub(1);
          });
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(overlapped);
    queue->inDatabase([&](SQDatabase* db) {
      EXPECT_EQ(kThreads * kRows, countRows(db, "select count(*) from files"));
      EXPECT_EQ(kThreads * kRows, countRows(db, "select count(distinct path) from files"));
      EXPECT_EQ(kThreads * (kRows * (kRows - 1) / 2), countRows(db, "select sum(size) from files"));
    });
    queue->close();
  }
}

// An unlocked queue's connection goes without SQLite's own lock, also when
// it is opened again after a close; the other kind keeps the lock.
TEST(SQDatabaseQueue, AnUnlockedQueueOpensEveryConnectionWithoutSQLitesLock) {
  sqtest::TempDir dir;
  for (const bool unlocked : {false, true}) {
    SCOPED_TRACE(unlocked);
    const std::string file = dir.file(unlocked ? "unlocked.db" : "locked.db");
    auto queue =
        unlocked ? SQDatabaseQueue::databaseQueueWithPathUnlocked(file) : SQDatabaseQueue::databaseQueueWithPath(file);
    ASSERT_TRUE(queue);
    for (int round = 0; round < 2; ++round) {
      queue->inDatabase([&](SQDatabase* db) {
        ASSERT_TRUE(db && db->sqliteHandle());
        EXPECT_EQ(sqlite3_db_mutex(db->sqliteHandle()) == nullptr, unlocked) << round;
        EXPECT_TRUE(db->executeUpdate("create table if not exists t (v integer)"));
        EXPECT_TRUE(db->executeUpdate("insert into t values (?)", round));
        EXPECT_EQ(round + 1, countRows(db, "select count(*) from t"));
      });
      queue->close();
    }
  }
}

TEST(SQDatabaseQueue, CloseThenReopenSeesTheSameData) {
  sqtest::TempDir dir;
  auto queue = SQDatabaseQueue::databaseQueueWithPath(dir.file("m.db"));
  ASSERT_TRUE(queue);
  queue->inDatabase([](SQDatabase* db) {
    ASSERT_TRUE(db->executeUpdate("create table m (k text, v text)"));
    ASSERT_TRUE(db->executeUpdate("insert into m values (?, ?)", "key", "value"));
  });
  const auto before = queue->database();
  queue->close();
  EXPECT_EQ(nullptr, before->sqliteHandle());
  queue->inDatabase([&](SQDatabase* db) {
    ASSERT_TRUE(db);
    EXPECT_NE(before.get(), db);
    auto rs = db->executeQuery("select v from m where k = ?", "key");
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ("value", rs->stringForColumn("v"));
    rs->close();
  });
}

TEST(SQDatabaseQueue, ReopenFailureGivesTheBlockNoDatabase) {
  sqtest::TempDir dir;
  std::filesystem::create_directory(dir.path() / "mount");
  const std::string path = dir.file("mount/sync.db");
  auto queue = SQDatabaseQueue::databaseQueueWithPath(path);
  ASSERT_TRUE(queue);
  queue->close();
  std::filesystem::remove_all(dir.path() / "mount");

  plat::LogCapture log;
  bool ran = false;
  queue->inDatabase([&](SQDatabase* db) {
    ran = true;
    ASSERT_NE(nullptr, db);  // a connection that is not open: statements do nothing
    EXPECT_FALSE(db->executeQuery("select 1"));
    EXPECT_FALSE(db->executeUpdate("create table y (a)"));
    EXPECT_FALSE(db->goodConnection());
    EXPECT_EQ(0, db->changes());
    EXPECT_EQ(0, db->lastInsertRowId());
  });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(log.contains("SQDatabaseQueue could not reopen database for path " + path));
  EXPECT_EQ(nullptr, queue->database());

  bool inTransaction = false;
  // Transactions still run their block, with no database; savepoints report
  // that they could not.
  queue->inTransaction([&](SQDatabase* db, bool*) { inTransaction = db && !db->executeUpdate("create table z (a)"); });
  EXPECT_TRUE(inTransaction);
  bool inSavePoint = false;
  const auto refused = queue->inSavePoint([&](SQDatabase*, bool*) { inSavePoint = true; });
  EXPECT_FALSE(inSavePoint);
  ASSERT_TRUE(refused);
  EXPECT_EQ("SQDatabase", refused->domain());
  EXPECT_EQ(SQLITE_CANTOPEN, refused->code());
  EXPECT_EQ("SQDatabaseQueue could not reopen database for path " + path, refused->localizedDescription());

  // Once the folder is back, the next block reopens the file.
  std::filesystem::create_directory(dir.path() / "mount");
  queue->inDatabase([](SQDatabase* db) {
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->executeUpdate("create table x (a)"));
  });
}

TEST(SQDatabaseQueue, ReentryRaisesInsteadOfDeadlocking) {
  sqtest::TempDir dir;
  auto queue = SQDatabaseQueue::databaseQueueWithPath(dir.file("q.db"));
  ASSERT_TRUE(queue);
  bool innerRan = false;
  EXPECT_THROW(queue->inDatabase([&](SQDatabase*) { queue->inDatabase([&](SQDatabase*) { innerRan = true; }); }),
               plat::Exception);
  EXPECT_FALSE(innerRan);
  EXPECT_THROW(queue->inDatabase([&](SQDatabase*) { queue->close(); }), plat::Exception);
  // The queue goes on working, and other queues may nest inside its blocks.
  auto other = SQDatabaseQueue::databaseQueueWithPath(dir.file("other.db"));
  ASSERT_TRUE(other);
  bool nested = false;
  queue->inDatabase([&](SQDatabase* db) {
    EXPECT_TRUE(db->executeUpdate("create table a (v)"));
    other->inDatabase([&](SQDatabase* odb) { nested = odb && odb->goodConnection(); });
  });
  EXPECT_TRUE(nested);
}

TEST(SQDatabaseQueue, TransactionsCommitOrRollBack) {
  sqtest::TempDir dir;
  auto queue = SQDatabaseQueue::databaseQueueWithPath(dir.file("tx.db"));
  ASSERT_TRUE(queue);
  queue->inDatabase([](SQDatabase* db) { ASSERT_TRUE(db->executeUpdate("create table t (v)")); });
  queue->inTransaction([](SQDatabase* db, bool*) { db->executeUpdate("insert into t values (1)"); });
  queue->inDeferredTransaction([](SQDatabase* db, bool* rollback) {
    db->executeUpdate("insert into t values (2)");
    *rollback = true;
  });
  EXPECT_EQ(std::nullopt, queue->inSavePoint([](SQDatabase* db, bool* rollback) {
    db->executeUpdate("insert into t values (3)");
    *rollback = true;
  }));
  EXPECT_EQ(std::nullopt,
            queue->inSavePoint([](SQDatabase* db, bool*) { db->executeUpdate("insert into t values (4)"); }));
  queue->close();
  queue->inDatabase([](SQDatabase* db) {
    EXPECT_EQ(2, countRows(db, "select count(*) from t"));
    EXPECT_EQ(5, countRows(db, "select sum(v) from t"));
    EXPECT_FALSE(db->inTransaction());
  });
}

// A block that throws inside a transaction or a savepoint leaves none open:
// the file is free for another connection, its write is undone, and the next
// transaction commits only its own writes.
TEST(SQDatabaseQueue, ThrowingBlocksRollBackBeforeTheExceptionLeaves) {
  using Form = std::function<void(SQDatabaseQueue&, const std::function<void(SQDatabase*)>&)>;
  const std::pair<const char*, Form> forms[] = {
      {"inTransaction", [](SQDatabaseQueue& q, const auto& body) { q.inTransaction([&](SQDatabase* db, bool*) { body(db); }); }},
      {"inDeferredTransaction",
       [](SQDatabaseQueue& q, const auto& body) { q.inDeferredTransaction([&](SQDatabase* db, bool*) { body(db); }); }},
      {"queue inSavePoint", [](SQDatabaseQueue& q, const auto& body) { q.inSavePoint([&](SQDatabase* db, bool*) { body(db); }); }},
      {"connection inSavePoint",
       [](SQDatabaseQueue& q, const auto& body) {
         q.inDatabase([&](SQDatabase* db) { db->inSavePoint([&](bool*) { body(db); }); });
       }},
  };
  for (const auto& [what, form] : forms) {
    SCOPED_TRACE(what);
    sqtest::TempDir dir;
    auto queue = SQDatabaseQueue::databaseQueueWithPath(dir.file("tx.db"));
    ASSERT_TRUE(queue);
    queue->inDatabase([](SQDatabase* db) { ASSERT_TRUE(db->executeUpdate("create table t (v)")); });
    EXPECT_THROW(form(*queue,
                      [](SQDatabase* db) {
                        EXPECT_TRUE(db->executeUpdate("insert into t values (1)"));
                        throw std::runtime_error("block failed");
                      }),
                 std::runtime_error);

    // Another connection (the plug-in's reader) can take the file at once.
    auto other = SQDatabase::databaseWithPath(dir.file("tx.db"));
    ASSERT_TRUE(other->open());
    other->setBusyRetryTimeout(2);
    EXPECT_TRUE(other->beginTransaction());
    EXPECT_TRUE(other->rollback());
    ASSERT_TRUE(other->close());

    queue->inDatabase([](SQDatabase* db) {
      EXPECT_NE(0, sqlite3_get_autocommit(db->sqliteHandle()));
      EXPECT_FALSE(db->inTransaction());
    });
    queue->inTransaction([](SQDatabase* db, bool*) { EXPECT_TRUE(db->executeUpdate("insert into t values (2)")); });
    queue->close();
    queue->inDatabase([](SQDatabase* db) { EXPECT_EQ(2, countRows(db, "select sum(v) from t")); });
  }
}

// A DROP TABLE under the queue's own open result set fails at once; the queue
// and the threads waiting on it go on.
TEST(SQDatabaseQueue, SelfLockedStatementDoesNotHangTheQueue) {
  sqtest::TempDir dir;
  auto queue = SQDatabaseQueue::databaseQueueWithPath(dir.file("l.db"));
  ASSERT_TRUE(queue);
  queue->inDatabase([](SQDatabase* db) {
    ASSERT_TRUE(db->executeUpdate("create table t (v)"));
    ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
  });
  std::atomic<bool> waiterRan{false};
  std::thread waiter;
  queue->inDatabase([&](SQDatabase* db) {
    // A thread queued behind this block: it only runs once the block ends.
    waiter = std::thread([&] { queue->inDatabase([&](SQDatabase*) { waiterRan = true; }); });
    auto rs = db->executeQuery("select v from t");
    ASSERT_TRUE(rs && rs->next());
    EXPECT_FALSE(db->executeUpdate("drop table t"));
    EXPECT_EQ(SQLITE_LOCKED, db->lastErrorCode());
    rs->close();
  });
  waiter.join();
  EXPECT_TRUE(waiterRan);
  queue->inDatabase([](SQDatabase* db) { EXPECT_EQ(1, countRows(db, "select count(*) from t")); });
}

}  // namespace
