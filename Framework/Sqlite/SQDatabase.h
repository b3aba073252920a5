// SQDatabase: one connection to one SQLite file, running SQL with bound
// arguments; SQStatement: one prepared statement. A connection is confined to
// one thread at a time (its database queue); it takes no lock itself.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

class SQResultSet;

class SQStatement {
public:
  SQStatement() = default;
  ~SQStatement() { close(); }
  SQStatement(const SQStatement&) = delete;
  SQStatement& operator=(const SQStatement&) = delete;

  void close();  // finalises the handle
  void reset();  // bindings stay

  // "<SQStatement: 0x...> 3 hit(s) for query select 1"
  std::string description() const;

  sqlite3_stmt* statement() const { return _statement; }
  void setStatement(sqlite3_stmt* s) { _statement = s; }
  const std::string& query() const { return _query; }
  void setQuery(std::string q) { _query = std::move(q); }
  int64_t useCount() const { return _useCount; }
  void setUseCount(int64_t n) { _useCount = n; }
  // True while an open result set steps it, so a cached statement is never
  // handed to two result sets at once.
  bool inUse() const { return _inUse; }
  void setInUse(bool b) { _inUse = b; }

private:
  sqlite3_stmt* _statement = nullptr;
  std::string _query;
  int64_t _useCount = 0;
  bool _inUse = false;
};

namespace sqdetail {
template <class T>
using Bare = std::remove_cvref_t<T>;
// What a variadic argument may be: anything that makes a plat::Value, but no
// pointer other than a C string (a pointer would silently bind as a bool),
// and no bare array or dictionary (those select the array/dictionary forms).
template <class T>
concept Bindable =
    std::constructible_from<plat::Value, T> && !std::same_as<Bare<T>, plat::Array> &&
    !std::same_as<Bare<T>, plat::Dictionary> && !std::same_as<Bare<T>, plat::Error*> &&
    (!std::is_pointer_v<std::decay_t<T>> || std::same_as<std::decay_t<T>, const char*> ||
     std::same_as<std::decay_t<T>, char*>);
}  // namespace sqdetail

class SQDatabase : public std::enable_shared_from_this<SQDatabase> {
public:
  using FunctionBlock = std::function<void(sqlite3_context* context, int argc, sqlite3_value** argv)>;

  // No path means an in-memory database. The connection stays closed.
  explicit SQDatabase(std::optional<std::string> path);
  static std::shared_ptr<SQDatabase> databaseWithPath(std::optional<std::string> path);
  ~SQDatabase();
  SQDatabase(const SQDatabase&) = delete;
  SQDatabase& operator=(const SQDatabase&) = delete;

  const std::optional<std::string>& databasePath() const { return _databasePath; }
  sqlite3* sqliteHandle() const { return _db; }
  // "<SQDatabase: 0x...>", what "%@" prints for a connection.
  std::string description() const;

  bool open();
  bool openWithFlags(int flags);
  bool close();

  void clearCachedStatements();
  bool hasOpenResultSets() const { return !_openResultSets.empty(); }
  void closeOpenResultSets();
  void resultSetDidClose(SQResultSet* resultSet);
  std::shared_ptr<SQStatement> cachedStatementForQuery(const std::string& query) const;
  void setCachedStatement(const std::shared_ptr<SQStatement>& statement, const std::string& query);

  // Encryption is not built in.
  bool rekey(const std::string& key);
  bool setKey(const std::string& key);

  bool goodConnection();
  void warnInUse();
  bool databaseExists();

  std::string lastErrorMessage() const;
  int lastErrorCode() const;
  bool hadError() const;
  plat::Error errorWithMessage(const std::string& message) const;
  plat::Error lastError() const;

  int64_t lastInsertRowId();
  int changes();

  // SQLite's result of the bind.
  int bindObject(const plat::Value& obj, int idx, sqlite3_stmt* pStmt);

  // Turns a printf-like format into SQL with "?" and the argument values.
  static void extractSQL(const std::string& sql, const plat::Array& args, std::string& cleanedSQL,
                         plat::Array& arguments);

  // ---- queries: a result set positioned before the first row, or null.
  template <class... Args>
    requires(sqdetail::Bindable<Args> && ...)
  std::shared_ptr<SQResultSet> executeQuery(const std::string& sql, Args&&... args) {
    const plat::Array values{plat::Value(std::forward<Args>(args))...};
    return executeQuery(sql, nullptr, nullptr, &values);
  }
  std::shared_ptr<SQResultSet> executeQuery(const std::string& sql, const plat::Array& arguments) {
    return executeQuery(sql, &arguments, nullptr, nullptr);
  }
  std::shared_ptr<SQResultSet> executeQuery(const std::string& sql, const plat::Dictionary& arguments) {
    return executeQuery(sql, nullptr, &arguments, nullptr);
  }
  template <class... Args>
    requires(sqdetail::Bindable<Args> && ...)
  std::shared_ptr<SQResultSet> executeQueryWithFormat(const std::string& format, Args&&... args) {
    const plat::Array values{plat::Value(std::forward<Args>(args))...};
    std::string sql;
    plat::Array arguments;
    extractSQL(format, values, sql, arguments);
    return executeQuery(sql, &arguments, nullptr, nullptr);
  }
  // At most one of the three argument sources is used.
  std::shared_ptr<SQResultSet> executeQuery(const std::string& sql, const plat::Array* arrayArgs,
                                            const plat::Dictionary* dictionaryArgs, const plat::Array* vaList);

  // ---- updates: true on success.
  // The variadic form tries again, twice at most, half a second apart, while
  // the file answers with an I/O error.
  template <class... Args>
    requires(sqdetail::Bindable<Args> && ...)
  bool executeUpdate(const std::string& sql, Args&&... args) {
    const plat::Array values{plat::Value(std::forward<Args>(args))...};
    return executeUpdateRetryingIOErrors(sql, values);
  }
  bool executeUpdate(const std::string& sql, const plat::Array& arguments) {
    return executeUpdate(sql, nullptr, &arguments, nullptr, nullptr);
  }
  bool executeUpdate(const std::string& sql, const plat::Dictionary& arguments) {
    return executeUpdate(sql, nullptr, nullptr, &arguments, nullptr);
  }
  template <class... Args>
    requires(sqdetail::Bindable<Args> && ...)
  bool executeUpdateWithFormat(const std::string& format, Args&&... args) {
    const plat::Array values{plat::Value(std::forward<Args>(args))...};
    std::string sql;
    plat::Array arguments;
    extractSQL(format, values, sql, arguments);
    return executeUpdate(sql, nullptr, &arguments, nullptr, nullptr);
  }
  template <class... Args>
    requires(sqdetail::Bindable<Args> && ...)
  bool update(const std::string& sql, plat::Error* outErr, Args&&... args) {
    const plat::Array values{plat::Value(std::forward<Args>(args))...};
    return executeUpdate(sql, outErr, nullptr, nullptr, &values);
  }
  bool executeUpdate(const std::string& sql, plat::Error* outErr, const plat::Array* arrayArgs,
                     const plat::Dictionary* dictionaryArgs, const plat::Array* vaList);
  // The same with the values bound by `bind` straight on the statement
  // (every parameter, answering SQLITE_OK), for a writer of many rows that
  // would otherwise copy each value twice. Bindings are cleared after the
  // step, so text bound with SQLITE_STATIC need only outlive the call.
  bool executeUpdateBinding(const std::string& sql, const std::function<int(sqlite3_stmt*)>& bind,
                            plat::Error* outErr = nullptr);

  // ---- transactions and savepoints
  bool rollback();
  bool commit();
  bool beginDeferredTransaction();
  bool beginTransaction();
  bool inTransaction() const { return _inTransaction; }

  bool startSavePointWithName(const std::optional<std::string>& name, plat::Error* outErr);
  bool releaseSavePointWithName(const std::optional<std::string>& name, plat::Error* outErr);
  bool rollbackToSavePointWithName(const std::optional<std::string>& name, plat::Error* outErr);
  // The error of a failed savepoint, or nothing.
  std::optional<plat::Error> inSavePoint(const std::function<void(bool* rollback)>& block);

  bool shouldCacheStatements() const { return _shouldCacheStatements; }
  void setShouldCacheStatements(bool value);
  const std::map<std::string, std::shared_ptr<SQStatement>>* cachedStatements() const {
    return _cachedStatements.get();
  }

  // False when SQLite refuses the function (a closed connection, a bad name
  // or argument count, a function of that name in use by a statement).
  bool makeFunctionNamed(const std::string& name, int maximumArguments, FunctionBlock block);

  bool traceExecution() const { return _traceExecution; }
  void setTraceExecution(bool b) { _traceExecution = b; }
  bool checkedOut() const { return _checkedOut; }
  void setCheckedOut(bool b) { _checkedOut = b; }
  int busyRetryTimeout() const { return _busyRetryTimeout; }
  void setBusyRetryTimeout(int n) { _busyRetryTimeout = n; }
  bool crashOnErrors() const { return _crashOnErrors; }
  void setCrashOnErrors(bool b) { _crashOnErrors = b; }
  bool logsErrors() const { return _logsErrors; }
  void setLogsErrors(bool b) { _logsErrors = b; }

  static std::string sqliteLibVersion();
  static bool isSQLiteThreadSafe();

private:
  bool executeUpdateRetryingIOErrors(const std::string& sql, const plat::Array& values);
  enum class BindResult { ok, wrongCount, failed };
  // executeUpdate after its arguments: binds with `bind`, steps under the
  // busy rule, keeps or finalises the statement. `clearAfter` drops the
  // bindings once stepped.
  bool runUpdate(const std::string& sql, plat::Error* outErr, const std::function<BindResult(sqlite3_stmt*)>& bind,
                 bool clearAfter);
  // Binds the arguments; a value SQLite refuses is logged here.
  BindResult bindArguments(sqlite3_stmt* pStmt, const plat::Array* arrayArgs, const plat::Dictionary* dictionaryArgs,
                     const plat::Array* vaList);
  // Prepares under the busy rule; false when it failed or gave up.
  bool prepare(const std::string& sql, sqlite3_stmt** pStmt, plat::Error* outErr, const char* caller);
  std::shared_ptr<SQStatement> wrapStatement(sqlite3_stmt* pStmt, const std::string& sql);
  // A cached statement for the SQL that no open result set is stepping,
  // reset for new bindings; null when there is none or caching is off.
  std::shared_ptr<SQStatement> takeCachedStatement(const std::string& sql);
  void releaseAfterFailedBind(bool cached, sqlite3_stmt* pStmt);
  void closeWrappedStatements();
  std::string pathText() const;

  sqlite3* _db = nullptr;
  std::optional<std::string> _databasePath;
  bool _logsErrors = false;
  bool _crashOnErrors = false;
  bool _traceExecution = false;
  bool _checkedOut = false;
  bool _shouldCacheStatements = false;
  bool _isExecutingStatement = false;
  bool _inTransaction = false;
  int _busyRetryTimeout = 0;
  std::unique_ptr<std::map<std::string, std::shared_ptr<SQStatement>>> _cachedStatements;
  // Non-owning: a result set removes itself when it closes or dies, and the
  // connection detaches every one it still knows before it closes.
  std::unordered_set<SQResultSet*> _openResultSets;
  std::vector<std::unique_ptr<FunctionBlock>> _openFunctions;
  // Every statement wrapper handed out, so closing finalises handles that a
  // caller still holds instead of leaving them dangling.
  std::vector<std::weak_ptr<SQStatement>> _wrappedStatements;
  size_t _wrappedPruneAt = 64;
};

// Undo on the way out for a block run inside a transaction or a savepoint:
// when the block throws, the transaction is rolled back (the savepoint rolled
// back and released) before the exception leaves, so the file is not left
// locked against other processes and the next block does not run, and
// commit, inside the stale transaction. dismiss() once the block returned.
class SQRollbackGuard {
public:
  // No name: a transaction; otherwise the savepoint of that name.
  SQRollbackGuard(SQDatabase* db, std::optional<std::string> savePoint)
      : _db(db), _savePoint(std::move(savePoint)) {}
  ~SQRollbackGuard();
  SQRollbackGuard(const SQRollbackGuard&) = delete;
  SQRollbackGuard& operator=(const SQRollbackGuard&) = delete;
  void dismiss() { _db = nullptr; }

private:
  SQDatabase* _db;
  std::optional<std::string> _savePoint;
};
