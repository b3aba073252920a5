#include "app/core/Util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"
#include "platform/system/trash.h"

namespace {

using plat::testing::ScopedEnv;
using plat::testing::TempHome;

// ---------------------------------------------------------------- bit sets

TEST(UtilBits, BlockAndByteCounts) {
  struct {
    uint64_t size;
    int blocks;
  } blocks[] = {{0, 0}, {1, 1}, {1048576, 1}, {1048577, 2}, {10 * 1048576ULL, 10}, {5ULL << 30, 5120}};
  for (auto c : blocks) EXPECT_EQ(Util::getblockcount(c.size), c.blocks) << c.size;
  struct {
    int64_t bits;
    int bytes;
  } bytes[] = {{0, 0}, {1, 1}, {8, 1}, {9, 2}, {16, 2}, {17, 3}, {5120, 640}};
  for (auto c : bytes) EXPECT_EQ(Util::getbytecount(c.bits), c.bytes) << c.bits;
}

TEST(UtilBits, TrimKeepsTheLowBitsOfTheLastByte) {
  struct {
    int k;
    uint8_t out;
  } cases[] = {{0, 0xAB}, {1, 0x01}, {2, 0x03}, {3, 0x03}, {4, 0x0B}, {7, 0x2B}, {8, 0xAB}, {-1, 0xAB}};
  for (auto c : cases) {
    uint8_t b = 0xAB;
    Util::setLast(&b, c.k);
    EXPECT_EQ(b, c.out) << c.k;
  }
}

TEST(UtilBits, SetOperationsTrimTheirResult) {
  // 10 bits in two bytes, a guard byte after them that nothing may touch.
  std::array<uint8_t, 3> a{}, b{}, out{};
  Util::setAll(a.data(), 10);
  EXPECT_EQ(a, (std::array<uint8_t, 3>{0xFF, 0x03, 0x00}));

  b = {0x0F, 0xFF, 0xEE};
  Util::setNOT(b.data(), out.data(), 10);
  EXPECT_EQ(out, (std::array<uint8_t, 3>{0xF0, 0x00, 0x00}));

  a = {0x01, 0x00, 0x77};
  b = {0x80, 0xFE, 0x55};
  Util::setOR(a.data(), b.data(), 10);
  EXPECT_EQ(a, (std::array<uint8_t, 3>{0x81, 0x02, 0x77}));

  a = {0xFF, 0xFF, 0x77};
  b = {0x0F, 0x01, 0x55};
  Util::setMove(a.data(), b.data(), 10);
  EXPECT_EQ(a, (std::array<uint8_t, 3>{0xF0, 0x02, 0x77}));

  a = {0x3C, 0xFF, 0x00};
  b = {0x0F, 0xF2, 0x00};
  out = {0, 0, 0x99};
  Util::setNeedAND(a.data(), b.data(), out.data(), 10);
  EXPECT_EQ(out, (std::array<uint8_t, 3>{0x0C, 0x02, 0x99}));

  a = {0x01, 0x02, 0x00};
  b = {0x01, 0x02, 0xFF};
  EXPECT_TRUE(Util::isSame(a.data(), b.data(), 16));
  b[1] = 0x06;  // isSame compares whole bytes, untrimmed
  EXPECT_FALSE(Util::isSame(a.data(), b.data(), 10));
}

TEST(UtilBits, IndexesCountsAndFirstBit) {
  std::array<uint8_t, 3> s{};
  Util::setIndex1(s.data(), 10, 9);
  EXPECT_EQ(s, (std::array<uint8_t, 3>{0x00, 0x02, 0x00}));  // bit 9 is value 2 of byte 1
  EXPECT_EQ(Util::getFrist(s.data(), 10), 9);
  Util::setIndex1(s.data(), 10, 10);  // index equal to the count: nothing
  Util::setIndex1(s.data(), 10, -1);
  EXPECT_EQ(s, (std::array<uint8_t, 3>{0x00, 0x02, 0x00}));
  Util::setIndex1(s.data(), 10, 0);
  Util::setIndex1(s.data(), 10, 7);
  EXPECT_EQ(Util::getAll(s.data(), 10), 3);
  Util::setIndex0(s.data(), 10, 0);
  Util::setIndex0(s.data(), 10, 10);
  EXPECT_EQ(Util::getFrist(s.data(), 10), 7);
  EXPECT_EQ(Util::getAll(s.data(), 10), 2);

  std::array<uint8_t, 2> zero{};
  EXPECT_EQ(Util::getFrist(zero.data(), 16), -1);
  EXPECT_EQ(Util::getAll(zero.data(), 16), 0);

  // Bits past the count are trimmed away before they are counted.
  std::array<uint8_t, 2> dirty{0x00, 0xFC};
  EXPECT_EQ(Util::getAll(dirty.data(), 10), 0);
  EXPECT_EQ(dirty[1], 0x00);
  dirty = {0x00, 0xFC};
  EXPECT_EQ(Util::getFrist(dirty.data(), 10), -1);
}

TEST(UtilBits, AnEmptySetTouchesNoByte) {
  std::array<uint8_t, 2> a{0x5A, 0x5A}, b{0xA5, 0xA5}, out{0x33, 0x33};
  Util::setAll(a.data(), 0);
  Util::setNOT(a.data(), out.data(), 0);
  Util::setOR(a.data(), b.data(), 0);
  Util::setMove(a.data(), b.data(), 0);
  Util::setNeedAND(a.data(), b.data(), out.data(), 0);
  Util::setIndex1(a.data(), 0, 0);
  Util::setIndex0(b.data(), 0, 0);
  EXPECT_EQ(Util::getAll(a.data(), 0), 0);
  EXPECT_EQ(Util::getFrist(a.data(), 0), -1);
  EXPECT_TRUE(Util::isSame(a.data(), b.data(), 0));
  EXPECT_EQ(a, (std::array<uint8_t, 2>{0x5A, 0x5A}));
  EXPECT_EQ(b, (std::array<uint8_t, 2>{0xA5, 0xA5}));
  EXPECT_EQ(out, (std::array<uint8_t, 2>{0x33, 0x33}));
}

TEST(UtilBits, TableAndBitIndex) {
  for (int v = 0; v < 256; ++v) EXPECT_EQ(indextable[v], __builtin_popcount(static_cast<unsigned>(v))) << v;
  struct {
    uint8_t byte;
    int index;
  } cases[] = {{0x00, 0}, {0x01, 0}, {0x02, 1}, {0x0C, 2}, {0x80, 7}, {0xF0, 4}};
  for (auto c : cases) EXPECT_EQ(Util::getBitindex(c.byte), c.index) << int(c.byte);
}

// ---------------------------------------------------------------- dates

class UtilDates : public ::testing::Test {
protected:
  void at(double seconds, const char* tz) {
    clock_ = std::make_shared<plat::ManualClock>(plat::Date{seconds});
    plat::setClock(clock_);
    tz_.emplace("TZ", tz);
    tzset();
  }
  void TearDown() override {
    plat::setClock(nullptr);
    tz_.reset();
    tzset();
  }
  std::shared_ptr<plat::ManualClock> clock_;
  std::optional<ScopedEnv> tz_;
};

TEST_F(UtilDates, TextsInSeveralZones) {
  struct Case {
    double when;
    const char* tz;
    const char* onlyDate;
    const char* date;
    const char* gmt;
  } cases[] = {
      {1704103200.5, "UTC0", "2024/01/01 10:00:00", "Mon,01 Jan 2024 10:00:00 UTC", "Mon, 01 Jan 2024 10:00:00 GMT"},
      {1704103200, "CST-8", "2024/01/01 18:00:00", "Mon,01 Jan 2024 18:00:00 GMT+8", "Mon, 01 Jan 2024 10:00:00 GMT"},
      {1704103200, "EST5EDT,M3.2.0,M11.1.0", "2024/01/01 05:00:00", "Mon,01 Jan 2024 05:00:00 EST",
       "Mon, 01 Jan 2024 10:00:00 GMT"},
      {1720000000, "EST5EDT,M3.2.0,M11.1.0", "2024/07/03 05:46:40", "Wed,03 Jul 2024 05:46:40 EDT",
       "Wed, 03 Jul 2024 09:46:40 GMT"},
      {1704103200, "IST-5:30", "2024/01/01 15:30:00", "Mon,01 Jan 2024 15:30:00 GMT+5:30",
       "Mon, 01 Jan 2024 10:00:00 GMT"},
      {1704103200, "XYZ3", "2024/01/01 07:00:00", "Mon,01 Jan 2024 07:00:00 GMT-3", "Mon, 01 Jan 2024 10:00:00 GMT"},
      {1704103200, "GMT0", "2024/01/01 10:00:00", "Mon,01 Jan 2024 10:00:00 GMT", "Mon, 01 Jan 2024 10:00:00 GMT"},
      // The last days of December belong to their own year (not the week's).
      {1735560000, "UTC0", "2024/12/30 12:00:00", "Mon,30 Dec 2024 12:00:00 UTC", "Mon, 30 Dec 2024 12:00:00 GMT"},
  };
  for (const auto& c : cases) {
    at(c.when, c.tz);
    EXPECT_EQ(Util::getOnlyDate(), c.onlyDate) << c.tz;
    EXPECT_EQ(Util::getDate(), c.date) << c.tz;
    EXPECT_EQ(Util::getGMTDate(), c.gmt) << c.tz;
  }
}

TEST_F(UtilDates, FollowTheInjectedClock) {
  at(1704103200, "UTC0");
  EXPECT_EQ(Util::getOnlyDate(), "2024/01/01 10:00:00");
  clock_->advance(86400 * 40 + 3661);
  EXPECT_EQ(Util::getOnlyDate(), "2024/02/10 11:01:01");
  EXPECT_EQ(Util::getGMTDate(), "Sat, 10 Feb 2024 11:01:01 GMT");
}

// ---------------------------------------------------------------- texts

TEST(UtilTexts, SizeUnits) {
  struct {
    uint64_t size;
    const char* text;
  } cases[] = {{0, "0.00 K"},          {1023, "1.00 K"},        {1048575, "1024.00 K"}, {1048576, "1.00 M"},
               {1073741823, "1024.00 M"}, {1073741824, "1.00 G"}, {5ULL << 30, "5.00 G"}};
  for (auto c : cases) EXPECT_EQ(Util::convertFileUnitSize(c.size), c.text) << c.size;
}

TEST(UtilTexts, EmailCheck) {
  struct {
    const char* text;
    bool ok;
  } cases[] = {{"", false},
               {"user@example.com", true},
               {"first.last+tag%x@mail-1.example.org", true},
               {"user@example.c", false},
               {"user@example.museum", false},
               {"user@@example.com", false},
               {"user example@example.com", false},
               {" user@example.com", false},
               {"用户@example.com", false},
               {"a@b.cd", true},
               {"a@.cd", false},
               {"a@..cd", true},
               {"a@b.c.de", true},
               {"a@b.cde1", false},
               {"a@b.c-de", false},
               {"a@cd", false},
               {"a@.cd.", false},
               {"@example.com", false},
               {"user@example.com ", false}};
  for (auto c : cases) EXPECT_EQ(Util::emailCheckInput(c.text), c.ok) << c.text;
  EXPECT_FALSE(Util::emailCheckInput(std::string("a\0b@example.com", 15)));
  // A very long text is answered, not a stack overflow.
  EXPECT_TRUE(Util::emailCheckInput(std::string(200000, 'a') + "@" + std::string(200000, 'b') + ".com"));
  EXPECT_FALSE(Util::emailCheckInput(std::string(200000, 'a') + "@" + std::string(200000, 'b')));
}

// ---------------------------------------------------------------- files

class UtilFiles : public ::testing::Test {
protected:
  TempHome home;
  std::string dir() const { return home.path() + "/w"; }
  void SetUp() override { ASSERT_TRUE(plat::makeDirectories(dir())); }
  std::string write(const std::string& rel, const std::string& content) {
    std::string p = dir() + "/" + rel;
    EXPECT_TRUE(plat::makeDirectories(plat::pathDirname(p)));
    EXPECT_TRUE(plat::atomicWrite(p, content));
    return p;
  }
};

TEST_F(UtilFiles, ExistenceFoldersAndEmptyFiles) {
  std::string f = write("file", "x");
  EXPECT_TRUE(Util::existfile(f));
  EXPECT_FALSE(Util::isdir(f));
  EXPECT_TRUE(Util::isdir(dir()));
  EXPECT_FALSE(Util::existfile(dir() + "/none"));

  EXPECT_FALSE(Util::createfolder(f));  // a file is there: it stays
  EXPECT_EQ(plat::readFile(f), "x");
  EXPECT_TRUE(Util::createfolder(dir() + "/a/b/c"));
  EXPECT_TRUE(Util::isdir(dir() + "/a/b/c"));
  EXPECT_TRUE(Util::createfolder(dir() + "/a/b/c"));

  EXPECT_TRUE(Util::createfile(dir() + "/a"));  // a folder is there: untouched
  EXPECT_TRUE(Util::isdir(dir() + "/a"));
  EXPECT_TRUE(Util::createfile(f));
  EXPECT_EQ(plat::readFile(f), "x");
  EXPECT_TRUE(Util::createfile(dir() + "/new"));
  EXPECT_EQ(plat::readFile(dir() + "/new"), "");
  EXPECT_FALSE(Util::createfile(dir() + "/missing/new"));
}

TEST_F(UtilFiles, EmptyFolderRule) {
  std::string d = dir() + "/d";
  ASSERT_TRUE(plat::makeDirectories(d));
  EXPECT_TRUE(Util::isemptydir(d));
  write("d/.DS_Store", "");
  write("d/Icon\r", "");
  write("d/photo.jpg", "");
  EXPECT_TRUE(Util::isemptydir(d));
  write("d/README", "");
  EXPECT_FALSE(Util::isemptydir(d));
  EXPECT_TRUE(Util::isemptydir(dir() + "/missing"));
}

TEST_F(UtilFiles, SubpathsListFoldersBeforeTheirContents) {
  write("t/b/y", "");
  write("t/a.txt", "");
  write("t/b/c/z", "");
  ASSERT_TRUE(Util::createlink(dir() + "/t/link", dir() + "/t/b"));
  auto subs = Util::subpathsAtPath(dir() + "/t");
  ASSERT_TRUE(subs);
  EXPECT_EQ(*subs, (std::vector<std::string>{"a.txt", "b", "b/c", "b/c/z", "b/y", "link"}));
  EXPECT_FALSE(Util::subpathsAtPath(dir() + "/missing"));
}

TEST_F(UtilFiles, MoveNeverReplaces) {
  std::string a = write("a", "A"), b = write("b", "B");
  EXPECT_FALSE(Util::movefile(a, b));
  EXPECT_EQ(plat::readFile(b), "B");
  EXPECT_TRUE(Util::movefile(a, dir() + "/c"));
  EXPECT_EQ(plat::readFile(dir() + "/c"), "A");
  EXPECT_FALSE(Util::existfile(a));
  EXPECT_FALSE(Util::movefile(a, dir() + "/d"));
}

TEST_F(UtilFiles, CopyReplacesAndKeepsTimes) {
  std::string src = write("src/sub/f.txt", "hello");
  ASSERT_TRUE(plat::setModificationTime(src, plat::Date{1600000000}));
  std::string target = write("dst", "old");
  ASSERT_TRUE(Util::copyfile(dir() + "/src", target));
  EXPECT_EQ(plat::readFile(target + "/sub/f.txt"), "hello");
  EXPECT_EQ(Util::filemodifytime(target + "/sub/f.txt"), 1600000000u);
  EXPECT_EQ(plat::readFile(src), "hello");

  std::string other = write("other", "keep");
  EXPECT_TRUE(Util::copyfile(src, other, false));  // not replaced, and that counts as done
  EXPECT_EQ(plat::readFile(other), "keep");
  EXPECT_TRUE(Util::copyfile(src, other, true));
  EXPECT_EQ(plat::readFile(other), "hello");
}

TEST_F(UtilFiles, CopyNeverCostsTheFileThatWasThere) {
  std::string f = write("f", "precious");
  EXPECT_FALSE(Util::copyfile(f, f));
  EXPECT_FALSE(Util::copyfile(f, dir() + "/./f"));
  EXPECT_EQ(plat::readFile(f), "precious");
  EXPECT_FALSE(Util::copyfile(dir() + "/missing", f));
  EXPECT_EQ(plat::readFile(f), "precious");

  // A folder copied into itself: its own entry at the target is not removed,
  // and the copy does not chase its own output.
  write("tree/inner/leaf", "L");
  for (const char* target : {"/tree/inner", "/tree/new", "/tree/inner/deeper", "/tree/./inner/../x"}) {
    EXPECT_FALSE(Util::copyfile(dir() + "/tree", dir() + target)) << target;
    EXPECT_FALSE(Util::copyfileneedtemp(dir() + "/tree", dir() + target)) << target;
    EXPECT_EQ(plat::readFile(dir() + "/tree/inner/leaf"), "L") << target;
  }
  EXPECT_EQ(*Util::subpathsAtPath(dir() + "/tree"), (std::vector<std::string>{"inner", "inner/leaf"}));
  // Into a folder beside it with a similar name is fine.
  EXPECT_TRUE(Util::copyfile(dir() + "/tree", dir() + "/tree2"));
  EXPECT_EQ(plat::readFile(dir() + "/tree2/inner/leaf"), "L");
}

TEST_F(UtilFiles, CopyNeverRemovesATargetThatHoldsTheSource) {
  // Each way of copying onto a folder that contains the source: removing the
  // target first would take the source with it.
  struct Case {
    const char* name;
    bool (*copy)(const std::string& from, const std::string& to);
  } ways[] = {
      {"copyfile", [](const std::string& f, const std::string& t) { return Util::copyfile(f, t); }},
      {"copyfile replace", [](const std::string& f, const std::string& t) { return Util::copyfile(f, t, true); }},
      {"copyfolder of a file",
       [](const std::string& f, const std::string& t) { return Util::copyfolder(f, t, true); }},
      {"copyfileneedtemp", [](const std::string& f, const std::string& t) { return Util::copyfileneedtemp(f, t); }},
  };
  struct Pair {
    const char* from;
    const char* to;
  } pairs[] = {{"/tree/inner", "/tree"},           {"/tree/inner/leaf", "/tree"},
               {"/tree/inner/leaf", "/tree/inner"}, {"/tree/inner", "/tree/"},
               {"/tree/./inner", "/tree/inner/.."}, {"/link/leaf", "/tree/inner"}};
  for (const auto& way : ways) {
    for (const auto& p : pairs) {
      SCOPED_TRACE(std::string(way.name) + " " + p.from + " -> " + p.to);
      ASSERT_TRUE(plat::removeTree(dir() + "/tree"));
      write("tree/inner/leaf", "L");
      write("tree/other", "O");
      unlink((dir() + "/link").c_str());
      ASSERT_EQ(symlink((dir() + "/tree/inner").c_str(), (dir() + "/link").c_str()), 0);
      if (Util::isdir(dir() + p.from) && std::string(way.name) == "copyfolder of a file") continue;
      EXPECT_FALSE(way.copy(dir() + p.from, dir() + p.to));
      EXPECT_EQ(plat::readFile(dir() + "/tree/inner/leaf"), "L");
      EXPECT_EQ(plat::readFile(dir() + "/tree/other"), "O");
    }
  }
  // copyfolder onto the folder above: the entry named like the source folder
  // falls back on a copy whose target holds the source.
  write("nest/a/a/leaf", "L");
  EXPECT_FALSE(Util::copyfolder(dir() + "/nest/a", dir() + "/nest", true));
  EXPECT_EQ(plat::readFile(dir() + "/nest/a/a/leaf"), "L");
  // A target that only looks alike is replaced as before.
  write("treehouse/x", "X");
  EXPECT_TRUE(Util::copyfile(dir() + "/tree/inner", dir() + "/treehouse"));
  EXPECT_EQ(plat::readFile(dir() + "/treehouse/leaf"), "L");
  EXPECT_FALSE(Util::existfile(dir() + "/treehouse/x"));
}

TEST_F(UtilFiles, CopyThroughATemporaryFile) {
  std::string src = write("src", "new content");
  std::string target = write("target", "old");
  write("target.qvcopy", "leftover of a crash");
  EXPECT_TRUE(Util::copyfileneedtemp(src, target));
  EXPECT_EQ(plat::readFile(target), "new content");
  EXPECT_FALSE(Util::existfile(target + ".qvcopy"));

  EXPECT_FALSE(Util::copyfileneedtemp(dir() + "/missing", target));
  EXPECT_EQ(plat::readFile(target), "new content");

  EXPECT_TRUE(Util::copyfileneedtemp(src, dir() + "/fresh"));
  EXPECT_EQ(plat::readFile(dir() + "/fresh"), "new content");

  // A folder where the file would go stays, with what it holds.
  write("folder/inside", "kept");
  EXPECT_FALSE(Util::copyfileneedtemp(src, dir() + "/folder"));
  EXPECT_EQ(plat::readFile(dir() + "/folder/inside"), "kept");
  EXPECT_FALSE(Util::existfile(dir() + "/folder.qvcopy"));
}

TEST_F(UtilFiles, CopyFolderMovesTheEntries) {
  write("from/a", "A");
  write("from/sub/b", "B");
  write("to/a", "old");
  EXPECT_TRUE(Util::copyfolder(dir() + "/from", dir() + "/to", true));
  EXPECT_EQ(plat::readFile(dir() + "/to/a"), "A");  // the move failed, the copy replaced
  EXPECT_EQ(plat::readFile(dir() + "/to/sub/b"), "B");
  EXPECT_TRUE(Util::isdir(dir() + "/from"));
  EXPECT_EQ(Util::subpathsAtPath(dir() + "/from")->size(), 1u);  // "a" copied, so still there

  EXPECT_TRUE(Util::copyfolder(dir() + "/none", dir() + "/x", true));
  EXPECT_FALSE(Util::existfile(dir() + "/x"));
  std::string f = write("single", "S");
  EXPECT_TRUE(Util::copyfolder(f, dir() + "/single2", false));
  EXPECT_EQ(plat::readFile(dir() + "/single2"), "S");
}

TEST_F(UtilFiles, DeletingAndTheTrash) {
  std::string f = write("d/f.txt", "x");
  write("d/g", "y");
  write("d/keep/inner", "z");
  EXPECT_TRUE(Util::deletefileinfolder(dir() + "/d", true));
  EXPECT_EQ(*Util::subpathsAtPath(dir() + "/d"), (std::vector<std::string>{"keep", "keep/inner"}));
  std::string trash = plat::FreedesktopTrash::homeTrashDirectory();
  EXPECT_EQ(plat::readFile(trash + "/files/f.txt"), "x");
  EXPECT_TRUE(Util::existfile(trash + "/info/g.trashinfo"));

  EXPECT_TRUE(Util::deletefolder(dir() + "/d/keep", true));
  EXPECT_EQ(plat::readFile(trash + "/files/keep/inner"), "z");
  write("e/x", "");
  EXPECT_TRUE(Util::deletefolder(dir() + "/e", false));
  EXPECT_FALSE(Util::existfile(dir() + "/e"));
  EXPECT_FALSE(Util::deletefile(dir() + "/e"));
  EXPECT_FALSE(Util::deletefile2recyclebin(dir() + "/e"));
  write("h", "");
  EXPECT_TRUE(Util::deletefileinfolder(dir() + "/d", false));
}

TEST_F(UtilFiles, SizesTimesAndModes) {
  std::string f = write("f", "12345");
  EXPECT_EQ(Util::filesize(f), 5u);
  EXPECT_EQ(Util::filesize(dir() + "/missing"), 0u);
  ASSERT_TRUE(plat::setModificationTime(f, plat::Date{1700000000.9}));
  EXPECT_EQ(Util::filemodifytime(f), 1700000000u);
  EXPECT_EQ(Util::filemodifytime(dir() + "/missing"), 0u);
  EXPECT_GT(Util::filecreatetime(f), 0u);
  EXPECT_EQ(Util::filecreatetime(dir() + "/missing"), 0u);

  Util::setfilereadonly(f);
  EXPECT_EQ(plat::statFollow(f)->mode & 0777, 0444u);
  Util::setfilereadwirte(f);
  EXPECT_EQ(plat::statFollow(f)->mode & 0777, 0644u);
  EXPECT_FALSE(Util::isfilelock(f));
  EXPECT_FALSE(Util::isfilelock(dir() + "/missing"));
  EXPECT_TRUE(Util::setfilelock(f, false));  // clearing a flag that is not set needs no privilege
  EXPECT_FALSE(Util::isfilelock(f));

  EXPECT_EQ(Util::getfilehash(write("abc", "abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_FALSE(Util::getfilehash(dir() + "/missing"));
}

TEST_F(UtilFiles, LockingReportsWhetherTheFlagChanged) {
  std::string f = write("f", "x");
  std::string link = dir() + "/link";
  ASSERT_EQ(symlink(f.c_str(), link.c_str()), 0);
  ASSERT_EQ(mkfifo((dir() + "/fifo").c_str(), 0600), 0);
  for (const std::string& path : {dir() + "/missing", link, dir() + "/fifo"}) {
    EXPECT_FALSE(Util::setfilelock(path, true)) << path;
    EXPECT_FALSE(Util::isfilelock(path)) << path;
  }
  EXPECT_FALSE(Util::isfilelock(f));  // not through the link either
  // Setting the flag needs privilege: whatever the outcome, it is the one reported.
  bool locked = Util::setfilelock(f, true);
  EXPECT_EQ(Util::isfilelock(f), locked);
  if (locked) {
    EXPECT_TRUE(Util::setfilelock(f, false));
    EXPECT_FALSE(Util::isfilelock(f));
  }
}

TEST_F(UtilFiles, Links) {
  std::string target = write("target", "t");
  std::string link = dir() + "/link";
  EXPECT_TRUE(Util::createlink(link, target));
  EXPECT_FALSE(Util::createlink(link, target));
  EXPECT_TRUE(Util::checklinkdir(link));
  EXPECT_FALSE(Util::checklinkdir(target));
  EXPECT_EQ(Util::getlinksrcpath(link), target);
  EXPECT_FALSE(Util::getlinksrcpath(target));
  std::string longTarget = dir() + "/" + std::string(200, 'x') + "/" + std::string(200, 'y');
  EXPECT_TRUE(Util::createlink(dir() + "/long", longTarget));
  EXPECT_EQ(Util::getlinksrcpath(dir() + "/long"), longTarget);
}

TEST(UtilNames, Blanks) {
  struct {
    const char* path;
    bool found;
    const char* replaced;
  } cases[] = {
      {"/a/b/name", false, "/a/b/name"},
      {"/a/b/ name", true, "/a/b/name"},
      {"/a/b/name ", true, "/a/b/name"},
      {"/a/b/ in side ", true, "/a/b/in side"},
      {"/a/b/   ", true, "/a/b/_"},
      {"/a b/name", false, "/a b/name"},
  };
  for (auto c : cases) {
    EXPECT_EQ(Util::findspace(c.path), c.found) << c.path;
    EXPECT_EQ(Util::replacespace(c.path), c.replaced) << c.path;
  }
}

TEST_F(UtilFiles, NameCaseOnACaseSensitiveDisk) {
  std::string f = write("Report.txt", "");
  EXPECT_FALSE(Util::checknamecase(f));
  EXPECT_FALSE(Util::checknamecase(dir() + "/report.txt"));  // nothing there: the name given is shown
  EXPECT_FALSE(Util::checknamecase(dir()));
}

}  // namespace
