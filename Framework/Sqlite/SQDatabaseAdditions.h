// SQDatabase(SQDatabaseAdditions): single-value queries, schema queries and
// SQL validation over one connection. Table names are always bound, never
// spliced into the text; validation gives up at the connection's busy limit.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Framework/Sqlite/SQDatabase.h"
#include "Framework/Sqlite/SQResultSet.h"

namespace SQDatabaseAdditions {

// Runs the query, reads column 0 of the first row with `read`, closes the
// result set; `none` when there is no row or the query fails.
template <class T, class Read, class... Args>
T valueForQuery(SQDatabase& db, T none, Read read, const std::string& sql, Args&&... args) {
  std::shared_ptr<SQResultSet> rs = db.executeQuery(sql, std::forward<Args>(args)...);
  if (!rs || !rs->next()) return none;  // without a row, next has closed it
  T value = read(*rs);
  rs->close();
  return value;
}

template <class... Args>
std::optional<std::string> stringForQuery(SQDatabase& db, const std::string& sql, Args&&... args) {
  return valueForQuery<std::optional<std::string>>(
      db, std::nullopt, [](SQResultSet& rs) { return rs.stringForColumnIndex(0); }, sql, std::forward<Args>(args)...);
}
template <class... Args>
int intForQuery(SQDatabase& db, const std::string& sql, Args&&... args) {
  return valueForQuery<int>(db, 0, [](SQResultSet& rs) { return rs.intForColumnIndex(0); }, sql,
                            std::forward<Args>(args)...);
}
template <class... Args>
int64_t longForQuery(SQDatabase& db, const std::string& sql, Args&&... args) {
  return valueForQuery<int64_t>(db, 0, [](SQResultSet& rs) { return rs.longForColumnIndex(0); }, sql,
                                std::forward<Args>(args)...);
}
template <class... Args>
bool boolForQuery(SQDatabase& db, const std::string& sql, Args&&... args) {
  return valueForQuery<bool>(db, false, [](SQResultSet& rs) { return rs.boolForColumnIndex(0); }, sql,
                             std::forward<Args>(args)...);
}
template <class... Args>
double doubleForQuery(SQDatabase& db, const std::string& sql, Args&&... args) {
  return valueForQuery<double>(db, 0.0, [](SQResultSet& rs) { return rs.doubleForColumnIndex(0); }, sql,
                               std::forward<Args>(args)...);
}
template <class... Args>
std::optional<plat::Data> dataForQuery(SQDatabase& db, const std::string& sql, Args&&... args) {
  return valueForQuery<std::optional<plat::Data>>(
      db, std::nullopt, [](SQResultSet& rs) { return rs.dataForColumnIndex(0); }, sql, std::forward<Args>(args)...);
}
template <class... Args>
std::optional<plat::Date> dateForQuery(SQDatabase& db, const std::string& sql, Args&&... args) {
  return valueForQuery<std::optional<plat::Date>>(
      db, std::nullopt, [](SQResultSet& rs) { return rs.dateForColumnIndex(0); }, sql, std::forward<Args>(args)...);
}

// Letter case is ignored in table and column names.
bool tableExists(SQDatabase& db, const std::string& tableName);
std::shared_ptr<SQResultSet> getSchema(SQDatabase& db);
// The rows of table_info for the table: cid, name, type, notnull, dflt_value, pk.
std::shared_ptr<SQResultSet> getTableSchema(SQDatabase& db, const std::string& tableName);
bool columnExists(SQDatabase& db, const std::string& columnName, const std::string& tableName);
// The same question, the table first.
bool columnExistsInTable(SQDatabase& db, const std::string& tableName, const std::string& columnName);

// Whether the SQL prepares; nothing is executed. A failure fills `error`
// (Cocoa domain, the connection's last error code and message); a file that
// stays busy past the connection's busy limit is a failure too.
bool validateSQL(SQDatabase& db, const std::string& sql, plat::Error* error = nullptr);

}  // namespace SQDatabaseAdditions
