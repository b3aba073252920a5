// The sync engine joined to the transfer engine against devcloud, on a real
// sync parent: a local file reaches the service through a real Upload and
// its completion, a file of the service reaches the disk through a real
// Download, its "_ok" result and its completion, and an edit made on both
// sides is settled by the mode (the local edit wins; in overwrite mode or a
// view-only share the service's wins and the local version is in the Trash).
#include <gtest/gtest.h>

#include <algorithm>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/QVLog.h"
#include "app/core/Util.h"
#include "app/interface/EngineFixture.h"
#include "app/interface/HTTPEngine.h"
#include "app/sync/SyncManager.h"
#include "app/sync/sync_test_util.h"
#include "app/trans/TransManager.h"
#include "app/trans/download_test_util.h"
#include "platform/foundation/file_util.h"

namespace {

using enginetest::Account;
using enginetest::sha1;
using plat::Array;
using plat::Dictionary;
using plat::Value;

// Generous: the engines pace themselves with 1-3 s sleeps, and the sanitizer
// builds are slow on a loaded machine.
constexpr double kDeadline = 240;

class SyncTransferRemote : public enginetest::ServiceTest {
protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (HasFatalFailure()) return;
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
    account_ = newUser();
    signIn(account_);
    AppServices& app = AppServices::shared();
    app.setBLink(true);
    app.setBSyncStart(true);
    app.setSynccount(1);  // the periodic jobs thread would keep it current
    app.setBRecyclebin(false);
  }
  void TearDown() override {
    stopEngines();
    plat::RunLoop::main()->remove(keepAlive_);
    AppServices::shared().setBSyncStart(false);
    AppServices::shared().setUserdata(nullptr);
    ServiceTest::TearDown();
  }

  void signIn(const Account& a) {
    auto ud = userData(a);
    ud->setMountID(a.mount);
    ud->setUserID(a.mount);
  }
  void startEngines(const std::string& parent = "") {
    sync_ = std::make_shared<SyncManager>(parent.empty() ? dir_.path() + "/Quorva/" : parent, false, false);
    trans_ = TransManager::init(sync_);
    sync_->start();
  }
  void stopEngines() {
    trans_.reset();  // stops and joins every transfer
    if (sync_) sync_->exit();
    sync_.reset();
  }

  std::string local(const std::string& webpath) { return sync_->syncpath() + webpath; }
  SyncFileItem row(const std::string& webpath) { return sync_->syncdb()->get_single_file(webpath); }
  void write(const std::string& path, const std::string& text) {
    plat::makeDirectories(plat::pathDirname(path));
    ASSERT_TRUE(plat::atomicWrite(path, text));
  }
  // The user's add, as the watcher reports it.
  void added(const std::string& path) {
    sync_->lock();
    sync_->eventadd(path);
    sync_->unlock();
  }
  // Files put straight into a user's tree on the service.
  void put(const std::string& user, const std::vector<std::pair<std::string, std::string>>& files,
           const std::vector<std::string>& folders = {}) {
    Array f, d;
    for (const auto& [path, text] : files) {
      f.push_back(Value(Dictionary{{"path", Value(path)},
                                   {"content_b64", Value(NSDataExpand::base64Encoded(text).value_or(""))}}));
    }
    for (const auto& p : folders) d.push_back(Value(p));
    ASSERT_TRUE(cloud->hook("POST", "files",
                            Value(Dictionary{{"username", Value(user)}, {"files", Value(f)}, {"folders", Value(d)}})));
  }
  // The service's node of a cloud path; null when there is none.
  Value node(const std::string& user, const std::string& webpath) {
    auto t = cloud->hook("GET", "tree?username=" + NSStringExpand::urlEncoded(user));
    if (!t) return Value();
    for (const Value& n : (*t)["nodes"].array()) {
      if (n["path"].string() == webpath || n["path"].string() == "/" + webpath) return n;
    }
    return Value();
  }
  bool waitFor(const std::function<bool()>& done) { return dltest::pumpUntil(done, kDeadline); }
  bool inStep(const std::string& webpath, const std::string& content) {
    const auto r = row(webpath);
    return r.status == syncstatus::synced && r.filehash == sha1(content) && plat::readFile(local(webpath)) == content;
  }
  // A new account whose docs/f.txt ("base") is in step under `parent`,
  // then an engine that only the test drives (no pass reads the feed).
  void inStepThenDriven(const std::string& parent, Account& me) {
    stopEngines();
    me = newUser();
    signIn(me);
    put(me.username, {{"docs/f.txt", "base"}}, {"elsewhere"});
    startEngines(parent);
    ASSERT_TRUE(waitFor([&] { return inStep("docs/f.txt", "base"); }));
    stopEngines();
    sync_ = std::make_shared<SyncManager>(parent, false, false);
  }
  // Starts the transfers and waits for the fetch of `webpath` to end. What
  // the periodic jobs thread would count is set first: the last pass before
  // may have found nothing left, and the fillers start nothing at 0.
  void fetchEnds(const std::string& webpath) {
    AppServices::shared().setSynccount(1);
    trans_ = TransManager::init(sync_);
    ASSERT_TRUE(waitFor([&] {
      const int64_t s = row(webpath).status;
      return s != syncstatus::toDownload && s != syncstatus::downloading;
    }));
  }
  void twoMorePasses() {
    const int64_t passes = sync_->passes();
    for (int64_t more : {1, 2}) {
      sync_->setBSyncnow(true);
      ASSERT_TRUE(waitFor([&] { return sync_->passes() >= passes + more; }));
    }
  }

  synctest::TempDir dir_;
  Account account_;
  std::shared_ptr<SyncManager> sync_;
  std::shared_ptr<TransManager> trans_;
  plat::RunLoop::SourceId keepAlive_ = 0;
};

TEST_P(SyncTransferRemote, ALocalAddGoesUpThroughARealUpload) {
  startEngines();
  const std::string content = dltest::randomBytes(150000, 1);
  write(local("docs/a.bin"), content);
  write(local("docs/deep/empty.txt"), "");
  added(local("docs"));
  // The running engines may take a row up at once: each stands waiting,
  // handed out or done, never missing.
  for (const char* w : {"docs", "docs/deep", "docs/a.bin", "docs/deep/empty.txt"}) {
    const int64_t s = row(w).status;
    EXPECT_TRUE(s == syncstatus::toUpload || s == syncstatus::uploading || s == syncstatus::synced) << w << " " << s;
  }
  ASSERT_TRUE(waitFor([&] { return row("docs/a.bin").status == syncstatus::synced; }));
  ASSERT_TRUE(waitFor([&] { return row("docs/deep/empty.txt").status == syncstatus::synced; }));
  const auto r = row("docs/a.bin");
  EXPECT_EQ(r.filehash, sha1(content));
  EXPECT_GT(r.version, 0);
  EXPECT_EQ(r.diskversion, r.version);
  EXPECT_EQ(node(account_.username, "docs/a.bin")["filehash"].string(), sha1(content));
  EXPECT_EQ(node(account_.username, "docs/deep/empty.txt")["filehash"].string(), sha1(""));
  // Folders were made by the add-file call alone.
  for (const char* w : {"docs", "docs/deep"}) {
    EXPECT_EQ(row(w).status, syncstatus::synced) << w;
    EXPECT_TRUE(node(account_.username, w)["dir"].boolValue()) << w;
    EXPECT_TRUE(synctest::logged(w, "上传文件夹成功：")) << w;
  }
  // The copy the upload read goes once the content is in the local file cache.
  const std::string copy = plat::format("%@/upload_%@_%llu", sync_->transcache()->cachepath(), sha1("docs/a.bin"),
                                        static_cast<unsigned long long>(r.last));
  EXPECT_TRUE(waitFor([&] { return !plat::fileExists(copy); }));
  EXPECT_FALSE(sync_->synccache()->getcache(sha1(content)).empty());
}

TEST_P(SyncTransferRemote, ARemoteAddComesDownThroughARealDownload) {
  const std::string content = dltest::randomBytes(3 * 1048576 + 5, 2);
  put(account_.username, {{"r/b.bin", content}, {"r/empty.txt", ""}}, {"r/sub"});
  const int64_t since = cloud->lastSeq();
  startEngines();
  ASSERT_TRUE(waitFor([&] { return inStep("r/b.bin", content); }));
  const auto r = row("r/b.bin");
  EXPECT_EQ(r.last, Util::filemodifytime(local("r/b.bin")));
  EXPECT_EQ(r.diskversion, r.version);
  EXPECT_TRUE(synctest::logged("r/b.bin", "下载完成:"));
  // Taken in: the finished file goes into the local file cache, then away.
  const std::string cache = sync_->transcache()->cachepath();
  EXPECT_TRUE(waitFor([&] { return !plat::fileExists(cache + "/down_" + sha1(content) + "_ok"); }));
  EXPECT_FALSE(plat::fileExists(cache + "/down_" + sha1(content) + ".tmp"));
  EXPECT_FALSE(sync_->synccache()->getcache(sha1(content)).empty());
  // The empty file and the folder needed no transfer.
  ASSERT_TRUE(waitFor([&] { return inStep("r/empty.txt", ""); }));
  EXPECT_TRUE(synctest::logged("r/empty.txt", "下载文件成功："));
  EXPECT_EQ(row("r/sub").status, syncstatus::synced);
  EXPECT_TRUE(Util::isdir(local("r/sub")));
  EXPECT_EQ(recorded(since, "/content/").size(), 1u) << "one download only";

  // The same content at another path comes from the local file cache.
  const int64_t again = cloud->lastSeq();
  put(account_.username, {{"copy/b2.bin", content}});
  sync_->setBSyncnow(true);
  ASSERT_TRUE(waitFor([&] { return inStep("copy/b2.bin", content); }));
  EXPECT_TRUE(synctest::logged("copy/b2.bin", "从缓存中复制成功："));
  EXPECT_TRUE(recorded(again, "/content/").empty());
}

// An edit on both sides: the mode decides who wins.
TEST_P(SyncTransferRemote, AnEditOnBothSidesIsSettledByTheMode) {
  enum Mode { kNormal, kOverwrite, kViewOnly };
  const struct {
    const char* name;
    Mode mode;
  } cases[] = {{"normal: the local edit wins", kNormal},
               {"overwrite: the service wins", kOverwrite},
               {"view-only share: the service wins", kViewOnly}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ++n;
    stopEngines();
    // A fresh account and sync parent for each case.
    const Account me = newUser();
    signIn(me);
    Account owner = me;
    std::string webpath = "both.txt", ownerpath = "both.txt";
    if (c.mode == kViewOnly) {
      // Another user's folder, shared with this one to view only.
      owner = newUser();
      ownerpath = webpath = "Pub/both.txt";
      put(owner.username, {{ownerpath, "base"}});
      ASSERT_TRUE(cloud->hook("POST", "share",
                              Value(Dictionary{{"owner", Value(owner.username)}, {"to", Value(me.username)},
                                               {"path", Value("Pub")}, {"readonly", Value(true)}})));
    } else {
      put(owner.username, {{ownerpath, "base"}});
    }
    startEngines(dir_.path() + "/" + std::to_string(n) + "/Quorva/");
    ASSERT_TRUE(waitFor([&] { return inStep(webpath, "base"); }));

    // Both edit while the engine is paused; then it compares again.
    sync_->stop();
    const std::string mine = "the local edit " + std::to_string(n);
    const std::string theirs = "the service's edit, longer " + std::to_string(n);
    write(local(webpath), mine);
    put(owner.username, {{ownerpath, theirs}});
    if (c.mode == kOverwrite) sync_->setBOverwrite(true);
    sync_->start();
    if (c.mode == kNormal) {
      ASSERT_TRUE(waitFor([&] { return inStep(webpath, mine); }));
      ASSERT_TRUE(waitFor([&] { return node(owner.username, ownerpath)["filehash"].string() == sha1(mine); }));
      const auto trash = synctest::trashed();
      EXPECT_EQ(std::count(trash.begin(), trash.end(), mine), 0);
      // The service's version, which this disk never held, is kept.
      EXPECT_EQ(std::count(trash.begin(), trash.end(), theirs), 1);
    } else {
      ASSERT_TRUE(waitFor([&] { return inStep(webpath, theirs); }));
      const auto trash = synctest::trashed();
      EXPECT_EQ(std::count(trash.begin(), trash.end(), mine), 1);
      EXPECT_TRUE(synctest::logged(webpath, "本地文件已移到废纸篓，由云端版本替换:"));
      EXPECT_EQ(node(owner.username, ownerpath)["filehash"].string(), sha1(theirs));
    }
  }
}

// A local edit waits for the service's version, which this disk never held,
// to be fetched and kept first; another client's deletion, move or rename of
// the file reaches the service before that fetch, which then finds nothing.
// The edit is still the user's version: it goes up at its path, and what
// the other client did comes down beside it.
TEST_P(SyncTransferRemote, AnEditWhoseFetchFindsNothingStillGoesUp) {
  enum Other { kDelete, kMove, kRename };
  const struct {
    const char* name;
    Other other;
    const char* to;  // where the service's version went
  } cases[] = {{"deleted", kDelete, ""}, {"moved", kMove, "elsewhere/f.txt"}, {"renamed", kRename, "docs/g.txt"}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ++n;
    Account me;
    ASSERT_NO_FATAL_FAILURE(inStepThenDriven(dir_.path() + "/gone" + std::to_string(n) + "/Quorva/", me));
    const std::string mine = "the local edit " + std::to_string(n);
    const std::string theirs = "another client's edit, longer " + std::to_string(n);
    write(local("docs/f.txt"), mine);
    put(me.username, {{"docs/f.txt", theirs}});
    sync_->receive_from_server();
    auto r = row("docs/f.txt");
    ASSERT_EQ(r.status, syncstatus::toDownload);
    ASSERT_EQ(r.last, 0u);
    ASSERT_EQ(r.filehash, sha1(theirs));

    // The other client's change lands before the fetch asks for the file.
    switch (c.other) {
      case kDelete: ASSERT_EQ(HTTPEngine::delfile(me.token, "docs/f.txt", me.mount).status, 200); break;
      case kMove: ASSERT_EQ(HTTPEngine::movefile(me.token, "docs/f.txt", me.mount, "elsewhere").status, 200); break;
      case kRename: ASSERT_EQ(HTTPEngine::renamefile(me.token, "docs/f.txt", me.mount, "g.txt").status, 200); break;
    }
    ASSERT_NO_FATAL_FAILURE(fetchEnds("docs/f.txt"));
    r = row("docs/f.txt");
    EXPECT_TRUE(r.status == syncstatus::toUpload || r.status == syncstatus::uploading ||
                r.status == syncstatus::synced)
        << r.status;
    EXPECT_EQ(plat::readFile(local("docs/f.txt")).value_or(""), mine);

    // Then the feed: the edit is on the service at its path, what the other
    // client moved is here where it went, and nothing else comes or goes.
    sync_->start();
    ASSERT_TRUE(waitFor([&] { return node(me.username, "docs/f.txt")["filehash"].string() == sha1(mine); }));
    if (*c.to) {
      ASSERT_TRUE(waitFor([&] { return inStep(c.to, theirs); }));
    }
    ASSERT_TRUE(waitFor([&] {
      return inStep("docs/f.txt", mine) && row("docs/f.txt").version == node(me.username, "docs/f.txt")["version"].longLongValue();
    }));
    EXPECT_EQ(node(me.username, c.to)["filehash"].string(), *c.to ? sha1(theirs) : "");
    // Two more whole passes change nothing.
    ASSERT_NO_FATAL_FAILURE(twoMorePasses());
    EXPECT_TRUE(inStep("docs/f.txt", mine));
    if (*c.to) {
      EXPECT_TRUE(inStep(c.to, theirs));
    }
    const auto trash = synctest::trashed();
    EXPECT_EQ(std::count(trash.begin(), trash.end(), mine), 0);
  }
}

// A newer version waits to come down over the one this disk holds in step;
// another client's deletion or move reaches the service first and the fetch
// finds nothing. The older copy here goes as the service's deletion would
// take it, and nothing is left on this disk with no row.
TEST_P(SyncTransferRemote, AnOlderCopyWhoseNewerVersionIsGoneBeforeItsFetchGoesToo) {
  const struct {
    const char* name;
    bool move;
  } cases[] = {{"deleted", false}, {"moved", true}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ++n;
    Account me;
    ASSERT_NO_FATAL_FAILURE(inStepThenDriven(dir_.path() + "/older" + std::to_string(n) + "/Quorva/", me));
    const std::string theirs = "another client's edit " + std::to_string(n);
    put(me.username, {{"docs/f.txt", theirs}});
    sync_->receive_from_server();
    ASSERT_EQ(row("docs/f.txt").status, syncstatus::toDownload);
    if (c.move) {
      ASSERT_EQ(HTTPEngine::movefile(me.token, "docs/f.txt", me.mount, "elsewhere").status, 200);
    } else {
      ASSERT_EQ(HTTPEngine::delfile(me.token, "docs/f.txt", me.mount).status, 200);
    }
    ASSERT_NO_FATAL_FAILURE(fetchEnds("docs/f.txt"));

    sync_->start();
    if (c.move) {
      ASSERT_TRUE(waitFor([&] { return inStep("elsewhere/f.txt", theirs); }));
    }
    ASSERT_NO_FATAL_FAILURE(twoMorePasses());
    EXPECT_FALSE(plat::statNoFollow(local("docs/f.txt"))) << plat::readFile(local("docs/f.txt")).value_or("");
    EXPECT_EQ(row("docs/f.txt").status, syncstatus::none);
    EXPECT_EQ(node(me.username, "docs/f.txt")["filehash"].string(), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Http, SyncTransferRemote, ::testing::Values(false));

}  // namespace
