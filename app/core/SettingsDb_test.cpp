#include "app/core/SettingsDb.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Framework/Sqlite/SQDatabaseQueue.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"
#include "platform/system/autostart.h"
#include "platform/system/system_test_util.h"

namespace {

using plat::testing::TempHome;
using Rows = std::vector<std::vector<std::string>>;

// A second, plain connection to the file: the tests read what is really
// stored, and make files of older layouts, without the class under test.
class Raw {
public:
  explicit Raw(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) ADD_FAILURE() << "cannot open " << path;
  }
  ~Raw() { sqlite3_close(db_); }
  Raw(const Raw&) = delete;
  Raw& operator=(const Raw&) = delete;

  void exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      ADD_FAILURE() << (err ? err : "error") << " in " << sql;
    }
    sqlite3_free(err);
  }
  // Every row as texts, NULL as "NULL".
  Rows rows(const std::string& sql) {
    Rows out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sqlite3_errmsg(db_) << " in " << sql;
      return out;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        const auto* t = sqlite3_column_text(st, i);
        row.emplace_back(t ? reinterpret_cast<const char*>(t) : "NULL");
      }
      out.push_back(std::move(row));
    }
    sqlite3_finalize(st);
    return out;
  }
  std::string one(const std::string& sql) {
    Rows r = rows(sql);
    return r.empty() || r[0].empty() ? "<no row>" : r[0][0];
  }

private:
  sqlite3* db_ = nullptr;
};

mode_t modeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

class SettingsDbTest : public ::testing::Test {
protected:
  // HOME too: the autorun setter writes the login item below it.
  TempHome home;
  std::string dir = home.path();
  std::string path = dir + "/settings.db";
};

// ---- creation

TEST_F(SettingsDbTest, NewFileGetsBothTablesAndOneSettingsRow) {
  SettingsDb db(path);
  ASSERT_TRUE(db.dbQueue());
  Raw raw(path);
  // The layout that existing files have, text for text.
  EXPECT_EQ(raw.one("select sql from sqlite_master where name='userinfo'"),
            "CREATE TABLE userinfo(username char[200],password char[100],dateline int,syncpath char [2000],"
            "userid int,mountid int,orgid int ,orgname char[200],name char[200])");
  EXPECT_EQ(raw.one("select sql from sqlite_master where name='settings'"),
            "CREATE TABLE settings(autorun int,prompt int,local int,https int,agenttype int,agentip char[200],"
            "agentport int,agentneeduser int,agentusername char[200],agentpassword char[200],blacktray int,"
            "recyclebin int,rightbar int)");
  EXPECT_EQ(raw.rows("select * from settings"),
            (Rows{{"1", "1", "1", "1", "0", "", "0", "0", "", "", "1", "1", "1"}}));
  EXPECT_EQ(raw.one("select count(*) from userinfo"), "0");

  EXPECT_EQ(db.getuser(), "");
  EXPECT_EQ(db.getpassword(), "");
  EXPECT_EQ(db.getuserid(), 0);
  EXPECT_EQ(db.getdateline(), 0);
  EXPECT_TRUE(db.getautorun());
  EXPECT_TRUE(db.getblacktray());
  EXPECT_FALSE(db.getagentneeduser());
  EXPECT_EQ(db.getagentport(), 0);
}

TEST_F(SettingsDbTest, OpeningAgainAddsNoRowAndChangesNothing) {
  {
    SettingsDb db(path);
    db.setuserinfo("alice", "pw", 7, "/sync");
    db.setprompt(false);
    db.setagentip("proxy.local");
  }
  SettingsDb again(path);
  SettingsDb third(path);
  Raw raw(path);
  EXPECT_EQ(raw.one("select count(*) from settings"), "1");
  EXPECT_EQ(raw.one("select count(*) from userinfo"), "1");
  EXPECT_FALSE(third.getprompt());
  EXPECT_TRUE(third.getblacktray());
  EXPECT_EQ(third.getagentip(), "proxy.local");
  EXPECT_EQ(third.getuser(), "alice");
}

// ---- every setting written and read back

struct SettingCase {
  const char* table;
  const char* column;
  std::function<void(SettingsDb&, const std::string&)> set;
  std::function<std::string(SettingsDb&)> get;
  std::vector<std::string> values;  // written in turn, each read back
  const char* storedType;           // typeof() of the stored value
};

std::function<void(SettingsDb&, const std::string&)> text(void (SettingsDb::*f)(const std::string&)) {
  return [f](SettingsDb& db, const std::string& v) { (db.*f)(v); };
}
std::function<void(SettingsDb&, const std::string&)> number(void (SettingsDb::*f)(int64_t)) {
  return [f](SettingsDb& db, const std::string& v) { (db.*f)(std::stoll(v)); };
}
std::function<void(SettingsDb&, const std::string&)> flag(void (SettingsDb::*f)(bool)) {
  return [f](SettingsDb& db, const std::string& v) { (db.*f)(v == "1"); };
}
std::function<std::string(SettingsDb&)> read(std::string (SettingsDb::*f)()) {
  return [f](SettingsDb& db) { return (db.*f)(); };
}
std::function<std::string(SettingsDb&)> read(int64_t (SettingsDb::*f)()) {
  return [f](SettingsDb& db) { return std::to_string((db.*f)()); };
}
std::function<std::string(SettingsDb&)> read(bool (SettingsDb::*f)()) {
  return [f](SettingsDb& db) { return std::string((db.*f)() ? "1" : "0"); };
}

const std::vector<std::string> kTexts = {
    "it's", "O''Brien's '", "'); delete from settings; --", "张三的文件", "a \"quoted\" % _ \\ text", ""};

std::vector<SettingCase> settingCases() {
  using S = SettingsDb;
  return {
      {"userinfo", "username", text(&S::setuser), read(&S::getuser), kTexts, "text"},
      {"userinfo", "password", text(&S::setpassword), read(&S::getpassword), kTexts, "text"},
      {"userinfo", "dateline", number(&S::setdateline), read(&S::getdateline),
       {"1735689600", "5000000000", "-1", "0"}, "integer"},
      {"userinfo", "syncpath", text(&S::setsyncpath), read(&S::getsyncpath),
       {"/home/用户/我的 Quorva", "/tmp/it's here", ""}, "text"},
      {"userinfo", "userid", number(&S::setuserid), read(&S::getuserid), {"42", "3000000000", "0"}, "integer"},
      {"userinfo", "mountid", number(&S::setmountid), read(&S::getmountid), {"7", "9007199254740993"}, "integer"},
      {"userinfo", "orgid", number(&S::setorgid), read(&S::getorgid), {"5", "0"}, "integer"},
      {"userinfo", "orgname", text(&S::setorgname), read(&S::getorgname), kTexts, "text"},
      {"userinfo", "name", text(&S::setname), read(&S::getname), kTexts, "text"},
      {"settings", "autorun", flag(&S::setautorun), read(&S::getautorun), {"0", "1"}, "integer"},
      {"settings", "prompt", flag(&S::setprompt), read(&S::getprompt), {"0", "1"}, "integer"},
      {"settings", "local", flag(&S::setlocal), read(&S::getlocal), {"0", "1"}, "integer"},
      {"settings", "https", flag(&S::sethttps), read(&S::gethttps), {"0", "1"}, "integer"},
      {"settings", "agenttype", number(&S::setagenttype), read(&S::getagenttype), {"1", "2", "0"}, "integer"},
      {"settings", "agentip", text(&S::setagentip), read(&S::getagentip), kTexts, "text"},
      {"settings", "agentport", number(&S::setagentport), read(&S::getagentport), {"8080", "1080"}, "integer"},
      {"settings", "agentneeduser", flag(&S::setagentneeduser), read(&S::getagentneeduser), {"1", "0"}, "integer"},
      {"settings", "agentusername", text(&S::setagentuser), read(&S::getagentuser), kTexts, "text"},
      {"settings", "agentpassword", text(&S::setagentpassword), read(&S::getagentpassword), kTexts, "text"},
      {"settings", "blacktray", flag(&S::setblacktray), read(&S::getblacktray), {"0", "1"}, "integer"},
      {"settings", "recyclebin", flag(&S::setdelete2recyclebin), read(&S::getdelete2recyclebin), {"0", "1"},
       "integer"},
      {"settings", "rightbar", flag(&S::setrightbar), read(&S::getrightbar), {"0", "1"}, "integer"},
  };
}

TEST_F(SettingsDbTest, EverySettingIsWrittenAndReadBack) {
  SettingsDb db(path);
  db.setuserinfo("someone", "secret", 1, "/start");
  Raw raw(path);
  for (const SettingCase& c : settingCases()) {
    for (const std::string& v : c.values) {
      SCOPED_TRACE(std::string(c.column) + " = " + v);
      const Rows before = raw.rows(std::string("select * from ") + c.table);
      c.set(db, v);
      EXPECT_EQ(c.get(db), v);
      EXPECT_EQ(raw.one(std::string("select ") + c.column + " from " + c.table), v);
      EXPECT_EQ(raw.one(std::string("select typeof(") + c.column + ") from " + c.table), c.storedType);
      // Only its own column changes.
      const Rows after = raw.rows(std::string("select * from ") + c.table);
      const Rows names = raw.rows(std::string("select name from pragma_table_info('") + c.table + "')");
      ASSERT_EQ(before.size(), 1u);
      ASSERT_EQ(after.size(), 1u);
      ASSERT_EQ(names.size(), after[0].size());
      for (size_t i = 0; i < names.size(); ++i) {
        if (names[i][0] != c.column) {
          EXPECT_EQ(after[0][i], before[0][i]) << names[i][0];
        }
      }
      // And from a fresh connection on the same file.
      SettingsDb reopened(path);
      EXPECT_EQ(c.get(reopened), v);
    }
  }
  EXPECT_EQ(raw.one("select count(*) from settings"), "1");
  EXPECT_EQ(raw.one("select count(*) from userinfo"), "1");
}

TEST_F(SettingsDbTest, AutorunSwitchesTheLoginItemToo) {
  SettingsDb db(path);
  const std::string self = Util::applicationPath();
  EXPECT_FALSE(Util::findAppAsLoginItem());
  db.setautorun(true);
  EXPECT_TRUE(Util::findAppAsLoginItem());
  EXPECT_TRUE(db.getautorun());
  db.setautorun(false);
  EXPECT_FALSE(Util::findAppAsLoginItem());
  EXPECT_FALSE(db.getautorun());

  // "On" asked again, or items left from before: "off" still means the
  // application no longer starts at login.
  db.setautorun(true);
  db.setautorun(true);
  EXPECT_EQ(plat::AutostartEntries::entriesFor(self).size(), 1u);
  Util::addAppAsLoginItem();
  db.setautorun(false);
  EXPECT_FALSE(Util::findAppAsLoginItem());
  EXPECT_FALSE(db.getautorun());
}

TEST_F(SettingsDbTest, SettersWithoutARowStoreNothing) {
  SettingsDb db(path);
  db.setuserid(5);
  db.setpassword("pw");
  EXPECT_EQ(db.getuserid(), 0);
  EXPECT_EQ(db.getpassword(), "");
  Raw raw(path);
  EXPECT_EQ(raw.one("select count(*) from userinfo"), "0");
  raw.exec("delete from settings");
  db.setagenttype(2);
  EXPECT_EQ(db.getagenttype(), 0);
  EXPECT_TRUE(db.getrightbar());  // the no-row default
  EXPECT_EQ(raw.one("select count(*) from settings"), "0");
}

// ---- the account row

TEST_F(SettingsDbTest, SetuserinfoInsertsThenOverwritesTheFourFields) {
  SettingsDb db(path);
  db.setuserinfo("o'neil", "pa'ss", 1700000000, "/home/o'neil/Quorva");
  Raw raw(path);
  EXPECT_EQ(raw.rows("select username, password, dateline, syncpath, userid, mountid, orgid, orgname, name "
                     "from userinfo"),
            (Rows{{"o'neil", "pa'ss", "1700000000", "/home/o'neil/Quorva", "NULL", "NULL", "NULL", "NULL", "NULL"}}));
  EXPECT_EQ(db.getuserid(), 0);
  EXPECT_EQ(db.getorgname(), "");
  EXPECT_EQ(db.getname(), "");

  db.setuserid(11);
  db.setmountid(12);
  db.setorgid(13);
  db.setorgname("团队");
  db.setname("显示名");
  db.setuserinfo("张三", "新密码", 1800000000, "/data/我的同步");
  EXPECT_EQ(raw.rows("select username, password, dateline, syncpath, userid, mountid, orgid, orgname, name "
                     "from userinfo"),
            (Rows{{"张三", "新密码", "1800000000", "/data/我的同步", "11", "12", "13", "团队", "显示名"}}));
  EXPECT_EQ(db.getuser(), "张三");
  EXPECT_EQ(db.getdateline(), 1800000000);
}

struct DeleteCase {
  const char* stored;
  const char* given;
  bool kept;
};

TEST_F(SettingsDbTest, DeleteuserinofKeepsOnlyTheGivenUser) {
  const DeleteCase cases[] = {
      {"alice", "alice", true}, {"alice", "bob", false},     {"o'neil", "o'neil", true},
      {"o'neil", "o", false},   {"张三", "张三", true},      {"张三", "李四", false},
      {"", "", true},           {"alice", "' or '1'='1", false},
  };
  SettingsDb db(path);
  for (const DeleteCase& c : cases) {
    SCOPED_TRACE(std::string(c.stored) + " / " + c.given);
    db.setuserinfo(c.stored, "pw", 0, "/s");
    db.deleteuserinof(c.given);
    EXPECT_EQ(db.getuser(), c.kept ? c.stored : "");
    EXPECT_EQ(db.getpassword(), c.kept ? "pw" : "");
    db.clearuserinfo();
    EXPECT_EQ(db.getpassword(), "");
  }
  Raw raw(path);
  EXPECT_EQ(raw.one("select count(*) from userinfo"), "0");
  EXPECT_EQ(raw.one("select count(*) from settings"), "1");  // the quoted names touched nothing else
}

// ---- older layouts

struct LayoutCase {
  const char* name;
  std::vector<std::string> create;  // statements that make the older file
  Rows settings;                    // the settings row after opening
  Rows userinfo;                    // the userinfo row after opening
};

TEST_F(SettingsDbTest, OlderLayoutsAreUpgradedOnOpen) {
  const char* kOldSettings =
      "CREATE TABLE settings(autorun int,prompt int,local int,https int,agenttype int,agentip char[200],"
      "agentport int,agentneeduser int,agentusername char[200],agentpassword char[200])";
  const char* kOldUserinfo =
      "CREATE TABLE userinfo(username char[200],password char[100],dateline int,syncpath char [2000])";
  const LayoutCase cases[] = {
      {"oldest",
       {kOldSettings, kOldUserinfo,
        "insert into settings values(0,0,1,0,2,'10.0.0.1',1080,1,'proxy''user','proxy''pw')",
        "insert into userinfo values('old''user','pw''1',123,'/Users/old/Quorva')"},
       {{"0", "0", "1", "0", "2", "10.0.0.1", "1080", "1", "proxy'user", "proxy'pw", "0", "1", "1"}},
       {{"old'user", "pw'1", "123", "/Users/old/Quorva", "0", "0", "0", "", ""}}},
      {"middle",
       {"CREATE TABLE settings(autorun int,prompt int,local int,https int,agenttype int,agentip char[200],"
        "agentport int,agentneeduser int,agentusername char[200],agentpassword char[200],blacktray int)",
        "CREATE TABLE userinfo(username char[200],password char[100],dateline int,syncpath char [2000],"
        "userid int,mountid int,orgid int)",
        "insert into settings values(1,1,1,1,0,'',0,0,'','',1)",
        "insert into userinfo values('u','p',5,'/s',9,8,7)"},
       {{"1", "1", "1", "1", "0", "", "0", "0", "", "", "1", "1", "1"}},
       {{"u", "p", "5", "/s", "9", "8", "7", "", ""}}},
      // No settings row: it can take the new row only once its columns exist.
      {"empty",
       {kOldSettings, kOldUserinfo},
       {{"1", "1", "1", "1", "0", "", "0", "0", "", "", "1", "1", "1"}},
       {}},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir + "/" + c.name + ".db";
    {
      Raw raw(file);
      for (const std::string& s : c.create) raw.exec(s);
    }
    SettingsDb db(file);
    Raw raw(file);
    EXPECT_EQ(raw.rows("select autorun,prompt,local,https,agenttype,agentip,agentport,agentneeduser,"
                       "agentusername,agentpassword,blacktray,recyclebin,rightbar from settings"),
              c.settings);
    EXPECT_EQ(raw.rows("select username,password,dateline,syncpath,userid,mountid,orgid,orgname,name from userinfo"),
              c.userinfo);
    for (const char* column : {"blacktray", "recyclebin", "rightbar"}) {
      EXPECT_EQ(raw.one(std::string("select typeof(") + column + ") from settings"), "integer") << column;
    }
    // Read back through the getters with the upgrade's values.
    const Rows& s = c.settings;
    EXPECT_EQ(db.getblacktray(), s[0][10] == "1");
    EXPECT_TRUE(db.getdelete2recyclebin());
    EXPECT_TRUE(db.getrightbar());
    EXPECT_EQ(db.getagenttype(), std::stoll(s[0][4]));
    EXPECT_EQ(db.getagentuser(), s[0][8]);
    if (!c.userinfo.empty()) {
      EXPECT_EQ(db.getuser(), c.userinfo[0][0]);
      EXPECT_EQ(db.getuserid(), std::stoll(c.userinfo[0][4]));
      EXPECT_EQ(db.getorgname(), "");
      EXPECT_EQ(raw.one("select typeof(name) from userinfo"), "text");
    }
    // The upgraded file takes new values like a new one.
    db.setrightbar(false);
    db.setagentport(3128);
    EXPECT_FALSE(db.getrightbar());
    EXPECT_EQ(db.getagentport(), 3128);
    // And a second opening changes nothing more.
    SettingsDb again(file);
    EXPECT_EQ(raw.one("select count(*) from settings"), "1");
    EXPECT_EQ(again.getblacktray(), s[0][10] == "1");
    EXPECT_FALSE(again.getrightbar());
  }
}

// ---- the file is private

TEST_F(SettingsDbTest, FileIsOwnerOnly) {
  struct ModeCase {
    const char* name;
    mode_t before;  // 0: no file yet
  };
  const ModeCase cases[] = {{"new", 0}, {"0644", 0644}, {"0666", 0666}, {"0640", 0640}, {"0600", 0600}};
  for (const ModeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir + "/mode-" + c.name + ".db";
    if (c.before != 0) {
      { Raw raw(file); raw.exec("create table keep(x int)"); }
      ASSERT_EQ(::chmod(file.c_str(), c.before), 0);
    }
    SettingsDb db(file);
    db.setuserinfo("u", "the password", 1, "/s");
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(db.getpassword(), "the password");
    if (c.before != 0) {
      Raw raw(file);
      EXPECT_EQ(raw.one("select count(*) from keep"), "0");  // an existing file is kept, not replaced
    }
  }
}

TEST_F(SettingsDbTest, ALinkInPlaceOfTheFileIsNotFollowedToChangeAMode) {
  const std::string elsewhere = dir + "/elsewhere.db";
  { Raw raw(elsewhere); raw.exec("create table keep(x int)"); }
  ASSERT_EQ(::chmod(elsewhere.c_str(), 0644), 0);
  const std::string file = dir + "/linked.db";
  ASSERT_EQ(::symlink(elsewhere.c_str(), file.c_str()), 0);
  SettingsDb db(file);
  EXPECT_EQ(modeOf(elsewhere), 0644u);
  struct stat st {};
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// ---- no database

TEST_F(SettingsDbTest, WithoutADatabaseGettersAnswerTheirDefaults) {
  const std::string garbage = dir + "/garbage.db";
  ASSERT_TRUE(plat::atomicWrite(garbage, std::string(4096, 'x'), 0600));
  struct NoDbCase {
    const char* name;
    std::string file;
    const char* logged;
  };
  const NoDbCase cases[] = {
      {"missing folder", dir + "/no/such/folder/settings.db", "Could not create database queue for path"},
      {"not a database", garbage, "error to create settings"},
  };
  for (const NoDbCase& c : cases) {
    SCOPED_TRACE(c.name);
    plat::LogCapture log;
    SettingsDb db(c.file);
    EXPECT_TRUE(log.contains(c.logged));
    db.setuserinfo("u", "p", 1, "/s");
    db.setautorun(false);
    db.setprompt(false);
    db.setagenttype(2);
    db.setagentip("h");
    db.setagentneeduser(true);
    db.setuserid(3);
    EXPECT_TRUE(db.getautorun());
    EXPECT_TRUE(db.getprompt());
    EXPECT_TRUE(db.getlocal());
    EXPECT_TRUE(db.gethttps());
    EXPECT_TRUE(db.getblacktray());
    EXPECT_TRUE(db.getdelete2recyclebin());
    EXPECT_TRUE(db.getrightbar());
    EXPECT_FALSE(db.getagentneeduser());
    EXPECT_EQ(db.getagenttype(), 0);
    EXPECT_EQ(db.getagentport(), 0);
    EXPECT_EQ(db.getagentip(), "");
    EXPECT_EQ(db.getuser(), "");
    EXPECT_EQ(db.getpassword(), "");
    EXPECT_EQ(db.getuserid(), 0);
    db.close();
  }
  EXPECT_FALSE(plat::fileExists(dir + "/no"));
}

// ---- secrets never reach the log

TEST_F(SettingsDbTest, PasswordsNeverReachTheLog) {
  const std::string account = "acc'ount-密码-1";
  const std::string proxy = "proxy-secret-2";
  SettingsDb db(path);
  db.setuserinfo("u", "old", 1, "/s");
  {
    // Every write of the file is refused, so each failing statement is logged.
    Raw raw(path);
    raw.exec("CREATE TRIGGER no_settings BEFORE UPDATE ON settings BEGIN SELECT RAISE(ABORT,'refused'); END");
    raw.exec("CREATE TRIGGER no_userinfo BEFORE UPDATE ON userinfo BEGIN SELECT RAISE(ABORT,'refused'); END");
    raw.exec("CREATE TRIGGER no_insert BEFORE INSERT ON userinfo BEGIN SELECT RAISE(ABORT,'refused'); END");
  }
  plat::LogCapture log;
  db.setpassword(account);
  db.setuserinfo("u", account, 2, "/s");
  db.setagentpassword(proxy);
  db.clearuserinfo();
  db.setuserinfo("v", account, 3, "/t");  // the insert, refused as well
  EXPECT_GE(log.count("DB Query"), 4u);   // the failures were logged
  EXPECT_EQ(log.count(account), 0u);
  EXPECT_EQ(log.count(proxy), 0u);
  EXPECT_EQ(log.count("密码"), 0u);
  // A refused statement leaves the stored value as it was.
  EXPECT_EQ(db.getagentpassword(), "");
  EXPECT_EQ(db.getuser(), "");
}

// ---- many threads, one queue

TEST_F(SettingsDbTest, ConcurrentReadersAndWritersThroughTheOneQueue) {
  SettingsDb db(path);
  constexpr int kRounds = 60;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  // Account writers racing on an empty table: only one row may come of it.
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::string id = std::to_string(t);
      for (int i = 0; i < kRounds; ++i) {
        db.setuserinfo("user" + id, "pw" + id, i, "/sync/" + id);
        if (db.getuser().rfind("user", 0) != 0) ++wrong;
      }
    });
  }
  // Each of these owns one setting: what it wrote is what it reads.
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      db.setagentport(1000 + i);
      if (db.getagentport() != 1000 + i) ++wrong;
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      const std::string host = "host-" + std::to_string(i) + "-'主机'";
      db.setagentip(host);
      if (db.getagentip() != host) ++wrong;
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      db.setdelete2recyclebin(i % 2 == 0);
      if (db.getdelete2recyclebin() != (i % 2 == 0)) ++wrong;
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      db.sethttps(i % 3 != 0);
      if (db.gethttps() != (i % 3 != 0)) ++wrong;
      db.getprompt();
      db.getname();
    }
  });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  Raw raw(path);
  EXPECT_EQ(raw.one("select count(*) from userinfo"), "1");
  EXPECT_EQ(raw.one("select count(*) from settings"), "1");
  // The four fields of one call land together.
  const Rows row = raw.rows("select username, password, syncpath, dateline from userinfo");
  ASSERT_EQ(row.size(), 1u);
  const std::string id = row[0][0].substr(4);
  EXPECT_EQ(row[0][1], "pw" + id);
  EXPECT_EQ(row[0][2], "/sync/" + id);
  EXPECT_EQ(row[0][3], std::to_string(kRounds - 1));
  EXPECT_EQ(db.getagentport(), 1000 + kRounds - 1);
  EXPECT_FALSE(db.getdelete2recyclebin());
}

TEST_F(SettingsDbTest, AccountWritersRacingOnAnEmptyTableMakeOneRow) {
  SettingsDb db(path);
  Raw raw(path);
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::barrier sync(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        sync.arrive_and_wait();
        db.setuserinfo("user" + std::to_string(t), "pw", r, "/s");
        sync.arrive_and_wait();
      }
    });
  }
  std::vector<std::string> counts;
  for (int r = 0; r < kRounds; ++r) {
    sync.arrive_and_wait();  // all start on an empty table
    sync.arrive_and_wait();
    counts.push_back(raw.one("select count(*) from userinfo"));
    db.clearuserinfo();
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counts, std::vector<std::string>(kRounds, "1"));
}

// ---- the process-wide instance

TEST_F(SettingsDbTest, ShareSettingDbIsOneInstanceOnTheConfigurationFolder) {
  auto user = std::make_shared<UserData>();
  ASSERT_TRUE(plat::makeDirectories(user->getconfigpath()));
  Util::getAppDelegate().setUserdata(user);
  std::shared_ptr<SettingsDb> a, b;
  std::thread t1([&] { a = SettingsDb::shareSettingDb(); });
  std::thread t2([&] { b = SettingsDb::shareSettingDb(); });
  t1.join();
  t2.join();
  Util::getAppDelegate().setUserdata(nullptr);
  ASSERT_TRUE(a);
  EXPECT_EQ(a, b);
  ASSERT_TRUE(a->dbQueue());
  EXPECT_EQ(a->dbQueue()->path(), home.path() + "/.quorvacfg/settings.db");
  EXPECT_EQ(modeOf(user->getsetting()), 0600u);
  a->setname("共享");
  EXPECT_EQ(SettingsDb(user->getsetting()).getname(), "");  // no account row yet
  a->setuserinfo("x", "y", 0, "/z");
  a->setname("共享");
  EXPECT_EQ(SettingsDb(user->getsetting()).getname(), "共享");
}

}  // namespace
