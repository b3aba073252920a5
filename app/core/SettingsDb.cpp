#include "app/core/SettingsDb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Framework/Sqlite/SQDatabaseQueue.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"

namespace {

constexpr const char* kCreateUserinfo =
    "CREATE TABLE IF NOT EXISTS userinfo(username char[200],password char[100],dateline int,syncpath char "
    "[2000],userid int,mountid int,orgid int ,orgname char[200],name char[200]);";
constexpr const char* kCreateSettings =
    "CREATE TABLE IF NOT EXISTS settings(autorun int,prompt int,local int,https int,agenttype int,agentip "
    "char[200],agentport int,agentneeduser int,agentusername char[200],agentpassword char[200],blacktray "
    "int,recyclebin int,rightbar int);";
constexpr const char* kInsertSettings =
    "insert into settings(autorun,prompt,local,https,agenttype,agentip,agentport,agentneeduser,agentusername,"
    "agentpassword,blacktray,recyclebin,rightbar) values('1','1','1','1','0','','0','0','','','1','1','1');";

// Columns that older files lack, with the value each gets when it is added.
struct Upgrade {
  const char* alter;
  const char* fill;
};
constexpr Upgrade kUpgrades[] = {
    {"ALTER TABLE settings add blacktray int", "update settings set blacktray='0'"},
    {"ALTER TABLE settings add recyclebin int", "update settings set recyclebin='1'"},
    {"ALTER TABLE settings add rightbar int", "update settings set rightbar='1'"},
    {"ALTER TABLE userinfo add userid int", "update userinfo set userid='0'"},
    {"ALTER TABLE userinfo add mountid int", "update userinfo set mountid='0'"},
    {"ALTER TABLE userinfo add orgid int", "update userinfo set orgid='0'"},
    {"ALTER TABLE userinfo add orgname char[20]", "update userinfo set orgname=''"},
    {"ALTER TABLE userinfo add name char[20]", "update userinfo set name=''"},
};

int64_t rowCount(SQDatabase* db, const char* sql) {
  int64_t count = 0;
  auto rs = db->executeQuery(sql);
  if (rs && rs->next()) count = rs->longLongIntForColumn("cnt");
  if (rs) rs->close();
  return count;
}

void insertSettingsRowIfNone(SQDatabase* db) {
  if (rowCount(db, "select count(*) as cnt from settings") == 0) db->executeUpdate(kInsertSettings);
}

// The file holds the account password: it is made 0600 before SQLite opens
// it (SQLite would make it with the umask, and its journals copy the file's
// mode), and a file left readable by others is tightened. A link in its place
// is not followed: the file it leads to is not ours to change.
void keepPrivate(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
    return;
  }
  if (errno != EEXIST) return;  // opening the database reports it
  if (!plat::makeOwnerOnly(path)) plat::log("Could not restrict the mode of %@", path);
}

}  // namespace

SettingsDb::SettingsDb(const std::string& path) {
  keepPrivate(path);
  dbQueue_ = SQDatabaseQueue::databaseQueueWithPath(path);
  createtable();
  addnewrow();
}

SettingsDb::~SettingsDb() = default;

std::shared_ptr<SettingsDb> SettingsDb::initpath(const std::string& path) {
  return std::make_shared<SettingsDb>(path);
}

std::shared_ptr<SettingsDb> SettingsDb::shareSettingDb() {
  static const std::shared_ptr<SettingsDb> instance = [] {
    auto user = Util::getAppDelegate().userdata();
    if (!user) user = std::make_shared<UserData>();
    return initpath(user->getsetting());
  }();
  return instance;
}

void SettingsDb::createtable() {
  if (!dbQueue_) return;
  dbQueue_->inDatabase([](SQDatabase* db) {
    if (!db->executeUpdate(kCreateUserinfo)) plat::log("error to create userinfo");
    if (!db->executeUpdate(kCreateSettings)) plat::log("error to create settings");
    insertSettingsRowIfNone(db);
  });
}

void SettingsDb::addnewrow() {
  if (!dbQueue_) return;
  dbQueue_->inDatabase([](SQDatabase* db) {
    // On a current file every ALTER fails because the column exists.
    for (const Upgrade& u : kUpgrades) {
      if (db->executeUpdate(u.alter)) db->executeUpdate(u.fill);
    }
    // An older file with an empty settings table could not take the new
    // row before its columns were added; without one no setter would store.
    insertSettingsRowIfNone(db);
  });
}

void SettingsDb::close() {
  if (dbQueue_) dbQueue_->close();
}

void SettingsDb::setuserinfo(const std::string& username, const std::string& password, int64_t dateline,
                             const std::string& syncpath) {
  if (!dbQueue_) return;
  // Count and write in one block, so two callers can't both insert.
  dbQueue_->inDatabase([&](SQDatabase* db) {
    if (rowCount(db, "select count(*) as cnt from userinfo") != 0) {
      db->executeUpdate("update userinfo set username=?,password =?,dateline=?,syncpath=?", username, password,
                        dateline, syncpath);
    } else {
      db->executeUpdate("insert into userinfo(username,password,dateline,syncpath) values(?,?,?,?);", username,
                        password, dateline, syncpath);
    }
  });
}

void SettingsDb::deleteuserinof(const std::string& username) {
  if (!dbQueue_) return;
  dbQueue_->inDatabase([&](SQDatabase* db) { db->executeUpdate("delete from userinfo where username!=?", username); });
}

void SettingsDb::clearuserinfo() {
  if (!dbQueue_) return;
  dbQueue_->inDatabase([](SQDatabase* db) { db->executeUpdate("delete from userinfo"); });
}

// ---- helpers: one statement, one block

void SettingsDb::updateText(const char* sql, const std::string& v) {
  if (!dbQueue_) return;
  dbQueue_->inDatabase([&](SQDatabase* db) { db->executeUpdate(sql, v); });
}

void SettingsDb::updateNumber(const char* sql, int64_t v) {
  if (!dbQueue_) return;
  dbQueue_->inDatabase([&](SQDatabase* db) { db->executeUpdate(sql, v); });
}

void SettingsDb::updateFlag(const char* sql, bool v) {
  if (!dbQueue_) return;
  dbQueue_->inDatabase([&](SQDatabase* db) { db->executeUpdate(sql, v ? 1 : 0); });
}

std::string SettingsDb::text(const char* sql, const char* column) {
  std::string out;
  if (!dbQueue_) return out;
  dbQueue_->inDatabase([&](SQDatabase* db) {
    auto rs = db->executeQuery(sql);
    if (rs && rs->next()) out = rs->stringForColumn(column).value_or("");
    if (rs) rs->close();
  });
  return out;
}

// Read as 64 bits: ids and datelines are stored as 64-bit numbers, and a
// 32-bit read would hand back a different id.
int64_t SettingsDb::number(const char* sql, const char* column) {
  int64_t out = 0;
  if (!dbQueue_) return out;
  dbQueue_->inDatabase([&](SQDatabase* db) {
    auto rs = db->executeQuery(sql);
    if (rs && rs->next()) out = rs->longLongIntForColumn(column);
    if (rs) rs->close();
  });
  return out;
}

bool SettingsDb::flag(const char* sql, const char* column, bool noRow) {
  bool out = noRow;
  if (!dbQueue_) return out;
  dbQueue_->inDatabase([&](SQDatabase* db) {
    auto rs = db->executeQuery(sql);
    if (rs && rs->next()) out = rs->boolForColumn(column);
    if (rs) rs->close();
  });
  return out;
}

// ---- userinfo

std::string SettingsDb::getuser() { return text("select username from userinfo", "username"); }
void SettingsDb::setuser(const std::string& v) { updateText("update userinfo set username=?", v); }
std::string SettingsDb::getpassword() { return text("select password from userinfo", "password"); }
void SettingsDb::setpassword(const std::string& v) { updateText("update userinfo set password=?", v); }
int64_t SettingsDb::getdateline() { return number("select dateline from userinfo", "dateline"); }
void SettingsDb::setdateline(int64_t v) { updateNumber("update userinfo set dateline=?", v); }
std::string SettingsDb::getsyncpath() { return text("select syncpath from userinfo", "syncpath"); }
void SettingsDb::setsyncpath(const std::string& v) { updateText("update userinfo set syncpath=?", v); }
int64_t SettingsDb::getuserid() { return number("select userid from userinfo", "userid"); }
void SettingsDb::setuserid(int64_t v) { updateNumber("update userinfo set userid=?", v); }
int64_t SettingsDb::getmountid() { return number("select mountid from userinfo", "mountid"); }
void SettingsDb::setmountid(int64_t v) { updateNumber("update userinfo set mountid=?", v); }
int64_t SettingsDb::getorgid() { return number("select orgid from userinfo", "orgid"); }
void SettingsDb::setorgid(int64_t v) { updateNumber("update userinfo set orgid=?", v); }
std::string SettingsDb::getorgname() { return text("select orgname from userinfo", "orgname"); }
void SettingsDb::setorgname(const std::string& v) { updateText("update userinfo set orgname=?", v); }
std::string SettingsDb::getname() { return text("select name from userinfo", "name"); }
void SettingsDb::setname(const std::string& v) { updateText("update userinfo set name=?", v); }

// ---- settings

bool SettingsDb::getautorun() { return flag("select autorun from settings", "autorun", true); }
void SettingsDb::setautorun(bool v) {
  // The login item follows the switch: one item when on, none when off. A
  // second item added by a repeated "on" would survive the next "off", and
  // the application would still start at login against the setting.
  if (v) {
    if (!Util::findAppAsLoginItem()) Util::addAppAsLoginItem();
  } else {
    for (int i = 0; i < 100 && Util::findAppAsLoginItem(); ++i) Util::deleteAppFromLoginItem();
  }
  updateFlag("update settings set autorun=?", v);
}
bool SettingsDb::getprompt() { return flag("select prompt from settings", "prompt", true); }
void SettingsDb::setprompt(bool v) { updateFlag("update settings set prompt=?", v); }
bool SettingsDb::getlocal() { return flag("select local from settings", "local", true); }
void SettingsDb::setlocal(bool v) { updateFlag("update settings set local=?", v); }
bool SettingsDb::gethttps() { return flag("select https from settings", "https", true); }
void SettingsDb::sethttps(bool v) { updateFlag("update settings set https=?", v); }
int64_t SettingsDb::getagenttype() { return number("select agenttype from settings", "agenttype"); }
void SettingsDb::setagenttype(int64_t v) { updateNumber("update settings set agenttype=?", v); }
std::string SettingsDb::getagentip() { return text("select agentip from settings", "agentip"); }
void SettingsDb::setagentip(const std::string& v) { updateText("update settings set agentip=?", v); }
int64_t SettingsDb::getagentport() { return number("select agentport from settings", "agentport"); }
void SettingsDb::setagentport(int64_t v) { updateNumber("update settings set agentport=?", v); }
bool SettingsDb::getagentneeduser() { return flag("select agentneeduser from settings", "agentneeduser", false); }
void SettingsDb::setagentneeduser(bool v) { updateFlag("update settings set agentneeduser=?", v); }
std::string SettingsDb::getagentuser() { return text("select agentusername from settings", "agentusername"); }
void SettingsDb::setagentuser(const std::string& v) { updateText("update settings set agentusername=?", v); }
std::string SettingsDb::getagentpassword() { return text("select agentpassword from settings", "agentpassword"); }
void SettingsDb::setagentpassword(const std::string& v) { updateText("update settings set agentpassword=?", v); }
bool SettingsDb::getblacktray() { return flag("select blacktray from settings", "blacktray", true); }
void SettingsDb::setblacktray(bool v) { updateFlag("update settings set blacktray=?", v); }
bool SettingsDb::getdelete2recyclebin() { return flag("select recyclebin from settings", "recyclebin", true); }
void SettingsDb::setdelete2recyclebin(bool v) { updateFlag("update settings set recyclebin=?", v); }
bool SettingsDb::getrightbar() { return flag("select rightbar from settings", "rightbar", true); }
void SettingsDb::setrightbar(bool v) { updateFlag("update settings set rightbar=?", v); }
