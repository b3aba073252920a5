#include "Framework/Sqlite/SQDatabasePool.h"

#include <thread>

#include <gtest/gtest.h>

#include "Framework/Sqlite/SQDatabaseAdditions.h"
#include "Framework/Sqlite/SQResultSet.h"
#include "Framework/Sqlite/sq_test_util.h"
#include "platform/foundation/log.h"

namespace {

class PoolTest : public ::testing::Test {
protected:
  void SetUp() override {
    pool = SQDatabasePool::databasePoolWithPath(dir.file("pool.db"));
    pool->inDatabase([](SQDatabase* db) {
      ASSERT_NE(db, nullptr);
      ASSERT_TRUE(db->executeUpdate("create table t (v integer)"));
    });
  }
  int rows() {
    int n = -1;
    pool->inDatabase([&](SQDatabase* db) { n = SQDatabaseAdditions::intForQuery(*db, "select count(*) from t"); });
    return n;
  }
  sqtest::TempDir dir;
  std::shared_ptr<SQDatabasePool> pool;
};

TEST_F(PoolTest, ReusesOneConnectionForCallsInARow) {
  SQDatabase* first = nullptr;
  SQDatabase* second = nullptr;
  pool->inDatabase([&](SQDatabase* db) { first = db; });
  pool->inDatabase([&](SQDatabase* db) { second = db; });
  EXPECT_EQ(first, second);
  EXPECT_EQ(pool->countOfOpenDatabases(), 1u);
  EXPECT_EQ(pool->countOfCheckedInDatabases(), 1u);
  EXPECT_EQ(pool->countOfCheckedOutDatabases(), 0u);
}

TEST_F(PoolTest, LimitOfConnections) {
  pool->setMaximumNumberOfDatabasesToCreate(2);
  auto a = pool->db();
  auto b = pool->db();
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  plat::LogCapture log;
  EXPECT_EQ(pool->db(), nullptr);
  EXPECT_TRUE(log.contains("Maximum number of databases (2) has already been reached!"));
  // A savepoint with no connection to run on fails, and its block never runs.
  bool ran = false;
  auto err = pool->inSavePoint([&](SQDatabase*, bool*) { ran = true; });
  ASSERT_TRUE(err);
  EXPECT_EQ(err->domain(), "SQDatabasePool");
  EXPECT_FALSE(ran);
  pool->pushDatabaseBackInPool(b);
  EXPECT_EQ(pool->db(), b);  // last in, first out
  EXPECT_EQ(pool->countOfCheckedOutDatabases(), 2u);
}

TEST_F(PoolTest, RefusesWhatItDidNotHandOut) {
  auto a = pool->db();
  pool->pushDatabaseBackInPool(a);
  try {
    pool->pushDatabaseBackInPool(a);
    ADD_FAILURE() << "pushed twice";
  } catch (const plat::Exception& e) {
    EXPECT_EQ(e.name(), "Database already in pool");
    EXPECT_EQ(e.reason(), "The SQDatabase being put back into the pool is already present in the pool");
  }
  auto stranger = SQDatabase::databaseWithPath(dir.file("pool.db"));
  ASSERT_TRUE(stranger->open());
  EXPECT_THROW(pool->pushDatabaseBackInPool(stranger), plat::Exception);
  EXPECT_EQ(pool->countOfCheckedInDatabases(), 1u);
  EXPECT_NE(pool->db(), stranger);
  pool->pushDatabaseBackInPool(nullptr);  // nothing
}

class Refuser : public SQDatabasePoolDelegate {
public:
  bool databasePool(SQDatabasePool&, SQDatabase& db) override {
    seen.push_back(&db);
    return allow;
  }
  bool allow = false;
  std::vector<SQDatabase*> seen;
};

TEST_F(PoolTest, ARefusedConnectionIsClosedAndForgotten) {
  auto free = pool->db();
  pool->pushDatabaseBackInPool(free);
  Refuser refuser;
  pool->setDelegate(&refuser);
  // Refused on reuse: the free connection is closed and gone from both lists.
  EXPECT_EQ(pool->db(), nullptr);
  EXPECT_EQ(free->sqliteHandle(), nullptr);
  EXPECT_EQ(pool->countOfOpenDatabases(), 0u);
  // Refused when new.
  EXPECT_EQ(pool->db(), nullptr);
  EXPECT_EQ(pool->countOfOpenDatabases(), 0u);
  ASSERT_EQ(refuser.seen.size(), 2u);
  EXPECT_EQ(refuser.seen[0], free.get());
  refuser.allow = true;
  auto ok = pool->db();
  ASSERT_TRUE(ok);
  EXPECT_NE(ok->sqliteHandle(), nullptr);
  EXPECT_EQ(pool->countOfCheckedOutDatabases(), 1u);
  pool->setDelegate(nullptr);
}

TEST_F(PoolTest, OpenFailureHandsOutNothing) {
  auto bad = SQDatabasePool::databasePoolWithPath(dir.file("missing/folder/x.db"));
  plat::LogCapture log;
  EXPECT_EQ(bad->db(), nullptr);
  EXPECT_TRUE(log.contains("Could not open up the database at path " + dir.file("missing/folder/x.db")));
  EXPECT_EQ(bad->countOfOpenDatabases(), 0u);
  bool called = false;
  bad->inDatabase([&](SQDatabase* db) {
    called = true;
    EXPECT_EQ(db, nullptr);
  });
  EXPECT_TRUE(called);
}

TEST_F(PoolTest, TransactionsCommitRollBackAndSurviveAThrow) {
  pool->inTransaction([](SQDatabase* db, bool*) { db->executeUpdate("insert into t values (1)"); });
  pool->inDeferredTransaction([](SQDatabase* db, bool* rollback) {
    db->executeUpdate("insert into t values (2)");
    *rollback = true;
  });
  EXPECT_EQ(rows(), 1);
  EXPECT_THROW(pool->inTransaction([](SQDatabase* db, bool*) {
    db->executeUpdate("insert into t values (3)");
    throw std::runtime_error("block failed");
  }),
               std::runtime_error);
  EXPECT_EQ(rows(), 1);
  EXPECT_EQ(pool->countOfCheckedOutDatabases(), 0u);
  pool->inDatabase([](SQDatabase* db) { EXPECT_FALSE(db->inTransaction()); });

  EXPECT_FALSE(pool->inSavePoint([](SQDatabase* db, bool* rollback) {
    db->executeUpdate("insert into t values (4)");
    *rollback = true;
  }));
  EXPECT_FALSE(pool->inSavePoint([](SQDatabase* db, bool*) { db->executeUpdate("insert into t values (5)"); }));
  EXPECT_EQ(rows(), 2);
  // After a rolled-back savepoint the connection is not left in a transaction.
  pool->inTransaction([](SQDatabase* db, bool*) { EXPECT_TRUE(db->executeUpdate("insert into t values (6)")); });
  EXPECT_EQ(rows(), 3);
}

TEST_F(PoolTest, ManyThreadsEachWithTheirOwnConnection) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&, i] {
      for (int j = 0; j < 15; ++j) {
        pool->inDatabase([&](SQDatabase* db) {
          ASSERT_NE(db, nullptr);
          EXPECT_TRUE(db->executeUpdate("insert into t values (?)", i * 100 + j));
        });
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(rows(), 90);
  EXPECT_EQ(pool->countOfCheckedOutDatabases(), 0u);
  EXPECT_LE(pool->countOfOpenDatabases(), 6u);
  pool->releaseAllDatabases();
  EXPECT_EQ(pool->countOfOpenDatabases(), 0u);
}

}  // namespace
