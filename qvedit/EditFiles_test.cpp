#include "qvedit/EditFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/foundation/file_util.h"

namespace {

mode_t modeOf(const std::string& p) {
  struct stat st{};
  ::lstat(p.c_str(), &st);
  return st.st_mode & 0777;
}

TEST(EditFiles, EachJobHasItsOwnPrivateFolder) {
  std::string root = plat::makeTemporaryDirectory("qvedit-files") + "/cache/qvedit";
  std::string a = EditFiles::makeJobFolder(root, 5, "docs/report.txt");
  std::string b = EditFiles::makeJobFolder(root, 5, "old/report.txt");
  std::string c = EditFiles::makeJobFolder(root, 6, "docs/report.txt");
  ASSERT_FALSE(a.empty());
  EXPECT_NE(a, b) << "two files of the same name never share a copy";
  EXPECT_NE(a, c);
  EXPECT_EQ(EditFiles::makeJobFolder(root, 5, "docs/report.txt"), a) << "the same file keeps its folder";
  for (const auto& p : {root, a, EditFiles::editFolder(a), plat::pathDirname(EditFiles::partialDownload(a))}) {
    EXPECT_EQ(modeOf(p), 0700u) << p;
  }
  EXPECT_EQ(plat::pathDirname(a), root);

  // A link in place of a job's folder is not followed.
  std::string other = plat::makeTemporaryDirectory("qvedit-elsewhere");
  std::string d = EditFiles::makeJobFolder(root, 7, "x");
  ASSERT_FALSE(d.empty());
  plat::removeTree(d);
  ASSERT_EQ(::symlink(other.c_str(), d.c_str()), 0);
  EXPECT_TRUE(EditFiles::makeJobFolder(root, 7, "x").empty());
  plat::removeTree(plat::pathDirname(plat::pathDirname(root)));
  plat::removeTree(other);
}

TEST(EditFiles, OnlyFilesAreDeletedAndStampsSeeEverySave) {
  std::string dir = plat::makeTemporaryDirectory("qvedit-files");
  std::string f = dir + "/a.txt";
  EXPECT_TRUE(EditFiles::createfile(f));
  EXPECT_TRUE(EditFiles::createfile(f)) << "there already";
  EXPECT_EQ(plat::fileSize(f).value_or(9), 0u);
  std::string s0 = EditFiles::stamp(f);
  ASSERT_FALSE(s0.empty());
  { std::ofstream(f) << "x"; }
  std::string s1 = EditFiles::stamp(f);
  EXPECT_NE(s1, s0);
  // Same size, same second: still another stamp (the nanoseconds differ, or the inode).
  { std::ofstream(f + ".new") << "y"; }
  ASSERT_EQ(::rename((f + ".new").c_str(), f.c_str()), 0);
  EXPECT_NE(EditFiles::stamp(f), s1);
  EXPECT_EQ(EditFiles::modifyTimeText(f).size(), 19u);
  EXPECT_TRUE(EditFiles::modifyTimeText(dir + "/none").empty());

  std::string sub = dir + "/folder";
  ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
  EXPECT_FALSE(EditFiles::deletefile(sub));
  EXPECT_TRUE(plat::isDirectory(sub));
  EXPECT_TRUE(EditFiles::stamp(sub).empty());
  EXPECT_TRUE(EditFiles::deletefile(f));
  EXPECT_FALSE(EditFiles::existfile(f));
  plat::removeTree(dir);
}

}  // namespace
