#include "app/sync/Syncdb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Framework/Sqlite/SQDatabaseQueue.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/sync/sync_test_util.h"
#include "platform/foundation/clock.h"
#include "platform/system/system_test_util.h"

namespace {

using synctest::Raw;
using synctest::Rows;
using synctest::TempDir;

SyncFileItem row(const std::string& path, int64_t status, bool file = true, const std::string& hash = "") {
  SyncFileItem it;
  it.webpath = path;
  const auto slash = path.rfind('/');
  it.parent = slash == std::string::npos ? "" : path.substr(0, slash);
  it.status = status;
  it.file = file;
  it.filehash = hash;
  return it;
}

std::vector<std::string> paths(const std::vector<SyncFileItem>& items) {
  std::vector<std::string> out;
  for (const auto& it : items) out.push_back(it.webpath);
  return out;
}

class SyncdbTest : public ::testing::Test {
protected:
  std::string file() const { return dir_.file("qvsyncdbex.db"); }
  Syncdb& db() {
    if (!db_) db_ = std::make_unique<Syncdb>(file());
    return *db_;
  }
  void add(std::initializer_list<SyncFileItem> items) {
    for (const auto& it : items) ASSERT_TRUE(db().add_new_file(it)) << it.webpath;
  }
  // Every path of SYNC, sorted, read by a second connection.
  std::vector<std::string> stored() {
    Raw raw(file());
    return raw.column("select path from SYNC order by path");
  }
  std::string statusOf(const std::string& path) {
    Raw raw(file());
    auto r = raw.rows("select status from SYNC where path='" + path + "'");
    return r.empty() ? "none" : r[0][0];
  }

  TempDir dir_;
  std::unique_ptr<Syncdb> db_;
};

// ---------------------------------------------------------------------------
// Schema, opening and migration

TEST_F(SyncdbTest, FreshFileHasTheSharedSchemaAndItsVersionOnce) {
  db();
  db_->close();
  db_ = std::make_unique<Syncdb>(file());  // opening again changes nothing
  db_->close();
  Raw raw(file());
  EXPECT_EQ(raw.column("select name from sqlite_master where type='table' order by name"),
            (std::vector<std::string>{"HISTORY", "LINKNODE", "MENU", "SYNC", "SYNCEDNOW", "SYNCNODES", "VERSION",
                                      "sqlversion"}));
  EXPECT_EQ(raw.column("select version from sqlversion"), std::vector<std::string>{"1.0.0.3"});
  EXPECT_EQ(raw.column("select name from pragma_table_info('SYNC')"),
            (std::vector<std::string>{"path", "parent", "type", "filehash", "filesize", "last", "status", "version",
                                      "memberid", "membername", "diskversion", "lock", "actlast"}));
  EXPECT_EQ(raw.column("select name from pragma_table_info('VERSION')"),
            (std::vector<std::string>{"path", "version", "dateline", "changekey", "synctype", "local", "org"}));
  // A reader in another process is never blocked by the writer.
  EXPECT_EQ(raw.column("pragma journal_mode"), std::vector<std::string>{"wal"});
}

// Older files, made with SQL as the clients of each version left them.
struct Fixture {
  const char* name;
  const char* schema;  // besides SYNC and SYNCNODES, which every version has
  bool dataSteps;      // excluded rows marked 7
  bool lockStep;       // the user's own locks become 2
};

TEST_F(SyncdbTest, FilesOfEveryOlderVersionMigrateKeepingTheirRows) {
  // The lock step takes the signed-in user's id from the application object.
  plat::testing::TempHome home;
  auto user = std::make_shared<UserData>();
  user->setUserID(42);
  Util::getAppDelegate().setUserdata(user);
  struct Restore {
    ~Restore() { Util::getAppDelegate().setUserdata(nullptr); }
  } restore;
  const Fixture fixtures[] = {
      {"no sqlversion, short VERSION",
       "CREATE TABLE VERSION(path varchar[1000],version int,dateline int,PRIMARY KEY (path));"
       "CREATE TABLE SYNCEDNOW(path varchar[1000],PRIMARY KEY(path));"
       "insert into VERSION values('/',7,8);"
       "insert into SYNCEDNOW values('req');",
       false, false},
      {"1.0.0.0",
       "CREATE TABLE VERSION(path varchar[1000],version int,dateline int,changekey char[40],synctype int,local int,"
       "PRIMARY KEY (path));"
       "CREATE TABLE SYNCEDNOW(path varchar[1000],type int,PRIMARY KEY(path));"
       "CREATE TABLE sqlversion(version char[20]); insert into sqlversion values('1.0.0.0');"
       "insert into VERSION values('/',7,8,'ck',0,0);",
       true, true},
      {"1.0.0.1",
       "CREATE TABLE VERSION(path varchar[1000],version int,dateline int,changekey char[40],synctype int,local int,"
       "org int,PRIMARY KEY (path));"
       "CREATE TABLE SYNCEDNOW(path varchar[1000],type int,PRIMARY KEY(path));"
       "CREATE TABLE sqlversion(version char[20]); insert into sqlversion values('1.0.0.1');"
       "insert into VERSION values('/',7,8,'ck',0,0,0);",
       false, true},
      {"1.0.0.2",
       "CREATE TABLE VERSION(path varchar[1000],version int,dateline int,changekey char[40],synctype int,local int,"
       "org int,PRIMARY KEY (path));"
       "CREATE TABLE SYNCEDNOW(path varchar[1000],type int,PRIMARY KEY(path));"
       "CREATE TABLE sqlversion(version char[20]); insert into sqlversion values('1.0.0.2');"
       "insert into VERSION values('/',7,8,'ck',0,0,0);",
       false, false},
      {"sqlversion without a row",
       "CREATE TABLE VERSION(path varchar[1000],version int,dateline int,changekey char[40],synctype int,local int,"
       "org int,PRIMARY KEY (path));"
       "CREATE TABLE SYNCEDNOW(path varchar[1000],type int,PRIMARY KEY(path));"
       "CREATE TABLE sqlversion(version char[20]);"
       "insert into VERSION values('/',7,8,'ck',0,0,0);",
       false, false},  // createtable seeds the row first, so no data steps
  };
  for (const auto& f : fixtures) {
    SCOPED_TRACE(f.name);
    TempDir dir;
    const std::string path = dir.file("old.db");
    {
      Raw raw(path);
      raw.exec(
          "CREATE TABLE SYNC(path varchar[1000],parent varchar[1000],type int, filehash char[40],filesize bigint,"
          "last bigint,status int,version int,memberid int,membername varchar[50],diskversion int,lock int,"
          "actlast bigint,PRIMARY KEY (path));"
          "CREATE TABLE SYNCNODES(path varchar[1000],type int ,PRIMARY KEY(path));"
          "insert into SYNCNODES values('Ex_1',0);"
          "insert into SYNC values('Ex_1','',0,'',0,0,4,1,42,'me',1,1,0);"
          "insert into SYNC values('ex_1/a.txt','Ex_1',1,'h',3,0,4,1,99,'other',1,1,0);"
          "insert into SYNC values('ExX1/b.txt','ExX1',1,'h',3,0,4,1,42,'me',1,0,0);"
          "insert into SYNC values('keep.txt','',1,'h',3,0,5,1,42,'me',1,1,0);");
      raw.exec(f.schema);
    }
    Syncdb db(path);
    db.close();
    Raw raw(path);
    EXPECT_EQ(raw.column("select version from sqlversion"), std::vector<std::string>{"1.0.0.3"});
    EXPECT_EQ(raw.rows("select path,version,dateline,synctype,local,org from VERSION"),
              (Rows{{"/", "7", "8", "0", "0", "0"}}));
    EXPECT_EQ(raw.column("select name from pragma_table_info('SYNCEDNOW')"),
              (std::vector<std::string>{"path", "type"}));
    EXPECT_EQ(raw.rows("select path,status,lock from SYNC order by path"),
              (Rows{{"ExX1/b.txt", "4", "0"},
                    {"Ex_1", f.dataSteps ? "7" : "4", f.lockStep ? "2" : "1"},
                    {"ex_1/a.txt", f.dataSteps ? "7" : "4", "1"},
                    {"keep.txt", "5", f.lockStep ? "2" : "1"}}));
  }
}

// A file of a client before the hand-off columns: its first run already has
// every index, and the pick is served by the hand-off index, not a scan and
// sort of SYNC.
TEST_F(SyncdbTest, AnOlderFileHasEveryIndexFromItsFirstRun) {
  {
    Raw raw(file());
    raw.exec(
        "CREATE TABLE SYNC(path varchar[1000],parent varchar[1000],type int, filehash char[40],filesize bigint,"
        "last bigint,status int,version int,memberid int,membername varchar[50],PRIMARY KEY (path));"
        "CREATE TABLE VERSION(path varchar[1000],version int,dateline int,PRIMARY KEY (path));"
        "CREATE TABLE SYNCNODES(path varchar[1000],PRIMARY KEY(path));"
        "insert into SYNC values('a.txt','',1,'h',3,0,3,1,42,'me');");
  }
  db();
  EXPECT_EQ(db().get_upload().webpath, "a.txt");
  db_->close();
  Raw raw(file());
  EXPECT_EQ(raw.column("select name from sqlite_master where type='index' and name like 'SYNC\\_%' escape '\\' "
                       "order by name"),
            (std::vector<std::string>{"SYNC_fold", "SYNC_foldparent", "SYNC_handoff", "SYNC_hashed"}));
  std::string plan;
  for (const auto& r : raw.rows("explain query plan select * from SYNC where status=3 and actlast<5 "
                                "order by actlast asc, path asc limit 1")) {
    plan += r.back() + ";";
  }
  EXPECT_NE(plan.find("SYNC_handoff"), std::string::npos) << plan;
  EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
}

// A file of the client before: its hash index of every row gives way to
// one of the rows that have a hash, which the hash queries still use; what
// they answer is the same.
TEST_F(SyncdbTest, AFileWithTheHashIndexOfEveryRowGetsTheIndexOfHashedRows) {
  const std::string h(40, 'c');
  {
    Raw raw(file());
    raw.exec(
        "CREATE TABLE SYNC(path varchar[1000],parent varchar[1000],type int, filehash char[40],filesize bigint,"
        "last bigint,status int,version int,memberid int,membername varchar[50],diskversion int,lock int,"
        "actlast bigint,PRIMARY KEY (path));"
        "CREATE TABLE sqlversion(version char[20]); insert into sqlversion values('1.0.0.3');"
        "CREATE INDEX SYNC_hash ON SYNC(filehash);"
        "insert into SYNC values('Sh/a.txt','Sh',1,'" + h + "',3,0,4,1,42,'me',1,0,0);"
        "insert into SYNC values('b.txt','',1,'" + h + "',3,0,5,1,42,'me',1,0,0);"
        "insert into SYNC values('c.txt','',1,'',3,0,5,1,42,'me',1,0,0);");
  }
  db().insert_total_version("/Sh/", 0, 1, 0);
  EXPECT_EQ(db().get_local_hash(h), "Sh/a.txt");
  EXPECT_EQ(paths(db().get_files_downloading(h)), std::vector<std::string>{"b.txt"});
  EXPECT_EQ(paths(db().get_files_downloading("")), std::vector<std::string>{"c.txt"});
  db_->close();
  Raw raw(file());
  EXPECT_EQ(raw.column("select name from sqlite_master where type='index' and tbl_name='SYNC' and name like "
                       "'SYNC\\_hash%' escape '\\'"),
            std::vector<std::string>{"SYNC_hashed"});
  EXPECT_EQ(raw.column("select count(*) from SYNC indexed by SYNC_hashed where filehash<>''"),
            std::vector<std::string>{"2"});
  for (const std::string query :
       {"select * from SYNC where (status=2 or status=5) and filehash='" + h + "' and filehash<>'' order by path asc",
        "select path from SYNC where filehash='" + h + "' and filehash<>'' and status=4 limit 1"}) {
    std::string plan;
    for (const auto& r : raw.rows("explain query plan " + query)) plan += r.back() + ";";
    EXPECT_NE(plan.find("SYNC_hashed"), std::string::npos) << query << ": " << plan;
  }
}

// Versions, datelines and stamps pass 32 bits; each reads back whole, also
// from a file another writer filled.
TEST_F(SyncdbTest, NumbersPast32BitsReadBackWhole) {
  constexpr int64_t kBig = (int64_t{1} << 31) + 5, kHuge = int64_t{1} << 40;
  SyncFileItem it = row("big.txt", 4);
  it.version = kBig, it.diskversion = kHuge, it.memberid = kBig + 1;
  add({it});
  db().update_acttime("big.txt", static_cast<double>(kHuge + 7));
  const SyncFileItem got = db().get_single_file("big.txt");
  EXPECT_EQ(got.version, kBig);
  EXPECT_EQ(got.diskversion, kHuge);
  EXPECT_EQ(got.memberid, kBig + 1);
  EXPECT_EQ(got.actlast, kHuge + 7);
  db().update_version("big.txt", kHuge + 1);
  EXPECT_EQ(db().get_single_file("big.txt").version, kHuge + 1);

  db().insert_total_version("/", 0, 0, 0);
  db().update_total_version("/", kHuge + 2, kBig + 3);
  EXPECT_EQ(db().get_total_version("/").version, kHuge + 2);
  EXPECT_EQ(db().get_total_version("/").dateline, kBig + 3);
  {
    Raw raw(file());
    raw.exec("insert into VERSION (path,version,dateline,changekey,synctype,local,org) "
             "values('/S/',4294967296,8589934592,'',0,0,0)");
    raw.exec("update SYNC set version=4294967297 where path='big.txt'");
  }
  EXPECT_EQ(db().get_total_version("/S/").version, int64_t{4294967296});
  EXPECT_EQ(db().get_total_version("/S/").dateline, int64_t{8589934592});
  EXPECT_EQ(db().get_single_file("big.txt").version, int64_t{4294967297});
}

// A file of another writer may declare the columns in another order and
// letter case, and migration appends the ones it lacked: rows are read by
// column name, never by position.
TEST_F(SyncdbTest, RowsOfAFileWithItsColumnsInAnotherOrderAreReadByName) {
  {
    Raw raw(file());
    raw.exec(
        "CREATE TABLE SYNC(Status int,MemberName varchar[50],FILEHASH char[40],Version int,PATH varchar[1000],"
        "last bigint,Type int,memberid int,filesize bigint,Parent varchar[1000],PRIMARY KEY (PATH));"
        "CREATE TABLE sqlversion(version char[20]); insert into sqlversion values('1.0.0.2');"
        "insert into SYNC values(3,'ann','0123456789012345678901234567890123456789',6,'Dir/f.txt',7,1,8,9,'Dir');");
  }
  db().update_diskvesion("dir/F.txt", 11);
  db().update_lock("dir/F.txt", 2);
  db().update_acttime("dir/F.txt", 12);
  const SyncFileItem it = db().get_single_file("DIR/f.TXT");
  EXPECT_EQ(it.webpath, "Dir/f.txt");
  EXPECT_EQ(it.parent, "Dir");
  EXPECT_EQ(it.filehash, "0123456789012345678901234567890123456789");
  EXPECT_EQ(it.membername, "ann");
  EXPECT_EQ(it.status, 3);
  EXPECT_EQ(it.version, 6);
  EXPECT_EQ(it.last, 7u);
  EXPECT_TRUE(it.file);
  EXPECT_EQ(it.memberid, 8);
  EXPECT_EQ(it.size, 9u);
  EXPECT_EQ(it.diskversion, 11);
  EXPECT_EQ(it.lock, 2);
  EXPECT_EQ(it.actlast, 12);
  // The lists read the same way.
  const auto all = db().get_all_files("dir");
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].filehash, it.filehash);
  EXPECT_EQ(all[0].actlast, 12);
}

TEST_F(SyncdbTest, ChangeoldTakesTheSignedInUsersIdForTheLockStep) {
  {
    Raw raw(file());
    raw.exec(
        "CREATE TABLE SYNC(path varchar[1000],parent varchar[1000],type int, filehash char[40],filesize bigint,"
        "last bigint,status int,version int,memberid int,membername varchar[50],diskversion int,lock int,"
        "actlast bigint,PRIMARY KEY (path));"
        "CREATE TABLE sqlversion(version char[20]); insert into sqlversion values('1.0.0.1');"
        "insert into SYNC values('mine','',1,'',0,0,4,1,42,'me',1,1,0);"
        "insert into SYNC values('theirs','',1,'',0,0,4,1,43,'x',1,1,0);");
  }
  Syncdb db(file());  // no user signed in: id 0
  db.changelock(42);
  Raw raw(file());
  EXPECT_EQ(raw.rows("select path,lock from SYNC order by path"), (Rows{{"mine", "2"}, {"theirs", "1"}}));
}

TEST_F(SyncdbTest, AFileThatCannotBeOpenedAnswersEmptyResults) {
  Syncdb db(dir_.path() + "/missing/folder/x.db");
  EXPECT_FALSE(db.dbQueue());
  EXPECT_FALSE(db.add_new_file(row("a", 3)));
  EXPECT_EQ(db.get_single_file("a").status, -1);
  EXPECT_EQ(db.getAllNeedSyncCount(), 0);
  EXPECT_TRUE(db.get_all_version().empty());
  EXPECT_EQ(db.get_download().status, -1);
  std::string name = "kept";
  EXPECT_EQ(db.getstatus("a", name), 0);
  EXPECT_FALSE(db.rename("a", "b"));
}

TEST_F(SyncdbTest, AReopenedConnectionFoldsCaseAgain) {
  add({row("Ärger/X.txt", 4)});
  db().close();
  EXPECT_EQ(db().get_single_file("ärger/x.TXT").webpath, "Ärger/X.txt");
  db().update_status("ÄRGER/x.txt", 3);
  EXPECT_EQ(statusOf("Ärger/X.txt"), "3");
}

// ---------------------------------------------------------------------------
// Paths that look alike

TEST_F(SyncdbTest, PathsWithQuotesWildcardsAndOtherScriptsMatchOnlyThemselves) {
  struct Case {
    const char* folder;
    const char* caseVariant;               // the same folder in other letters
    std::vector<const char*> lookalikes;   // siblings a wildcard or a fold would catch
  };
  const Case cases[] = {
      {"a_b", "A_B", {"aXb", "a_bc", "aXb/f"}},
      {"50%", "50%", {"50X", "500", "50X/f"}},
      {"back\\slash", "BACK\\slash", {"backXslash", "back\\\\slash"}},
      {"it's", "IT'S", {"its", "it''s"}},
      {"中文", "中文", {"中", "中文件", "中文件/x"}},
      {"Straße", "STRAßE", {"Strasse", "Straße2"}},
      {"Ärger", "äRGER", {"Arger", "Ärgern"}},
      {"ΣΟΦΊΑ", "σοφία", {"ΣΟΦΙΑ"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    TempDir dir;
    Syncdb db(dir.file("t.db"));
    const std::string f = c.folder;
    ASSERT_TRUE(db.add_new_file(row(f, 4, false)));
    ASSERT_TRUE(db.add_new_file(row(f + "/x.txt", 4)));
    ASSERT_TRUE(db.add_new_file(row(f + "/sub/y.txt", 4)));
    for (const char* l : c.lookalikes) ASSERT_TRUE(db.add_new_file(row(l, 4)));

    // Stored as given, found in any letters.
    EXPECT_EQ(db.get_single_file(std::string(c.caseVariant) + "/X.TXT").webpath, f + "/x.txt");
    EXPECT_EQ(paths(db.get_all_files(c.caseVariant)), std::vector<std::string>{f + "/x.txt"});

    // A subtree operation reaches the folder and its tree, never a lookalike.
    db.update_dir_status(c.caseVariant, 3);
    for (const char* l : c.lookalikes) EXPECT_EQ(db.get_single_file(l).status, 4) << l;
    EXPECT_EQ(db.get_single_file(f + "/sub/y.txt").status, 3);
    EXPECT_TRUE(db.is_upload_by_path(f));
    for (const char* l : c.lookalikes) EXPECT_FALSE(db.is_upload_by_path(l)) << l;

    EXPECT_TRUE(db.rename(c.caseVariant, "renamed"));
    EXPECT_EQ(db.get_single_file("renamed/sub/y.txt").parent, "renamed/sub");
    for (const char* l : c.lookalikes) EXPECT_EQ(db.get_single_file(l).webpath, l);

    db.del_dir("renamed");
    db.close();
    Raw raw(dir.file("t.db"));
    EXPECT_EQ(raw.rows("select count(*) from SYNC")[0][0], std::to_string(c.lookalikes.size()));
  }
}

// ---------------------------------------------------------------------------
// SYNC operations

TEST_F(SyncdbTest, RenameCarriesTheTreeAndKeepsTheParentOfTheEntry) {
  add({row("d/a", 4, false), row("d/a/x", 4, false), row("d/a/x/y", 4), row("d/ab/z", 4)});
  ASSERT_TRUE(db().rename("d/a", "d/b"));
  Raw raw(file());
  EXPECT_EQ(raw.rows("select path,parent from SYNC order by path"),
            (Rows{{"d/ab/z", "d/ab"}, {"d/b", "d"}, {"d/b/x", "d/b"}, {"d/b/x/y", "d/b/x"}}));
}

TEST_F(SyncdbTest, MoveGivesTheNewParentAndClearsVersions) {
  auto f = row("a/f", 4, false);
  f.version = 5, f.diskversion = 5;
  auto g = row("a/f/g.txt", 4);
  g.version = 6, g.diskversion = 6;
  add({f, g, row("a/f2", 4)});
  ASSERT_TRUE(db().move("a/f", "c/f"));
  Raw raw(file());
  EXPECT_EQ(raw.rows("select path,parent,version,diskversion from SYNC order by path"),
            (Rows{{"a/f2", "a", "0", "0"}, {"c/f", "c", "0", "0"}, {"c/f/g.txt", "c/f", "0", "0"}}));
}

TEST_F(SyncdbTest, ARenameThatCannotFinishLeavesTheTreeAsItWas) {
  // b/x exists, so the second statement fails after the first has run.
  add({row("a", 4, false), row("a/x", 4), row("b/x", 4)});
  EXPECT_FALSE(db().rename("a", "b"));
  EXPECT_FALSE(db().move("a", "b"));
  EXPECT_EQ(stored(), (std::vector<std::string>{"a", "a/x", "b/x"}));
}

TEST_F(SyncdbTest, SubtreeWritesAndDeletes) {
  add({row("t", 4, false), row("t/a", 3), row("t/b", 4), row("t/c", 8), row("t/d", 1), row("tt/e", 3)});
  db().del_by_org("t");
  EXPECT_EQ(stored(), (std::vector<std::string>{"t", "t/b", "tt/e"}));

  db().mark_del_by_parent("t");
  EXPECT_EQ(statusOf("t"), "4");
  EXPECT_EQ(statusOf("t/b"), "9");
  EXPECT_EQ(statusOf("tt/e"), "3");
  db().reset_del("T/B");
  EXPECT_EQ(statusOf("t/b"), "3");
  db().reset_del("tt/e");  // not waiting for a delete: unchanged
  EXPECT_EQ(statusOf("tt/e"), "3");

  db().update_lock_dir("t", 2);
  db().add_sync("T");
  {
    Raw raw(file());
    EXPECT_EQ(raw.rows("select path,status,lock from SYNC order by path"),
              (Rows{{"t", "5", "2"}, {"t/b", "5", "2"}, {"tt/e", "3", "0"}}));
  }
  db().reset_dir("t");
  EXPECT_EQ(stored(), (std::vector<std::string>{"t", "tt/e"}));
  db().reset_dir("");
  EXPECT_TRUE(stored().empty());
}

TEST_F(SyncdbTest, SingleEntryWritesReachOnlyThatEntry) {
  add({row("Doc.txt", 5), row("doc.txt2", 5)});
  db().update_lasttime("DOC.TXT", 111);
  db().update_filesize("doc.txt", 222);
  db().update_filehash("doc.txt", std::string(40, 'a'));
  db().update_membername("doc.txt", "李四", 9);
  db().update_version("doc.txt", 3);
  db().update_diskvesion("doc.txt", 2);
  db().update_lock("doc.txt", 1);
  EXPECT_TRUE(db().update_finish("doc.txt", 333, 4, 7));
  auto it = db().get_single_file("doc.TXT");
  EXPECT_EQ(it.last, 333u);
  EXPECT_EQ(it.size, 222u);
  EXPECT_EQ(it.filehash, std::string(40, 'a'));
  EXPECT_EQ(it.membername, "李四");
  EXPECT_EQ(it.memberid, 9);
  EXPECT_EQ(it.version, 3);
  EXPECT_EQ(it.diskversion, 7);
  EXPECT_EQ(it.lock, 1);
  EXPECT_EQ(it.status, 4);
  EXPECT_EQ(db().get_single_file("doc.txt2"), row("doc.txt2", 5));

  // update_file writes every field back.
  it.status = 3, it.actlast = 77, it.parent = "p";
  db().update_file(it);
  EXPECT_EQ(db().get_single_file("Doc.txt"), it);

  // The same letters again fail on the key; other letters are another row.
  EXPECT_FALSE(db().add_new_file(row("Doc.txt", 3)));
  EXPECT_TRUE(db().add_new_file(row("DOC.txt", 3)));
  EXPECT_EQ(db().get_single_file("missing").status, -1);
}

TEST_F(SyncdbTest, DeletedFoldersComeBackOnceAtTheirTop) {
  add({row("d", 9, false), row("d/e", 9, false), row("g", 4, false), row("g/h", 6, false), row("f.txt", 6),
       row("g/i.txt", 9)});
  EXPECT_EQ(paths(db().get_all_deleted_dir()), (std::vector<std::string>{"d", "g/h"}));
  EXPECT_EQ(paths(db().get_all_deleted_file()), (std::vector<std::string>{"f.txt", "g/i.txt"}));
}

TEST_F(SyncdbTest, GetstatusSaysWhatTheOverlayShows) {
  auto locked = row("l.txt", 4);
  locked.lock = 1;
  locked.membername = "王五";
  auto mine = row("m.txt", 4);
  mine.lock = 2;
  add({row("done", 4, false), row("done/a", 4), row("done/x", 7), row("busy", 4, false), row("busy/a", 5),
       row("s.txt", 4), row("u.txt", 3), locked, mine});
  struct Case {
    const char* path;
    int64_t code;
  };
  const Case cases[] = {{"done", 2}, {"BUSY", 1}, {"s.txt", 2}, {"u.txt", 1}, {"l.txt", 3}, {"m.txt", 5}};
  for (const auto& c : cases) {
    std::string name;
    EXPECT_EQ(db().getstatus(c.path, name), c.code) << c.path;
  }
  std::string name;
  db().getstatus("l.txt", name);
  EXPECT_EQ(name, "王五");
  name.clear();
  EXPECT_EQ(db().getstatus("nothing", name), 0);
  EXPECT_EQ(name, "");
  EXPECT_EQ(db().getAllNeedSyncCount(), 2);
}

TEST_F(SyncdbTest, ResetsOfThePersonalAndTheTeamArea) {
  db().insert_total_version("/", 0, 0, 0);
  add({row("p.txt", 4), row("Team", 4, false), row("team/t.txt", 4), row("Teamx.txt", 4), row("q.txt", 3)});

  db().resetpersonal();  // no team root yet: every synced row
  EXPECT_EQ(db().getAllNeedSyncCount(), 5);
  db().update_status("p.txt", 4), db().update_status("Team", 4), db().update_status("team/t.txt", 4);
  db().update_status("Teamx.txt", 4), db().update_status("q.txt", 3);

  db().insert_total_version("/TEAM/", 0, 0, 1);
  db().resetorg();
  EXPECT_EQ(statusOf("Team"), "5");
  EXPECT_EQ(statusOf("team/t.txt"), "5");
  EXPECT_EQ(statusOf("Teamx.txt"), "4");
  db().resetsync(1);
  EXPECT_EQ(statusOf("p.txt"), "5");
  EXPECT_EQ(statusOf("Teamx.txt"), "5");
  EXPECT_EQ(statusOf("q.txt"), "3");

  db().reset_dir_type(1);
  EXPECT_EQ(stored(), (std::vector<std::string>{"Team", "team/t.txt"}));
  db().reset_dir_type(2);
  EXPECT_EQ(stored().size(), 2u);
  db().reset_dir_type(3);
  EXPECT_TRUE(stored().empty());
}

TEST_F(SyncdbTest, RowsReadBackWhole) {
  SyncFileItem full = row("文件夹/Ärger.txt", 5, true, std::string(40, 'e'));
  full.size = 5000000000ull, full.last = 1700000123, full.version = 77, full.diskversion = 76;
  full.memberid = 12, full.membername = "张三", full.lock = 2;
  SyncFileItem folder = row("文件夹/Sub", 4, false);
  folder.version = 3;
  add({row("文件夹", 4, false), full, folder});
  db().update_acttime("文件夹/Ärger.txt", 123456.0);
  full.actlast = 123456;
  const auto fields = [](const SyncFileItem& a) {
    return std::make_tuple(a.webpath, a.parent, a.file, a.filehash, a.size, a.last, a.status, a.version,
                           a.diskversion, a.memberid, a.membername, a.lock, a.actlast);
  };
  const auto same = [&](const SyncFileItem& a, const SyncFileItem& b) { EXPECT_EQ(fields(a), fields(b)); };
  same(db().get_single_file("文件夹/ärger.TXT"), full);
  // Each read of a folder's rows gives every field of every row.
  for (const auto& rows : {db().get_children("文件夹"), db().get_all_upload_by_path("文件夹")}) {
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& r : rows) same(r, r.file ? full : folder);
  }

  // What another writer left empty or not in UTF-8 reads as nothing.
  db().close();
  Raw(file()).exec("update SYNC set membername=x'c328ff', filehash=NULL, filesize=NULL, version=NULL, lock=NULL "
                   "where path='文件夹/Ärger.txt'");
  const SyncFileItem odd = db().get_single_file("文件夹/Ärger.txt");
  EXPECT_EQ(odd.membername, "");
  EXPECT_EQ(odd.filehash, "");
  EXPECT_EQ(odd.size, 0u);
  EXPECT_EQ(odd.version, 0);
  EXPECT_EQ(odd.lock, 0);
  EXPECT_EQ(odd.memberid, 12);
}

TEST_F(SyncdbTest, ChildrenAreTheRowsDirectlyInAFolderInAnyLetters) {
  add({row("Docs", 4, false), row("Docs/a.txt", 4), row("Docs/Sub", 4, false), row("Docs/Sub/deep.txt", 4),
       row("Docs b", 4, false), row("Docs b/x", 4), row("Docs%/y", 4), row("DocsX/z", 4), row("top.txt", 4)});
  struct Case {
    const char* folder;
    std::vector<std::string> children;
  };
  const Case cases[] = {
      {"docs", {"Docs/Sub", "Docs/a.txt"}},
      {"DOCS/sub", {"Docs/Sub/deep.txt"}},
      {"", {"Docs", "Docs b", "top.txt"}},
      {"Docs/a.txt", {}},
      {"Doc", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    auto got = paths(db().get_children(c.folder));
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, c.children);
    // The same rows as the ordered read.
    auto ordered = paths(db().get_all_upload_by_path(c.folder));
    std::sort(ordered.begin(), ordered.end());
    EXPECT_EQ(ordered, got);
  }
}

TEST_F(SyncdbTest, ManyRowsInOneTransaction) {
  std::vector<SyncFileItem> items;
  for (int i = 0; i < 500; ++i) items.push_back(row("bulk/" + std::to_string(i), 5));
  items.push_back(row("bulk/7", 5));  // a duplicate is left out, the rest stays
  EXPECT_EQ(db().add_new_files(items), 500u);
  EXPECT_EQ(db().getAllNeedSyncCount(), 500);
}

// A row that fails leaves out only itself, wherever it falls among the
// others, and every row is stored with its own values.
TEST_F(SyncdbTest, ManyRowsLeaveOutOnlyTheRowsThatFail) {
  struct Case {
    const char* name;
    int count;                // rows "m<case>/<i>" for i < count
    std::vector<int> repeat;  // positions (before which) a copy of row 0 goes in
    bool existing;            // row 0 is in the table before
  };
  const Case cases[] = {
      {"one", 1, {}, false},
      {"first", 40, {1}, false},
      {"within", 40, {5, 20}, false},
      {"boundary", 70, {31, 32, 64}, false},
      {"last", 33, {33}, false},
      {"table", 65, {}, true},
  };
  int caseNo = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = "m" + std::to_string(caseNo++);
    std::vector<SyncFileItem> items;
    std::vector<std::string> expected;
    for (int i = 0; i < c.count; ++i) {
      SyncFileItem it = row(folder + "/" + std::to_string(i), 3, i % 2 == 0, "h" + std::to_string(i));
      it.size = 100 + i, it.last = 200 + i, it.version = i, it.diskversion = i + 1, it.lock = i % 3;
      it.memberid = 7 + i, it.membername = "m" + std::to_string(i);
      if (i == 2) it.membername += std::string(1, '\0') + "after";  // kept whole
      items.push_back(it);
      expected.push_back(it.webpath);
    }
    const SyncFileItem copy = items[0];
    for (auto it = c.repeat.rbegin(); it != c.repeat.rend(); ++it) {
      SyncFileItem dup = copy;
      dup.status = 5, dup.size = 1;  // must not replace the first
      items.insert(items.begin() + *it, dup);
    }
    size_t failing = c.repeat.size();
    if (c.existing) {
      ASSERT_TRUE(db().add_new_file(copy));
      ++failing;
    }
    EXPECT_EQ(db().add_new_files(items), items.size() - failing);
    auto got = db().get_children(folder);
    std::sort(got.begin(), got.end(), [](const auto& a, const auto& b) { return a.webpath < b.webpath; });
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(paths(got), expected);
    for (const auto& g : got) {
      const auto want = std::find_if(items.begin(), items.end(), [&](const auto& i) { return i.webpath == g.webpath; });
      ASSERT_NE(want, items.end());
      EXPECT_EQ(g, *want) << g.webpath;
    }
  }
}

// Rows of several folders in one call, as a folder's rows may follow
// another's: runs of one folder, each with a failing row where it starts,
// in its middle or at its end, and rows of a folder alone between them.
// Every other row is stored once with its own values.
TEST_F(SyncdbTest, RowsOfSeveralFoldersLeaveOutOnlyTheRowsThatFail) {
  const SyncFileItem before = row("r/b/5", 4);
  ASSERT_TRUE(db().add_new_file(before));
  std::vector<SyncFileItem> items;
  std::vector<SyncFileItem> want{before};
  int n = 0;
  const auto put = [&](const std::string& folder, int from, int to) {
    for (int i = from; i < to; ++i) {
      SyncFileItem it = row(folder + "/" + std::to_string(i), 3, i % 2 == 0, "h" + std::to_string(n));
      it.size = 1000 + n, it.last = 2000 + n, it.version = n, it.diskversion = n + 1, it.memberid = n;
      it.membername = "w" + std::to_string(n++);
      items.push_back(it);
      if (it.webpath != "r/b/5") want.push_back(it);
    }
  };
  const auto repeat = [&](const std::string& path) {
    SyncFileItem dup = row(path, 5);
    dup.size = 1;  // must not replace the row stored first
    items.push_back(dup);
  };
  put("r/a", 0, 10);
  repeat("r/a/0");  // the last of its run
  put("r/b", 0, 20);  // r/b/5 fails within the run
  repeat("r/b/19");
  put("r/b", 20, 45);  // the run goes on past one statement's rows
  put("r/c", 0, 1);    // a folder's single row between two runs
  repeat("r/a/3");     // the first of a run
  put("r/a", 10, 15);
  put("r", 0, 1);
  EXPECT_EQ(db().add_new_files(items), want.size() - 1);
  std::vector<SyncFileItem> got;
  for (const char* folder : {"r", "r/a", "r/b", "r/c"}) {
    for (auto& g : db().get_children(folder)) got.push_back(std::move(g));
  }
  const auto byPath = [](const auto& a, const auto& b) { return a.webpath < b.webpath; };
  std::sort(got.begin(), got.end(), byPath);
  std::sort(want.begin(), want.end(), byPath);
  EXPECT_EQ(paths(got), paths(want));
  for (size_t i = 0; i < got.size() && i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << got[i].webpath;
}

TEST_F(SyncdbTest, ABatchIsOneWriteThatAReaderSeesWhole) {
  add({row("a", 4, false), row("a/x", 4), row("b/x", 4)});
  {
    Syncdb::Batch batch(db());
    add({row("n1", 5), row("n2", 5)});
    EXPECT_EQ(db().get_single_file("n1").status, 5);  // the batch reads its own writes
    EXPECT_EQ(stored().size(), 3u);                   // another connection does not, yet
    // A rename that fails inside the batch undoes only itself.
    EXPECT_FALSE(db().rename("a", "b"));
    EXPECT_TRUE(db().rename("a", "c"));
  }
  EXPECT_EQ(stored(), (std::vector<std::string>{"b/x", "c", "c/x", "n1", "n2"}));
}

// A write of another thread while a batch is open stands on its own: seen at
// once by another connection, and kept when the batch's commit fails, which
// undoes only the batch's own writes since it last committed.
TEST_F(SyncdbTest, AnotherThreadsWriteIsNeverPartOfABatch) {
  add({row("done.bin", 2)});
  std::atomic<bool> failCommits{false};
  db().dbQueue()->inDatabase([&](SQDatabase* c) {
    sqlite3_commit_hook(c->sqliteHandle(), [](void* f) { return static_cast<std::atomic<bool>*>(f)->load() ? 1 : 0; },
                        &failCommits);
  });
  {
    Syncdb::Batch batch(db());
    add({row("p1", 5)});
    bool finished = false;
    std::thread([&] { finished = db().update_finish("done.bin", 77, 4, 3); }).join();
    EXPECT_TRUE(finished);
    EXPECT_EQ(statusOf("done.bin"), "4");  // committed, not waiting for the batch
    add({row("p2", 5)});
    failCommits = true;
    EXPECT_FALSE(batch.finish());
    failCommits = false;
  }
  EXPECT_EQ(statusOf("done.bin"), "4");
  EXPECT_EQ(db().get_single_file("done.bin").diskversion, 3);
  EXPECT_EQ(statusOf("p2"), "none");
  // The next batch is one transaction again.
  Syncdb::Batch next(db());
  add({row("p3", 5)});
  EXPECT_EQ(statusOf("p3"), "none");
  EXPECT_TRUE(next.finish());
  EXPECT_EQ(statusOf("p3"), "5");
}

// A paused batch holds no write lock: another connection writes meanwhile.
TEST_F(SyncdbTest, APausedBatchLetsOthersWrite) {
  Syncdb::Batch batch(db());
  add({row("a", 5)});
  db().pauseBatch();
  {
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(file().c_str(), &other), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE; update SYNC set status=4 where path='a'; COMMIT;", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);
  }
  add({row("b", 5)});
  EXPECT_TRUE(batch.finish());
  EXPECT_EQ(stored(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(statusOf("a"), "4");
}

// ---------------------------------------------------------------------------
// Hand-off under an injected clock

class HandoffTest : public SyncdbTest {
protected:
  std::shared_ptr<plat::ManualClock> clock_ = std::make_shared<plat::ManualClock>();
  plat::ScopedClock scoped_{clock_};
};

TEST_F(HandoffTest, NowIsWholeSecondsSince2001) {
  EXPECT_EQ(Syncdb::now(), static_cast<int64_t>(1704103200.0 - 978307200.0));
  clock_->advance(1.9);
  EXPECT_EQ(Syncdb::now(), static_cast<int64_t>(1704103200.0 - 978307200.0) + 1);
}

TEST_F(HandoffTest, DownloadsBeforeHandedOutThenTheOldestStamp) {
  add({row("handed", 2), row("wanted", 5)});
  EXPECT_EQ(db().get_download().webpath, "wanted");
  db().update_acttime("wanted");
  // Stamped this second: skipped, the handed-out row comes next.
  EXPECT_EQ(db().get_download().webpath, "handed");
  db().update_acttime("handed");
  EXPECT_EQ(db().get_download().status, -1);
  clock_->advance(1);
  EXPECT_EQ(db().get_download().webpath, "wanted");
  // A second row to download with an older stamp goes first.
  add({row("fresh", 5)});
  EXPECT_EQ(db().get_download().webpath, "fresh");
}

TEST_F(HandoffTest, AParkedRowWaitsItsTimeAndAFarStampDoesNot) {
  add({row("parked", 5), row("far", 3)});
  db().update_acttime("parked", static_cast<double>(Syncdb::now() + 300) + 0.7);
  db().update_acttime("far", static_cast<double>(Syncdb::now() + 700));
  EXPECT_EQ(db().get_single_file("parked").actlast, Syncdb::now() + 300);
  EXPECT_EQ(db().get_download().status, -1);
  EXPECT_EQ(db().get_upload().webpath, "far");  // beyond the window: at once
  clock_->advance(300);
  EXPECT_EQ(db().get_download().status, -1);    // still now <= actlast
  clock_->advance(1);
  EXPECT_EQ(db().get_download().webpath, "parked");
  // A time past 32 bits is kept whole; one past 64 is held at the edge.
  db().update_acttime("far", 1e12);
  EXPECT_EQ(db().get_single_file("far").actlast, 1000000000000);
  db().update_acttime("far", 1e30);
  EXPECT_EQ(db().get_single_file("far").actlast, INT64_MAX);
}

TEST_F(HandoffTest, UploadsAfterAResetFirstThenNewThenHandedOut) {
  auto handed = row("handed", 1);
  auto changed = row("changed", 3);
  auto reset = row("reset", 8);
  add({handed, changed, reset});
  db().update_acttime("changed", 5);
  db().update_acttime("handed", 1);
  db().update_acttime("reset", static_cast<double>(Syncdb::now() - 1));
  EXPECT_EQ(db().get_upload().webpath, "reset");
  db().update_status("reset", 4);
  EXPECT_EQ(db().get_upload().webpath, "changed");
  db().update_status("changed", 4);
  EXPECT_EQ(db().get_upload().webpath, "handed");
  EXPECT_EQ(db().get_download().status, -1);
}

TEST_F(HandoffTest, DeleteMarksStampTheRow) {
  add({row("a", 4), row("b", 4)});
  db().update_diskdelete("A");
  db().update_delete("b");
  EXPECT_EQ(db().get_single_file("a").status, 9);
  EXPECT_EQ(db().get_single_file("a").actlast, Syncdb::now());
  EXPECT_EQ(db().get_single_file("b").status, 6);
}

TEST_F(SyncdbTest, ContentHashQueriesLookOnlyUnderLocalRoots) {
  const std::string h(40, 'c');
  db().insert_total_version("/", 0, 1, 0);
  add({row("top.txt", 4, true, h)});
  EXPECT_EQ(db().get_local_hash(h), "");  // the mount root gives no condition
  EXPECT_FALSE(db().check_local_hash(h));

  db().insert_total_version("/Sh_1/", 0, 1, 0);
  add({row("ShX1/a.txt", 4, true, h), row("sh_1/wait.txt", 5, true, h)});
  EXPECT_EQ(db().get_local_hash(h), "");  // lookalike root, unsynced row
  add({row("sh_1/deep/b.txt", 4, true, h)});
  EXPECT_EQ(db().get_local_hash(h), "sh_1/deep/b.txt");
  EXPECT_TRUE(db().check_local_hash(h));
  EXPECT_EQ(db().get_local_hash(std::string(40, 'd')), "");
  EXPECT_EQ(db().get_synced_hash(h), "");

  EXPECT_TRUE(db().check_local("SH_1/x"));
  EXPECT_FALSE(db().check_local("ShX1/x"));
  EXPECT_FALSE(db().check_local("other"));

  add({row("z", 2, true, h), row("y", 5, true, h), row("x", 4, true, h)});
  EXPECT_EQ(paths(db().get_files_downloading(h)), (std::vector<std::string>{"sh_1/wait.txt", "y", "z"}));
  // The rows without a hash are not in the hash index, and still answer
  // the query by the empty hash.
  add({row("sh_1/nohash.txt", 4), row("w", 5), row("v", 2), row("u", 4)});
  EXPECT_EQ(paths(db().get_files_downloading("")), (std::vector<std::string>{"v", "w"}));
  EXPECT_EQ(db().get_local_hash(""), "sh_1/nohash.txt");
}

// ---------------------------------------------------------------------------
// VERSION, SYNCEDNOW, SYNCNODES, LINKNODE, MENU, HISTORY

TEST_F(SyncdbTest, RootsKeepTheirCursorWhenTheirFlagsChange) {
  db().insert_total_version("/Share/", 1, 0, 0);
  SyncVersion v = db().get_total_version("/share/");
  EXPECT_EQ(v.webpath, "/Share/");
  v.version = 9, v.dateline = 10, v.changekey = "key";
  db().update_total_version(v);
  db().insert_total_version("/SHARE/", 0, 1, 1);
  v = db().get_total_version("/Share/");
  EXPECT_EQ(v, (SyncVersion{"/Share/", 9, 10, "key", 0, 1, 1}));
  db().update_total_version("/share/", 11, 12);
  EXPECT_EQ(db().get_total_version("/Share/").changekey, "key");
  EXPECT_EQ(db().get_total_version("/Share/").version, 11);
  EXPECT_EQ(db().get_total_version("/nothing/").webpath, "");

  db().insert_total_version("/share/sub/", 0, 0, 0);
  db().insert_total_version("/shared/", 0, 0, 0);
  db().insert_total_version("/", 0, 0, 0);
  db().del_total_version("SHARE");
  std::vector<std::string> left;
  for (const auto& r : db().get_all_version()) left.push_back(r.webpath);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"/", "/shared/"}));

  EXPECT_TRUE(db().update_total_version_org({}));
  EXPECT_TRUE(db().update_total_version_org({"Shared"}));
  EXPECT_EQ(db().get_total_version("/shared/").org, 1);
  db().reset_total_version();
  db().del_total_version_check("/SHARED/");
  EXPECT_EQ(db().get_all_version().size(), 1u);
  db().clear_total_version();
  EXPECT_TRUE(db().get_all_version().empty());
}

TEST_F(SyncdbTest, SyncNowRequestsQueueOncePerPath) {
  db().inset_sync_now("", 3);
  db().inset_sync_now("", 1);
  db().inset_sync_now("dir", 0);
  auto req = db().get_sync_now();
  ASSERT_EQ(req.size(), 2u);
  EXPECT_EQ(req[0].webpath, "");
  EXPECT_EQ(req[0].version, 3);
  db().del_sync_now("", 1);  // another type: stays
  EXPECT_EQ(db().get_sync_now().size(), 2u);
  db().del_sync_now("DIR", 0);
  EXPECT_EQ(db().get_sync_now().size(), 1u);
}

TEST_F(SyncdbTest, ExclusionSetsAndTheirEffectOnSync) {
  db().insert_unsync_nodes({{"a", 0}, {"P", 2}, {"p/sub", 0}, {"a", 2}});
  EXPECT_EQ(db().get_unsync_nodes(), (std::vector<UnSyncNodeItem>{{"a", 0}, {"P", 2}, {"p/sub", 0}}));
  EXPECT_EQ(db().get_unsync_nodes("p"), (std::vector<UnSyncNodeItem>{{"P", 2}, {"p/sub", 0}}));
  EXPECT_EQ(db().get_unsync_nodes("a"), std::vector<UnSyncNodeItem>{});
  EXPECT_EQ(db().get_unsync_nodes("").size(), 3u);
  db().insert_unsync_nodes({{"b", 0}});
  EXPECT_EQ(db().get_unsync_nodes(), (std::vector<UnSyncNodeItem>{{"b", 0}}));

  add({row("p", 4, false), row("p/f.txt", 4), row("p/sub", 4, false), row("p/sub/x", 4), row("q_r/y", 4),
       row("qXr/y", 4)});
  EXPECT_TRUE(db().update_unsync_nodes({{"P", 2}, {"Q_R", 0}}));
  EXPECT_EQ(stored(), (std::vector<std::string>{"p", "p/sub", "p/sub/x", "qXr/y"}));
  EXPECT_TRUE(db().update_unsync_nodes({}));
  EXPECT_EQ(stored().size(), 4u);
  EXPECT_TRUE(db().update_unsync_nodes({{"", 0}}));
  EXPECT_EQ(db().getAllNeedSyncCount(), 0);
  EXPECT_EQ(statusOf("qXr/y"), "7");
  db().del_unsync_nodes();
  EXPECT_TRUE(db().get_unsync_nodes().empty());
}

TEST_F(SyncdbTest, LinksMenuAndHistory) {
  EXPECT_TRUE(db().add_link("Photos", "/home/u/Pics"));
  EXPECT_TRUE(db().add_link("PHOTOS", "/home/u/Bilder"));
  EXPECT_TRUE(db().add_link("Photos/Sub", "/x"));
  EXPECT_TRUE(db().add_link("PhotosOld", "/y"));
  EXPECT_EQ(db().get_links().front(), (LinkFolderNode{"Photos", "/home/u/Bilder"}));
  db().remove_link("photos", false);
  EXPECT_EQ(db().get_links(), (std::vector<LinkFolderNode>{{"PhotosOld", "/y"}}));
  db().remove_link("photosold", true);
  EXPECT_TRUE(db().get_links().empty());

  QVMenuItem a, b, c;
  a.setTitle("分享"), a.setStatus(1);
  b.setTitle("it's"), b.setStatus(0);
  c.setTitle("分享"), c.setStatus(5);
  db().insert_menu({a, b, c});
  {
    Raw raw(file());
    EXPECT_EQ(raw.rows("select name,status from MENU order by rowid"), (Rows{{"分享", "1"}, {"it's", "0"}}));
  }

  db().setHistory({"b/'q'", "a", "中"});
  plat::Array h{plat::Value("kept")};
  db().getHistory(h);
  ASSERT_EQ(h.size(), 4u);
  EXPECT_EQ(h[0].string(), "kept");
  EXPECT_EQ(h[1].string(), "b/'q'");
  EXPECT_EQ(h[3].string(), "中");
}

}  // namespace
