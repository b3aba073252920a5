#include "Framework/Sqlite/SQResultSet.h"

#include "Framework/Sqlite/SQBusy.h"
#include "Framework/Sqlite/SQDatabase.h"
#include "platform/foundation/log.h"
#include "platform/foundation/text_codec.h"

namespace {

std::string lowercased(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::shared_ptr<SQResultSet> SQResultSet::resultSetWithStatement(std::shared_ptr<SQStatement> statement,
                                                                 SQDatabase* parentDB) {
  return std::make_shared<SQResultSet>(std::move(statement), parentDB);
}

SQResultSet::SQResultSet(std::shared_ptr<SQStatement> statement, SQDatabase* parentDB)
    : _parentDB(parentDB), _statement(std::move(statement)) {}

SQResultSet::~SQResultSet() { close(); }

void SQResultSet::setParentDB(SQDatabase* db) {
  if (_parentDB && _parentDB != db) _parentDB->resultSetDidClose(this);
  _parentDB = db;
}

void SQResultSet::close() {
  if (_statement) {
    _statement->reset();
    _statement->setInUse(false);
    _statement.reset();
  }
  if (_parentDB) {
    _parentDB->resultSetDidClose(this);
    _parentDB = nullptr;
  }
}

bool SQResultSet::next() {
  sqlite3_stmt* pStmt = _statement ? _statement->statement() : nullptr;
  sqdetail::BusyWait wait;
  int rc;
  for (;;) {
    rc = pStmt ? sqlite3_step(pStmt) : SQLITE_MISUSE;
    if (pStmt && sqdetail::isWorthRetrying(rc, sqlite3_extended_errcode(sqlite3_db_handle(pStmt)))) {
      if (rc == SQLITE_LOCKED) {
        const int resetRc = sqlite3_reset(pStmt);
        if (resetRc != SQLITE_LOCKED) plat::log("Unexpected result from sqlite3_reset (%d) rs", resetRc);
      }
      // A detached set has no limit.
      if (!wait.retry(_parentDB ? _parentDB->busyRetryTimeout() : 0)) {
        plat::log("%s:%d Database busy (%@)", __func__, __LINE__,
                  _parentDB && _parentDB->databasePath() ? *_parentDB->databasePath() : std::string("(null)"));
        plat::log("Database busy");
        break;
      }
      continue;
    }
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) break;
    const char* message =
        _parentDB && _parentDB->sqliteHandle() ? sqlite3_errmsg(_parentDB->sqliteHandle()) : sqlite3_errstr(rc);
    if (rc == SQLITE_ERROR || rc == SQLITE_MISUSE) {
      plat::log("Error calling sqlite3_step (%d: %s) rs", rc, message);
    } else {
      plat::log("Unknown error calling sqlite3_step (%d: %s) rs", rc, message);
    }
    break;
  }
  if (rc != SQLITE_ROW) close();
  return rc == SQLITE_ROW;
}

bool SQResultSet::hasAnotherRow() const { return _parentDB && _parentDB->lastErrorCode() == SQLITE_ROW; }

int SQResultSet::columnCount() const {
  return _statement && _statement->statement() ? sqlite3_column_count(_statement->statement()) : 0;
}

void SQResultSet::setupColumnNames() {
  const int columnCount = this->columnCount();
  for (int columnIdx = 0; columnIdx < columnCount; ++columnIdx) {
    const char* name = sqlite3_column_name(_statement->statement(), columnIdx);
    if (name) _columnNameToIndexMap[lowercased(name)] = columnIdx;
  }
  _columnNamesSetup = true;
}

int SQResultSet::columnIndexForName(std::string_view columnName) {
  if (!_columnNamesSetup) setupColumnNames();
  const std::string name = lowercased(columnName);
  auto it = _columnNameToIndexMap.find(name);
  if (it == _columnNameToIndexMap.end()) {
    plat::log("Warning: I could not find the column named '%@'.", name);
    return -1;
  }
  return it->second;
}

std::string SQResultSet::columnNameForIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = columnStatement(columnIdx);
  const char* name = pStmt ? sqlite3_column_name(pStmt, columnIdx) : nullptr;
  return name ? name : "";
}

sqlite3_stmt* SQResultSet::columnStatement(int columnIdx) const {
  if (!_statement || columnIdx < 0) return nullptr;
  sqlite3_stmt* pStmt = _statement->statement();
  if (!pStmt || columnIdx >= sqlite3_column_count(pStmt)) return nullptr;
  return pStmt;
}

void SQResultSet::kvcMagic(const std::function<void(const std::string&, const std::string&)>& setValueForKey) {
  const int columnCount = this->columnCount();
  for (int i = 0; i < columnCount; ++i) {
    const unsigned char* text = sqlite3_column_text(_statement->statement(), i);
    if (!text) continue;
    const char* name = sqlite3_column_name(_statement->statement(), i);
    setValueForKey(name ? name : "", reinterpret_cast<const char*>(text));
  }
}

std::optional<plat::Dictionary> SQResultSet::resultDict() {
  const int num_cols = _statement && _statement->statement() ? sqlite3_data_count(_statement->statement()) : 0;
  if (num_cols < 1) {
    plat::log("Warning: There seem to be no columns in this set.");
    return std::nullopt;
  }
  if (!_columnNamesSetup) setupColumnNames();
  plat::Dictionary dict;
  for (const auto& [name, idx] : _columnNameToIndexMap) dict.set(name, objectForColumnIndex(idx));
  return dict;
}

std::optional<plat::Dictionary> SQResultSet::resultDictionary() {
  const int num_cols = _statement && _statement->statement() ? sqlite3_data_count(_statement->statement()) : 0;
  if (num_cols < 1) {
    plat::log("Warning: There seem to be no columns in this set.");
    return std::nullopt;
  }
  plat::Dictionary dict;
  const int columnCount = this->columnCount();
  for (int i = 0; i < columnCount; ++i) dict.set(columnNameForIndex(i), objectForColumnIndex(i));
  return dict;
}

int SQResultSet::intForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = columnStatement(columnIdx);
  return pStmt ? sqlite3_column_int(pStmt, columnIdx) : 0;
}

int64_t SQResultSet::longLongIntForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = columnStatement(columnIdx);
  return pStmt ? sqlite3_column_int64(pStmt, columnIdx) : 0;
}

uint64_t SQResultSet::unsignedLongLongIntForColumnIndex(int columnIdx) const {
  return static_cast<uint64_t>(longLongIntForColumnIndex(columnIdx));
}

bool SQResultSet::boolForColumnIndex(int columnIdx) const { return intForColumnIndex(columnIdx) != 0; }

double SQResultSet::doubleForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = columnStatement(columnIdx);
  return pStmt ? sqlite3_column_double(pStmt, columnIdx) : 0.0;
}

std::optional<std::string> SQResultSet::stringForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = columnStatement(columnIdx);
  if (!pStmt || sqlite3_column_type(pStmt, columnIdx) == SQLITE_NULL) return std::nullopt;
  const unsigned char* text = sqlite3_column_text(pStmt, columnIdx);
  if (!text) return std::nullopt;
  const size_t n = static_cast<size_t>(sqlite3_column_bytes(pStmt, columnIdx));
  if (!plat::isValidUTF8(text, n)) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(text), n);
}

std::optional<plat::Date> SQResultSet::dateForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = columnStatement(columnIdx);
  if (!pStmt || sqlite3_column_type(pStmt, columnIdx) == SQLITE_NULL) return std::nullopt;
  return plat::Date{sqlite3_column_double(pStmt, columnIdx)};
}

std::optional<plat::Data> SQResultSet::dataForColumnIndex(int columnIdx) const {
  auto bytes = dataNoCopyForColumnIndex(columnIdx);
  if (!bytes) return std::nullopt;
  return plat::Data(bytes->begin(), bytes->end());
}

std::optional<std::span<const std::uint8_t>> SQResultSet::dataNoCopyForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = columnStatement(columnIdx);
  if (!pStmt || sqlite3_column_type(pStmt, columnIdx) == SQLITE_NULL) return std::nullopt;
  // Blob first, then its length, as SQLite asks.
  const void* blob = sqlite3_column_blob(pStmt, columnIdx);
  const int n = sqlite3_column_bytes(pStmt, columnIdx);
  if (!blob || n <= 0) return std::span<const std::uint8_t>();
  return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(blob), static_cast<size_t>(n));
}

const char* SQResultSet::UTF8StringForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = columnStatement(columnIdx);
  if (!pStmt || sqlite3_column_type(pStmt, columnIdx) == SQLITE_NULL) return nullptr;
  return reinterpret_cast<const char*>(sqlite3_column_text(pStmt, columnIdx));
}

plat::Value SQResultSet::objectForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = columnStatement(columnIdx);
  if (!pStmt) return plat::Value::null();
  switch (sqlite3_column_type(pStmt, columnIdx)) {
    case SQLITE_INTEGER: return plat::Value(plat::Number::fromLongLong(sqlite3_column_int64(pStmt, columnIdx)));
    case SQLITE_FLOAT: return plat::Value(plat::Number::fromDouble(sqlite3_column_double(pStmt, columnIdx)));
    case SQLITE_BLOB: {
      auto d = dataForColumnIndex(columnIdx);
      return d ? plat::Value(std::move(*d)) : plat::Value::null();
    }
    default: {
      auto s = stringForColumnIndex(columnIdx);
      return s ? plat::Value(std::move(*s)) : plat::Value::null();
    }
  }
}

bool SQResultSet::columnIndexIsNull(int columnIdx) const {
  sqlite3_stmt* pStmt = columnStatement(columnIdx);
  return !pStmt || sqlite3_column_type(pStmt, columnIdx) == SQLITE_NULL;
}
