#include "app/sync/LastSyncdb.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "app/sync/sync_test_util.h"

namespace {

using synctest::Raw;
using synctest::Rows;
using synctest::TempDir;

TEST(LastSyncdb, ANewFileHasBothTablesAndReadsEmpty) {
  TempDir dir;
  LastSyncdb db(dir.file("qvmountex.db"));
  EXPECT_EQ(db.getsyncpath(1), "");
  EXPECT_EQ(db.getchangeold(), 0);
  EXPECT_EQ(db.gettemppath(), "");
  EXPECT_EQ(db.getdateline(), 0);
  db.close();
  Raw raw(dir.file("qvmountex.db"));
  EXPECT_EQ(raw.column("select name from sqlite_master where type='table' order by name"),
            (std::vector<std::string>{"TEMPPATH", "mount"}));
  EXPECT_EQ(raw.column("select name from pragma_table_info('mount')"),
            (std::vector<std::string>{"userid", "syncpath", "changeold", "dateline"}));
}

TEST(LastSyncdb, AnOlderMountTableGainsItsColumnsAndKeepsItsRows) {
  TempDir dir;
  const std::string path = dir.file("qvmountex.db");
  {
    Raw raw(path);
    raw.exec("CREATE TABLE mount(userid int,syncpath char [2000],PRIMARY KEY(userid));"
             "insert into mount values(5,'/home/u/Quorva');");
  }
  LastSyncdb db(path);
  EXPECT_EQ(db.getsyncpath(5), "/home/u/Quorva");
  db.close();
  Raw raw(path);
  EXPECT_EQ(raw.rows("select userid,syncpath,changeold,dateline from mount"),
            (Rows{{"5", "/home/u/Quorva", "0", "0"}}));
}

TEST(LastSyncdb, SettersKeepOneRowPerUserAndQuotesIntact) {
  TempDir dir;
  LastSyncdb db(dir.file("qvmountex.db"));
  db.setsyncpath(1, "/home/u/it's");
  EXPECT_EQ(db.getchangeold(), 0);  // NULL reads as 0
  EXPECT_EQ(db.getdateline(), 0);
  db.setsyncpath(1, "/home/u/中文 '%_");
  db.setsyncpath(2, "/other");
  EXPECT_EQ(db.getsyncpath(1), "/home/u/中文 '%_");
  EXPECT_EQ(db.getsyncpath(2), "/other");
  EXPECT_EQ(db.getsyncpath(3), "");

  db.setchangeold(1);
  db.setdateline(1700000000123);
  EXPECT_EQ(db.getchangeold(), 1);
  EXPECT_EQ(db.getdateline(), 1700000000123);

  db.settemppath("/a/");
  db.settemppath("/b/'x'/");
  EXPECT_EQ(db.gettemppath(), "/b/'x'/");
  db.close();
  Raw raw(dir.file("qvmountex.db"));
  EXPECT_EQ(raw.rows("select userid,changeold,dateline from mount order by userid"),
            (Rows{{"1", "1", "1700000000123"}, {"2", "1", "1700000000123"}}));
  EXPECT_EQ(raw.column("select path from TEMPPATH"), std::vector<std::string>{"/b/'x'/"});
}

TEST(LastSyncdb, WithoutAFileEverythingIsEmpty) {
  TempDir dir;
  LastSyncdb db(dir.file("no/such/folder/x.db"));
  db.setsyncpath(1, "/x");
  db.settemppath("/y");
  EXPECT_EQ(db.getsyncpath(1), "");
  EXPECT_EQ(db.gettemppath(), "");
  EXPECT_EQ(db.getchangeold(), 0);
}

}  // namespace
