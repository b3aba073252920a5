#include "app/sync/Syncdb.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "Framework/Sqlite/SQDatabaseQueue.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/sync/SyncPath.h"
#include "platform/foundation/case_fold.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/log.h"
#include "platform/foundation/text_codec.h"

namespace {

using plat::Array;
using plat::foldCase;

// About ten seconds of waiting on a lock held by the other process (the
// wrapper's pauses double up to 4 ms), then the statement fails.
constexpr int kBusyRetries = 2500;

// The write-ahead log is copied into the file once it holds this many pages
// (about 32 MB), which bounds its size.
constexpr int kWalPages = 8000;

// Seconds from 1970-01-01 to 2001-01-01.
constexpr double kSince1970To2001 = 978307200.0;

struct Create {
  const char* sql;
  const char* error;
};
constexpr Create kTables[] = {
    {"CREATE TABLE IF NOT EXISTS SYNC(path varchar[1000],parent varchar[1000],type int, filehash "
     "char[40],filesize bigint,last bigint,status int,version int,memberid int,membername "
     "varchar[50],diskversion int,lock int,actlast bigint,PRIMARY KEY (path));",
     "error to create SYNC"},
    {"CREATE TABLE IF NOT EXISTS VERSION(path varchar[1000],version int,dateline int,changekey "
     "char[40],synctype int,local int,org int,PRIMARY KEY (path));",
     "error to create VERSION"},
    {"CREATE TABLE IF NOT EXISTS SYNCNODES(path varchar[1000],type int ,PRIMARY KEY(path));",
     "error to create SYNCNODES"},
    {"CREATE TABLE IF NOT EXISTS SYNCEDNOW(path varchar[1000],type int ,PRIMARY KEY(path));",
     "error to create SYNCEDNOW"},
    {"CREATE TABLE IF NOT EXISTS LINKNODE(srcpath varchar[1000],dstpath varchar[1000],PRIMARY KEY(srcpath));",
     "error to create LINKNODE"},
    {"CREATE TABLE IF NOT EXISTS MENU(name varchar[1000],status int,PRIMARY KEY(name));", "error to create MENU"},
    {"CREATE TABLE IF NOT EXISTS sqlversion(version char[20]);", nullptr},
    {"CREATE TABLE IF NOT EXISTS HISTORY(path varchar[1000]);", "error to create HISTORY"},
};
constexpr int kSqlversionTable = 6;

// What the lookups by folded path, the hand-off picks and the hash queries
// need. The Finder plug-in only reads SYNC, which needs no qvfold() of it.
// The hash queries ask for a hash a file has, and a row gets one only once
// its content is known: the rows without one (every row a first scan
// writes) stay out of the hash index instead of each costing an entry.
constexpr const char* kIndexes[] = {
    "CREATE INDEX IF NOT EXISTS SYNC_fold ON SYNC(qvfold(path));",
    "CREATE INDEX IF NOT EXISTS SYNC_foldparent ON SYNC(qvfold(parent));",
    "CREATE INDEX IF NOT EXISTS SYNC_handoff ON SYNC(status,actlast,path);",
    "CREATE INDEX IF NOT EXISTS SYNC_hashed ON SYNC(filehash) WHERE filehash<>'';",
};
// Indexes of older files that the ones above replace.
constexpr const char* kOldIndexes[] = {
    "DROP INDEX IF EXISTS SYNC_hash;",
};
// Added to a query by a non-empty hash, which it does not change, so that
// the query may use SYNC_hashed; a query by the empty hash goes without.
std::string hashedOnly(const std::string& filehash) { return filehash.empty() ? "" : " and filehash<>''"; }

// The same conditions everywhere: one entry, the entries strictly below a
// folder, and the entry with its subtree. Each takes folded values.
constexpr const char* kOne = "qvfold(path)=?";
constexpr const char* kBelow = "(qvfold(path)>=? and qvfold(path)<?)";
constexpr const char* kTree = "(qvfold(path)=? or (qvfold(path)>=? and qvfold(path)<?))";

void addOne(Array& a, const std::string& path) { a.emplace_back(foldCase(path)); }
void addBelow(Array& a, const std::string& path) {
  const auto r = syncpath::belowRange(foldCase(path));
  a.emplace_back(r.lo);
  a.emplace_back(r.hi);
}
void addTree(Array& a, const std::string& path) {
  addOne(a, path);
  addBelow(a, path);
}

// qvfold(text): plat::foldCase in SQL, so a lookup in a table and in a list
// agree. NULL stays NULL; a text with nothing to fold is handed back as is.
void qvfoldFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  const int n = sqlite3_value_bytes(argv[0]);
  if (!text) {
    sqlite3_result_null(ctx);
    return;
  }
  bool plain = true;
  for (int i = 0; i < n && plain; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    plain = c < 0x80 && !(c >= 'A' && c <= 'Z');
  }
  if (plain) {
    sqlite3_result_text(ctx, text, n, SQLITE_TRANSIENT);
    return;
  }
  const std::string folded = foldCase(std::string_view(text, static_cast<size_t>(n)));
  sqlite3_result_text(ctx, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
}

// Rolls back a transaction that the block left without committing, also
// when it throws. Inside an open batch it is a savepoint of that batch.
class TransactionGuard {
public:
  explicit TransactionGuard(SQDatabase* db) : db_(db), nested_(db->inTransaction()) {
    open_ = nested_ ? db->startSavePointWithName(std::string(kSavepoint), nullptr) : db->beginTransaction();
  }
  ~TransactionGuard() {
    if (open_) undo();
  }
  TransactionGuard(const TransactionGuard&) = delete;
  TransactionGuard& operator=(const TransactionGuard&) = delete;
  bool open() const { return open_; }
  bool commit() {
    open_ = false;
    if (nested_ ? db_->releaseSavePointWithName(std::string(kSavepoint), nullptr) : db_->commit()) return true;
    undo();
    return false;
  }

private:
  static constexpr const char* kSavepoint = "syncdb";
  void undo() {
    open_ = false;
    if (nested_) {
      db_->rollbackToSavePointWithName(std::string(kSavepoint), nullptr);
      db_->releaseSavePointWithName(std::string(kSavepoint), nullptr);
    } else {
      db_->rollback();
    }
  }

  SQDatabase* db_;
  bool nested_;
  bool open_ = false;
};

std::string text(SQResultSet& rs, const char* column) { return rs.stringForColumn(column).value_or(""); }

// The columns of a SYNC row, looked up once per result set rather than by
// name for every value of every row.
struct ItemColumns {
  bool ready = false;
  int path = -1, parent = -1, filehash = -1, membername = -1, filesize = -1, last = -1, status = -1, type = -1,
      version = -1, memberid = -1, diskversion = -1, lock = -1, actlast = -1;
  // One walk over the statement's columns: a lookup by name would build the
  // result set's name map, and every lookup of one entry pays for that.
  void resolve(SQResultSet& rs) {
    const std::pair<const char*, int*> slots[] = {
        {"path", &path},         {"parent", &parent},   {"filehash", &filehash}, {"membername", &membername},
        {"filesize", &filesize}, {"last", &last},       {"status", &status},     {"type", &type},
        {"version", &version},   {"memberid", &memberid}, {"diskversion", &diskversion}, {"lock", &lock},
        {"actlast", &actlast}};
    const int n = rs.columnCount();
    for (int i = 0; i < n; ++i) {
      const std::string name = rs.columnNameForIndex(i);
      for (const auto& [column, slot] : slots) {
        if (sameName(name, column)) *slot = i;  // the last of equal names, as the name map has it
      }
    }
    ready = true;
  }

private:
  static bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    }
    return true;
  }
};

// A text column as the result set reads it (NULL or text that is not UTF-8
// reads as nothing), straight from the statement: a scan reads a hundred
// thousand rows, and the result set's checks around every value cost more
// than the values. Paths are read as their bytes: a name from disk that is
// not UTF-8 must still name its own row, or every write meant for it would
// miss it.
std::string textAt(sqlite3_stmt* st, int i, bool bytes = false) {
  if (i < 0) return {};
  const unsigned char* t = sqlite3_column_text(st, i);
  if (!t) return {};
  const auto n = static_cast<size_t>(sqlite3_column_bytes(st, i));
  if (!bytes && !plat::isValidUTF8(t, n)) return {};
  return std::string(reinterpret_cast<const char*>(t), n);
}
// Whole: versions and stamps pass 32 bits, and SQLite stores every integer
// column in up to 64 whatever its declared type.
int64_t int64At(sqlite3_stmt* st, int i) { return i < 0 ? 0 : sqlite3_column_int64(st, i); }

SyncFileItem readItem(SQResultSet& rs, ItemColumns& c) {
  if (!c.ready) c.resolve(rs);
  SyncFileItem it;
  sqlite3_stmt* st = rs.statement() ? rs.statement()->statement() : nullptr;
  if (!st) return it;
  it.webpath = textAt(st, c.path, true);
  it.parent = textAt(st, c.parent, true);
  it.filehash = textAt(st, c.filehash);
  it.membername = textAt(st, c.membername);
  it.size = static_cast<uint64_t>(int64At(st, c.filesize));
  it.last = static_cast<uint64_t>(int64At(st, c.last));
  it.status = int64At(st, c.status);
  it.file = int64At(st, c.type) != 0;
  it.version = int64At(st, c.version);
  it.memberid = int64At(st, c.memberid);
  it.diskversion = int64At(st, c.diskversion);
  it.lock = int64At(st, c.lock);
  it.actlast = int64At(st, c.actlast);
  return it;
}

SyncFileItem readItem(SQResultSet& rs) {
  ItemColumns c;
  return readItem(rs, c);
}

SyncVersion readVersion(SQResultSet& rs) {
  SyncVersion v;
  v.webpath = text(rs, "path");
  v.version = rs.longLongIntForColumn("version");
  v.dateline = rs.longLongIntForColumn("dateline");
  v.changekey = text(rs, "changekey");
  v.synctype = rs.longLongIntForColumn("synctype");
  v.local = rs.longLongIntForColumn("local");
  v.org = rs.longLongIntForColumn("org");
  return v;
}

// Calls `row` for every row of the query; false when it could not be run.
template <class F>
bool eachRow(SQDatabase* db, const std::string& sql, const Array& args, F&& row) {
  auto rs = db->executeQuery(sql, args);
  if (!rs) return false;
  while (rs->next()) row(*rs);
  rs->close();
  return true;
}

bool exists(SQDatabase* db, const std::string& sql, const Array& args) {
  bool found = false;
  eachRow(db, sql, args, [&](SQResultSet&) { found = true; });
  return found;
}

// A root path of VERSION without its first and last character ("/Docs/"
// gives "Docs"); roots of two characters or fewer ("/") give nothing.
std::optional<std::string> shortenedRoot(const std::string& root) {
  size_t points = 0;
  for (char c : root) points += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  if (points <= 2) return std::nullopt;
  size_t begin = 1;
  while (begin < root.size() && (static_cast<unsigned char>(root[begin]) & 0xC0) == 0x80) ++begin;
  size_t end = root.size() - 1;
  while (end > begin && (static_cast<unsigned char>(root[end]) & 0xC0) == 0x80) --end;
  return root.substr(begin, end - begin);
}

// " or "-joined conditions over the roots, with their values appended.
std::string treeConditions(const std::vector<std::string>& roots, Array& args) {
  std::string sql;
  for (const auto& r : roots) {
    if (!sql.empty()) sql += " or ";
    sql += kTree;
    addTree(args, r);
  }
  return sql;
}

}  // namespace

// ---------------------------------------------------------------------------
// Opening

Syncdb::Syncdb(const std::string& path) {
  dbQueue_ = SQDatabaseQueue::databaseQueueWithPathUnlocked(path);
  createtable();
  changeold();
}

Syncdb::~Syncdb() = default;

std::shared_ptr<Syncdb> Syncdb::initpath(const std::string& path) { return std::make_shared<Syncdb>(path); }

void Syncdb::registerFunctions(sqlite3* db) {
  sqlite3_create_function_v2(db, "qvfold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                             &qvfoldFunction, nullptr, nullptr, nullptr);
}

int64_t Syncdb::now() {
  const double t = plat::currentClock().now().secondsSince1970 - kSince1970To2001;
  return static_cast<int64_t>(std::trunc(t));
}

bool Syncdb::run(bool transaction, const std::function<bool(SQDatabase* db)>& block) {
  if (!dbQueue_) return false;
  bool ok = false;
  dbQueue_->inDatabase([&](SQDatabase* db) {
    sqlite3* handle = db->sqliteHandle();
    if (!handle) return;  // the file could not be reopened
    if (configured_.lock().get() != db) {
      // A connection of its own (first use, or reopened after close): the
      // function, the lock wait and the journal are per connection.
      registerFunctions(handle);
      db->setBusyRetryTimeout(kBusyRetries);
      db->setShouldCacheStatements(true);
      const auto pragma = [db](const char* sql) {  // one that answers a row
        if (auto rs = db->executeQuery(sql)) {
          rs->next();
          rs->close();
        }
      };
      // WAL lets the Finder plug-in read while the engine writes; NORMAL
      // sync keeps every commit across a crash of the process.
      pragma("PRAGMA journal_mode=WAL");
      db->executeUpdate("PRAGMA synchronous=NORMAL");
      db->executeUpdate("PRAGMA cache_size=-32768");
      // A page of changes is one commit of a few hundred pages; a checkpoint
      // every kWalPages instead of SQLite's 1,000 copies a page that several
      // commits touched once and syncs the file less often.
      sqlite3_wal_autocheckpoint(handle, kWalPages);
      // After one very large transaction (a first scan) the log file is cut
      // back at the next checkpoint; below that size it is reused as it is,
      // as truncating and growing it again on every checkpoint costs more.
      pragma("PRAGMA journal_size_limit=67108864");
      configured_ = db->weak_from_this();
    }
    if (batchOwner_ != std::thread::id()) {
      if (batchOwner_ != std::this_thread::get_id()) {
        // Another thread's operation: never part of the batch.
        if (batchBegun_) commitBatch(db);
      } else if (!batchBegun_ && !db->inTransaction()) {
        batchBegun_ = db->beginTransaction();
      }
    }
    if (!transaction) {
      ok = block(db);
      return;
    }
    TransactionGuard tx(db);
    if (!tx.open()) return;
    if (block(db)) ok = tx.commit();
  });
  return ok;
}

bool Syncdb::commitBatch(SQDatabase* db) {
  batchBegun_ = false;
  if (!db->inTransaction()) return true;
  if (db->commit()) return true;
  if (db->inTransaction()) db->rollback();
  batchFailed_ = true;
  return false;
}

// The transaction is begun by the owner's first operation (in run), so a
// batch that is paused holds no lock until it writes again.
Syncdb::Batch::Batch(Syncdb& db) : db_(db) {
  if (!db_.dbQueue_) return;
  db_.dbQueue_->inDatabase([this](SQDatabase* c) {
    if (db_.batchOwner_ != std::thread::id() || c->inTransaction()) return;
    db_.batchOwner_ = std::this_thread::get_id();
    db_.batchBegun_ = false;
    db_.batchFailed_ = false;
    open_ = true;
  });
}

Syncdb::Batch::~Batch() { finish(); }

bool Syncdb::Batch::finish() {
  if (!open_) return true;
  open_ = false;
  bool failed = false;
  db_.dbQueue_->inDatabase([&](SQDatabase* c) {
    if (db_.batchBegun_) db_.commitBatch(c);
    failed = db_.batchFailed_;
    db_.batchOwner_ = std::thread::id();
  });
  return !failed;
}

bool Syncdb::pauseBatch() {
  if (!dbQueue_) return true;
  bool ok = true;
  dbQueue_->inDatabase([&](SQDatabase* c) {
    if (batchOwner_ == std::this_thread::get_id() && batchBegun_) ok = commitBatch(c);
  });
  return ok;
}

void Syncdb::exec(const std::string& sql, const Array& args) {
  run(false, [&](SQDatabase* db) { return db->executeUpdate(sql, args); });
}

std::vector<SyncFileItem> Syncdb::files(const std::string& sql, const Array& args) {
  std::vector<SyncFileItem> out;
  run(false, [&](SQDatabase* db) {
    ItemColumns columns;
    return eachRow(db, sql, args, [&](SQResultSet& rs) { out.push_back(readItem(rs, columns)); });
  });
  return out;
}

void Syncdb::createtable() {
  run(true, [](SQDatabase* db) {
    for (int i = 0; i < static_cast<int>(std::size(kTables)); ++i) {
      const bool ok = db->executeUpdate(kTables[i].sql);
      if (!ok && kTables[i].error) plat::log("%s", kTables[i].error);
      if (ok && i == kSqlversionTable) {
        int64_t count = 0;
        eachRow(db, "select count(*) as cnt from sqlversion", {},
                [&](SQResultSet& rs) { count = rs.longLongIntForColumn("cnt"); });
        if (count == 0) db->executeUpdate("insert into sqlversion values(?);", kSqlVersion);
      }
    }
    return true;
  });
}

void Syncdb::changeold() {
  const auto user = Util::getAppDelegate().userdata();
  changeold(user ? user->userID() : 0);
}

void Syncdb::changeold(int64_t userid) {
  enum class Steps { none, unsyncAndLock, lock };
  Steps steps = Steps::none;
  run(true, [&](SQDatabase* db) {
    db->executeUpdate("ALTER TABLE VERSION add changekey char[40];");
    db->executeUpdate("ALTER TABLE VERSION add synctype int;");
    if (db->executeUpdate("ALTER TABLE VERSION add local int;")) {
      db->executeUpdate("update VERSION set changekey='',synctype='0',local='0';");
      // Only a file that had no sqlversion table gets the row here; createtable
      // already gave one to the others, and a second would only confuse.
      if (db->executeUpdate("CREATE TABLE sqlversion(version char[20]);")) {
        db->executeUpdate("insert into sqlversion values(?);", kSqlVersion);
      }
    }
    if (db->executeUpdate("ALTER TABLE VERSION add org int;")) db->executeUpdate("update VERSION set org='0'");
    db->executeUpdate("ALTER TABLE SYNCEDNOW add type int;");
    // Columns of SYNC that the hand-off and the locks need; a current file
    // has them and the statements fail harmlessly.
    if (db->executeUpdate("ALTER TABLE SYNC add diskversion int;")) db->executeUpdate("update SYNC set diskversion=0");
    if (db->executeUpdate("ALTER TABLE SYNC add lock int;")) db->executeUpdate("update SYNC set lock=0");
    if (db->executeUpdate("ALTER TABLE SYNC add actlast bigint;")) db->executeUpdate("update SYNC set actlast=0");
    // The indexes come after the columns they name, so a file of an older
    // client has them from its first run on.
    for (const char* sql : kOldIndexes) {
      if (!db->executeUpdate(sql)) plat::log("error to drop index: %s", sql);
    }
    for (const char* sql : kIndexes) {
      if (!db->executeUpdate(sql)) plat::log("error to create index: %s", sql);
    }

    std::optional<std::string> stored;
    {
      auto rs = db->executeQuery("select * from sqlversion");
      if (rs && rs->next()) stored = rs->stringForColumn("version").value_or("");
      if (rs) rs->close();
    }
    const std::string v = stored.value_or("");
    if (!stored) {
      steps = Steps::unsyncAndLock;
    } else if (v == "1.0.0.0") {
      steps = Steps::unsyncAndLock;
    } else if (v == "1.0.0.1") {
      steps = Steps::lock;
    } else if (v == "1.0.0.2") {
      steps = Steps::none;
    } else {
      return true;
    }
    db->executeUpdate("delete from sqlversion;");
    db->executeUpdate("insert into sqlversion values(?);", kSqlVersion);
    if (v == "1.0.0.2") return true;
    // The data steps run in the same transaction: a crash leaves the old
    // version recorded and the migration runs again whole.
    if (steps == Steps::unsyncAndLock) {
      std::vector<std::string> nodes;
      eachRow(db, "select * from SYNCNODES", {}, [&](SQResultSet& rs) { nodes.push_back(text(rs, "path")); });
      for (const auto& n : nodes) {
        Array a{syncstatus::excluded};
        addTree(a, n);
        db->executeUpdate(std::string("update SYNC set status=? where ") + kTree, a);
      }
    }
    db->executeUpdate("update SYNC set lock=? where memberid=? and lock=?", synclock::mine, userid, synclock::other);
    return true;
  });
}

void Syncdb::changeunsync2status() {
  run(true, [](SQDatabase* db) {
    std::vector<std::string> nodes;
    eachRow(db, "select * from SYNCNODES", {}, [&](SQResultSet& rs) { nodes.push_back(text(rs, "path")); });
    for (const auto& n : nodes) {
      Array a{syncstatus::excluded};
      addTree(a, n);
      if (!db->executeUpdate(std::string("update SYNC set status=? where ") + kTree, a)) return false;
    }
    return true;
  });
}

void Syncdb::changelock(int64_t userid) {
  exec("update SYNC set lock=? where memberid=? and lock=?", {synclock::mine, userid, synclock::other});
}

void Syncdb::close() {
  if (dbQueue_) dbQueue_->close();
}

// ---------------------------------------------------------------------------
// SYNC: one entry

namespace {
constexpr const char* kInsertColumns =
    "insert into SYNC (path,parent,type,filehash,filesize,last,status,version,diskversion,lock,memberid,"
    "membername,actlast) values";
constexpr const char* kInsertValues = "(?,?,?,?,?,?,?,?,?,?,?,?,0)";
constexpr int kInsertParams = 12;

// Rows of one folder go several to a statement: a statement per row opens
// and closes five cursors for it. They sit side by side in the table's key
// and in every index, so the statement journal a statement of several rows
// needs copies a page or two; rows spread over the table (another caller's)
// go one to a statement, as their journal would copy a page a row.
constexpr size_t kRowsPerInsert = 32;

// The insert of n rows (1..kRowsPerInsert), made once.
const std::string& insertSql(size_t n) {
  static const std::vector<std::string> sql = [] {
    std::vector<std::string> out(kRowsPerInsert + 1);
    for (size_t k = 1; k <= kRowsPerInsert; ++k) {
      out[k] = kInsertColumns;
      for (size_t i = 0; i < k; ++i) out[k].append(i ? "," : "").append(kInsertValues);
      out[k] += ";";
    }
    return out;
  }();
  return sql[n];
}

// The values of one row bound straight from the item, after `base`
// parameters: a scan writes a hundred thousand rows, and a value array per
// row copied every text twice.
int bindRow(sqlite3_stmt* st, int base, const SyncFileItem& it) {
  // A text without a NUL goes with its terminator: qvfold() of a text bound
  // by its length alone first makes SQLite copy it to add one.
  const auto text = [st, base](int i, const std::string& v) {
    if (v.size() < INT_MAX && std::memchr(v.data(), 0, v.size()) == nullptr) {
      return sqlite3_bind_text(st, base + i, v.c_str(), -1, SQLITE_STATIC);
    }
    return sqlite3_bind_text64(st, base + i, v.data(), v.size(), SQLITE_STATIC, SQLITE_UTF8);
  };
  const auto number = [st, base](int i, int64_t v) { return sqlite3_bind_int64(st, base + i, v); };
  const int rcs[kInsertParams] = {text(1, it.webpath),
                                  text(2, it.parent),
                                  number(3, it.file ? 1 : 0),
                                  text(4, it.filehash),
                                  number(5, static_cast<int64_t>(it.size)),
                                  number(6, static_cast<int64_t>(it.last)),
                                  number(7, it.status),
                                  number(8, it.version),
                                  number(9, it.diskversion),
                                  number(10, it.lock),
                                  number(11, it.memberid),
                                  text(12, it.membername)};
  for (const int rc : rcs) {
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

// n rows in one statement: all of them stored, or (the statement undone)
// none.
bool insertRows(SQDatabase* db, const SyncFileItem* rows, size_t n) {
  return db->executeUpdateBinding(insertSql(n), [&](sqlite3_stmt* st) {
    for (size_t i = 0; i < n; ++i) {
      if (const int rc = bindRow(st, static_cast<int>(i) * kInsertParams, rows[i]); rc != SQLITE_OK) return rc;
    }
    return SQLITE_OK;
  });
}

bool insertRow(SQDatabase* db, const SyncFileItem& it) { return insertRows(db, &it, 1); }
}  // namespace

bool Syncdb::add_new_file(const SyncFileItem& item) {
  return run(false, [&](SQDatabase* db) { return insertRow(db, item); });
}

size_t Syncdb::add_new_files(const std::vector<SyncFileItem>& items) {
  size_t stored = 0;
  const auto insert = [&](SQDatabase* db) {
    for (size_t i = 0; i < items.size();) {
      size_t n = 1;  // the run of rows of the same folder from i
      while (n < kRowsPerInsert && i + n < items.size() && items[i + n].parent == items[i].parent) ++n;
      if (n > 1 && insertRows(db, &items[i], n)) {
        stored += n;
      } else {
        // A row that fails undoes its whole statement: the rows go one by
        // one, and only the failing ones are left out.
        for (size_t k = i; k < i + n; ++k) stored += insertRow(db, items[k]) ? 1 : 0;
      }
      i += n;
    }
  };
  run(false, [&](SQDatabase* db) {
    // Each row is stored whole or left out by its own statement, so inside
    // a transaction (a scan's batch) the rows go straight in: a savepoint
    // around them would undo nothing and copies every page they touch.
    if (db->inTransaction()) {
      insert(db);
      return true;
    }
    TransactionGuard tx(db);
    if (!tx.open()) return false;
    insert(db);
    return tx.commit();
  });
  return stored;
}

void Syncdb::update_file(const SyncFileItem& it) {
  exec(std::string("update SYNC set parent=?,type=?,filehash=?,filesize=?,last=?,status=?,version=?,diskversion=?,"
                   "lock=?,memberid=?,membername=?,actlast=? where ") +
           kOne,
       {it.parent, it.file ? 1 : 0, it.filehash, it.size, it.last, it.status, it.version, it.diskversion, it.lock,
        it.memberid, it.membername, it.actlast, foldCase(it.webpath)});
}

void Syncdb::setOne(const char* assignments, Array values, const std::string& path) {
  values.emplace_back(foldCase(path));
  exec(std::string("update SYNC set ") + assignments + " where " + kOne, values);
}

void Syncdb::update_status(const std::string& path, int64_t status) {
  setOne("status=?", {status}, path);
}

void Syncdb::update_lasttime(const std::string& path, uint64_t lasttime) {
  setOne("last=?", {lasttime}, path);
}

void Syncdb::update_filesize(const std::string& path, uint64_t filesize) {
  setOne("filesize=?", {filesize}, path);
}

void Syncdb::update_filehash(const std::string& path, const std::string& filehash) {
  setOne("filehash=?", {filehash}, path);
}

void Syncdb::update_membername(const std::string& path, const std::string& membername, int64_t memberid) {
  setOne("membername=?,memberid=?", {membername, memberid}, path);
}

void Syncdb::update_version(const std::string& path, int64_t version) {
  setOne("version=?", {version}, path);
}

void Syncdb::update_diskvesion(const std::string& path, int64_t version) {
  setOne("diskversion=?", {version}, path);
}

void Syncdb::update_lock(const std::string& path, int64_t lock) {
  setOne("lock=?", {lock}, path);
}

bool Syncdb::update_finish(const std::string& path, uint64_t lasttime, int64_t status, int64_t version) {
  const std::string sql = std::string("update SYNC set last=?,status=?,diskversion=? where ") + kOne;
  return run(false, [&](SQDatabase* db) { return db->executeUpdate(sql, Array{lasttime, status, version, foldCase(path)}); });
}

void Syncdb::update_diskdelete(const std::string& path) {
  setOne("status=?,actlast=?", {syncstatus::toDelete, now()}, path);
}

void Syncdb::update_delete(const std::string& path) {
  setOne("status=?,actlast=?", {syncstatus::toRemove, now()}, path);
}

// ---------------------------------------------------------------------------
// SYNC: subtrees

void Syncdb::update_dir_status(const std::string& path, int64_t status) {
  Array a{status};
  addTree(a, path);
  exec(std::string("update SYNC set status=? where ") + kTree, a);
}

void Syncdb::update_lock_dir(const std::string& path, int64_t lock) {
  Array a{lock};
  addTree(a, path);
  exec(std::string("update SYNC set lock=? where ") + kTree, a);
}

void Syncdb::add_sync(const std::string& path) { update_dir_status(path, syncstatus::toDownload); }

void Syncdb::mark_del_by_parent(const std::string& path) {
  Array a{syncstatus::toDelete};
  addBelow(a, path);
  exec(std::string("update SYNC set status=? where ") + kBelow, a);
}

void Syncdb::reset_del(const std::string& path) {
  exec(std::string("update SYNC set status=? where ") + kOne + " and (status=? or status=?)",
       {syncstatus::toUpload, foldCase(path), syncstatus::toRemove, syncstatus::toDelete});
}

void Syncdb::del_by_org(const std::string& path) {
  Array a;
  addBelow(a, path);
  a.insert(a.end(), {syncstatus::uploading, syncstatus::toUpload, syncstatus::toReupload});
  exec(std::string("delete from SYNC where ") + kBelow + " and (status=? or status=? or status=?)", a);
}

void Syncdb::del_file(const std::string& path) {
  exec(std::string("delete from SYNC where ") + kOne, {foldCase(path)});
}

void Syncdb::del_dir(const std::string& path) {
  Array a;
  addTree(a, path);
  exec(std::string("delete from SYNC where ") + kTree, a);
}

void Syncdb::removesync(const std::string& path) { del_dir(path); }

void Syncdb::reset_dir(const std::string& path) {
  if (path.empty()) {
    clear_all_files();
    return;
  }
  Array a;
  addBelow(a, path);
  exec(std::string("delete from SYNC where ") + kBelow, a);
}

std::vector<std::string> Syncdb::teamRoots(SQDatabase* db) {
  std::vector<std::string> roots;
  eachRow(db, "SELECT path FROM VERSION WHERE org=1", {}, [&](SQResultSet& rs) { roots.push_back(text(rs, "path")); });
  return roots;
}

std::vector<std::string> Syncdb::localRoots(SQDatabase* db) {
  std::vector<std::string> roots;
  eachRow(db, "SELECT path FROM VERSION WHERE local=1", {}, [&](SQResultSet& rs) { roots.push_back(text(rs, "path")); });
  return roots;
}

namespace {
// The team or local roots that give a condition, shortened.
std::vector<std::string> conditionRoots(const std::vector<std::string>& roots) {
  std::vector<std::string> out;
  for (const auto& r : roots) {
    if (auto s = shortenedRoot(r)) out.push_back(*s);
  }
  return out;
}
}  // namespace

void Syncdb::reset_dir_type(int64_t type) {
  if (type == 3) {
    clear_all_files();
    return;
  }
  if (type != 1) return;
  run(true, [&](SQDatabase* db) {
    const auto roots = teamRoots(db);
    if (roots.empty()) return db->executeUpdate("delete from SYNC");
    const auto cond = conditionRoots(roots);
    if (cond.empty()) return true;
    Array a;
    const std::string where = treeConditions(cond, a);
    return db->executeUpdate("delete from SYNC where not (" + where + ");", a);
  });
}

void Syncdb::clear_all_files() { exec("delete from SYNC", {}); }

namespace {
// Both statements of a rename or a move; `clearVersions` for a move. The
// descendants are the rows below the old path, each with its path and
// parent given the new prefix (cut by the old path's length in characters).
bool renameTree(SQDatabase* db, const std::string& oldpath, const std::string& newpath, bool clearVersions) {
  const std::string first =
      clearVersions ? std::string("update SYNC set path=?,parent=?,version=0,diskversion=0 where ") + kOne
                    : std::string("update SYNC set path=? where ") + kOne;
  const Array firstArgs = clearVersions ? Array{newpath, syncpath::parentOf(newpath), foldCase(oldpath)}
                                        : Array{newpath, foldCase(oldpath)};
  if (!db->executeUpdate(first, firstArgs)) return false;
  Array a{newpath, oldpath, newpath, oldpath};
  addBelow(a, oldpath);
  return db->executeUpdate(std::string("update SYNC set path=?||substr(path,length(?)+1),parent=?||substr(parent,"
                                       "length(?)+1)") +
                               (clearVersions ? ",version=0,diskversion=0" : "") + " where " + kBelow,
                           a);
}
}  // namespace

bool Syncdb::rename(const std::string& oldpath, const std::string& newpath) {
  return run(true, [&](SQDatabase* db) { return renameTree(db, oldpath, newpath, false); });
}

bool Syncdb::update_rename(const std::string& oldpath, const std::string& newpath) { return rename(oldpath, newpath); }

bool Syncdb::move(const std::string& oldpath, const std::string& newpath) {
  return run(true, [&](SQDatabase* db) { return renameTree(db, oldpath, newpath, true); });
}

void Syncdb::resetsync(int64_t type) {
  if (type == 1) resetpersonal();
  if (type == 2) resetorg();
}

void Syncdb::resetpersonal() {
  run(true, [&](SQDatabase* db) {
    const auto roots = teamRoots(db);
    if (roots.empty()) {
      return db->executeUpdate("update SYNC set status=? where status=?", syncstatus::toDownload, syncstatus::synced);
    }
    const auto cond = conditionRoots(roots);
    if (cond.empty()) return true;
    Array a{syncstatus::toDownload, syncstatus::synced};
    const std::string where = treeConditions(cond, a);
    return db->executeUpdate("update SYNC set status=? where status=? and not (" + where + ")", a);
  });
}

void Syncdb::resetorg() {
  run(true, [&](SQDatabase* db) {
    const auto cond = conditionRoots(teamRoots(db));
    if (cond.empty()) return true;
    Array a{syncstatus::toDownload, syncstatus::synced};
    const std::string where = treeConditions(cond, a);
    return db->executeUpdate("update SYNC set status=? where status=? and (" + where + ")", a);
  });
}

// ---------------------------------------------------------------------------
// SYNC: reads

SyncFileItem Syncdb::get_single_file(const std::string& path) {
  SyncFileItem out;
  static const std::string sql = std::string("select * from SYNC where ") + kOne;
  for (auto& it : files(sql, {foldCase(path)})) out = std::move(it);
  return out;
}

std::vector<SyncFileItem> Syncdb::get_all_files(const std::string& path) {
  return files("select * from SYNC where qvfold(parent)=? and type=1 and status!=?;",
               {foldCase(path), syncstatus::excluded});
}

std::vector<SyncFileItem> Syncdb::get_all_dir(const std::string& path) {
  return files("select * from SYNC where qvfold(parent)=? and type=0 and status!=?;",
               {foldCase(path), syncstatus::excluded});
}

std::vector<SyncFileItem> Syncdb::get_all_upload_by_path(const std::string& path) {
  return files("select * from SYNC where qvfold(parent)=? order by type;", {foldCase(path)});
}

std::vector<SyncFileItem> Syncdb::get_children(const std::string& path) {
  return files("select * from SYNC where qvfold(parent)=?;", {foldCase(path)});
}

std::vector<SyncFileItem> Syncdb::get_below(const std::string& path) {
  Array a;
  addBelow(a, path);
  return files(std::string("select * from SYNC where ") + kBelow + " order by path;", a);
}

bool Syncdb::switch_moved(const std::string& oldTop, const SyncFileItem& top, const std::vector<MovedRow>& below) {
  return run(true, [&](SQDatabase* db) {
    Array a;
    addTree(a, oldTop);
    if (!db->executeUpdate(std::string("delete from SYNC where ") + kTree, a)) return false;
    if (!insertRow(db, top)) return false;
    const std::string sql = std::string("update SYNC set last=?,status=?,diskversion=? where ") + kOne;
    for (const auto& r : below) {
      if (!db->executeUpdate(sql, Array{r.last, syncstatus::synced, r.version, foldCase(r.path)})) return false;
      if (db->changes() != 1) return false;
    }
    return true;
  });
}

std::vector<SyncFileItem> Syncdb::get_all_deleted_file() {
  return files("select * from SYNC where (status=? or status=?) and type=1 order by path asc;",
               {syncstatus::toRemove, syncstatus::toDelete});
}

std::vector<SyncFileItem> Syncdb::get_all_deleted_dir() {
  std::vector<SyncFileItem> out;
  run(true, [&](SQDatabase* db) {
    std::vector<SyncFileItem> dirs;
    ItemColumns columns;
    eachRow(db, "select * from SYNC where (status=? or status=?) and type=0 order by path asc;",
            {syncstatus::toRemove, syncstatus::toDelete},
            [&](SQResultSet& rs) { dirs.push_back(readItem(rs, columns)); });
    for (auto& d : dirs) {
      bool parentDeleted = false;
      eachRow(db, std::string("select status from SYNC where ") + kOne, {foldCase(d.parent)}, [&](SQResultSet& rs) {
        const int64_t s = rs.intForColumn("status");
        parentDeleted = parentDeleted || s == syncstatus::toRemove || s == syncstatus::toDelete;
      });
      if (!parentDeleted) out.push_back(std::move(d));
    }
    return true;
  });
  return out;
}

bool Syncdb::is_upload_by_path(const std::string& path) {
  Array a;
  addBelow(a, path);
  a.insert(a.end(), {syncstatus::uploading, syncstatus::toUpload, syncstatus::toReupload, syncstatus::toDelete});
  bool found = false;
  run(false, [&](SQDatabase* db) {
    found = exists(db, std::string("select 1 from SYNC where ") + kBelow +
                           " and (status=? or status=? or status=? or status=?) limit 1",
                   a);
    return true;
  });
  return found;
}

int64_t Syncdb::getstatus(const std::string& path, std::string& name) {
  int64_t result = 0;
  run(true, [&](SQDatabase* db) {
    bool found = false;
    int64_t status = 0, lock = 0, type = 0;
    eachRow(db, std::string("SELECT status,lock,type,membername FROM SYNC WHERE ") + kOne + " limit 1",
            {foldCase(path)}, [&](SQResultSet& rs) {
              found = true;
              status = rs.intForColumn("status");
              lock = rs.intForColumn("lock");
              type = rs.intForColumn("type");
              name = text(rs, "membername");
            });
    if (!found) return true;
    if (type != 1) {
      Array a;
      addBelow(a, path);
      a.insert(a.end(), {syncstatus::synced, syncstatus::excluded});
      result = exists(db, std::string("select 1 from SYNC where ") + kBelow + " and status!=? and status!=? limit 1", a)
                   ? 1
                   : 2;
    } else if (status != syncstatus::synced) {
      result = 1;
    } else {
      result = lock == synclock::other ? 3 : lock == synclock::mine ? 5 : 2;
    }
    return true;
  });
  return result;
}

int64_t Syncdb::getAllNeedSyncCount() {
  int64_t count = 0;
  run(false, [&](SQDatabase* db) {
    return eachRow(db, "select count(*) as 'synccount' from SYNC where status!=? and status!=?;",
                   {syncstatus::synced, syncstatus::excluded},
                   [&](SQResultSet& rs) { count = rs.longLongIntForColumn("synccount"); });
  });
  return count;
}

// ---------------------------------------------------------------------------
// Hand-off

namespace {
// The most urgent row among `statuses` (in that order), skipping rows parked
// until now + 600: first the oldest stamp before now, else the oldest stamp
// beyond the parking window. Ties go by path. Each step is one seek on the
// hand-off index.
SyncFileItem pick(SQDatabase* db, std::initializer_list<int64_t> statuses, int64_t now) {
  SyncFileItem out;
  const int64_t horizon = now + 600;
  const auto first = [&](const char* sql, int64_t status, int64_t stamp) {
    bool found = false;
    eachRow(db, sql, {status, stamp}, [&](SQResultSet& rs) {
      out = readItem(rs);
      found = true;
    });
    return found;
  };
  for (int64_t s : statuses) {
    if (first("select * from SYNC where status=? and actlast<? order by actlast asc, path asc limit 1", s, now)) break;
    if (first("select * from SYNC where status=? and actlast>? order by actlast asc, path asc limit 1", s, horizon)) {
      break;
    }
  }
  return out;
}
}  // namespace

SyncFileItem Syncdb::get_download() {
  SyncFileItem out;
  run(false, [&](SQDatabase* db) {
    out = pick(db, {syncstatus::toDownload, syncstatus::downloading}, now());
    return true;
  });
  return out;
}

SyncFileItem Syncdb::get_upload() {
  SyncFileItem out;
  run(false, [&](SQDatabase* db) {
    out = pick(db, {syncstatus::toReupload, syncstatus::toUpload, syncstatus::uploading}, now());
    return true;
  });
  return out;
}

void Syncdb::update_acttime(const std::string& path) {
  setOne("actlast=?", {now()}, path);
}

void Syncdb::update_acttime(const std::string& path, double acttime) {
  // Whole seconds; a value out of range is held at the edge of 64 bits
  // instead of being undefined (2^63 itself is out of range).
  const double t = std::trunc(acttime);
  constexpr double kEdge = 9223372036854775807.0;  // rounds to 2^63
  const int64_t stamp = std::isnan(t)   ? 0
                        : t < -kEdge    ? std::numeric_limits<int64_t>::min()
                        : t >= kEdge    ? std::numeric_limits<int64_t>::max()
                                        : static_cast<int64_t>(t);
  setOne("actlast=?", {stamp}, path);
}

std::vector<SyncFileItem> Syncdb::get_files_downloading(const std::string& filehash) {
  return files("select * from SYNC where (status=? or status=?) and filehash=?" + hashedOnly(filehash) +
                   " order by path asc;",
               {syncstatus::downloading, syncstatus::toDownload, filehash});
}

namespace {
// Synced rows with the hash strictly below a local root (one rule of case
// for both questions); "" when there is none.
std::string localHashPath(SQDatabase* db, const std::vector<std::string>& roots, const std::string& filehash) {
  const auto cond = conditionRoots(roots);
  if (cond.empty()) return {};
  Array a{filehash, syncstatus::synced};
  std::string where;
  for (const auto& r : cond) {
    if (!where.empty()) where += " or ";
    where += kBelow;
    addBelow(a, r);
  }
  std::string found;
  eachRow(db, "select path from SYNC where filehash=?" + hashedOnly(filehash) + " and status=? and (" + where +
                  ") limit 1",
          a,
          [&](SQResultSet& rs) { found = text(rs, "path"); });
  return found;
}
}  // namespace

std::string Syncdb::get_local_hash(const std::string& filehash) {
  std::string out;
  run(false, [&](SQDatabase* db) {
    out = localHashPath(db, localRoots(db), filehash);
    return true;
  });
  return out;
}

bool Syncdb::check_local_hash(const std::string& filehash) { return !get_local_hash(filehash).empty(); }

std::string Syncdb::get_synced_hash(const std::string&) { return {}; }

bool Syncdb::check_local(const std::string& path) {
  bool found = false;
  run(false, [&](SQDatabase* db) {
    // "/path" begins with a stored local root other than "/"; compared as
    // texts, so no character of a root acts as a wildcard.
    found = exists(db,
                   "select 1 from VERSION where path!='/' and local=1 and "
                   "substr(qvfold(?),1,length(path))=qvfold(path) limit 1",
                   {"/" + path});
    return true;
  });
  return found;
}

// ---------------------------------------------------------------------------
// VERSION

void Syncdb::insert_total_version(const std::string& path, int64_t synctype, int64_t local, int64_t org) {
  run(true, [&](SQDatabase* db) {
    if (exists(db, std::string("select 1 from VERSION where ") + kOne, {foldCase(path)})) {
      return db->executeUpdate(std::string("update VERSION set synctype=?,local=?,org=? where ") + kOne,
                               Array{synctype, local, org, foldCase(path)});
    }
    return db->executeUpdate(
        "insert into VERSION(path,version,dateline,changekey,synctype,local,org) values(?,0,0,'',?,?,?)", path,
        synctype, local, org);
  });
}

SyncVersion Syncdb::get_total_version(const std::string& path) {
  SyncVersion out;
  bool found = false;
  run(false, [&](SQDatabase* db) {
    return eachRow(db, std::string("select * from VERSION where ") + kOne, {foldCase(path)}, [&](SQResultSet& rs) {
      if (!found) out = readVersion(rs);
      found = true;
    });
  });
  return out;
}

std::vector<SyncVersion> Syncdb::get_all_version() {
  std::vector<SyncVersion> out;
  run(false, [&](SQDatabase* db) {
    return eachRow(db, "select * from VERSION", {}, [&](SQResultSet& rs) { out.push_back(readVersion(rs)); });
  });
  return out;
}

void Syncdb::update_total_version(const SyncVersion& v) {
  exec(std::string("update VERSION set version=?,dateline=?,changekey=? where ") + kOne,
       {v.version, v.dateline, v.changekey, foldCase(v.webpath)});
}

void Syncdb::update_total_version(const std::string& path, int64_t version, int64_t dateline) {
  exec(std::string("update VERSION set version=?,dateline=? where ") + kOne, {version, dateline, foldCase(path)});
}

void Syncdb::del_total_version(const std::string& path) {
  // The folder's own root "/path/" and every root below it.
  const std::string root = foldCase("/" + path + "/");
  exec("delete from VERSION where qvfold(path)>=? and qvfold(path)<?", {root, root.substr(0, root.size() - 1) + "0"});
}

void Syncdb::del_total_version_check(const std::string& path) {
  exec(std::string("delete from VERSION where ") + kOne, {foldCase(path)});
}

void Syncdb::clear_total_version() { exec("delete from VERSION;", {}); }

void Syncdb::reset_total_version() { exec("update VERSION set version=0,dateline=0,changekey='';", {}); }

bool Syncdb::update_total_version_org(const std::vector<std::string>& paths) {
  if (paths.empty()) return true;
  return run(true, [&](SQDatabase* db) {
    for (const auto& p : paths) {
      if (!db->executeUpdate(std::string("update VERSION set org='1' where ") + kOne, Array{foldCase("/" + p + "/")})) {
        return false;
      }
    }
    return true;
  });
}

// ---------------------------------------------------------------------------
// SYNCEDNOW

void Syncdb::inset_sync_now(const std::string& path, int64_t type) {
  // A request already queued for the same letters keeps its type.
  exec("insert or ignore into SYNCEDNOW(path,type) values(?,?)", {path, type});
}

std::vector<SyncVersion> Syncdb::get_sync_now() {
  std::vector<SyncVersion> out;
  run(false, [&](SQDatabase* db) {
    return eachRow(db, "select * from SYNCEDNOW", {}, [&](SQResultSet& rs) {
      SyncVersion v;
      v.webpath = text(rs, "path");
      v.version = rs.intForColumn("type");
      out.push_back(std::move(v));
    });
  });
  return out;
}

void Syncdb::del_sync_now(const std::string& path, int64_t type) {
  exec(std::string("delete from SYNCEDNOW where ") + kOne + " and type=?", {foldCase(path), type});
}

// ---------------------------------------------------------------------------
// SYNCNODES

void Syncdb::insert_unsync_nodes(const std::vector<UnSyncNodeItem>& items) {
  // One transaction: a reader never sees the set empty or half written.
  run(true, [&](SQDatabase* db) {
    if (!db->executeUpdate("delete from SYNCNODES;")) return false;
    for (const auto& it : items) {
      if (!db->executeUpdate("insert or ignore into SYNCNODES(path,type) values(?,?);", it.path, it.type)) return false;
    }
    return true;
  });
}

void Syncdb::del_unsync_nodes() { exec("delete from SYNCNODES;", {}); }

namespace {
std::vector<UnSyncNodeItem> nodesOf(SQDatabase* db, const std::string& sql, const Array& args) {
  std::vector<UnSyncNodeItem> out;
  eachRow(db, sql, args, [&](SQResultSet& rs) { out.push_back({text(rs, "path"), rs.intForColumn("type")}); });
  return out;
}
}  // namespace

std::vector<UnSyncNodeItem> Syncdb::get_unsync_nodes() {
  std::vector<UnSyncNodeItem> out;
  run(false, [&](SQDatabase* db) {
    out = nodesOf(db, "select * from SYNCNODES", {});
    return true;
  });
  return out;
}

std::vector<UnSyncNodeItem> Syncdb::get_unsync_nodes(const std::string& path) {
  if (path.empty()) return get_unsync_nodes();
  std::vector<UnSyncNodeItem> out;
  Array a{foldCase(path)};
  addBelow(a, path);
  run(false, [&](SQDatabase* db) {
    out = nodesOf(db, std::string("select * from SYNCNODES where (qvfold(path)=? and type=2) or ") + kBelow, a);
    return true;
  });
  return out;
}

bool Syncdb::update_unsync_nodes(const std::vector<UnSyncNodeItem>& items) {
  if (items.size() == 1 && items[0].type == 0 && items[0].path.empty()) {
    exec("update SYNC set status=?", {syncstatus::excluded});
    return true;
  }
  if (items.empty()) return true;
  // One statement per item, all in one transaction: no limit on the number
  // of bound values, and the exclusion applies whole or not at all.
  run(true, [&](SQDatabase* db) {
    for (const auto& it : items) {
      Array a;
      std::string sql;
      if (it.type == 2) {
        sql = "delete from SYNC where qvfold(parent)=? and type=1";
        a.emplace_back(foldCase(it.path));
      } else {
        sql = std::string("delete from SYNC where ") + kTree;
        addTree(a, it.path);
      }
      if (!db->executeUpdate(sql, a)) return false;
    }
    return true;
  });
  return true;
}

// ---------------------------------------------------------------------------
// LINKNODE, MENU, HISTORY

bool Syncdb::add_link(const std::string& webpath, const std::string& fullpath) {
  return run(true, [&](SQDatabase* db) {
    if (exists(db, "select 1 from LINKNODE where qvfold(srcpath)=?", {foldCase(webpath)})) {
      return db->executeUpdate("update LINKNODE set dstpath=? where qvfold(srcpath)=?", fullpath, foldCase(webpath));
    }
    return db->executeUpdate("insert into LINKNODE(srcpath,dstpath) values(?,?);", webpath, fullpath);
  });
}

void Syncdb::remove_link(const std::string& webpath, bool same) {
  if (same) {
    exec("delete from LINKNODE where qvfold(srcpath)=?;", {foldCase(webpath)});
    return;
  }
  Array a;
  addTree(a, webpath);
  exec("delete from LINKNODE where qvfold(srcpath)=? or (qvfold(srcpath)>=? and qvfold(srcpath)<?);", a);
}

std::vector<LinkFolderNode> Syncdb::get_links() {
  std::vector<LinkFolderNode> out;
  run(false, [&](SQDatabase* db) {
    return eachRow(db, "select * from LINKNODE", {},
                   [&](SQResultSet& rs) { out.push_back({text(rs, "srcpath"), text(rs, "dstpath")}); });
  });
  return out;
}

void Syncdb::insert_menu(const std::vector<QVMenuItem>& items) {
  run(true, [&](SQDatabase* db) {
    if (!db->executeUpdate("delete from MENU;")) return false;
    for (const auto& it : items) {
      // A second entry with the same title is not stored.
      if (!db->executeUpdate("insert or ignore into MENU(name,status) values(?,?);", it.title(), it.status())) {
        return false;
      }
    }
    return true;
  });
}

void Syncdb::setHistory(const std::vector<std::string>& entries) {
  run(true, [&](SQDatabase* db) {
    if (!db->executeUpdate("delete from HISTORY;")) return false;
    for (const auto& e : entries) {
      if (!db->executeUpdate("insert into HISTORY(path) values(?);", e)) return false;
    }
    return true;
  });
}

void Syncdb::getHistory(plat::Array& out) {
  run(false, [&](SQDatabase* db) {
    return eachRow(db, "select * from HISTORY", {}, [&](SQResultSet& rs) { out.emplace_back(text(rs, "path")); });
  });
}
