#include "Framework/Sqlite/SQDatabaseAdditions.h"

#include <gtest/gtest.h>

#include "Framework/Sqlite/sq_test_util.h"
#include "platform/foundation/log.h"

namespace {

using namespace SQDatabaseAdditions;

class AdditionsTest : public ::testing::Test {
protected:
  void SetUp() override {
    db = SQDatabase::databaseWithPath(dir.file("add.db"));
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeUpdate("create table mytable (Name text, Size integer, Ratio real, Blob blob, Flag integer)"));
    ASSERT_TRUE(db->executeUpdate("create table empty (x)"));
  }
  sqtest::TempDir dir;
  std::shared_ptr<SQDatabase> db;
};

TEST_F(AdditionsTest, SingleValueQueries) {
  ASSERT_TRUE(db->executeUpdate("insert into mytable values (?, ?, ?, ?, ?)", "a.txt", 1LL << 40, 0.5,
                                plat::Data{1, 2, 3}, 1));
  EXPECT_EQ(stringForQuery(*db, "select Name from mytable where Size = ?", 1LL << 40), "a.txt");
  EXPECT_EQ(intForQuery(*db, "select Flag from mytable"), 1);
  EXPECT_EQ(longForQuery(*db, "select Size from mytable where Name = ?", "a.txt"), 1LL << 40);
  EXPECT_TRUE(boolForQuery(*db, "select Flag from mytable"));
  EXPECT_DOUBLE_EQ(doubleForQuery(*db, "select Ratio from mytable"), 0.5);
  EXPECT_EQ(dataForQuery(*db, "select Blob from mytable"), (plat::Data{1, 2, 3}));
  ASSERT_TRUE(dateForQuery(*db, "select Size from mytable"));
  EXPECT_EQ(dateForQuery(*db, "select Size from mytable")->secondsSince1970, double(1LL << 40));
  // No row, or no table: the zero values.
  EXPECT_EQ(intForQuery(*db, "select count(*) from empty"), 0);
  EXPECT_EQ(intForQuery(*db, "select count(*) from missing"), 0);
  EXPECT_EQ(stringForQuery(*db, "select Name from mytable where Name = ?", "none"), std::nullopt);
  EXPECT_FALSE(boolForQuery(*db, "select Flag from mytable where 0"));
  EXPECT_EQ(doubleForQuery(*db, "select Ratio from missing"), 0.0);
  EXPECT_FALSE(db->hasOpenResultSets());
}

TEST_F(AdditionsTest, SchemaQueriesIgnoreCaseAndNeverSpliceNames) {
  ASSERT_TRUE(db->executeUpdate("create table MYUPPER (a)"));
  EXPECT_TRUE(tableExists(*db, "MyTable"));
  EXPECT_TRUE(tableExists(*db, "myupper"));
  EXPECT_FALSE(tableExists(*db, "absent"));

  auto schema = getSchema(*db);
  ASSERT_TRUE(schema);
  std::vector<std::string> names;
  while (schema->next()) names.push_back(schema->stringForColumn("name").value_or(""));
  EXPECT_EQ(names, (std::vector<std::string>{"MYUPPER", "empty", "mytable"}));

  EXPECT_TRUE(columnExists(*db, "SIZE", "MYTABLE"));
  EXPECT_TRUE(columnExistsInTable(*db, "mytable", "name"));
  EXPECT_FALSE(columnExists(*db, "other", "mytable"));
  EXPECT_FALSE(db->hasOpenResultSets());

  // A name with a quote is a name, and an attempt at SQL stays a name.
  ASSERT_TRUE(db->executeUpdate("create table \"it's\" (q)"));
  EXPECT_TRUE(columnExists(*db, "q", "it's"));
  EXPECT_TRUE(tableExists(*db, "it's"));
  auto attack = getTableSchema(*db, "mytable'); drop table empty; --");
  if (attack) {
    EXPECT_FALSE(attack->next());
  }
  EXPECT_TRUE(tableExists(*db, "empty"));
  auto info = getTableSchema(*db, "mytable");
  ASSERT_TRUE(info);
  int columns = 0;
  while (info->next()) ++columns;
  EXPECT_EQ(columns, 5);
}

TEST_F(AdditionsTest, ValidateSQLPreparesAndRunsNothing) {
  plat::Error e;
  EXPECT_FALSE(validateSQL(*db, "select * from", &e));
  EXPECT_EQ(e.domain(), "NSCocoaErrorDomain");
  EXPECT_EQ(e.code(), SQLITE_ERROR);
  EXPECT_EQ(e.localizedDescription(), "incomplete input");
  EXPECT_TRUE(validateSQL(*db, "select 1"));
  EXPECT_TRUE(validateSQL(*db, "insert into empty values (1)"));
  EXPECT_EQ(intForQuery(*db, "select count(*) from empty"), 0);
}

TEST_F(AdditionsTest, ValidateSQLStopsAtTheBusyLimit) {
  db->close();
  sqtest::LockHolder holder(dir.file("add.db"), "empty", "held");
  ASSERT_TRUE(holder.locked());
  auto other = SQDatabase::databaseWithPath(dir.file("add.db"));
  ASSERT_TRUE(other->open());
  other->setBusyRetryTimeout(3);
  plat::LogCapture log;
  plat::Error e;
  EXPECT_FALSE(validateSQL(*other, "select * from empty", &e));
  EXPECT_EQ(e.domain(), "NSCocoaErrorDomain");
  EXPECT_TRUE(log.contains("Database busy (" + dir.file("add.db") + ")"));
  EXPECT_EQ(0, holder.release());
  EXPECT_TRUE(validateSQL(*other, "select * from empty"));
}

}  // namespace
