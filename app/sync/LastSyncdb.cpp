#include "app/sync/LastSyncdb.h"

#include "Framework/Sqlite/SQDatabaseQueue.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "platform/foundation/log.h"

namespace {

// The first row's column as text, "" without a row.
std::string firstText(SQDatabase* db, const char* sql, const char* column, const plat::Array& args = {}) {
  std::string out;
  auto rs = db->executeQuery(sql, args);
  if (rs && rs->next()) out = rs->stringForColumn(column).value_or("");
  if (rs) rs->close();
  return out;
}

bool hasRow(SQDatabase* db, const char* sql, const plat::Array& args = {}) {
  auto rs = db->executeQuery(sql, args);
  const bool found = rs && rs->next();
  if (rs) rs->close();
  return found;
}

}  // namespace

LastSyncdb::LastSyncdb(const std::string& path) {
  dbQueue_ = SQDatabaseQueue::databaseQueueWithPath(path);
  createtable();
  changeold();
}

LastSyncdb::~LastSyncdb() = default;

std::shared_ptr<LastSyncdb> LastSyncdb::initpath(const std::string& path) {
  return std::make_shared<LastSyncdb>(path);
}

std::shared_ptr<LastSyncdb> LastSyncdb::shareLastSyncdb() {
  static const std::shared_ptr<LastSyncdb> instance = [] {
    auto user = Util::getAppDelegate().userdata();
    if (!user) user = std::make_shared<UserData>();
    return initpath(user->getmountdb());
  }();
  return instance;
}

void LastSyncdb::createtable() {
  if (!dbQueue_) return;
  dbQueue_->inDatabase([](SQDatabase* db) {
    if (!db->executeUpdate(
            "CREATE TABLE IF NOT EXISTS mount(userid int,syncpath char [2000],changeold int ,dateline bigint,PRIMARY "
            "KEY(userid));")) {
      plat::log("error to create mount");
    }
    if (!db->executeUpdate("CREATE TABLE IF NOT EXISTS TEMPPATH(path char [2000]);")) {
      plat::log("error to create TEMPPATH");
    }
  });
}

void LastSyncdb::changeold() {
  if (!dbQueue_) return;
  dbQueue_->inDatabase([](SQDatabase* db) {
    // Fails on a current file, which has both columns.
    if (db->executeUpdate("ALTER TABLE mount add changeold int;")) db->executeUpdate("update mount set changeold='0';");
    if (db->executeUpdate("ALTER TABLE mount add dateline bigint;")) db->executeUpdate("update mount set dateline='0';");
  });
}

void LastSyncdb::close() {
  if (dbQueue_) dbQueue_->close();
}

void LastSyncdb::setsyncpath(int64_t userid, const std::string& syncpath) {
  if (!dbQueue_) return;
  dbQueue_->inTransaction([&](SQDatabase* db, bool*) {
    if (hasRow(db, "select syncpath from mount where userid=?", {userid})) {
      db->executeUpdate("update mount set syncpath=? where userid=?", syncpath, userid);
    } else {
      db->executeUpdate("insert into mount(userid,syncpath) values(?,?);", userid, syncpath);
    }
  });
}

std::string LastSyncdb::getsyncpath(int64_t userid) {
  std::string out;
  if (dbQueue_) {
    dbQueue_->inDatabase(
        [&](SQDatabase* db) { out = firstText(db, "select syncpath from mount where userid=?", "syncpath", {userid}); });
  }
  return out;
}

void LastSyncdb::setchangeold(int64_t value) {
  if (dbQueue_) dbQueue_->inDatabase([&](SQDatabase* db) { db->executeUpdate("update mount set changeold=?", value); });
}

int64_t LastSyncdb::getchangeold() {
  int64_t out = 0;
  if (dbQueue_) {
    dbQueue_->inDatabase([&](SQDatabase* db) {
      auto rs = db->executeQuery("SELECT changeold FROM mount");
      if (rs && rs->next()) out = rs->intForColumn("changeold");
      if (rs) rs->close();
    });
  }
  return out;
}

void LastSyncdb::settemppath(const std::string& path) {
  if (!dbQueue_) return;
  dbQueue_->inTransaction([&](SQDatabase* db, bool*) {
    if (hasRow(db, "select path from TEMPPATH")) {
      db->executeUpdate("update TEMPPATH set path=?", path);
    } else {
      db->executeUpdate("insert into TEMPPATH(path) values(?);", path);
    }
  });
}

std::string LastSyncdb::gettemppath() {
  std::string out;
  if (dbQueue_) dbQueue_->inDatabase([&](SQDatabase* db) { out = firstText(db, "select path from TEMPPATH", "path"); });
  return out;
}

void LastSyncdb::setdateline(int64_t value) {
  if (dbQueue_) dbQueue_->inDatabase([&](SQDatabase* db) { db->executeUpdate("update mount set dateline=?", value); });
}

int64_t LastSyncdb::getdateline() {
  int64_t out = 0;
  if (dbQueue_) {
    dbQueue_->inDatabase([&](SQDatabase* db) {
      auto rs = db->executeQuery("select dateline from mount");
      if (rs && rs->next()) out = rs->longLongIntForColumn("dateline");
      if (rs) rs->close();
    });
  }
  return out;
}
