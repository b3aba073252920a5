#include "Framework/Sqlite/SQDatabaseAdditions.h"

#include <algorithm>
#include <cctype>

#include "Framework/Sqlite/SQBusy.h"
#include "platform/foundation/log.h"

namespace SQDatabaseAdditions {

namespace {
constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";

std::string lowercased(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}
}  // namespace

bool tableExists(SQDatabase& db, const std::string& tableName) {
  auto rs = db.executeQuery("select [sql] from sqlite_master where [type] = 'table' and lower(name) = ?",
                            lowercased(tableName));
  if (!rs) return false;
  bool found = rs->next();
  rs->close();
  return found;
}

std::shared_ptr<SQResultSet> getSchema(SQDatabase& db) {
  return db.executeQuery(
      "SELECT type, name, tbl_name, rootpage, sql FROM (SELECT * FROM sqlite_master UNION ALL SELECT * FROM "
      "sqlite_temp_master) WHERE type != 'meta' AND name NOT LIKE 'sqlite_%' ORDER BY tbl_name, type DESC, name");
}

std::shared_ptr<SQResultSet> getTableSchema(SQDatabase& db, const std::string& tableName) {
  // The table-valued form of the pragma takes the name as a bound argument.
  return db.executeQuery("SELECT * FROM pragma_table_info(?)", tableName);
}

bool columnExists(SQDatabase& db, const std::string& columnName, const std::string& tableName) {
  const std::string column = lowercased(columnName);
  auto rs = getTableSchema(db, lowercased(tableName));
  if (!rs) return false;
  bool found = false;
  while (rs->next()) {
    if (lowercased(rs->stringForColumn("name").value_or("")) == column) {
      found = true;
      break;
    }
  }
  rs->close();
  return found;
}

bool columnExistsInTable(SQDatabase& db, const std::string& tableName, const std::string& columnName) {
  return columnExists(db, columnName, tableName);
}

bool validateSQL(SQDatabase& db, const std::string& sql, plat::Error* error) {
  sqlite3_stmt* stmt = nullptr;
  sqdetail::BusyWait wait;
  int rc;
  for (;;) {
    rc = sqlite3_prepare_v2(db.sqliteHandle(), sql.c_str(), -1, &stmt, nullptr);
    if (!sqdetail::isBusy(rc)) break;
    sqlite3_finalize(stmt);
    stmt = nullptr;
    if (!wait.retry(db.busyRetryTimeout())) {
      plat::log("%s:%d Database busy (%@)", __func__, __LINE__, db.databasePath().value_or(":memory:"));
      plat::log("Database busy");
      break;
    }
  }
  sqlite3_finalize(stmt);
  if (rc == SQLITE_OK) return true;
  plat::setError(error, plat::Error::withDescription(kCocoaErrorDomain, db.lastErrorCode(), db.lastErrorMessage()));
  return false;
}

}  // namespace SQDatabaseAdditions
