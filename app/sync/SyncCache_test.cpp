// The local file cache and the transfer folder, on real files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "app/sync/SyncCache.h"
#include "app/sync/SyncTransCache.h"
#include "app/sync/sync_test_util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"

namespace {

using synctest::TempDir;

std::string hashOf(char c) { return std::string(40, c); }

void write(const std::string& path, const std::string& text) {
  ASSERT_TRUE(plat::atomicWrite(path, text));
}

void writeSize(const std::string& path, off_t size) {
  std::ofstream(path).close();
  ASSERT_EQ(::truncate(path.c_str(), size), 0);
}

TEST(SyncCache, StoresByHashAndAnswersHits) {
  TempDir dir;
  SyncCache cache(dir.file("cache"));
  const std::string src = dir.file("a.txt"), other = dir.file("b.txt");
  write(src, "first");
  write(other, "second");
  const std::string h = "0a" + std::string(38, 'f');
  EXPECT_EQ(cache.getcache(h), "");
  EXPECT_TRUE(cache.addcache(src, h));
  EXPECT_EQ(cache.getcache(h), dir.file("cache") + "/0a/" + h);
  // The first copy stays: equal hash, equal content.
  EXPECT_TRUE(cache.addcache(other, h));
  EXPECT_EQ(plat::readFile(cache.getcache(h)).value_or(""), "first");
  EXPECT_FALSE(cache.addcache(dir.file("missing"), hashOf('1')));
  EXPECT_EQ(cache.getcache(hashOf('1')), "");
}

TEST(SyncCache, NamesComeOnlyFromCheckedHashes) {
  TempDir dir;
  SyncCache cache(dir.file("cache"));
  const std::string src = dir.file("a.txt");
  write(src, "x");
  for (const std::string& bad : std::vector<std::string>{"", "ab", "../../../../tmp/escape", hashOf('A'), hashOf('g'), hashOf('a') + "0",
                                "../" + std::string(37, 'a')}) {
    EXPECT_FALSE(cache.addcache(src, bad)) << bad;
    EXPECT_EQ(cache.getcache(bad), "") << bad;
  }
  EXPECT_FALSE(plat::fileExists(dir.path() + "/escape"));
}

TEST(SyncCache, BigFilesAreNotCached) {
  TempDir dir;
  SyncCache cache(dir.file("cache"));
  // Sparse: refused before a byte is read.
  writeSize(dir.file("big"), static_cast<off_t>(SyncCache::kMaxFile));
  EXPECT_FALSE(cache.addcache(dir.file("big"), hashOf('b')));
  EXPECT_EQ(cache.getcache(hashOf('b')), "");
}

// A finished download handed over: renamed in, or dropped when the hash is
// cached already, refused or too big; the file given up is gone each time.
TEST(SyncCache, AFileGivenUpIsMovedInOrDropped) {
  TempDir dir;
  SyncCache cache(dir.file("cache"));
  const std::string h = "0b" + std::string(38, 'e');
  write(dir.file("down"), "content");
  struct stat before {};
  ASSERT_EQ(::stat(dir.file("down").c_str(), &before), 0);
  EXPECT_TRUE(cache.movecache(dir.file("down"), h));
  EXPECT_FALSE(plat::fileExists(dir.file("down")));
  ASSERT_EQ(cache.getcache(h), dir.file("cache") + "/0b/" + h);
  EXPECT_EQ(plat::readFile(cache.getcache(h)).value_or(""), "content");
  struct stat after {};
  ASSERT_EQ(::stat(cache.getcache(h).c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "renamed, not copied";

  write(dir.file("again"), "other");
  EXPECT_TRUE(cache.movecache(dir.file("again"), h));
  EXPECT_FALSE(plat::fileExists(dir.file("again")));
  EXPECT_EQ(plat::readFile(cache.getcache(h)).value_or(""), "content");

  write(dir.file("bad"), "x");
  EXPECT_FALSE(cache.movecache(dir.file("bad"), "../../escape"));
  EXPECT_FALSE(plat::fileExists(dir.file("bad")));
  EXPECT_FALSE(plat::fileExists(dir.path() + "/escape"));

  writeSize(dir.file("big"), static_cast<off_t>(SyncCache::kMaxFile));
  EXPECT_FALSE(cache.movecache(dir.file("big"), hashOf('c')));
  EXPECT_FALSE(plat::fileExists(dir.file("big")));
  EXPECT_EQ(cache.getcache(hashOf('c')), "");
}

// Sizes in KiB of the trim case: 400, 500, 200 and 100, newest first, to a
// limit of 1024: running totals 400, 900, 1100, 1200.
TEST(SyncCache, TrimKeepsTheNewestUnderTheLimitAndOnlyItsOwnFiles) {
  TempDir dir;
  auto clock = std::make_shared<plat::ManualClock>();
  plat::ScopedClock scoped(clock);
  SyncCache cache(dir.file("cache"));
  const struct {
    char c;
    off_t kib;
  } files[] = {{'1', 100}, {'2', 200}, {'5', 500}, {'4', 400}};  // oldest first
  for (const auto& f : files) {
    const std::string src = dir.file(std::string("src") + f.c);
    writeSize(src, f.kib * 1024);
    ASSERT_TRUE(cache.addcache(src, hashOf(f.c)));
    clock->advance(10);
  }
  // What the cache does not own stays, whatever its size.
  const std::string stranger = dir.file("cache") + "/11/notes.txt";
  writeSize(stranger, 5000 * 1024);
  const std::string misplaced = dir.file("cache") + "/22/" + hashOf('3');
  plat::makeDirectories(dir.file("cache") + "/22");
  writeSize(misplaced, 5000 * 1024);

  cache.clean(1024 * 1024);
  EXPECT_NE(cache.getcache(hashOf('4')), "");
  EXPECT_NE(cache.getcache(hashOf('5')), "");
  EXPECT_EQ(cache.getcache(hashOf('2')), "");
  EXPECT_EQ(cache.getcache(hashOf('1')), "");
  EXPECT_TRUE(plat::fileExists(stranger));
  EXPECT_TRUE(plat::fileExists(misplaced));

  // A newest file alone at the limit empties the cache.
  const std::string huge = dir.file("huge");
  writeSize(huge, 2048 * 1024);
  ASSERT_TRUE(cache.addcache(huge, hashOf('9')));
  cache.clean(2048 * 1024);
  std::vector<CacheFileItem> left;
  cache.findfile(cache.path(), left);
  EXPECT_TRUE(left.empty());
}

TEST(SyncCache, ClearEmptiesTheFolder) {
  TempDir dir;
  SyncCache cache(dir.file("cache"));
  write(dir.file("a"), "a");
  ASSERT_TRUE(cache.addcache(dir.file("a"), hashOf('a')));
  cache.clear();
  EXPECT_EQ(cache.getcache(hashOf('a')), "");
  EXPECT_TRUE(plat::isDirectory(cache.path()));
}

class Finished : public SyncTransCache::Manager {
public:
  void finishdownload(const std::string& path) override { paths.push_back(path); }
  std::vector<std::string> paths;
};

TEST(SyncTransCache, FinishedFailedAndStaleEntries) {
  TempDir dir;
  // A folder whose own name holds "_ok" and "_error": only entry names count.
  const std::string folder = dir.file("me_ok_error") + "/cache";
  plat::makeDirectories(folder);
  write(folder + "/down_" + hashOf('e') + "_error", "old session");
  Finished m;
  SyncTransCache trans(folder, &m);
  EXPECT_FALSE(plat::fileExists(folder + "/down_" + hashOf('e') + "_error"));  // an earlier session's failure

  const std::string partial = folder + "/down_" + hashOf('h');
  write(partial, "part");
  write(partial + ".tmp", "bits");
  write(folder + "/upload_x_1", "copy");
  const std::string done = folder + "/down_" + hashOf('d') + "_ok";
  write(done, "whole");

  trans.checkfinish();
  EXPECT_EQ(m.paths, std::vector<std::string>{done});
  EXPECT_TRUE(trans.checkdownloadfinish(folder + "/down_" + hashOf('d')));
  EXPECT_FALSE(trans.checkdownloadfinish(partial));

  trans.timeremovefile();
  EXPECT_FALSE(plat::fileExists(partial));
  EXPECT_FALSE(plat::fileExists(partial + ".tmp"));
  EXPECT_FALSE(plat::fileExists(folder + "/upload_x_1"));
  EXPECT_TRUE(plat::fileExists(done));

  EXPECT_TRUE(trans.copyfile(done, folder + "/copy"));
  EXPECT_EQ(plat::readFile(folder + "/copy").value_or(""), "whole");
  trans.clear();
  EXPECT_FALSE(plat::fileExists(folder));
}

TEST(SyncTransCache, AFailedDownloadBlocksItsContentForTenMinutes) {
  TempDir dir;
  auto clock = std::make_shared<plat::ManualClock>();
  plat::ScopedClock scoped(clock);
  SyncTransCache trans(dir.file("t"), nullptr);
  const std::string down = dir.file("t") + "/down_" + hashOf('f');
  EXPECT_FALSE(trans.checkdownloaderror(down));
  write(down + "_error", "");
  ASSERT_TRUE(plat::setModificationTime(down + "_error", clock->now()));
  clock->advance(300);
  EXPECT_TRUE(trans.checkdownloaderror(down));
  EXPECT_TRUE(plat::fileExists(down + "_error"));
  clock->advance(300);  // exactly 600 s: still held
  EXPECT_TRUE(trans.checkdownloaderror(down));
  clock->advance(60);
  EXPECT_TRUE(trans.checkdownloaderror(down));  // answered once more, then gone
  EXPECT_FALSE(plat::fileExists(down + "_error"));
  EXPECT_FALSE(trans.checkdownloaderror(down));
}

}  // namespace
