// SQResultSet: the cursor that SQDatabase::executeQuery returns. It steps its
// statement row by row and reads columns by index or by name (names match
// without regard to case). A closed set has no statement: every accessor
// answers 0, false, empty or the null value.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/foundation/value.h"

class SQDatabase;
class SQStatement;

class SQResultSet {
public:
  static std::shared_ptr<SQResultSet> resultSetWithStatement(std::shared_ptr<SQStatement> statement,
                                                              SQDatabase* parentDB);
  SQResultSet(std::shared_ptr<SQStatement> statement, SQDatabase* parentDB);
  ~SQResultSet();
  SQResultSet(const SQResultSet&) = delete;
  SQResultSet& operator=(const SQResultSet&) = delete;

  void close();
  bool next();
  bool hasAnotherRow() const;

  int columnCount() const;
  void setupColumnNames();
  // -1 (after a warning) for a name the row does not have.
  int columnIndexForName(std::string_view columnName);
  std::string columnNameForIndex(int columnIdx) const;

  // Calls setValueForKey(column name, text) for every column whose text is not NULL.
  void kvcMagic(const std::function<void(const std::string& key, const std::string& value)>& setValueForKey);
  // Lowercased names to objectForColumnName; nothing when the row has no columns.
  std::optional<plat::Dictionary> resultDict();
  // Names as SQLite gives them to objectForColumnIndex; nothing when no columns.
  std::optional<plat::Dictionary> resultDictionary();

  int intForColumnIndex(int columnIdx) const;
  int64_t longForColumnIndex(int columnIdx) const { return longLongIntForColumnIndex(columnIdx); }
  int64_t longLongIntForColumnIndex(int columnIdx) const;
  uint64_t unsignedLongLongIntForColumnIndex(int columnIdx) const;
  bool boolForColumnIndex(int columnIdx) const;
  double doubleForColumnIndex(int columnIdx) const;
  std::optional<std::string> stringForColumnIndex(int columnIdx) const;
  std::optional<plat::Date> dateForColumnIndex(int columnIdx) const;
  std::optional<plat::Data> dataForColumnIndex(int columnIdx) const;
  // SQLite's own bytes, valid until the next step or reset.
  std::optional<std::span<const std::uint8_t>> dataNoCopyForColumnIndex(int columnIdx) const;
  // SQLite's own text, valid until the next step or reset.
  const char* UTF8StringForColumnIndex(int columnIdx) const;
  plat::Value objectForColumnIndex(int columnIdx) const;
  bool columnIndexIsNull(int columnIdx) const;

  int intForColumn(std::string_view name) { return intForColumnIndex(columnIndexForName(name)); }
  int64_t longForColumn(std::string_view name) { return longForColumnIndex(columnIndexForName(name)); }
  int64_t longLongIntForColumn(std::string_view name) { return longLongIntForColumnIndex(columnIndexForName(name)); }
  uint64_t unsignedLongLongIntForColumn(std::string_view name) {
    return unsignedLongLongIntForColumnIndex(columnIndexForName(name));
  }
  bool boolForColumn(std::string_view name) { return boolForColumnIndex(columnIndexForName(name)); }
  double doubleForColumn(std::string_view name) { return doubleForColumnIndex(columnIndexForName(name)); }
  std::optional<std::string> stringForColumn(std::string_view name) {
    return stringForColumnIndex(columnIndexForName(name));
  }
  std::optional<plat::Date> dateForColumn(std::string_view name) { return dateForColumnIndex(columnIndexForName(name)); }
  std::optional<plat::Data> dataForColumn(std::string_view name) { return dataForColumnIndex(columnIndexForName(name)); }
  std::optional<std::span<const std::uint8_t>> dataNoCopyForColumn(std::string_view name) {
    return dataNoCopyForColumnIndex(columnIndexForName(name));
  }
  const char* UTF8StringForColumnName(std::string_view name) {
    return UTF8StringForColumnIndex(columnIndexForName(name));
  }
  plat::Value objectForColumnName(std::string_view name) { return objectForColumnIndex(columnIndexForName(name)); }
  bool columnIsNull(std::string_view name) { return columnIndexIsNull(columnIndexForName(name)); }

  SQDatabase* parentDB() const { return _parentDB; }
  // Leaving a connection takes the set off its list, which would otherwise
  // keep a pointer to a set that may die first.
  void setParentDB(SQDatabase* db);
  const std::shared_ptr<SQStatement>& statement() const { return _statement; }
  void setStatement(std::shared_ptr<SQStatement> s) { _statement = std::move(s); }
  const std::string& query() const { return _query; }
  void setQuery(std::string q) { _query = std::move(q); }
  const std::unordered_map<std::string, int>& columnNameToIndexMap() const { return _columnNameToIndexMap; }

private:
  // The handle when idx names a column of it, else null: an index outside the
  // row must not reach SQLite, which would record a range error on the
  // connection and spoil hasAnotherRow.
  sqlite3_stmt* columnStatement(int columnIdx) const;

  SQDatabase* _parentDB = nullptr;
  std::shared_ptr<SQStatement> _statement;
  std::string _query;
  std::unordered_map<std::string, int> _columnNameToIndexMap;
  bool _columnNamesSetup = false;
};
