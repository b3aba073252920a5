#include "Framework/Sqlite/SQDatabase.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "Framework/Sqlite/SQBusy.h"
#include "Framework/Sqlite/SQResultSet.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/log.h"

// ---- SQStatement

void SQStatement::close() {
  if (_statement) {
    sqlite3_finalize(_statement);
    _statement = nullptr;
  }
}

void SQStatement::reset() {
  if (_statement) sqlite3_reset(_statement);
}

std::string SQStatement::description() const {
  char self[48];
  std::snprintf(self, sizeof self, "<SQStatement: %p>", static_cast<const void*>(this));
  return plat::format("%@ %ld hit(s) for query %@", std::string(self), static_cast<long>(_useCount), _query);
}

// ---- SQDatabase

namespace {

// Executing guard: set for the length of one execute, cleared on every way out.
class ExecutingGuard {
public:
  explicit ExecutingGuard(bool& flag) : flag_(flag) { flag_ = true; }
  ~ExecutingGuard() { flag_ = false; }
  ExecutingGuard(const ExecutingGuard&) = delete;
  ExecutingGuard& operator=(const ExecutingGuard&) = delete;

private:
  bool& flag_;
};

// Process-wide savepoint name counter of inSavePoint.
std::atomic<long> gSavePointIdx{0};

void SQDBBlockSQLiteCallBackFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
  auto* block = static_cast<SQDatabase::FunctionBlock*>(sqlite3_user_data(context));
  if (!block || !*block) return;
  // Nothing may unwind through SQLite's own frames: a throwing block fails
  // the statement instead.
  try {
    (*block)(context, argc, argv);
  } catch (const std::exception& e) {
    plat::log("SQL function raised: %s", e.what());
    sqlite3_result_error(context, e.what(), -1);
  } catch (...) {
    plat::log("SQL function raised");
    sqlite3_result_error(context, "SQL function raised", -1);
  }
}

// A savepoint name inside '...': a quote in it is doubled so the name can't
// end the literal.
std::string quotedName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

}  // namespace

SQDatabase::SQDatabase(std::optional<std::string> path) : _databasePath(std::move(path)) {
  if (!isSQLiteThreadSafe()) {
    throw plat::Exception(plat::kInternalInconsistencyException, "SQLite is not built thread-safe");
  }
}

std::shared_ptr<SQDatabase> SQDatabase::databaseWithPath(std::optional<std::string> path) {
  return std::make_shared<SQDatabase>(std::move(path));
}

SQDatabase::~SQDatabase() {
  if (!close() && _db) {
    // Still busy: let SQLite close it once its last statement is gone.
    sqlite3_close_v2(_db);
    _db = nullptr;
  }
}

std::string SQDatabase::description() const {
  char buf[48];
  std::snprintf(buf, sizeof buf, "<SQDatabase: %p>", static_cast<const void*>(this));
  return buf;
}

std::string SQDatabase::pathText() const { return _databasePath ? *_databasePath : std::string("(null)"); }

std::string SQDatabase::sqliteLibVersion() { return plat::format("%s", sqlite3_libversion()); }

bool SQDatabase::isSQLiteThreadSafe() { return sqlite3_threadsafe() != 0; }

bool SQDatabase::open() {
  if (_db) return true;
  const std::string file = _databasePath ? *_databasePath : std::string(":memory:");
  int err = sqlite3_open(file.c_str(), &_db);
  if (err != SQLITE_OK) {
    plat::log("error opening!: %d", err);
    // SQLite hands back a handle even on failure; a failed open leaves the
    // connection closed.
    sqlite3_close(_db);
    _db = nullptr;
    return false;
  }
  return true;
}

bool SQDatabase::openWithFlags(int flags) {
  const std::string file = _databasePath ? *_databasePath : std::string(":memory:");
  if (_db && !close()) return false;  // never leak a handle that is still open
  int err = sqlite3_open_v2(file.c_str(), &_db, flags, nullptr);
  if (err != SQLITE_OK) {
    plat::log("error opening!: %d", err);
    sqlite3_close(_db);
    _db = nullptr;
    return false;
  }
  return true;
}

void SQDatabase::closeWrappedStatements() {
  for (auto& weak : _wrappedStatements) {
    if (auto s = weak.lock()) s->close();
  }
  _wrappedStatements.clear();
  _wrappedPruneAt = 64;
}

bool SQDatabase::close() {
  // From inside a statement being stepped (a custom function) closing would
  // finalise that very statement under SQLite's feet.
  if (_isExecutingStatement) {
    warnInUse();
    return false;
  }
  clearCachedStatements();
  closeOpenResultSets();
  if (!_db) return true;
  closeWrappedStatements();

  sqdetail::BusyWait wait;
  bool triedFinalizingOpenStatements = false;
  for (;;) {
    int rc = sqlite3_close(_db);
    if (sqdetail::isBusy(rc)) {
      if (!triedFinalizingOpenStatements) {
        triedFinalizingOpenStatements = true;
        sqlite3_stmt* pStmt;
        while ((pStmt = sqlite3_next_stmt(_db, nullptr)) != nullptr) {
          plat::log("Closing leaked statement");
          sqlite3_finalize(pStmt);
        }
      }
      if (!wait.retry(_busyRetryTimeout)) {
        plat::log("%s:%d", __func__, __LINE__);
        plat::log("Database busy, unable to close");
        return false;
      }
      continue;
    }
    if (rc != SQLITE_OK) plat::log("error closing!: %d", rc);
    break;
  }
  _db = nullptr;
  return true;
}

void SQDatabase::clearCachedStatements() {
  if (!_cachedStatements) return;
  for (auto& [query, statement] : *_cachedStatements) statement->close();
  _cachedStatements->clear();
}

void SQDatabase::closeOpenResultSets() {
  // A snapshot: closing a set makes it remove itself from the live set.
  const std::vector<SQResultSet*> snapshot(_openResultSets.begin(), _openResultSets.end());
  for (SQResultSet* rs : snapshot) {
    rs->setParentDB(nullptr);
    rs->close();
    _openResultSets.erase(rs);
  }
}

void SQDatabase::resultSetDidClose(SQResultSet* resultSet) { _openResultSets.erase(resultSet); }

std::shared_ptr<SQStatement> SQDatabase::cachedStatementForQuery(const std::string& query) const {
  if (!_cachedStatements) return nullptr;
  auto it = _cachedStatements->find(query);
  return it == _cachedStatements->end() ? nullptr : it->second;
}

void SQDatabase::setCachedStatement(const std::shared_ptr<SQStatement>& statement, const std::string& query) {
  if (!statement) return;
  if (!_cachedStatements) _cachedStatements = std::make_unique<std::map<std::string, std::shared_ptr<SQStatement>>>();
  statement->setQuery(query);
  (*_cachedStatements)[query] = statement;
}

void SQDatabase::setShouldCacheStatements(bool value) {
  _shouldCacheStatements = value;
  if (value && !_cachedStatements) {
    _cachedStatements = std::make_unique<std::map<std::string, std::shared_ptr<SQStatement>>>();
  }
  if (!value) _cachedStatements.reset();
}

bool SQDatabase::rekey(const std::string&) { return false; }
bool SQDatabase::setKey(const std::string&) { return false; }

bool SQDatabase::goodConnection() {
  if (!_db) return false;
  auto rs = executeQuery("select name from sqlite_master where type='table'");
  if (!rs) return false;
  rs->close();
  return true;
}

void SQDatabase::warnInUse() {
  plat::log("The SQDatabase %@ is currently in use.", *this);
  if (_crashOnErrors) std::abort();
}

bool SQDatabase::databaseExists() {
  if (!_db) {
    plat::log("The SQDatabase %@ is not open.", *this);
    if (_crashOnErrors) std::abort();
    return false;
  }
  return true;
}

std::string SQDatabase::lastErrorMessage() const { return sqlite3_errmsg(_db); }
int SQDatabase::lastErrorCode() const { return sqlite3_errcode(_db); }
bool SQDatabase::hadError() const {
  int code = lastErrorCode();
  return code > SQLITE_OK && code < SQLITE_ROW;
}

plat::Error SQDatabase::errorWithMessage(const std::string& message) const {
  return plat::Error::withDescription("SQDatabase", lastErrorCode(), message);
}

plat::Error SQDatabase::lastError() const { return errorWithMessage(lastErrorMessage()); }

int64_t SQDatabase::lastInsertRowId() {
  if (_isExecutingStatement) {
    warnInUse();
    return 0;
  }
  // SQLite dereferences a null handle here: a closed connection reads 0.
  if (!_db) return 0;
  ExecutingGuard guard(_isExecutingStatement);
  return sqlite3_last_insert_rowid(_db);
}

int SQDatabase::changes() {
  if (_isExecutingStatement) {
    warnInUse();
    return 0;
  }
  if (!_db) return 0;
  ExecutingGuard guard(_isExecutingStatement);
  return sqlite3_changes(_db);
}

int SQDatabase::bindObject(const plat::Value& obj, int idx, sqlite3_stmt* pStmt) {
  using Kind = plat::Value::Kind;
  switch (obj.kind()) {
    case Kind::Null:
      return sqlite3_bind_null(pStmt, idx);
    case Kind::Data: {
      // SQLite copies the bytes: the value may be a temporary of the caller.
      // The 64-bit length: an int would wrap and store a cut blob.
      const plat::Data& d = obj.dataValue();
      const void* bytes = d.empty() ? static_cast<const void*>("") : d.data();
      return sqlite3_bind_blob64(pStmt, idx, bytes, d.size(), SQLITE_TRANSIENT);
    }
    case Kind::Date:
      return sqlite3_bind_double(pStmt, idx, obj.date().secondsSince1970);
    case Kind::Bool:
    case Kind::Number: {
      const plat::Number n = obj.number();
      switch (n.type()) {
        case 'c': return sqlite3_bind_int(pStmt, idx, n.boolValue() ? 1 : 0);
        case 'i':
        case 'q': return sqlite3_bind_int64(pStmt, idx, n.longLongValue());
        case 'Q': return sqlite3_bind_int64(pStmt, idx, static_cast<sqlite3_int64>(n.unsignedLongLongValue()));
        case 'f': return sqlite3_bind_double(pStmt, idx, static_cast<double>(n.floatValue()));
        case 'd': return sqlite3_bind_double(pStmt, idx, n.doubleValue());
        default: break;  // other C types bind as their text
      }
      break;
    }
    default:
      break;
  }
  // Strings and everything else: the description's text, copied by SQLite,
  // with its real length so an embedded NUL does not cut it. A Decimal goes
  // as its text too: a double would cut its digits, and a numeric column's
  // affinity still stores it as the number.
  const std::string text = obj.isString() ? obj.string() : obj.description();
  return sqlite3_bind_text64(pStmt, idx, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void SQDatabase::extractSQL(const std::string& sql, const plat::Array& args, std::string& cleanedSQL,
                            plat::Array& arguments) {
  const size_t length = sql.size();
  cleanedSQL.reserve(cleanedSQL.size() + length);
  size_t nextArg = 0;
  // Missing arguments still write their "?": the bind count then refuses the
  // statement instead of reading past the arguments.
  auto take = [&]() -> std::optional<plat::Value> {
    if (nextArg < args.size()) return args[nextArg++];
    return std::nullopt;
  };
  char last = '\0';
  for (size_t i = 0; i < length; ++i) {
    const char current = sql[i];
    char add = current;
    bool converted = false;
    std::optional<plat::Value> arg;
    auto at = [&](size_t j) { return j < length ? sql[j] : '\0'; };
    if (last == '%') {
      switch (current) {
        case '@':
          converted = true;
          arg = take();
          break;
        case 'c':
          converted = true;
          if (auto v = take()) arg = plat::Value(std::string(1, static_cast<char>(v->intValue())));
          break;
        case 's':
          converted = true;
          if (auto v = take()) arg = v->isString() ? *v : plat::Value(v->description());
          break;
        case 'd':
        case 'D':
        case 'i':
          converted = true;
          if (auto v = take()) arg = plat::Value(plat::Number::fromInt(v->intValue()));
          break;
        case 'u':
        case 'U':
          converted = true;
          if (auto v = take()) arg = plat::Value(plat::Number::fromUnsignedInt(static_cast<unsigned>(v->longLongValue())));
          break;
        case 'h':
        case 'q':
          if (at(i + 1) == 'i' || at(i + 1) == 'u') {
            const bool isUnsigned = at(++i) == 'u';
            converted = true;
            if (auto v = take()) {
              if (current == 'h') {
                arg = isUnsigned ? plat::Value(plat::Number::fromUnsignedShort(static_cast<unsigned short>(v->longLongValue())))
                                 : plat::Value(plat::Number::fromShort(static_cast<short>(v->longLongValue())));
              } else {
                arg = isUnsigned ? plat::Value(plat::Number::fromUnsignedLongLong(v->unsignedLongLongValue()))
                                 : plat::Value(plat::Number::fromLongLong(v->longLongValue()));
              }
            }
          }
          break;
        case 'f':
          converted = true;
          if (auto v = take()) arg = plat::Value(plat::Number::fromDouble(v->doubleValue()));
          break;
        case 'g':
          converted = true;
          if (auto v = take()) arg = plat::Value(plat::Number::fromFloat(static_cast<float>(v->doubleValue())));
          break;
        case 'l':
          if (at(i + 1) == 'l') {
            if (at(i + 2) == 'd' || at(i + 2) == 'u') {
              const bool isUnsigned = at(i + 2) == 'u';
              i += 2;
              converted = true;
              if (auto v = take()) {
                arg = isUnsigned ? plat::Value(plat::Number::fromUnsignedLongLong(v->unsignedLongLongValue()))
                                 : plat::Value(plat::Number::fromLongLong(v->longLongValue()));
              }
            } else {
              ++i;  // an unfinished "ll" writes one "l"
            }
          } else if (at(i + 1) == 'd' || at(i + 1) == 'u') {
            const bool isUnsigned = at(++i) == 'u';
            converted = true;
            if (auto v = take()) {
              arg = isUnsigned ? plat::Value(plat::Number::fromUnsignedLong(static_cast<unsigned long>(v->unsignedLongLongValue())))
                               : plat::Value(plat::Number::fromLong(static_cast<long>(v->longLongValue())));
            }
          }
          break;
        default:
          break;  // any other character after "%" is plain text
      }
    } else if (current == '%') {
      add = '\0';  // opens a sequence
    }

    if (converted) {
      cleanedSQL += '?';
      if (arg) arguments.push_back(std::move(*arg));
    } else if (add != '\0') {
      cleanedSQL += add;
    }
    // After "%%" nothing is remembered, so what follows is plain text.
    last = (last == '%' && current == '%') ? '\0' : current;
  }
}

bool SQDatabase::prepare(const std::string& sql, sqlite3_stmt** pStmt, plat::Error* outErr, const char* caller) {
  sqdetail::BusyWait wait;
  int rc;
  for (;;) {
    rc = sqlite3_prepare_v2(_db, sql.c_str(), -1, pStmt, nullptr);
    if (!sqdetail::isWorthRetrying(rc, sqlite3_extended_errcode(_db))) break;
    if (!wait.retry(_busyRetryTimeout)) {
      plat::log("%s:%d Database busy (%@)", caller, __LINE__, pathText());
      plat::log("Database busy");
      sqlite3_finalize(*pStmt);
      *pStmt = nullptr;
      plat::setError(outErr, lastError());
      return false;
    }
  }
  if (rc != SQLITE_OK) {
    if (_logsErrors) {
      plat::log("DB Error: %d \"%@\"", lastErrorCode(), lastErrorMessage());
      plat::log("DB Query: %@", sql);
      plat::log("DB Path: %@", pathText());
      if (_crashOnErrors) std::abort();
    }
    plat::setError(outErr, errorWithMessage(sqlite3_errmsg(_db)));
    sqlite3_finalize(*pStmt);
    *pStmt = nullptr;
    return false;
  }
  return true;
}

SQDatabase::BindResult SQDatabase::bindArguments(sqlite3_stmt* pStmt, const plat::Array* arrayArgs,
                                                 const plat::Dictionary* dictionaryArgs, const plat::Array* vaList) {
  const int queryCount = sqlite3_bind_parameter_count(pStmt);
  // A value SQLite refuses (too big) would leave its parameter NULL and the
  // statement would store that as if it had worked.
  auto bind = [&](const plat::Value& value, int idx) {
    const int rc = bindObject(value, idx, pStmt);
    if (rc != SQLITE_OK) plat::log("Error binding parameter %d (%d: %s)", idx, rc, sqlite3_errmsg(_db));
    return rc == SQLITE_OK;
  };
  if (dictionaryArgs) {
    // Every key must name a parameter and every parameter must get a value.
    std::set<int> bound;
    size_t unknown = 0;
    for (const auto& [key, value] : *dictionaryArgs) {
      const std::string parameterName = plat::format(":%@", key);
      const int namedIdx = sqlite3_bind_parameter_index(pStmt, parameterName.c_str());
      if (namedIdx > 0) {
        if (!bind(value, namedIdx)) return BindResult::failed;
        bound.insert(namedIdx);
      } else {
        plat::log("Could not find index for %@", key);
        ++unknown;
      }
    }
    return unknown == 0 && static_cast<int>(bound.size()) == queryCount ? BindResult::ok : BindResult::wrongCount;
  }
  const plat::Array* values = arrayArgs ? arrayArgs : vaList;
  int idx = 0;
  while (idx < queryCount) {
    if (!values || static_cast<size_t>(idx) >= values->size()) break;  // too few values
    const plat::Value& obj = (*values)[static_cast<size_t>(idx)];
    if (_traceExecution) plat::log("obj: %@", obj);
    ++idx;
    if (!bind(obj, idx)) return BindResult::failed;
  }
  return idx == queryCount ? BindResult::ok : BindResult::wrongCount;
}

std::shared_ptr<SQStatement> SQDatabase::wrapStatement(sqlite3_stmt* pStmt, const std::string& sql) {
  auto statement = std::make_shared<SQStatement>();
  statement->setStatement(pStmt);
  statement->setQuery(sql);
  if (_wrappedStatements.size() >= _wrappedPruneAt) {
    std::erase_if(_wrappedStatements, [](const std::weak_ptr<SQStatement>& w) { return w.expired(); });
    _wrappedPruneAt = std::max<size_t>(64, _wrappedStatements.size() * 2);
  }
  _wrappedStatements.push_back(statement);
  return statement;
}

std::shared_ptr<SQStatement> SQDatabase::takeCachedStatement(const std::string& sql) {
  if (!_shouldCacheStatements) return nullptr;
  auto statement = cachedStatementForQuery(sql);
  // One still stepped by an open result set is left to it.
  if (!statement || statement->inUse() || !statement->statement()) return nullptr;
  sqlite3_reset(statement->statement());
  return statement;
}

void SQDatabase::releaseAfterFailedBind(bool cached, sqlite3_stmt* pStmt) {
  // A cached statement stays usable in the cache.
  if (cached) {
    sqlite3_reset(pStmt);
    sqlite3_clear_bindings(pStmt);
  } else {
    sqlite3_finalize(pStmt);
  }
}

std::shared_ptr<SQResultSet> SQDatabase::executeQuery(const std::string& sql, const plat::Array* arrayArgs,
                                                      const plat::Dictionary* dictionaryArgs,
                                                      const plat::Array* vaList) {
  if (!databaseExists()) return nullptr;
  if (_isExecutingStatement) {
    warnInUse();
    return nullptr;
  }
  ExecutingGuard guard(_isExecutingStatement);
  if (_traceExecution) plat::log("%@ executeQuery: %@", *this, sql);

  std::shared_ptr<SQStatement> statement = takeCachedStatement(sql);
  sqlite3_stmt* pStmt = statement ? statement->statement() : nullptr;
  if (!pStmt && !prepare(sql, &pStmt, nullptr, __func__)) return nullptr;

  if (const BindResult bound = bindArguments(pStmt, arrayArgs, dictionaryArgs, vaList); bound != BindResult::ok) {
    if (bound == BindResult::wrongCount)
      plat::log("Error: the bind count is not correct for the # of variables (executeQuery)");
    releaseAfterFailedBind(statement != nullptr, pStmt);
    return nullptr;
  }

  if (!statement) {
    statement = wrapStatement(pStmt, sql);
    if (_shouldCacheStatements) setCachedStatement(statement, sql);
  }
  auto rs = SQResultSet::resultSetWithStatement(statement, this);
  rs->setQuery(sql);
  statement->setInUse(true);
  _openResultSets.insert(rs.get());
  statement->setUseCount(statement->useCount() + 1);
  return rs;
}

bool SQDatabase::executeUpdate(const std::string& sql, plat::Error* outErr, const plat::Array* arrayArgs,
                               const plat::Dictionary* dictionaryArgs, const plat::Array* vaList) {
  return runUpdate(
      sql, outErr,
      [&](sqlite3_stmt* pStmt) { return bindArguments(pStmt, arrayArgs, dictionaryArgs, vaList); }, false);
}

bool SQDatabase::executeUpdateBinding(const std::string& sql, const std::function<int(sqlite3_stmt*)>& bind,
                                      plat::Error* outErr) {
  return runUpdate(
      sql, outErr,
      [&](sqlite3_stmt* pStmt) {
        const int rc = bind(pStmt);
        if (rc != SQLITE_OK) plat::log("Error binding parameters (%d: %s)", rc, sqlite3_errmsg(_db));
        return rc == SQLITE_OK ? BindResult::ok : BindResult::failed;
      },
      true);
}

bool SQDatabase::runUpdate(const std::string& sql, plat::Error* outErr,
                           const std::function<BindResult(sqlite3_stmt*)>& bind, bool clearAfter) {
  if (!databaseExists()) return false;
  if (_isExecutingStatement) {
    warnInUse();
    return false;
  }
  ExecutingGuard guard(_isExecutingStatement);
  if (_traceExecution) plat::log("%@ executeUpdate: %@", *this, sql);

  std::shared_ptr<SQStatement> cachedStmt = takeCachedStatement(sql);
  sqlite3_stmt* pStmt = cachedStmt ? cachedStmt->statement() : nullptr;
  if (!pStmt && !prepare(sql, &pStmt, outErr, __func__)) return false;

  if (const BindResult bound = bind(pStmt); bound != BindResult::ok) {
    if (bound == BindResult::wrongCount) {
      plat::log("Error: the bind count is not correct for the # of variables (%@) (executeUpdate)", sql);
    } else {
      plat::setError(outErr, lastError());
    }
    releaseAfterFailedBind(cachedStmt != nullptr, pStmt);
    return false;
  }

  sqdetail::BusyWait wait;
  int rc;
  for (;;) {
    rc = sqlite3_step(pStmt);
    if (sqdetail::isWorthRetrying(rc, sqlite3_extended_errcode(_db))) {
      if (rc == SQLITE_LOCKED) {
        const int resetRc = sqlite3_reset(pStmt);
        if (resetRc != SQLITE_LOCKED) plat::log("Unexpected result from sqlite3_reset (%d) eu", resetRc);
      }
      if (!wait.retry(_busyRetryTimeout)) {
        plat::log("%s:%d Database busy (%@)", __func__, __LINE__, pathText());
        plat::log("Database busy");
        break;
      }
      continue;
    }
    if (rc == SQLITE_DONE) break;
    if (rc == SQLITE_ERROR) {
      plat::log("Error calling sqlite3_step (%d: %s) SQLITE_ERROR", rc, sqlite3_errmsg(_db));
    } else if (rc == SQLITE_MISUSE) {
      plat::log("Error calling sqlite3_step (%d: %s) SQLITE_MISUSE", rc, sqlite3_errmsg(_db));
    } else {
      plat::log("Unknown error calling sqlite3_step (%d: %s) eu", rc, sqlite3_errmsg(_db));
    }
    plat::log("DB Query: %@", sql);
    break;
  }

  if (rc == SQLITE_ROW) {
    // A query passed as an update: a programming error. Leave the statement
    // and the connection clean before raising.
    if (cachedStmt) {
      sqlite3_reset(pStmt);
      if (clearAfter) sqlite3_clear_bindings(pStmt);
    } else {
      sqlite3_finalize(pStmt);
    }
    throw plat::Exception(plat::kInternalInconsistencyException,
                          plat::format("A executeUpdate is being called with a query string '%@'", sql));
  }

  if (_shouldCacheStatements && !cachedStmt) {
    cachedStmt = wrapStatement(pStmt, sql);
    setCachedStatement(cachedStmt, sql);
  }
  int closeErrorCode;
  if (cachedStmt) {
    cachedStmt->setUseCount(cachedStmt->useCount() + 1);
    closeErrorCode = sqlite3_reset(pStmt);
    if (clearAfter) sqlite3_clear_bindings(pStmt);
  } else {
    closeErrorCode = sqlite3_finalize(pStmt);
  }
  if (closeErrorCode != SQLITE_OK) {
    plat::log("Unknown error finalizing or resetting statement (%d: %s)", closeErrorCode, sqlite3_errmsg(_db));
    plat::log("DB Query: %@", sql);
  }
  if (rc != SQLITE_DONE && rc != SQLITE_OK) plat::setError(outErr, lastError());
  return rc == SQLITE_DONE || rc == SQLITE_OK;
}

bool SQDatabase::executeUpdateRetryingIOErrors(const std::string& sql, const plat::Array& values) {
  bool ok = executeUpdate(sql, nullptr, nullptr, nullptr, &values);
  for (int retries = 0; !ok && retries < 2 && lastErrorCode() == SQLITE_IOERR; ++retries) {
    plat::currentClock().sleepFor(0.5);
    ok = executeUpdate(sql, nullptr, nullptr, nullptr, &values);
    plat::log("error:%@", sql);
  }
  return ok;
}

// A failed COMMIT or ROLLBACK may still have ended the transaction (SQLite
// rolls back on its own after some errors, or when a commit hook refuses):
// the flag follows the connection, never the answer alone.
bool SQDatabase::rollback() {
  bool b = executeUpdate("rollback transaction");
  if (b || (_db && sqlite3_get_autocommit(_db))) _inTransaction = false;
  return b;
}

bool SQDatabase::commit() {
  bool b = executeUpdate("commit transaction");
  if (b || (_db && sqlite3_get_autocommit(_db))) _inTransaction = false;
  return b;
}

bool SQDatabase::beginDeferredTransaction() {
  bool b = executeUpdate("begin deferred transaction");
  if (b) _inTransaction = true;
  return b;
}

bool SQDatabase::beginTransaction() {
  bool b = executeUpdate("begin exclusive transaction");
  if (b) _inTransaction = true;
  return b;
}

bool SQDatabase::startSavePointWithName(const std::optional<std::string>& name, plat::Error* outErr) {
  PLAT_PARAMETER_ASSERT(name);
  if (!executeUpdate(plat::format("savepoint '%@';", quotedName(*name)))) {
    plat::setError(outErr, lastError());
    return false;
  }
  return true;
}

bool SQDatabase::releaseSavePointWithName(const std::optional<std::string>& name, plat::Error* outErr) {
  PLAT_PARAMETER_ASSERT(name);
  bool worked = executeUpdate(plat::format("release savepoint '%@';", quotedName(*name)));
  if (!worked) plat::setError(outErr, lastError());
  return worked;
}

bool SQDatabase::rollbackToSavePointWithName(const std::optional<std::string>& name, plat::Error* outErr) {
  PLAT_PARAMETER_ASSERT(name);
  bool worked = executeUpdate(plat::format("rollback transaction to savepoint '%@';", quotedName(*name)));
  if (!worked) plat::setError(outErr, lastError());
  return worked;
}

std::optional<plat::Error> SQDatabase::inSavePoint(const std::function<void(bool* rollback)>& block) {
  const std::string name = plat::format("dbSavePoint%ld", gSavePointIdx.fetch_add(1));
  plat::Error err;
  if (!startSavePointWithName(name, &err)) return err;
  bool shouldRollback = false;
  {
    SQRollbackGuard undo(this, name);
    block(&shouldRollback);
    undo.dismiss();
  }
  // A rollback to a savepoint leaves it open (and, outermost, its transaction
  // with it): release it in both cases so later writes are not held back.
  bool ok = !shouldRollback || rollbackToSavePointWithName(name, &err);
  ok = releaseSavePointWithName(name, ok ? &err : nullptr) && ok;
  if (!ok) return err;
  return std::nullopt;
}

bool SQDatabase::makeFunctionNamed(const std::string& name, int maximumArguments, FunctionBlock block) {
  if (!_db) return false;  // nothing to register with, and SQLite would dereference it
  auto kept = std::make_unique<FunctionBlock>(std::move(block));
  const int rc = sqlite3_create_function(_db, name.c_str(), maximumArguments, SQLITE_UTF8, kept.get(),
                                         &SQDBBlockSQLiteCallBackFunction, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    // The function SQLite still knows under that name keeps its own block.
    plat::log("Could not make function %@ (%d: %s)", name, rc, sqlite3_errmsg(_db));
    return false;
  }
  _openFunctions.push_back(std::move(kept));
  return true;
}

SQRollbackGuard::~SQRollbackGuard() {
  if (!_db || !_db->sqliteHandle()) return;
  // Nothing may leave a destructor that runs while an exception unwinds.
  try {
    if (_savePoint) {
      // Rolled back to and released: an outermost savepoint ends its transaction.
      _db->rollbackToSavePointWithName(_savePoint, nullptr);
      _db->releaseSavePointWithName(_savePoint, nullptr);
    } else {
      _db->rollback();
    }
  } catch (...) {
    plat::log("Rollback after a failed block raised");
  }
}
