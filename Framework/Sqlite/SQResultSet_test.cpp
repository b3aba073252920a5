#include "Framework/Sqlite/SQResultSet.h"

#include <gtest/gtest.h>

#include <map>

#include "Framework/Sqlite/SQDatabase.h"
#include "Framework/Sqlite/sq_test_util.h"
#include "platform/foundation/log.h"

using plat::Value;

namespace {

class SQResultSetTest : public ::testing::Test {
protected:
  void SetUp() override {
    db = SQDatabase::databaseWithPath(dir.file("rs.db"));
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeUpdate("create table r (id integer, name text, flag, price real, raw blob, empty)"));
    ASSERT_TRUE(db->executeUpdate("insert into r values (?, ?, ?, ?, ?, ?)", 7, "seven", "0", 1.5,
                                  plat::Data{0, 1, 2}, nullptr));
  }
  std::shared_ptr<SQResultSet> row() {
    auto rs = db->executeQuery("select * from r");
    EXPECT_TRUE(rs && rs->next());
    return rs;
  }
  sqtest::TempDir dir;
  std::shared_ptr<SQDatabase> db;
};

TEST_F(SQResultSetTest, AccessorTable) {
  auto rs = row();
  ASSERT_TRUE(rs);
  plat::LogCapture log;
  // NULL column
  EXPECT_EQ(0, rs->intForColumn("empty"));
  EXPECT_EQ(0, rs->longLongIntForColumn("empty"));
  EXPECT_FALSE(rs->boolForColumn("empty"));
  EXPECT_EQ(0.0, rs->doubleForColumn("empty"));
  EXPECT_EQ(std::nullopt, rs->stringForColumn("empty"));
  EXPECT_EQ(std::nullopt, rs->dateForColumn("empty"));
  EXPECT_EQ(std::nullopt, rs->dataForColumn("empty"));
  EXPECT_EQ(std::nullopt, rs->dataNoCopyForColumn("empty"));
  EXPECT_EQ(nullptr, rs->UTF8StringForColumnName("empty"));
  EXPECT_TRUE(rs->objectForColumnName("empty").isNull());
  EXPECT_TRUE(rs->columnIsNull("empty"));
  // text "0" is false; names match without regard to case
  EXPECT_FALSE(rs->boolForColumn("flag"));
  EXPECT_EQ("0", rs->stringForColumn("FLAG"));
  EXPECT_EQ(7, rs->intForColumn("ID"));
  EXPECT_EQ(7, rs->longForColumn("Id"));
  EXPECT_EQ(7u, rs->unsignedLongLongIntForColumn("id"));
  EXPECT_TRUE(rs->boolForColumn("id"));
  EXPECT_EQ("seven", rs->stringForColumn("Name"));
  EXPECT_STREQ("seven", rs->UTF8StringForColumnName("name"));
  EXPECT_EQ(1.5, rs->doubleForColumn("price"));
  EXPECT_EQ(1, rs->intForColumn("price"));
  EXPECT_EQ(1.5, rs->dateForColumn("price")->secondsSince1970);
  EXPECT_EQ((plat::Data{0, 1, 2}), rs->dataForColumn("raw"));
  EXPECT_EQ(3u, rs->dataNoCopyForColumn("raw")->size());
  EXPECT_FALSE(rs->columnIsNull("id"));
  EXPECT_TRUE(log.lines().empty());

  // objectForColumnIndex by column type
  EXPECT_EQ('q', rs->objectForColumnName("id").number().type());
  EXPECT_EQ(Value(7), rs->objectForColumnName("id"));
  EXPECT_EQ('d', rs->objectForColumnName("price").number().type());
  EXPECT_EQ(Value("seven"), rs->objectForColumnName("name"));
  EXPECT_EQ(Value(plat::Data{0, 1, 2}), rs->objectForColumnName("raw"));

  // unknown name: warning with the lowercased name, index -1, neutral values
  EXPECT_EQ(-1, rs->columnIndexForName("X"));
  EXPECT_TRUE(log.contains("Warning: I could not find the column named 'x'."));
  EXPECT_EQ(0, rs->intForColumn("X"));
  EXPECT_EQ(std::nullopt, rs->stringForColumn("X"));
  EXPECT_TRUE(rs->objectForColumnName("X").isNull());
  EXPECT_TRUE(rs->columnIsNull("X"));
  EXPECT_EQ(5u, log.count("Warning: I could not find the column named 'x'."));
  // an index outside the row reads as nothing and leaves the connection's state alone
  EXPECT_EQ(0, rs->intForColumnIndex(99));
  EXPECT_TRUE(rs->objectForColumnIndex(99).isNull());
  EXPECT_TRUE(rs->hasAnotherRow());

  EXPECT_EQ(6, rs->columnCount());
  EXPECT_EQ("price", rs->columnNameForIndex(3));
  EXPECT_FALSE(rs->next());
  EXPECT_EQ(nullptr, rs->statement());  // closed after the last row
  rs->close();                          // harmless
}

TEST_F(SQResultSetTest, NoRowsClosesAtOnce) {
  auto rs = db->executeQuery("select * from r where id = ?", 999);
  ASSERT_TRUE(rs);
  EXPECT_TRUE(db->hasOpenResultSets());
  EXPECT_FALSE(rs->next());
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_EQ(nullptr, rs->parentDB());
  rs->close();
  EXPECT_EQ(0, rs->intForColumn("id"));
}

// A set moved off its connection is no longer the connection's to close.
TEST_F(SQResultSetTest, DetachedSetLeavesTheConnectionsList) {
  auto rs = row();
  ASSERT_TRUE(rs);
  rs->setParentDB(nullptr);
  EXPECT_FALSE(db->hasOpenResultSets());
  rs.reset();
  EXPECT_TRUE(db->close());
}

TEST_F(SQResultSetTest, DuplicateNamesLaterWins) {
  auto rs = db->executeQuery("select 1 as a, 2 as A");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(2, rs->intForColumn("a"));
  auto d = rs->resultDictionary();
  ASSERT_TRUE(d);
  EXPECT_EQ(Value(1), (*d)["a"]);
  EXPECT_EQ(Value(2), (*d)["A"]);
  auto lower = rs->resultDict();
  ASSERT_TRUE(lower);
  EXPECT_EQ(1u, lower->size());
  EXPECT_EQ(Value(2), (*lower)["a"]);
  rs->close();
}

TEST_F(SQResultSetTest, RowDictionaries) {
  auto rs = row();
  ASSERT_TRUE(rs);
  auto dict = rs->resultDictionary();
  ASSERT_TRUE(dict);
  EXPECT_EQ(6u, dict->size());
  EXPECT_EQ(Value("seven"), (*dict)["name"]);
  EXPECT_TRUE((*dict)["empty"].isNull());
  std::map<std::string, std::string> kvc;
  rs->kvcMagic([&](const std::string& k, const std::string& v) { kvc[k] = v; });
  EXPECT_EQ(5u, kvc.size());  // the NULL column is skipped
  EXPECT_EQ("seven", kvc["name"]);
  EXPECT_EQ("7", kvc["id"]);
  rs->close();

  plat::LogCapture log;
  EXPECT_EQ(std::nullopt, rs->resultDict());
  EXPECT_EQ(std::nullopt, rs->resultDictionary());
  EXPECT_EQ(2u, log.count("Warning: There seem to be no columns in this set."));
}

TEST_F(SQResultSetTest, InvalidUTF8ReadsAsNothing) {
  ASSERT_TRUE(db->executeUpdate("create table b (s text)"));
  ASSERT_TRUE(db->executeUpdate("insert into b values (cast(x'C328' as text))"));
  ASSERT_TRUE(db->executeUpdate("insert into b values (cast(x'EDA080' as text))"));  // a surrogate
  auto rs = db->executeQuery("select s from b");
  ASSERT_TRUE(rs);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(std::nullopt, rs->stringForColumn("s"));
    EXPECT_TRUE(rs->objectForColumnIndex(0).isNull());
    EXPECT_NE(nullptr, rs->UTF8StringForColumnIndex(0));
  }
  rs->close();
}

}  // namespace
