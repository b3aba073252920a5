#include "platform/foundation/format.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/foundation/error.h"
#include "platform/foundation/log.h"

using namespace plat;

TEST(Format, SystemFormatsAsWritten) {
  std::string path = "/tmp/a b.db";
  Value code(14);
  EXPECT_EQ(format("Could not create database queue for path %@", path),
            "Could not create database queue for path /tmp/a b.db");
  EXPECT_EQ(format("DB Error: %d \"%@\"", code, Value("locked")), "DB Error: 14 \"locked\"");
  EXPECT_EQ(format("%s:%d Database busy (%@)", "executeQuery", 42, path), "executeQuery:42 Database busy (/tmp/a b.db)");
  EXPECT_EQ(format("%ld hit(s) %lld %llu %qi %lu", 3L, -4LL, 5ULL, 6LL, 7UL), "3 hit(s) -4 5 6 7");
  EXPECT_EQ(format("%05.1f|%-4d|%4s|%x|%%|%c", 3.14159, 7, "ab", 255, 'Z'), "003.1|7   |  ab|ff|%|Z");
  EXPECT_EQ(format("t=%f", 1.5), "t=1.500000");
  EXPECT_EQ(format("%@", Error::withDescription("D", 1, "msg")), "Error Domain=D Code=1 \"msg\"");
}

TEST(Format, MismatchedAndMissingArgumentsAreSafe) {
  EXPECT_EQ(format("%d and %@", std::string("12")), "12 and (null)");
  EXPECT_EQ(format("%s", static_cast<const char*>(nullptr)), "(null)");
  EXPECT_EQ(format("%d", 2.9), "2");
  EXPECT_EQ(format("50%"), "50%");
  EXPECT_EQ(format("%k"), "%k");
  EXPECT_EQ(format("%u", -1), "18446744073709551615");
}

TEST(Log, CaptureSeesLinesOfEveryThread) {
  LogCapture cap;
  std::thread t([] { log("Warning: I could not find the column named '%@'.", std::string("x")); });
  t.join();
  log("second %d", 2);
  EXPECT_TRUE(cap.contains("Warning: I could not find the column named 'x'."));
  EXPECT_EQ(cap.lines().size(), 2u);
  EXPECT_EQ(cap.count("second 2"), 1u);
  {
    LogCapture inner;
    log("inner only");
    EXPECT_TRUE(inner.contains("inner only"));
  }
  EXPECT_FALSE(cap.contains("inner only"));
}
