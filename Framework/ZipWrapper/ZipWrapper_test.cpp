#include "Framework/ZipWrapper/ZipWrapper.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <future>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/foundation/file_util.h"

namespace {

struct Entry {
  std::string name;
  std::string data;
  int year = 0;  // 0: no date (DOS date 0)
  int month = 1, day = 1, hour = 0, minute = 0, second = 0;
  bool symlink = false;
  bool badCrc = false;
  bool stored = false;
};

// Builds an archive with minizip's own writer, as a packager would.
void makeZip(const std::string& path, const std::vector<Entry>& entries) {
  zipFile zf = zipOpen(path.c_str(), APPEND_STATUS_CREATE);
  ASSERT_NE(zf, nullptr);
  for (const auto& e : entries) {
    zip_fileinfo zi;
    std::memset(&zi, 0, sizeof zi);
    if (e.year) {
      zi.tmz_date.tm_year = e.year;
      zi.tmz_date.tm_mon = e.month - 1;
      zi.tmz_date.tm_mday = e.day;
      zi.tmz_date.tm_hour = e.hour;
      zi.tmz_date.tm_min = e.minute;
      zi.tmz_date.tm_sec = e.second;
    }
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), e.data.size());
    if (e.badCrc) {
      ASSERT_EQ(zipOpenNewFileInZip2(zf, e.name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, 0, 0, 1), ZIP_OK);
      ASSERT_EQ(zipWriteInFileInZip(zf, e.data.data(), e.data.size()), ZIP_OK);
      ASSERT_EQ(zipCloseFileInZipRaw(zf, e.data.size(), crc ^ 0x5a5a5a5a), ZIP_OK);
      continue;
    }
    if (e.symlink) zi.external_fa = static_cast<uLong>(S_IFLNK | 0777) << 16;
    ASSERT_EQ(zipOpenNewFileInZip4(zf, e.name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, e.stored ? 0 : Z_DEFLATED,
                                   e.stored ? 0 : Z_DEFAULT_COMPRESSION, 0, 15, 8, Z_DEFAULT_STRATEGY, nullptr, crc,
                                   (3 << 8) | 20, 0),
              ZIP_OK);
    if (!e.data.empty()) {
      ASSERT_EQ(zipWriteInFileInZip(zf, e.data.data(), e.data.size()), ZIP_OK);
    }
    ASSERT_EQ(zipCloseFileInZip(zf), ZIP_OK);
  }
  ASSERT_EQ(zipClose(zf, nullptr), ZIP_OK);
}

std::string slurp(const std::string& path) {
  auto s = plat::readFile(path);
  return s ? *s : std::string("<missing>");
}

void spit(const std::string& path, const std::string& data) {
  plat::makeDirectories(plat::pathDirname(path));
  std::ofstream(path, std::ios::binary) << data;
}

std::vector<std::string> listDir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.emplace_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Recorder : public ZipWrapperDelegate {
public:
  explicit Recorder(std::optional<bool> answer = std::nullopt) : answer_(answer) {}
  void ErrorMessage(const std::string& m) override { messages.push_back(m); }
  bool OverWriteOperation(const std::string& path) override {
    asked.push_back(path);
    return answer_.value_or(true);
  }
  std::vector<std::string> messages, asked;

private:
  std::optional<bool> answer_;
};

class ZipWrapperTest : public ::testing::Test {
protected:
  void SetUp() override { dir = plat::makeTemporaryDirectory("zipwrapper"); }
  void TearDown() override { plat::removeTree(dir); }
  std::string at(const std::string& rel) const { return plat::pathJoin(dir, rel); }
  std::string dir;
};

TEST_F(ZipWrapperTest, UnpacksNestedFoldersBackslashNamesEmptyFilesAndTimes) {
  makeZip(at("p.zip"), {{"top/", ""},
                        {"top/sub/deep.txt", "deep", 2021, 6, 15, 13, 45, 30},
                        {"dir\\file.txt", "backslash"},
                        {"empty.txt", ""},
                        {"big.bin", std::string(100000, 'x') + "end"}});
  ZipWrapper zip;
  ASSERT_TRUE(zip.UnzipOpenFile(at("p.zip")));
  EXPECT_EQ(zip.numFiles(), 5);
  std::vector<std::vector<int>> progress;
  zip.setProgressBlock([&](int pct, int done, int total) { progress.push_back({pct, done, total}); });
  ASSERT_TRUE(zip.UnzipFileTo(at("out"), true));
  EXPECT_TRUE(plat::isDirectory(at("out/top")));
  EXPECT_EQ(slurp(at("out/top/sub/deep.txt")), "deep");
  EXPECT_EQ(slurp(at("out/dir/file.txt")), "backslash");
  EXPECT_EQ(slurp(at("out/empty.txt")), "");
  EXPECT_EQ(slurp(at("out/big.bin")).size(), 100003u);

  struct tm tm {};
  tm.tm_year = 121, tm.tm_mon = 5, tm.tm_mday = 15, tm.tm_hour = 13, tm.tm_min = 45, tm.tm_sec = 30, tm.tm_isdst = -1;
  EXPECT_EQ(plat::statFollow(at("out/top/sub/deep.txt"))->modified.secondsSince1970, static_cast<double>(mktime(&tm)));

  EXPECT_THAT(zip.unzippedFiles(), ::testing::ElementsAre(at("out/top/sub/deep.txt"), at("out/dir/file.txt"),
                                                          at("out/empty.txt"), at("out/big.bin")));
  EXPECT_EQ(progress, (std::vector<std::vector<int>>{{20, 1, 5}, {40, 2, 5}, {60, 3, 5}, {80, 4, 5}, {100, 5, 5}}));
  EXPECT_THAT(zip.getZipFileContents(),
              ::testing::ElementsAre("top/", "top/sub/deep.txt", "dir/file.txt", "empty.txt", "big.bin"));
  // Nothing of the staging folder is left beside the destination.
  EXPECT_EQ(listDir(dir), (std::vector<std::string>{"out", "p.zip"}));
  EXPECT_TRUE(zip.UnzipCloseFile());
}

TEST_F(ZipWrapperTest, OverwriteMatrix) {
  struct Case {
    bool overwrite;
    std::optional<bool> delegateAnswer;  // none: no delegate
    bool replaced;
    bool asked;
  } cases[] = {
      {true, std::nullopt, true, false},
      {true, false, true, false},
      {false, std::nullopt, true, false},
      {false, true, true, true},
      {false, false, false, true},
  };
  makeZip(at("p.zip"), {{"old.txt", "new"}, {"fresh.txt", "fresh"}});
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "overwrite " << c.overwrite << " answer "
                                      << (c.delegateAnswer ? int(*c.delegateAnswer) : -1));
    std::string out = at("out");
    plat::removeTree(out);
    spit(out + "/old.txt", "old");
    spit(out + "/keep.txt", "keep");
    ZipWrapper zip;
    std::shared_ptr<Recorder> rec;
    if (c.delegateAnswer) {
      rec = std::make_shared<Recorder>(*c.delegateAnswer);
      zip.setDelegate(rec);
    }
    ASSERT_TRUE(zip.UnzipOpenFile(at("p.zip")));
    EXPECT_TRUE(zip.UnzipFileTo(out, c.overwrite));
    EXPECT_EQ(slurp(out + "/old.txt"), c.replaced ? "new" : "old");
    EXPECT_EQ(slurp(out + "/fresh.txt"), "fresh");
    EXPECT_EQ(slurp(out + "/keep.txt"), "keep");  // files the package lacks stay
    if (rec) {
      EXPECT_EQ(rec->asked, c.asked ? std::vector<std::string>{out + "/old.txt"} : std::vector<std::string>{});
      EXPECT_TRUE(rec->messages.empty());
    }
  }
}

TEST_F(ZipWrapperTest, EmptyArchiveFailsWithBothMessages) {
  makeZip(at("empty.zip"), {});
  // minizip does not find the end record of a bare 22-byte archive; behind a
  // prefix (as a self-extracting archive has) the same empty archive opens.
  auto bytes = *plat::readFile(at("empty.zip"));
  ASSERT_TRUE(plat::atomicWrite(at("prefixed.zip"), "#!prefix\n" + bytes));
  for (const char* name : {"empty.zip", "prefixed.zip"}) {
    SCOPED_TRACE(name);
    ZipWrapper zip;
    auto rec = std::make_shared<Recorder>();
    zip.setDelegate(rec);
    EXPECT_EQ(zip.UnzipOpenFile(at(name)), std::string(name) == "prefixed.zip");
    EXPECT_EQ(zip.numFiles(), 0);
    EXPECT_FALSE(zip.UnzipFileTo(at("out"), true));
    EXPECT_EQ(rec->messages, (std::vector<std::string>{"Failed", "Error occurs"}));
    EXPECT_FALSE(plat::fileExists(at("out")));
  }
}

// A package that fails anywhere leaves the installed folder exactly as it was
// and no staging folder behind.
TEST_F(ZipWrapperTest, FailedPackageLeavesTheOldFolderWhole) {
  struct Case {
    const char* what;
    std::vector<Entry> entries;
    bool opens;
    const char* message;
  };
  std::string big(50000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
  std::vector<Case> cases = {
      {"crc", {{"index.html", "NEW"}, {"app.js", "broken", 0, 1, 1, 0, 0, 0, false, true}}, true,
       "file was unzipped but failed crc check"},
      {"output cannot open", {{"index.html", "NEW"}, {"x", "file"}, {"x/y", "under a file"}}, true,
       "Failed to open output file for writing"},
      {"corrupt stream", {{"index.html", "NEW"}, {"app.js", big}}, true, "Failed to reading zip file"},
      {"cut in the middle", {{"index.html", "NEW"}, {"app.js", big}}, false, nullptr},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string ui = at("ui");
    plat::removeTree(ui);
    spit(ui + "/index.html", "OLD");
    spit(ui + "/app.js", "OLDJS");
    makeZip(at("p.zip"), c.entries);
    auto bytes = *plat::readFile(at("p.zip"));
    if (std::string(c.what) == "corrupt stream") {
      // Garble the deflate data of the second entry, well inside it.
      size_t pos = bytes.find("app.js");
      ASSERT_NE(pos, std::string::npos);
      for (size_t i = pos + 200; i < pos + 400; ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0xA5);
      ASSERT_TRUE(plat::atomicWrite(at("p.zip"), bytes));
    } else if (std::string(c.what) == "cut in the middle") {
      ASSERT_TRUE(plat::atomicWrite(at("p.zip"), std::string_view(bytes).substr(0, bytes.size() / 2)));
    }
    ZipWrapper zip;
    auto rec = std::make_shared<Recorder>();
    zip.setDelegate(rec);
    EXPECT_EQ(zip.UnzipOpenFile(at("p.zip")), c.opens);
    EXPECT_FALSE(zip.UnzipFileTo(ui, true));
    if (c.message) {
      EXPECT_THAT(rec->messages, ::testing::Contains(std::string(c.message)));
    }
    EXPECT_EQ(slurp(ui + "/index.html"), "OLD");
    EXPECT_EQ(slurp(ui + "/app.js"), "OLDJS");
    EXPECT_EQ(listDir(ui), (std::vector<std::string>{"app.js", "index.html"}));
    EXPECT_TRUE(zip.unzippedFiles().empty());
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"p.zip", "ui"}));
  }
}

TEST_F(ZipWrapperTest, NotAZipDoesNotOpen) {
  spit(at("junk.zip"), "this is not an archive at all");
  ZipWrapper zip;
  EXPECT_FALSE(zip.UnzipOpenFile(at("junk.zip")));
  EXPECT_FALSE(zip.UnzipOpenFile(at("missing.zip")));
  EXPECT_EQ(zip.numFiles(), 0);
}

TEST_F(ZipWrapperTest, RefusesEntriesThatLeaveTheDestination) {
  const std::vector<Entry> bad = {
      {"../evil.txt", "x"},
      {"a/../../evil.txt", "x"},
      {"..\\evil.txt", "x"},
      {"a\\..\\..\\evil.txt", "x"},
      {"/tmp/quorva-zipslip-evil.txt", "x"},
      {"..", ""},
      {"link", "../../etc", 0, 1, 1, 0, 0, 0, true},
  };
  for (const auto& e : bad) {
    SCOPED_TRACE(e.name);
    std::string ui = at("sandbox/ui");
    plat::removeTree(at("sandbox"));
    spit(ui + "/index.html", "OLD");
    makeZip(at("p.zip"), {{"ok.txt", "fine"}, e, {"after.txt", "after"}});
    ZipWrapper zip;
    auto rec = std::make_shared<Recorder>();
    zip.setDelegate(rec);
    ASSERT_TRUE(zip.UnzipOpenFile(at("p.zip")));
    EXPECT_FALSE(zip.UnzipFileTo(ui, true));
    EXPECT_EQ(rec->messages,
              std::vector<std::string>{"Refused an entry that would be written outside the destination"});
    EXPECT_EQ(listDir(ui), std::vector<std::string>{"index.html"});
    EXPECT_EQ(listDir(at("sandbox")), std::vector<std::string>{"ui"});
    EXPECT_FALSE(plat::fileExists(at("evil.txt")));
    EXPECT_FALSE(plat::fileExists("/tmp/quorva-zipslip-evil.txt"));
  }
}

TEST_F(ZipWrapperTest, FileCannotReplaceAFolderNorTheReverse) {
  makeZip(at("p.zip"), {{"a.txt", "A"}, {"css", "now a file"}});
  spit(at("ui/css/site.css"), "keep");
  spit(at("ui/a.txt"), "old");
  ZipWrapper zip;
  ASSERT_TRUE(zip.UnzipOpenFile(at("p.zip")));
  EXPECT_FALSE(zip.UnzipFileTo(at("ui"), true));
  EXPECT_EQ(slurp(at("ui/a.txt")), "old");
  EXPECT_EQ(slurp(at("ui/css/site.css")), "keep");
}

TEST_F(ZipWrapperTest, CreateAddCloseListAndUnpack) {
  spit(at("src/a.txt"), "alpha");
  spit(at("src/b.bin"), std::string(70000, 'b'));
  spit(at("src/empty"), "");
  ASSERT_EQ(symlink("a.txt", at("src/link-to-a").c_str()), 0);
  ZipWrapper zip;
  ASSERT_TRUE(zip.CreateZipFile2(at("w.zip")));
  EXPECT_TRUE(zip.addFileToZip(at("src/a.txt"), "a.txt"));
  EXPECT_TRUE(zip.addFileToZip(at("src/b.bin"), "deep/b.bin"));
  EXPECT_TRUE(zip.addFileToZip(at("src/empty"), "empty"));
  EXPECT_TRUE(zip.addFileToZip(at("src/link-to-a"), "via-link.txt"));
  // A file that is not there is a failure and adds no entry.
  EXPECT_FALSE(zip.addFileToZip(at("src/missing"), "missing"));
  EXPECT_FALSE(zip.addFileToZip(at("src"), "a-folder"));
  EXPECT_TRUE(zip.CloseZipFile2());
  EXPECT_FALSE(zip.CloseZipFile2());
  EXPECT_FALSE(zip.addFileToZip(at("src/a.txt"), "late"));

  ASSERT_TRUE(zip.UnzipOpenFile(at("w.zip")));
  EXPECT_EQ(zip.numFiles(), 4);
  EXPECT_THAT(zip.getZipFileContents(), ::testing::ElementsAre("a.txt", "deep/b.bin", "empty", "via-link.txt"));
  ASSERT_TRUE(zip.UnzipFileTo(at("out"), true));
  EXPECT_EQ(slurp(at("out/a.txt")), "alpha");
  EXPECT_EQ(slurp(at("out/deep/b.bin")), std::string(70000, 'b'));
  EXPECT_EQ(slurp(at("out/empty")), "");
  EXPECT_EQ(slurp(at("out/via-link.txt")), "alpha");
  // The entry's time is the source file's, to the two seconds a DOS time keeps.
  double src = plat::statFollow(at("src/a.txt"))->modified.secondsSince1970;
  double got = plat::statFollow(at("out/a.txt"))->modified.secondsSince1970;
  EXPECT_NEAR(got, src, 2.0);
  EXPECT_TRUE(zip.UnzipCloseFile());
}

// Debian's minizip has no encryption: a password must fail the call rather
// than write plain text or read garbage as success.
TEST_F(ZipWrapperTest, PasswordsFailInsteadOfWritingPlainText) {
  spit(at("src/a.txt"), "alpha");
  ZipWrapper zip;
  ASSERT_TRUE(zip.CreateZipFile2(at("w.zip"), "s3cret"));
  EXPECT_FALSE(zip.addFileToZip(at("src/a.txt"), "a.txt"));
  EXPECT_TRUE(zip.CloseZipFile2());
  EXPECT_TRUE(zip.password().empty());

  makeZip(at("p.zip"), {{"a.txt", "alpha"}});
  auto rec = std::make_shared<Recorder>();
  zip.setDelegate(rec);
  ASSERT_TRUE(zip.UnzipOpenFile(at("p.zip"), "s3cret"));
  EXPECT_TRUE(zip.getZipFileContents().empty());
  EXPECT_FALSE(zip.UnzipFileTo(at("out"), true));
  EXPECT_EQ(rec->messages, (std::vector<std::string>{"Error occured", "Error occurs"}));
  EXPECT_FALSE(plat::fileExists(at("out")));
  EXPECT_TRUE(zip.UnzipCloseFile());
  EXPECT_TRUE(zip.password().empty());
  // Without the password the same archive reads.
  ASSERT_TRUE(zip.UnzipOpenFile(at("p.zip")));
  EXPECT_THAT(zip.getZipFileContents(), ::testing::ElementsAre("a.txt"));
}

TEST_F(ZipWrapperTest, ReopeningClosesTheOldHandle) {
  makeZip(at("one.zip"), {{"1.txt", "one"}});
  makeZip(at("two.zip"), {{"2a.txt", "two"}, {"2b.txt", "two"}});
  ZipWrapper zip;
  ASSERT_TRUE(zip.UnzipOpenFile(at("one.zip")));
  ASSERT_TRUE(zip.UnzipOpenFile(at("two.zip")));
  EXPECT_EQ(zip.numFiles(), 2);
  EXPECT_THAT(zip.getZipFileContents(), ::testing::ElementsAre("2a.txt", "2b.txt"));

  spit(at("f.txt"), "f");
  ASSERT_TRUE(zip.CreateZipFile2(at("first.zip")));
  ASSERT_TRUE(zip.addFileToZip(at("f.txt"), "f.txt"));
  ASSERT_TRUE(zip.CreateZipFile2(at("second.zip")));
  ASSERT_TRUE(zip.CloseZipFile2());
  // The first archive was finished when the second was opened.
  ZipWrapper reader;
  ASSERT_TRUE(reader.UnzipOpenFile(at("first.zip")));
  EXPECT_THAT(reader.getZipFileContents(), ::testing::ElementsAre("f.txt"));
}

TEST_F(ZipWrapperTest, NothingOpen) {
  ZipWrapper zip;
  EXPECT_TRUE(zip.UnzipCloseFile());
  EXPECT_FALSE(zip.CloseZipFile2());
  EXPECT_TRUE(zip.getZipFileContents().empty());
  struct tm tm {};
  tm.tm_year = 80, tm.tm_mday = 1, tm.tm_isdst = -1;
  EXPECT_EQ(ZipWrapper::Date1980().secondsSince1970, static_cast<double>(mktime(&tm)));
}

TEST_F(ZipWrapperTest, AttributesFollowRelativeLinks) {
  spit(at("d/target.txt"), "12345");
  ASSERT_EQ(symlink("target.txt", at("d/link").c_str()), 0);
  ASSERT_EQ(symlink("loop", at("d/loop").c_str()), 0);
  auto followed = ZipWrapperFileManager::attributesOfItemAtPath(at("d/link"), true);
  ASSERT_TRUE(followed);
  EXPECT_EQ(followed->st_size, 5);
  auto link = ZipWrapperFileManager::attributesOfItemAtPath(at("d/link"), false);
  ASSERT_TRUE(link);
  EXPECT_TRUE(S_ISLNK(link->st_mode));
  plat::Error err;
  EXPECT_FALSE(ZipWrapperFileManager::attributesOfItemAtPath(at("d/loop"), true, &err));
  EXPECT_EQ(err.domain(), plat::kPOSIXErrorDomain);
}

}  // namespace

namespace {

TEST_F(ZipWrapperTest, PackagesBeyondTheirBoundsAreRefusedAndTouchNothing) {
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "d/";
  struct Case {
    const char* what;
    std::vector<Entry> entries;
    ZipWrapper::Limits limits;
    const char* message;
  };
  ZipWrapper::Limits small;
  small.totalBytes = 1 << 20;
  ZipWrapper::Limits few;
  few.entries = 5;
  std::vector<Entry> many;
  for (int i = 0; i < 10; ++i) many.push_back({"f" + std::to_string(i), "x"});
  std::vector<Case> cases = {
      // Zeros deflate to almost nothing: 2 MiB from a package of a few KiB.
      {"too large", {{"index.html", "NEW"}, {"zeros.bin", std::string(2 << 20, '\0')}}, small,
       "Refused a package that unpacks to more than its limit"},
      {"too many", many, few, "Refused a package with more entries than its limit"},
      {"too deep", {{"index.html", "NEW"}, {deep + "f.txt", "x"}}, {}, "Refused an entry whose name is too long or too deep"},
      {"too long", {{"index.html", "NEW"}, {std::string(200, 'n') + "/" + std::string(200, 'm') + "/" +
                                                std::string(200, 'o') + "/" + std::string(200, 'p') + "/" +
                                                std::string(200, 'q') + "/" + std::string(200, 'r') + "/f",
                                            "x"}},
       {}, "Refused an entry whose name is too long or too deep"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string ui = at("ui");
    plat::removeTree(ui);
    spit(ui + "/index.html", "OLD");
    makeZip(at("p.zip"), c.entries);
    ZipWrapper zip;
    auto rec = std::make_shared<Recorder>();
    zip.setDelegate(rec);
    zip.setLimits(c.limits);
    ASSERT_TRUE(zip.UnzipOpenFile(at("p.zip")));
    EXPECT_FALSE(zip.UnzipFileTo(ui, true));
    EXPECT_THAT(rec->messages, ::testing::Contains(std::string(c.message)));
    EXPECT_EQ(listDir(ui), std::vector<std::string>{"index.html"});
    EXPECT_EQ(slurp(ui + "/index.html"), "OLD");
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"p.zip", "ui"}));
  }
  // Within the default bounds a deep but reasonable name unpacks.
  makeZip(at("p.zip"), {{"a/b/c/d/e/f/g/h.txt", "deep"}});
  ZipWrapper zip;
  ASSERT_TRUE(zip.UnzipOpenFile(at("p.zip")));
  EXPECT_TRUE(zip.UnzipFileTo(at("fresh"), true));
  EXPECT_EQ(slurp(at("fresh/a/b/c/d/e/f/g/h.txt")), "deep");
}

TEST_F(ZipWrapperTest, OnlyRegularFilesAreAddedAndAFIFODoesNotBlock) {
  const std::string fifo = at("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ZipWrapper zip;
  auto rec = std::make_shared<Recorder>();
  zip.setDelegate(rec);
  ASSERT_TRUE(zip.CreateZipFile2(at("out.zip")));
  auto added = std::async(std::launch::async, [&] { return zip.addFileToZip(fifo, "pipe"); });
  if (added.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // Let the blocked open go, so the test ends either way.
    int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (w >= 0) ::close(w);
    ADD_FAILURE() << "adding a FIFO blocked";
  }
  EXPECT_FALSE(added.get());
  EXPECT_FALSE(zip.addFileToZip(dir, "folder"));
  spit(at("real.txt"), "real");
  EXPECT_TRUE(zip.addFileToZip(at("real.txt"), "real.txt"));
  EXPECT_TRUE(zip.CloseZipFile2());
  ZipWrapper in;
  ASSERT_TRUE(in.UnzipOpenFile(at("out.zip")));
  EXPECT_EQ(in.getZipFileContents(), std::vector<std::string>{"real.txt"});
}

TEST_F(ZipWrapperTest, ARenameFailingWhilePlacingPutsBackWhatItReplaced) {
  // "late" is a link to a folder on another file system: the rename of the
  // second file into it fails (EXDEV) after the first has been placed.
  std::string ui = at("ui");
  spit(ui + "/index.html", "OLD");
  ASSERT_EQ(::symlink("/proc/self", (ui + "/late").c_str()), 0);
  makeZip(at("p.zip"), {{"index.html", "NEW"}, {"added/new.txt", "added"}, {"late/x.txt", "never placed"}});
  ZipWrapper zip;
  auto rec = std::make_shared<Recorder>();
  zip.setDelegate(rec);
  ASSERT_TRUE(zip.UnzipOpenFile(at("p.zip")));
  EXPECT_FALSE(zip.UnzipFileTo(ui, true));
  EXPECT_THAT(rec->messages, ::testing::Contains(std::string("Failed to move the unzipped files into place")));
  EXPECT_EQ(slurp(ui + "/index.html"), "OLD") << "the replaced file is back";
  EXPECT_EQ(listDir(ui), (std::vector<std::string>{"index.html", "late"})) << "no folder or file of the package stays";
  EXPECT_EQ(listDir(dir), (std::vector<std::string>{"p.zip", "ui"}));
  EXPECT_TRUE(zip.unzippedFiles().empty());
}

}  // namespace
