#include "qvedit/AppDelegate.h"

#include <sys/stat.h>

#include <chrono>

#include "platform/foundation/log.h"
#include "qvedit/EditFiles.h"
#include "qvedit/EditFixture.h"

namespace edittest {
namespace {

std::string sha1(const std::string& s) { return NSDataExpand::sha1HexDigest(s); }

mode_t modeOf(const std::string& p) {
  struct stat st{};
  ::lstat(p.c_str(), &st);
  return st.st_mode & 0777;
}

TEST_F(EditTest, FromHandOverToOpenedToUploadedOnTheTimer) {
  User u = newUser({{"docs/report.txt", "first version"}});
  // The timer of the run loop, under the injected clock.
  app->applicationDidFinishLaunching();
  ASSERT_TRUE(app->handleURLEvent(editURL(u.mount, "docs/report.txt", u.refresh)));
  auto job = onlyJob();
  ASSERT_TRUE(job);
  // The run loop's timer fires as the clock passes each second.
  auto run = [&](const std::function<bool()>& done) {
    for (int i = 0; i < 4000 && !done(); ++i) {
      clock->advance(0.25);
      pump(5);
    }
  };
  run([&] { return !launcher->opened().empty(); });
  ASSERT_EQ(launcher->opened(), std::vector<std::string>{job->savepath});
  EXPECT_EQ(job->type, 4);
  EXPECT_EQ(readAll(job->savepath), "first version");
  EXPECT_EQ(plat::pathBasename(job->savepath), "report.txt");
  EXPECT_EQ(plat::pathDirname(plat::pathDirname(plat::pathDirname(job->savepath))), home + "/cache/qvedit");
  EXPECT_EQ(modeOf(plat::pathDirname(plat::pathDirname(job->savepath))), 0700u);

  int64_t since = cloud->lastSeq();
  writeFile(job->savepath, "second version, saved");
  run([&] { return notices->descriptions().size() >= 3; });
  EXPECT_EQ(notices->descriptions(),
            (std::vector<std::string>{"正在下载 report.txt 文件", "正在打开 report.txt 文件", "上传完成 report.txt 文件"}));
  for (const auto& t : notices->titles()) EXPECT_EQ(t, "Quorva科技");
  EXPECT_EQ(job->type, 8);
  EXPECT_EQ(cloudHash(u, "docs/report.txt"), sha1("second version, saved"));
  EXPECT_EQ(countRequests(since, "POST", "/upload_finish"), 1);
  EXPECT_FALSE(job->dirty);
  // Nothing more to send while the copy stays as it is.
  int ticks = 0;
  run([&] { return ++ticks > 40; });
  EXPECT_EQ(countRequests(since, "PUT", "/docs/report.txt"), 1);
}

TEST_F(EditTest, AnEmptyCloudFileIsCreatedOpenedAndUploadedAfterASave) {
  User u = newUser({{"empty.md", ""}});
  int64_t since = cloud->lastSeq();
  auto job = openJob(u, "empty.md");
  ASSERT_TRUE(job);
  EXPECT_EQ(countRequests(since, "GET", "/content/"), 0) << "nothing to download";
  EXPECT_TRUE(plat::fileExists(job->savepath));
  EXPECT_EQ(readAll(job->savepath), "");
  EXPECT_EQ(notices->descriptions(), (std::vector<std::string>{"正在下载 empty.md 文件", "正在打开 empty.md 文件"}));
  writeFile(job->savepath, "# now with a title\n");
  ASSERT_TRUE(uploaded(job, "empty.md"));
  EXPECT_EQ(cloudHash(u, "empty.md"), sha1("# now with a title\n"));
}

TEST_F(EditTest, ASaveInTwoPiecesGivesOneUploadOfTheFinalContent) {
  User u = newUser({{"notes.txt", "old"}});
  auto job = openJob(u, "notes.txt");
  ASSERT_TRUE(job);
  int64_t since = cloud->lastSeq();
  {
    std::ofstream f(job->savepath, std::ios::binary | std::ios::trunc);
    f << std::string(150000, 'a') << std::flush;  // the first piece is on disk
    tick();
    tick();  // one second after it: not quiet yet
    EXPECT_EQ(job->type, 4) << "no upload while the editor writes";
    f << std::string(60000, 'b');
  }
  std::string final = std::string(150000, 'a') + std::string(60000, 'b');
  ASSERT_TRUE(uploaded(job, "notes.txt"));
  EXPECT_EQ(cloudHash(u, "notes.txt"), sha1(final));
  EXPECT_EQ(countRequests(since, "PUT", "/notes.txt"), 1) << "one add-file";
  EXPECT_EQ(countRequests(since, "PUT", "/upload_part"), 3) << "210000 bytes in pieces of 102400";
  EXPECT_EQ(countRequests(since, "POST", "/upload_finish"), 1);
}

TEST_F(EditTest, ARenameOverSaveIsFollowed) {
  User u = newUser({{"a/plan.txt", "v1"}});
  auto job = openJob(u, "a/plan.txt");
  ASSERT_TRUE(job);
  for (const std::string v : {"v2 by rename", "v3 by rename again"}) {
    std::string swap = plat::pathDirname(job->savepath) + "/.plan.txt.swp";
    writeFile(swap, v);
    ASSERT_EQ(::rename(swap.c_str(), job->savepath.c_str()), 0);
    ASSERT_TRUE(uploaded(job, "plan.txt")) << v;
    EXPECT_EQ(cloudHash(u, "a/plan.txt"), sha1(v));
  }
}

TEST_F(EditTest, AReHandOverKeepsACopyWithSavesNotUploaded) {
  User u = newUser({{"draft.txt", "cloud text"}});
  auto job = openJob(u, "draft.txt");
  ASSERT_TRUE(job);
  // Every add-file fails for now: the save stays local only.
  failAddFile("/draft.txt", 1000);
  writeFile(job->savepath, "my unsaved work");
  ASSERT_TRUE(tickUntil([&] { return count(notices->descriptions(), "上传失败 draft.txt 文件，稍后重试") == 1; }));
  EXPECT_TRUE(job->dirty);

  int64_t since = cloud->lastSeq();
  ASSERT_TRUE(app->handleURLEvent(editURL(u.mount, "draft.txt", u.refresh)));
  EXPECT_EQ(app->mArray().size(), 1u);
  for (int i = 0; i < 3; ++i) tick();
  EXPECT_EQ(readAll(job->savepath), "my unsaved work") << "the copy is never overwritten";
  EXPECT_EQ(countRequests(since, "GET", "/content/"), 0);
  EXPECT_EQ(launcher->opened().size(), 2u) << "opened again";
  EXPECT_EQ(count(notices->descriptions(), "draft.txt 文件有未上传的修改，保留本地文件"), 1u);

  // Two more failures, then the retry gets through.
  cloud->hook("DELETE", "faults");
  failAddFile("/draft.txt", 2);
  ASSERT_TRUE(uploaded(job, "draft.txt"));
  EXPECT_EQ(cloudHash(u, "draft.txt"), sha1("my unsaved work"));
  EXPECT_EQ(count(notices->descriptions(), "上传失败 draft.txt 文件，稍后重试"), 3u);
  EXPECT_EQ(job->retries, 0);

  // A clean copy is fetched again on a new hand-over.
  ASSERT_TRUE(cloud->hook("POST", "files", plat::Value(plat::Dictionary{
      {"username", plat::Value(u.name)},
      {"files", plat::Value(plat::Array{plat::Value(plat::Dictionary{{"path", plat::Value("draft.txt")},
                                                                     {"text", plat::Value("changed on the web")}})})}})));
  ASSERT_TRUE(app->handleURLEvent(editURL(u.mount, "draft.txt", u.refresh)));
  ASSERT_TRUE(tickUntil([&] { return launcher->opened().size() == 3 && job->type == 4; }));
  EXPECT_EQ(readAll(job->savepath), "changed on the web");
}

TEST_F(EditTest, FailedUploadsWaitLongerEachTime) {
  User u = newUser({{"b.txt", "x"}});
  auto job = openJob(u, "b.txt");
  ASSERT_TRUE(job);
  failAddFile("/b.txt", 1000);
  writeFile(job->savepath, "y");
  std::vector<double> failedAt;
  const std::string failed = "上传失败 b.txt 文件，稍后重试";
  for (int i = 0; i < 200 && failedAt.size() < 4; ++i) {
    size_t before = count(notices->descriptions(), failed);
    app->waitForUploads();
    tick();
    if (count(notices->descriptions(), failed) > before) failedAt.push_back(clock->monotonic());
  }
  ASSERT_EQ(failedAt.size(), 4u);
  for (size_t i = 2; i < failedAt.size(); ++i) {
    EXPECT_GT(failedAt[i] - failedAt[i - 1], failedAt[i - 1] - failedAt[i - 2]) << "the pause grows";
  }
}

TEST_F(EditTest, TokenRenewalFailingEndsInState9) {
  User u = newUser({{"c.txt", "x"}});
  plat::LogCapture log;
  ASSERT_TRUE(app->handleURLEvent(editURL(u.mount, "c.txt", "0000000000deadbeef")));
  auto job = onlyJob();
  ASSERT_TRUE(job);
  ASSERT_TRUE(tickUntil([&] { return job->type == 9; }, 50)) << "refused at once, not tried again";
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_EQ(job->type, 9) << "for good";
  EXPECT_TRUE(launcher->opened().empty());
  EXPECT_FALSE(plat::fileExists(job->savepath));
  // A new hand-over with a good token starts over.
  ASSERT_TRUE(app->handleURLEvent(editURL(u.mount, "c.txt", u.refresh)));
  ASSERT_TRUE(tickUntil([&] { return job->type == 4; }));
  EXPECT_EQ(readAll(job->savepath), "x");
  EXPECT_TRUE(log.contains("token renewal failed")) << "said in the log";
  EXPECT_FALSE(log.contains("0000000000deadbeef")) << "without the token";
  EXPECT_FALSE(log.contains(u.refresh));
}

TEST_F(EditTest, TheRenewedRefreshTokenReplacesTheOld) {
  cloud->hook("POST", "config", plat::Value(plat::Dictionary{{"rotate_refresh", plat::Value(1)}}));
  User u = newUser({{"r.txt", "x"}});
  auto job = openJob(u, "r.txt");
  ASSERT_TRUE(job);
  EXPECT_NE(job->refreshToken(), u.refresh);
  writeFile(job->savepath, "saved with the second refresh token");
  bool done = uploaded(job, "r.txt");
  cloud->hook("POST", "config", plat::Value(plat::Dictionary{{"rotate_refresh", plat::Value()}}));
  ASSERT_TRUE(done);
  EXPECT_EQ(cloudHash(u, "r.txt"), sha1("saved with the second refresh token"));
}

TEST_F(EditTest, AnErrorDownloadIsNeverOpened) {
  struct {
    const char* kind;
    int status;
  } cases[] = {{"error", 500}, {"error", 404}, {"corrupt", 0}};
  for (const auto& c : cases) {
    User u = newUser({{"page.html", std::string(5000, 'p')}});
    plat::Dictionary spec{{"kind", plat::Value(c.kind)}, {"path", plat::Value("/content/")}};
    if (c.status) spec.set("status", plat::Value(c.status));
    else spec.set("at", plat::Value(3000));
    fault(spec);
    size_t before = app->mArray().size();
    ASSERT_TRUE(app->handleURLEvent(editURL(u.mount, "page.html", u.refresh)));
    auto job = app->mArray()[before];
    ASSERT_TRUE(tickUntil([&] { return job->type == 3; })) << c.kind << " " << c.status;
    for (int i = 0; i < 3; ++i) tick();
    EXPECT_EQ(job->type, 3);
    EXPECT_TRUE(launcher->opened().empty()) << c.status;
    EXPECT_FALSE(EditFiles::existfile(job->savepath));
    EXPECT_FALSE(EditFiles::existfile(EditFiles::partialDownload(job->folder)));
    EXPECT_GE(count(notices->descriptions(), "下载失败 page.html 文件"), 1u);
  }
}

TEST_F(EditTest, RefusedAddressesMakeNoJobAndSayWhy) {
  std::string why;
  EXPECT_FALSE(app->handleURLEvent(editURL(5, "../../etc/passwd", "t"), &why));
  EXPECT_EQ(why, "the cloud path has a \".\" or \"..\" component");
  EXPECT_FALSE(app->handleURLEvent("qvedit://bm90IHRocmVl", &why));
  EXPECT_TRUE(app->mArray().empty());
  ASSERT_EQ(notices->descriptions().size(), 2u);
  EXPECT_EQ(notices->descriptions()[0], "无法打开编辑链接：the cloud path has a \".\" or \"..\" component");
}

TEST_F(EditTest, FilesOf2GiBAreNotDownloaded) {
  User u = newUser({{"big.iso", "x"}});
  // The details as the service would give them for a 3 GB file.
  fault({{"kind", plat::Value("error")}, {"method", plat::Value("GET")}, {"path", plat::Value("/big.iso")},
         {"status", plat::Value(200)},
         {"body", plat::Value(R"({"filesize":3000000000,"filehash":"0000000000000000000000000000000000000000",)"
                              R"("uri":")" + cloud->url() + R"(/content/x"})")}});
  int64_t since = cloud->lastSeq();
  ASSERT_TRUE(app->handleURLEvent(editURL(u.mount, "big.iso", u.refresh)));
  auto job = onlyJob();
  ASSERT_TRUE(tickUntil([&] { return job->type == 3; }));
  EXPECT_EQ(countRequests(since, "GET", "/content/"), 0);
  EXPECT_EQ(notices->descriptions(), std::vector<std::string>{"big.iso 文件超过 2 GB，无法编辑"});
  EXPECT_TRUE(launcher->opened().empty());
}

TEST_F(EditTest, AHandOverRightAfterASaveKeepsTheSave) {
  User u = newUser({{"empty.txt", ""}, {"full.txt", "cloud"}});
  for (const std::string name : {"empty.txt", "full.txt"}) {
    auto job = openJob(u, name);
    ASSERT_TRUE(job);
    writeFile(job->savepath, "typed a moment ago");
    // No tick has seen the save yet.
    ASSERT_TRUE(app->handleURLEvent(editURL(u.mount, name, u.refresh)));
    ASSERT_TRUE(uploaded(job, name)) << name;
    EXPECT_EQ(readAll(job->savepath), "typed a moment ago");
    EXPECT_EQ(cloudHash(u, name), sha1("typed a moment ago"));
  }
}

TEST_F(EditTest, FilesOf2GiBAreNotUploaded) {
  User u = newUser({{"big.bin", "small for now"}});
  auto job = openJob(u, "big.bin");
  ASSERT_TRUE(job);
  int64_t since = cloud->lastSeq();
  ASSERT_EQ(::truncate(job->savepath.c_str(), int64_t{2} << 30), 0);  // sparse
  ASSERT_TRUE(tickUntil([&] { return count(notices->descriptions(), "big.bin 文件超过 2 GB，无法上传") == 1; }));
  for (int i = 0; i < 20; ++i) {
    app->waitForUploads();
    tick();
  }
  EXPECT_EQ(count(notices->descriptions(), "big.bin 文件超过 2 GB，无法上传"), 1u) << "once per save";
  EXPECT_EQ(countRequests(since, "PUT", "/big.bin"), 0);
  EXPECT_TRUE(job->dirty) << "still not uploaded: a hand-over keeps it";
}

TEST_F(EditTest, DetailsThatCannotBeHadEndTheJobWithANotice) {
  User u = newUser({{"here.txt", "x"}});
  User other = newUser({{"theirs.txt", "not yours"}});
  struct {
    const char* what;
    int64_t mount;
    std::string path, target;
  } cases[] = {
      {"missing", u.mount, "missing.txt", "/missing.txt"},
      {"leading slash", u.mount, "/here.txt", "//here.txt"},
      {"another user's mount", other.mount, "theirs.txt", "/theirs.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int64_t since = cloud->lastSeq();
    size_t before = app->mArray().size();
    ASSERT_TRUE(app->handleURLEvent(editURL(c.mount, c.path, u.refresh)));
    auto job = app->mArray()[before];
    ASSERT_TRUE(tickUntil([&] { return job->type == 3; }, 300)) << "state " << job->type;
    const std::string name = NSStringExpand::getFilename(c.path);
    EXPECT_EQ(count(notices->descriptions(), "无法获取 " + name + " 文件的信息"), 1u);
    EXPECT_EQ(countRequests(since, "GET", c.target), AppDelegate::kDetailsTries);
    for (int i = 0; i < 20; ++i) tick();
    app->waitForFetches();
    EXPECT_EQ(countRequests(since, "GET", c.target), AppDelegate::kDetailsTries) << "no more tries";
    EXPECT_TRUE(launcher->opened().empty());
  }
}

TEST_F(EditTest, ANetworkDropAtTheFirstRenewalIsTriedAgainAfterAGrowingWait) {
  User u = newUser({{"d.txt", "after the drop"}});
  fault({{"kind", plat::Value("drop")}, {"method", plat::Value("POST")}, {"path", plat::Value("/oauth/token")},
         {"count", plat::Value(3)}});
  int64_t since = cloud->lastSeq();
  ASSERT_TRUE(app->handleURLEvent(editURL(u.mount, "d.txt", u.refresh)));
  auto job = onlyJob();
  ASSERT_TRUE(job);
  // The wait the helper sets after each failed renewal.
  std::vector<double> waits;
  int failures = 0;
  ASSERT_TRUE(tickUntil(
      [&] {
        app->waitForFetches();
        if (job->renewalFailures > failures) {
          failures = job->renewalFailures;
          waits.push_back(job->fetchAt - clock->monotonic());
        }
        return job->type == 4;
      },
      400))
      << "state " << job->type;
  EXPECT_EQ(readAll(job->savepath), "after the drop");
  EXPECT_GE(countRequests(since, "POST", "/oauth/token"), 3) << "the drops, then the answer";
  ASSERT_GE(waits.size(), 2u) << "tried again after each drop";
  for (size_t i = 1; i < waits.size(); ++i) EXPECT_GT(waits[i], waits[i - 1]) << "the wait grows";
  EXPECT_EQ(count(notices->descriptions(), "无法连接服务器，稍后重试 d.txt 文件"), 1u) << "told once";
}

TEST_F(EditTest, HandOversAndTicksDoNotWaitForAStalledService) {
  User u = newUser({{"s.txt", "slow"}, {"t.txt", "other"}});
  fault({{"kind", plat::Value("stall")}, {"method", plat::Value("POST")}, {"path", plat::Value("/oauth/token")},
         {"seconds", plat::Value(3)}});
  using steady = std::chrono::steady_clock;
  auto start = steady::now();
  ASSERT_TRUE(app->handleURLEvent(editURL(u.mount, "s.txt", u.refresh)));
  double longest = 0;
  for (int i = 0; i < 5; ++i) {
    auto t = steady::now();
    tick();
    longest = std::max(longest, std::chrono::duration<double>(steady::now() - t).count());
  }
  auto t = steady::now();
  ASSERT_TRUE(app->handleURLEvent(editURL(u.mount, "t.txt", u.refresh)));
  longest = std::max(longest, std::chrono::duration<double>(steady::now() - t).count());
  // Loose: the stall is 3 s; a tick or a hand-over that waited for it would take that long.
  EXPECT_LT(longest, 1.0);
  EXPECT_LT(std::chrono::duration<double>(steady::now() - start).count(), 3.0) << "the stall is still on";
  auto job = app->mArray()[0];
  ASSERT_TRUE(tickUntil([&] { return job->type == 4; })) << "state " << job->type;
  EXPECT_EQ(readAll(job->savepath), "slow");
}

}  // namespace
}  // namespace edittest
