#include "Framework/Sqlite/SQDatabase.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "Framework/Sqlite/SQBusy.h"
#include "Framework/Sqlite/SQResultSet.h"
#include "Framework/Sqlite/sq_test_util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/log.h"

using plat::Value;

namespace {

class SQDatabaseTest : public ::testing::Test {
protected:
  void SetUp() override {
    db = SQDatabase::databaseWithPath(dir.file("test.db"));
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeUpdate("create table t (v)"));
  }
  // typeof() and the literal of the single row of t (reals as their text).
  std::pair<std::string, std::string> storedTypeAndValue() {
    auto rs = db->executeQuery(
        "select typeof(v) as type, case typeof(v) when 'real' then cast(v as text) else quote(v) end as q from t");
    EXPECT_TRUE(rs && rs->next());
    if (!rs) return {};
    auto result = std::make_pair(rs->stringForColumn("type").value_or("?"), rs->stringForColumn("q").value_or("?"));
    rs->close();
    return result;
  }
  sqtest::TempDir dir;
  std::shared_ptr<SQDatabase> db;
};

TEST_F(SQDatabaseTest, OpenAndCloseAreIdempotent) {
  sqlite3* handle = db->sqliteHandle();
  EXPECT_TRUE(db->open());
  EXPECT_EQ(handle, db->sqliteHandle());
  EXPECT_TRUE(db->goodConnection());
  EXPECT_TRUE(db->close());
  EXPECT_EQ(nullptr, db->sqliteHandle());
  EXPECT_TRUE(db->close());
  EXPECT_FALSE(db->goodConnection());

  plat::LogCapture log;
  auto missing = SQDatabase::databaseWithPath(dir.file("nope/x.db"));
  EXPECT_FALSE(missing->open());
  EXPECT_TRUE(log.contains("error opening!: 14"));
  EXPECT_EQ(nullptr, missing->sqliteHandle());
  EXPECT_FALSE(missing->openWithFlags(SQLITE_OPEN_READONLY));

  auto memory = SQDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(memory->open());
  EXPECT_TRUE(memory->executeUpdate("create table m (a)"));
  EXPECT_FALSE(SQDatabase::sqliteLibVersion().empty());
  EXPECT_TRUE(SQDatabase::isSQLiteThreadSafe());
}

TEST_F(SQDatabaseTest, ClosedConnectionRefusesWork) {
  ASSERT_TRUE(db->close());
  plat::LogCapture log;
  EXPECT_EQ(nullptr, db->executeQuery("select 1"));
  EXPECT_FALSE(db->executeUpdate("insert into t values (1)"));
  EXPECT_EQ(2u, log.count("The SQDatabase " + db->description() + " is not open."));
  // SQLite itself would dereference the missing handle.
  EXPECT_EQ(0, db->changes());
  EXPECT_EQ(0, db->lastInsertRowId());
  EXPECT_FALSE(db->makeFunctionNamed("f", 0, [](sqlite3_context*, int, sqlite3_value**) {}));
}

// A function SQLite refuses is reported; one refused while a statement uses
// its name leaves the function in place working with its first block.
TEST_F(SQDatabaseTest, RefusedFunctionsAreReported) {
  auto constant = [](int n) {
    return [n](sqlite3_context* ctx, int, sqlite3_value**) { sqlite3_result_int(ctx, n); };
  };
  plat::LogCapture log;
  EXPECT_FALSE(db->makeFunctionNamed("many", 200, constant(1)));  // past SQLite's argument limit
  EXPECT_FALSE(db->makeFunctionNamed(std::string(256, 'n'), 0, constant(1)));
  EXPECT_TRUE(log.contains("Could not make function many (21: "));

  ASSERT_TRUE(db->makeFunctionNamed("f", 0, constant(1)));
  ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
  ASSERT_TRUE(db->executeUpdate("insert into t values (2)"));
  auto rs = db->executeQuery("select f() from t");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_FALSE(db->makeFunctionNamed("f", 0, constant(2)));
  EXPECT_EQ(1, rs->intForColumnIndex(0));
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(1, rs->intForColumnIndex(0));
  rs->close();
  ASSERT_TRUE(db->makeFunctionNamed("f", 0, constant(3)));
  rs = db->executeQuery("select f()");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(3, rs->intForColumnIndex(0));
  rs->close();
}

// SQLITE_LOCKED from the connection's own open result set can't clear while
// the caller waits: the update fails at once with its error, under any
// limit, instead of retrying (for ever under the limit 0 the system uses).
TEST_F(SQDatabaseTest, LockedByItsOwnStatementFailsAtOnce) {
  for (int limit : {40, 0}) {
    SCOPED_TRACE(limit);
    ASSERT_TRUE(db->executeUpdate("create table d (v)"));
    ASSERT_TRUE(db->executeUpdate("insert into d values (1)"));
    ASSERT_TRUE(db->executeUpdate("insert into d values (2)"));
    db->setBusyRetryTimeout(limit);
    auto rs = db->executeQuery("select v from d");
    ASSERT_TRUE(rs && rs->next());
    plat::LogCapture log;
    EXPECT_FALSE(db->executeUpdate("drop table d"));
    EXPECT_EQ(SQLITE_LOCKED, db->lastErrorCode());
    EXPECT_EQ("database table is locked", db->lastErrorMessage());
    EXPECT_FALSE(log.contains("Database busy"));
    // The open set goes on, and once it is closed the same statement works.
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(2, rs->intForColumnIndex(0));
    rs->close();
    EXPECT_TRUE(db->executeUpdate("drop table d"));
  }
}

// A table locked by another connection of a shared cache is still waited
// for, and given up on under a limit.
TEST_F(SQDatabaseTest, SharedCacheLockIsWaitedFor) {
  ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
  ASSERT_TRUE(db->close());
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_SHAREDCACHE;
  auto writer = SQDatabase::databaseWithPath(dir.file("test.db"));
  auto reader = SQDatabase::databaseWithPath(dir.file("test.db"));
  ASSERT_TRUE(writer->openWithFlags(flags));
  ASSERT_TRUE(reader->openWithFlags(flags));
  ASSERT_TRUE(reader->goodConnection());
  ASSERT_TRUE(writer->beginTransaction());
  ASSERT_TRUE(writer->executeUpdate("insert into t values (2)"));
  reader->setBusyRetryTimeout(3);
  plat::LogCapture log;
  auto rs = reader->executeQuery("select v from t");
  EXPECT_FALSE(rs && rs->next());
  EXPECT_TRUE(log.contains("Database busy (" + dir.file("test.db") + ")"));
  ASSERT_TRUE(writer->commit());
  reader->setBusyRetryTimeout(0);
  rs = reader->executeQuery("select count(*) from t");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(2, rs->intForColumnIndex(0));
  rs->close();
}

std::string sqlLiteral(const std::string& text) {
  std::string out;
  out += '\'';
  out += text;
  out += '\'';
  return out;
}

// Every value kind and number type code, as SQLite stores it.
TEST_F(SQDatabaseTest, BindTable) {
  struct Case {
    const char* what;
    Value value;
    const char* type;
    std::string quoted;
  };
  const Case cases[] = {
      {"null", Value(), "null", "NULL"},
      {"bool yes", Value(true), "integer", "1"},
      {"bool no", Value(false), "integer", "0"},
      {"'c' binds as a BOOL", Value(plat::Number::fromChar(65)), "integer", "1"},
      {"'i'", Value(42), "integer", "42"},
      {"'q'", Value(-7LL), "integer", "-7"},
      {"long is 'q'", Value(9000000000L), "integer", "9000000000"},
      {"'Q' keeps its bits", Value(UINT64_MAX), "integer", "-1"},
      {"'f' widened", Value(0.1f), "real", "0.100000001490116"},
      {"'d'", Value(2.25), "real", "2.25"},
      {"'I' as text", Value(4294967295u), "text", "'4294967295'"},
      {"'s' as text", Value(plat::Number::fromShort(-3)), "text", "'-3'"},
      {"'S' as text", Value(plat::Number::fromUnsignedShort(65535)), "text", "'65535'"},
      {"'C' as text", Value(plat::Number::fromUnsignedChar(200)), "text", "'200'"},
      {"string", Value("h\xC3\xA9llo"), "text", "'h\xC3\xA9llo'"},
      {"string with quote", Value("it's"), "text", "'it''s'"},
      {"empty string", Value(""), "text", "''"},
      {"data", Value(plat::Data{1, 2, 0xff}), "blob", "X'0102FF'"},
      {"empty data is a zero-length blob", Value(plat::Data{}), "blob", "X''"},
      {"date", Value(plat::Date{1704103200.5}), "real", "1704103200.5"},
      {"decimal as text", Value(*plat::Decimal::parse("12345678901234567890.125")), "text",
       "'12345678901234567890.125'"},
      {"array as its description", Value(plat::Array{Value(1), Value("a")}), "text",
       sqlLiteral(Value(plat::Array{Value(1), Value("a")}).description())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(db->executeUpdate("delete from t"));
    ASSERT_TRUE(db->executeUpdate("insert into t values (?)", c.value));
    auto [type, quoted] = storedTypeAndValue();
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(c.quoted, quoted);
  }
}

// Text and blobs are copied when bound: the arguments here die before the
// statement is stepped.
TEST_F(SQDatabaseTest, BoundTextAndBlobsOutliveTheirArguments) {
  const std::string big(4000, 'x');
  auto rs = db->executeQuery("select ?, ?", big + "y", plat::Data(3000, 7));
  ASSERT_TRUE(rs);
  std::string noise(4001, 'z');  // reuse of freed memory would show here
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(big + "y", rs->stringForColumnIndex(0));
  EXPECT_EQ(plat::Data(3000, 7), rs->dataForColumnIndex(1));
  rs->close();

  const std::string withNul("a\0b", 3);
  ASSERT_TRUE(db->executeUpdate("insert into t values (?)", withNul));
  rs = db->executeQuery("select length(cast(v as blob)) from t");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(3, rs->intForColumnIndex(0));
  rs->close();
}

TEST_F(SQDatabaseTest, BindCounts) {
  plat::LogCapture log;
  // Values beyond the parameters are not taken.
  auto rs = db->executeQuery("select ? + ?", 1, 2, 3);
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(3, rs->intForColumnIndex(0));
  rs->close();

  EXPECT_EQ(nullptr, db->executeQuery("select ? + ?", 1));
  EXPECT_TRUE(log.contains("Error: the bind count is not correct for the # of variables (executeQuery)"));
  EXPECT_FALSE(db->executeUpdate("insert into t values (?)"));
  EXPECT_TRUE(log.contains(
      "Error: the bind count is not correct for the # of variables (insert into t values (?)) (executeUpdate)"));
  EXPECT_FALSE(db->executeUpdate("insert into t values (?)", plat::Array{}));

  // Named parameters.
  ASSERT_TRUE(db->executeUpdate("insert into t values (:a || :b)", plat::Dictionary{{"a", Value("x")}, {"b", Value("y")}}));
  rs = db->executeQuery("select v from t where v = :v", plat::Dictionary{{"v", Value("xy")}});
  ASSERT_TRUE(rs && rs->next());
  rs->close();
  log.clear();
  EXPECT_EQ(nullptr, db->executeQuery("select :a", plat::Dictionary{{"a", Value(1)}, {"zz", Value(2)}}));
  EXPECT_TRUE(log.contains("Could not find index for zz"));
  EXPECT_TRUE(log.contains("Error: the bind count is not correct for the # of variables (executeQuery)"));
  // As many keys as parameters, but one names none: :b would stay unbound.
  EXPECT_EQ(nullptr, db->executeQuery("select :a, :b", plat::Dictionary{{"a", Value(1)}, {"zz", Value(2)}}));
  // The array form.
  rs = db->executeQuery("select ?, ?", plat::Array{Value("p"), Value(5)});
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ("p", rs->stringForColumnIndex(0));
  EXPECT_EQ(5, rs->intForColumnIndex(1));
  rs->close();
}

// A value SQLite refuses must fail the statement, not be stored as NULL.
TEST_F(SQDatabaseTest, RefusedBindFailsTheStatement) {
  sqlite3_limit(db->sqliteHandle(), SQLITE_LIMIT_LENGTH, 10);
  const Value tooBig[] = {Value(std::string(11, 'x')), Value(plat::Data(11, 1))};
  for (const Value& v : tooBig) {
    SCOPED_TRACE(v.description());
    plat::LogCapture log;
    plat::Error err;
    EXPECT_FALSE(db->update("insert into t values (?)", &err, v));
    EXPECT_EQ(SQLITE_TOOBIG, err.code());
    EXPECT_TRUE(log.contains("Error binding parameter 1 (18: "));
    EXPECT_FALSE(log.contains("bind count"));
    EXPECT_EQ(nullptr, db->executeQuery("select ?", v));
    EXPECT_FALSE(db->executeUpdate("insert into t values (:v)", plat::Dictionary{{"v", v}}));
  }
  auto rs = db->executeQuery("select count(*) from t");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(0, rs->intForColumnIndex(0));
  rs->close();
}

TEST(SQDatabaseFormat, ExtractSQL) {
  struct Case {
    const char* format;
    plat::Array args;
    const char* sql;
    plat::Array expected;  // compared by kind, type code and description
  };
  using plat::Number;
  const Case cases[] = {
      {"select * from t where a = %@ and b = %d and c like '100%%'", {Value("x"), Value(7)},
       "select * from t where a = ? and b = ? and c like '100%'", {Value("x"), Value(7)}},
      {"%%d", {Value(1)}, "%d", {}},
      {"%hi %hu %qi %qu", {Value(-2), Value(3), Value(-4), Value(5)}, "? ? ? ?",
       {Value(Number::fromShort(-2)), Value(Number::fromUnsignedShort(3)), Value(Number::fromLongLong(-4)),
        Value(Number::fromUnsignedLongLong(5))}},
      {"%ld %lu %lld %llu", {Value(-6), Value(7), Value(-8), Value(9)}, "? ? ? ?",
       {Value(Number::fromLong(-6)), Value(Number::fromUnsignedLong(7)), Value(Number::fromLongLong(-8)),
        Value(Number::fromUnsignedLongLong(9))}},
      {"%u %U %D %i %f %g", {Value(1), Value(2), Value(3), Value(4), Value(0.5), Value(0.25)}, "? ? ? ? ? ?",
       {Value(Number::fromUnsignedInt(1)), Value(Number::fromUnsignedInt(2)), Value(3), Value(4), Value(0.5),
        Value(Number::fromFloat(0.25f))}},
      {"%c%s", {Value('A'), Value("str")}, "??", {Value("A"), Value("str")}},
      {"%hx %qx %lx %llx %z", {}, "hx qx lx lx z", {}},
      {"100%", {}, "100", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    std::string sql;
    plat::Array args;
    SQDatabase::extractSQL(c.format, c.args, sql, args);
    EXPECT_EQ(c.sql, sql);
    ASSERT_EQ(c.expected.size(), args.size());
    for (size_t i = 0; i < args.size(); ++i) {
      EXPECT_EQ(c.expected[i].kind(), args[i].kind()) << i;
      EXPECT_EQ(c.expected[i].number().type(), args[i].number().type()) << i;
      EXPECT_EQ(c.expected[i].description(), args[i].description()) << i;
    }
  }
}

TEST_F(SQDatabaseTest, FormatQueries) {
  ASSERT_TRUE(db->executeUpdateWithFormat("insert into t values (%@ || %d || '%%')", "n", 42));
  auto rs = db->executeQueryWithFormat("select v from t where v like %s", "n42%");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ("n42%", rs->stringForColumn("v"));
  rs->close();
  // Too few arguments for the conversions: refused, never read past them.
  plat::LogCapture log;
  EXPECT_FALSE(db->executeUpdateWithFormat("insert into t values (%d + %d)", 1));
  EXPECT_TRUE(log.contains("bind count is not correct"));
}

TEST_F(SQDatabaseTest, UpdateFailuresAreValues) {
  plat::LogCapture log;
  plat::Error err;
  EXPECT_FALSE(db->update("insert into nowhere values (?)", &err, 1));
  EXPECT_EQ("SQDatabase", err.domain());
  EXPECT_EQ(SQLITE_ERROR, err.code());
  EXPECT_EQ("no such table: nowhere", err.localizedDescription());
  EXPECT_FALSE(log.contains("DB Query"));  // prepare errors are logged only when asked

  db->setLogsErrors(true);
  EXPECT_FALSE(db->executeUpdate("selec nonsense"));
  EXPECT_TRUE(log.contains("DB Error: 1 \"near \"selec\": syntax error\""));
  EXPECT_TRUE(log.contains("DB Query: selec nonsense"));
  EXPECT_TRUE(log.contains("DB Path: " + dir.file("test.db")));
  EXPECT_TRUE(db->hadError());

  ASSERT_TRUE(db->executeUpdate("create table u (a unique)"));
  ASSERT_TRUE(db->executeUpdate("insert into u values (1)"));
  log.clear();
  EXPECT_FALSE(db->update("insert into u values (1)", &err));
  EXPECT_EQ(SQLITE_CONSTRAINT, err.code());
  EXPECT_TRUE(log.contains("Unknown error calling sqlite3_step (19: UNIQUE constraint failed: u.a) eu"));
  EXPECT_TRUE(log.contains("DB Query: insert into u values (1)"));

  // Text after the first statement is ignored.
  EXPECT_TRUE(db->executeUpdate("insert into t values (1); insert into t values (2)"));
  auto rs = db->executeQuery("select count(*) from t");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(1, rs->intForColumnIndex(0));
  EXPECT_FALSE(rs->next());
  EXPECT_FALSE(db->hadError());  // stepped to the end (101) is no error
}

TEST_F(SQDatabaseTest, UpdateThatReturnsRowsRaises) {
  plat::LogCapture log;
  try {
    db->executeUpdate("select 1");
    FAIL() << "no exception";
  } catch (const plat::Exception& e) {
    EXPECT_EQ(plat::kInternalInconsistencyException, e.name());
    EXPECT_EQ("A executeUpdate is being called with a query string 'select 1'", e.reason());
  }
  // The connection is left usable.
  EXPECT_TRUE(db->executeUpdate("insert into t values (1)"));
  EXPECT_EQ(1, db->changes());
  EXPECT_EQ(1, db->lastInsertRowId());
}

// An I/O error is tried three times in all, half a second apart.
TEST_F(SQDatabaseTest, IOErrorsAreRetried) {
  auto clock = std::make_shared<plat::ManualClock>();
  plat::ScopedClock scoped(clock);
  int calls = 0;
  db->makeFunctionNamed("ioerr", 0, [&](sqlite3_context* ctx, int, sqlite3_value**) {
    ++calls;
    sqlite3_result_error_code(ctx, SQLITE_IOERR);
  });
  plat::LogCapture log;
  const double start = clock->monotonic();
  EXPECT_FALSE(db->executeUpdate("insert into t values (ioerr())"));
  EXPECT_EQ(3, calls);
  EXPECT_EQ(2u, log.count("error:insert into t values (ioerr())"));
  EXPECT_DOUBLE_EQ(1.0, clock->monotonic() - start);

  // Other errors are not retried; nor is the array form.
  calls = 0;
  EXPECT_FALSE(db->executeUpdate("insert into t values (ioerr())", plat::Array{}));
  EXPECT_EQ(1, calls);
}

TEST_F(SQDatabaseTest, ReentryFromAFunctionIsRefused) {
  std::shared_ptr<SQResultSet> nested = std::make_shared<SQResultSet>(nullptr, nullptr);
  int64_t rowId = -1;
  bool closed = true;
  db->makeFunctionNamed("nested", 0, [&](sqlite3_context* ctx, int, sqlite3_value**) {
    nested = db->executeQuery("select 1");
    rowId = db->lastInsertRowId();
    closed = db->close();
    sqlite3_result_int(ctx, 5);
  });
  plat::LogCapture log;
  EXPECT_TRUE(db->executeUpdate("insert into t values (nested())"));
  EXPECT_EQ(nullptr, nested);
  EXPECT_EQ(0, rowId);
  EXPECT_FALSE(closed);
  EXPECT_EQ(3u, log.count("The SQDatabase " + db->description() + " is currently in use."));
  auto rs = db->executeQuery("select v from t");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(5, rs->intForColumnIndex(0));
  rs->close();
}

TEST_F(SQDatabaseTest, ThrowingFunctionFailsTheStatement) {
  db->makeFunctionNamed("boom", 1, [](sqlite3_context*, int, sqlite3_value**) { throw std::runtime_error("boom"); });
  db->makeFunctionNamed("twice", 1, [](sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    sqlite3_result_int(ctx, argc == 1 ? 2 * sqlite3_value_int(argv[0]) : -1);
  });
  plat::LogCapture log;
  EXPECT_FALSE(db->executeUpdate("insert into t values (boom(1))"));
  EXPECT_EQ("boom", db->lastErrorMessage());
  auto rs = db->executeQuery("select twice(?)", 21);
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(42, rs->intForColumnIndex(0));
  rs->close();
}

// Closing (or dropping) a connection detaches the result sets it handed out;
// they then answer as closed sets, and a statement a caller kept is finalised.
TEST_F(SQDatabaseTest, ClosingWithLiveResultSetsNeverDangles) {
  ASSERT_TRUE(db->executeUpdate("insert into t values ('a')"));
  auto rs1 = db->executeQuery("select v from t");
  auto rs2 = db->executeQuery("select v from t");
  ASSERT_TRUE(rs1 && rs2 && rs1->next());
  const auto kept = rs2->statement();
  EXPECT_TRUE(db->hasOpenResultSets());
  EXPECT_TRUE(db->close());
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_EQ(nullptr, rs1->parentDB());
  EXPECT_EQ(nullptr, kept->statement());
  plat::LogCapture log;
  EXPECT_FALSE(rs1->next());
  EXPECT_TRUE(log.contains("Error calling sqlite3_step (21: "));
  EXPECT_EQ(std::nullopt, rs1->stringForColumnIndex(0));
  EXPECT_EQ(0, rs2->intForColumn("v"));
  rs1->close();

  ASSERT_TRUE(db->open());
  auto rs3 = db->executeQuery("select v from t");
  ASSERT_TRUE(rs3 && rs3->next());
  db.reset();  // the connection dies first
  EXPECT_EQ(nullptr, rs3->parentDB());
  EXPECT_FALSE(rs3->next());
  EXPECT_FALSE(rs3->hasAnotherRow());
}

TEST_F(SQDatabaseTest, TransactionsAndSavePoints) {
  ASSERT_TRUE(db->beginTransaction());
  EXPECT_TRUE(db->inTransaction());
  ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
  ASSERT_TRUE(db->rollback());
  EXPECT_FALSE(db->inTransaction());
  ASSERT_TRUE(db->beginDeferredTransaction());
  ASSERT_TRUE(db->executeUpdate("insert into t values (2)"));
  ASSERT_TRUE(db->commit());

  EXPECT_EQ(std::nullopt, db->inSavePoint([&](bool* rollback) {
    db->executeUpdate("insert into t values (3)");
    *rollback = true;
  }));
  // After a rolled-back savepoint no transaction is left open: this write
  // is on disk once the connection closes.
  ASSERT_TRUE(db->executeUpdate("insert into t values (4)"));
  EXPECT_EQ(std::nullopt, db->inSavePoint([&](bool*) { db->executeUpdate("insert into t values (5)"); }));
  ASSERT_TRUE(db->close());
  ASSERT_TRUE(db->open());
  auto rs = db->executeQuery("select group_concat(v) as all_v from (select v from t order by v)");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ("2,4,5", rs->stringForColumn("all_v"));
  rs->close();

  // A block that throws leaves nothing open: the savepoint is rolled back
  // and released before the exception reaches the caller.
  EXPECT_THROW(db->inSavePoint([&](bool*) {
    ASSERT_TRUE(db->executeUpdate("insert into t values (6)"));
    throw std::runtime_error("block failed");
  }),
               std::runtime_error);
  EXPECT_NE(0, sqlite3_get_autocommit(db->sqliteHandle()));
  auto six = db->executeQuery("select count(*) from t where v = 6");
  ASSERT_TRUE(six && six->next());
  EXPECT_EQ(0, six->intForColumnIndex(0));
  six->close();

  plat::Error err;
  EXPECT_TRUE(db->startSavePointWithName("it's", &err));
  EXPECT_TRUE(db->releaseSavePointWithName("it's", &err));
  EXPECT_FALSE(db->releaseSavePointWithName("never", &err));
  EXPECT_EQ("no such savepoint: never", err.localizedDescription());
  try {
    db->startSavePointWithName(std::nullopt, &err);
    FAIL() << "no exception";
  } catch (const plat::Exception& e) {
    EXPECT_EQ("Invalid parameter not satisfying: name", e.reason());
  }
}

// A commit SQLite turns into a rollback (here a commit hook refuses it)
// fails, and the connection is then out of its transaction: the flag says
// so, and the next transaction begins.
TEST_F(SQDatabaseTest, ACommitThatEndedInARollbackLeavesNoTransaction) {
  bool refuse = true;
  sqlite3_commit_hook(db->sqliteHandle(), [](void* r) { return *static_cast<bool*>(r) ? 1 : 0; }, &refuse);
  ASSERT_TRUE(db->beginTransaction());
  ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
  EXPECT_FALSE(db->commit());
  EXPECT_FALSE(db->inTransaction());
  refuse = false;
  ASSERT_TRUE(db->beginTransaction());
  ASSERT_TRUE(db->executeUpdate("insert into t values (2)"));
  EXPECT_TRUE(db->commit());
  auto rs = db->executeQuery("select group_concat(v) as all_v from t");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ("2", rs->stringForColumn("all_v"));
  rs->close();
}

TEST_F(SQDatabaseTest, StatementCache) {
  db->setShouldCacheStatements(true);
  ASSERT_TRUE(db->executeUpdate("insert into t values (?)", 1));
  ASSERT_TRUE(db->executeUpdate("insert into t values (?)", 2));
  auto cached = db->cachedStatementForQuery("insert into t values (?)");
  ASSERT_TRUE(cached);
  EXPECT_EQ(2, cached->useCount());
  EXPECT_EQ(cached->description().substr(cached->description().find('>')),
            "> 2 hit(s) for query insert into t values (?)");

  // Two open sets of the same SQL step independently.
  auto a = db->executeQuery("select v from t order by v");
  auto b = db->executeQuery("select v from t order by v");
  ASSERT_TRUE(a && b && a->next() && a->next() && b->next());
  EXPECT_EQ(2, a->intForColumnIndex(0));
  EXPECT_EQ(1, b->intForColumnIndex(0));
  a->close();
  b->close();
  // A bind-count failure leaves the cached statement usable.
  EXPECT_FALSE(db->executeUpdate("insert into t values (?)"));
  EXPECT_TRUE(db->executeUpdate("insert into t values (?)", 3));
  EXPECT_EQ(3, cached->useCount());
  db->setShouldCacheStatements(false);
  EXPECT_EQ(nullptr, db->cachedStatements());
}

// Values bound by the caller straight on the statement: stored as bound,
// the statement kept in the cache without the caller's memory bound to it,
// a refused bind or a failed step a false answer that stores nothing.
TEST_F(SQDatabaseTest, UpdatesBoundByTheCaller) {
  db->setShouldCacheStatements(true);
  ASSERT_TRUE(db->executeUpdate("create table u (a, b, c)"));
  const std::string sql = "insert into u values (?, ?, ?)";
  for (int i = 0; i < 3; ++i) {
    const std::string text = "row" + std::to_string(i) + std::string(1, '\0') + "tail";
    EXPECT_TRUE(db->executeUpdateBinding(sql, [&](sqlite3_stmt* st) {
      int rc = sqlite3_bind_text64(st, 1, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
      if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, 2, (int64_t{1} << 40) + i);
      return rc;  // c left unbound: NULL
    }));
    auto cached = db->cachedStatementForQuery(sql);
    ASSERT_TRUE(cached);
    EXPECT_EQ(i + 1, cached->useCount());
    char* expanded = sqlite3_expanded_sql(cached->statement());
    ASSERT_NE(expanded, nullptr);
    EXPECT_EQ(std::string(expanded), "insert into u values (NULL, NULL, NULL)");
    sqlite3_free(expanded);
  }
  auto rs = db->executeQuery("select length(cast(a as blob)), hex(a), b, typeof(c) from u order by b");
  ASSERT_TRUE(rs);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(9, rs->intForColumnIndex(0));  // the embedded NUL and what follows are kept
    EXPECT_EQ(rs->stringForColumnIndex(1), "726F77" + std::to_string(30 + i) + "007461696C");
    EXPECT_EQ((int64_t{1} << 40) + i, rs->longLongIntForColumnIndex(2));
    EXPECT_EQ(rs->stringForColumnIndex(3), "null");
  }
  EXPECT_FALSE(rs->next());
  rs->close();

  plat::LogCapture log;
  EXPECT_FALSE(db->executeUpdateBinding(sql, [](sqlite3_stmt* st) { return sqlite3_bind_int(st, 4, 1); }));
  EXPECT_TRUE(log.contains("Error binding parameters (25: "));
  ASSERT_TRUE(db->executeUpdate("create unique index u_b on u(b)"));
  plat::Error err;
  EXPECT_FALSE(db->executeUpdateBinding(
      sql, [](sqlite3_stmt* st) { return sqlite3_bind_int64(st, 2, int64_t{1} << 40); }, &err));
  EXPECT_EQ(SQLITE_CONSTRAINT, err.code() & 0xff);
  auto count = db->executeQuery("select count(*) from u");
  ASSERT_TRUE(count && count->next());
  EXPECT_EQ(3, count->intForColumnIndex(0));
  count->close();
  EXPECT_TRUE(db->executeUpdateBinding(sql, [](sqlite3_stmt* st) { return sqlite3_bind_int64(st, 2, 7); }));
}

TEST_F(SQDatabaseTest, TraceLines) {
  db->setTraceExecution(true);
  plat::LogCapture log;
  auto rs = db->executeQuery("select ?", "p");
  ASSERT_TRUE(rs);
  rs->close();
  EXPECT_TRUE(log.contains(db->description() + " executeQuery: select ?"));
  EXPECT_TRUE(log.contains("obj: p"));
  EXPECT_TRUE(db->executeUpdate("delete from t"));
  EXPECT_TRUE(log.contains(db->description() + " executeUpdate: delete from t"));
}

// The pause between attempts grows from 20 us to 4 ms; a limit of N gives up
// on the attempt after N + 1 retries, a limit of 0 never.
TEST(SQBusyWait, OnlyLocksOfOthersAreWorthWaitingFor) {
  const struct {
    int rc, extended;
    bool retry;
  } cases[] = {
      {SQLITE_BUSY, SQLITE_BUSY, true},
      {SQLITE_BUSY, SQLITE_BUSY_SNAPSHOT, true},
      {SQLITE_LOCKED, SQLITE_LOCKED_SHAREDCACHE, true},
      {SQLITE_LOCKED, SQLITE_LOCKED, false},  // this connection's own statement
      {SQLITE_LOCKED, SQLITE_LOCKED_VTAB, false},
      {SQLITE_ERROR, SQLITE_ERROR, false},
      {SQLITE_ROW, SQLITE_ROW, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.retry, sqdetail::isWorthRetrying(c.rc, c.extended)) << c.rc << "/" << c.extended;
  }
}

TEST(SQBusyWait, BacksOffAndCounts) {
  sqdetail::BusyWait unlimited;
  std::vector<long> pauses;
  for (int i = 0; i < 12; ++i) {
    pauses.push_back(static_cast<long>(unlimited.nextPause().count()));
    EXPECT_TRUE(unlimited.retry(0));
  }
  EXPECT_EQ((std::vector<long>{20, 40, 80, 160, 320, 640, 1280, 2560, 4000, 4000, 4000, 4000}), pauses);
  for (int limit : {1, 3}) {
    sqdetail::BusyWait limited;
    int attempts = 1;
    while (limited.retry(limit)) ++attempts;
    EXPECT_EQ(limit + 2, attempts) << limit;
  }
}

TEST_F(SQDatabaseTest, CloseFinalisesLeakedStatements) {
  sqlite3_stmt* raw = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db->sqliteHandle(), "select 1", -1, &raw, nullptr));
  plat::LogCapture log;
  EXPECT_TRUE(db->close());
  EXPECT_EQ(1u, log.count("Closing leaked statement"));
  EXPECT_EQ(nullptr, db->sqliteHandle());
}

// Another process holds "begin exclusive": with no limit the call waits for
// its commit; with a limit it gives up.
TEST_F(SQDatabaseTest, BusyFileHeldByAnotherProcess) {
  ASSERT_TRUE(db->executeUpdate("insert into t values ('mine')"));
  {
    sqtest::LockHolder holder(dir.file("test.db"), "t", "holder");
    ASSERT_TRUE(holder.locked());
    std::thread releaser([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EXPECT_EQ(0, holder.release());
    });
    EXPECT_TRUE(db->executeUpdate("insert into t values ('after')"));
    releaser.join();
  }
  auto rs = db->executeQuery("select group_concat(v) as vs from t");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ("mine,holder,after", rs->stringForColumn("vs"));  // it waited for the commit
  rs->close();

  // Fresh connections, so prepare meets the lock as well as step.
  for (const char* sql : {"insert into t values ('late')", "select * from t"}) {
    SCOPED_TRACE(sql);
    sqtest::LockHolder holder(dir.file("test.db"), "t", "held");
    ASSERT_TRUE(holder.locked());
    for (bool warm : {false, true}) {
      auto other = SQDatabase::databaseWithPath(dir.file("test.db"));
      ASSERT_TRUE(other->open());
      other->setBusyRetryTimeout(3);
      if (warm) {
        // Schema already read: prepare passes and step meets the lock.
        ASSERT_TRUE(holder.release() == 0);
        ASSERT_TRUE(other->goodConnection());
        sqtest::LockHolder again(dir.file("test.db"), "t", "held2");
        ASSERT_TRUE(again.locked());
        plat::LogCapture log;
        if (std::string(sql).starts_with("select")) {
          auto q = other->executeQuery(sql);
          ASSERT_TRUE(q);
          EXPECT_FALSE(q->next());
        } else {
          EXPECT_FALSE(other->executeUpdate(sql));
        }
        EXPECT_TRUE(log.contains("Database busy (" + dir.file("test.db") + ")"));
        EXPECT_EQ(1u, log.count("Database busy") - log.count("Database busy ("));
        EXPECT_EQ(0, again.release());
      } else {
        plat::LogCapture log;
        if (std::string(sql).starts_with("select")) {
          EXPECT_EQ(nullptr, other->executeQuery(sql));
        } else {
          EXPECT_FALSE(other->executeUpdate(sql));
        }
        EXPECT_TRUE(log.contains("Database busy (" + dir.file("test.db") + ")"));
      }
    }
  }
}

}  // namespace
