// Two clients of one account in one process, each with its own configuration
// folder, sync parent, sync engine (watching its roots over inotify) and
// transfer engine, against one devcloud: what the user does on either side
// reaches the other, and both end with the same tree as the service.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/QVLog.h"
#include "app/Util.h"
#include "app/interface/EngineFixture.h"
#include "app/sync/SyncManager.h"
#include "app/sync/sync_test_util.h"
#include "app/trans/TransManager.h"
#include "app/trans/download_test_util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/system/system_test_util.h"

namespace {

using enginetest::Account;
using enginetest::sha1;
using plat::Value;

// A tree by path below the root: the file's content, or no value for a folder.
using Tree = std::map<std::string, std::optional<std::string>>;

struct Client {
  std::shared_ptr<UserData> user;
  std::shared_ptr<SyncManager> sync;
  std::shared_ptr<TransManager> trans;

  std::string root() const { return sync->syncpath(); }
  void stop() {
    trans.reset();
    if (sync) sync->exit();
    sync.reset();
  }
};

class SyncConverge : public enginetest::ServiceTest {
protected:
  // The second client's configuration folder is fixed when its account data
  // is made, from HOME: made here, before any thread of the tests runs.
  static void SetUpTestSuite() {
    ServiceTest::SetUpTestSuite();
    secondHome() = plat::makeTemporaryDirectory("qv-second-home");
    plat::testing::ScopedEnv home("HOME", secondHome().c_str());
    secondUser() = std::make_shared<UserData>();
  }
  static void TearDownTestSuite() {
    secondUser().reset();
    plat::removeTree(secondHome());
    ServiceTest::TearDownTestSuite();
  }
  static std::string& secondHome() {
    static std::string h;
    return h;
  }
  static std::shared_ptr<UserData>& secondUser() {
    static std::shared_ptr<UserData> u;
    return u;
  }

  void SetUp() override {
    ServiceTest::SetUp();
    if (HasFatalFailure()) return;
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
    account_ = newUser();
    a_.user = userData(account_);
    b_.user = secondUser();
    for (auto* u : {a_.user.get(), b_.user.get()}) {
      u->setUserName(account_.username);
      u->setTokens(account_.token, account_.refresh, 3600);
      u->setMountID(account_.mount);
      u->setUserID(account_.mount);
    }
    ASSERT_NE(a_.user->getsyncdb(), b_.user->getsyncdb());
    AppDelegate& app = AppDelegate::shared();
    app.setBLink(true);
    app.setBSyncStart(true);
    app.setSynccount(1);
    app.setBRecyclebin(false);
    start(a_, dir_.path() + "/A/");
    start(b_, dir_.path() + "/B/");
  }
  void TearDown() override {
    a_.stop();
    b_.stop();
    plat::RunLoop::main()->remove(keepAlive_);
    AppDelegate::shared().setBSyncStart(false);
    AppDelegate::shared().setUserdata(nullptr);
    ServiceTest::TearDown();
  }

  // Each engine takes its paths from the account data it is made with.
  void start(Client& c, const std::string& parent) {
    AppDelegate::shared().setUserdata(c.user);
    c.sync = std::make_shared<SyncManager>(parent, false, false);
    c.trans = TransManager::init(c.sync);
    c.sync->start();
  }

  // The user's writes, in place.
  static void writeInPlace(const std::string& path, const std::string& text) {
    plat::makeDirectories(plat::pathDirname(path));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_TRUE(plat::writeAll(fd, text.data(), text.size()));
    ::close(fd);
  }

  static Tree treeOf(const std::string& root) {
    Tree t;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string rel = it->path().string().substr(root.size());
      if (it->is_directory(ec)) {
        t[rel] = std::nullopt;
      } else {
        t[rel] = plat::readFile(it->path().string()).value_or("<unreadable>");
      }
    }
    return t;
  }
  // The service's tree, with each file's content hash for its content.
  Tree service() {
    Tree t;
    auto reply = cloud->hook("GET", "tree?username=" + NSStringExpand::urlEncoded(account_.username));
    if (!reply) return t;
    for (const Value& n : (*reply)["nodes"].array()) {
      std::string p = n["path"].string();
      if (!p.empty() && p.front() == '/') p.erase(0, 1);
      if (p.empty()) continue;
      t[p] = n["dir"].boolValue() ? std::nullopt : std::optional<std::string>(n["filehash"].string());
    }
    return t;
  }
  static Tree hashed(const Tree& t) {
    Tree out;
    for (const auto& [p, c] : t) out[p] = c ? std::optional<std::string>(sha1(*c)) : std::nullopt;
    return out;
  }
  static bool settled(const Client& c) { return c.sync->syncdb()->getAllNeedSyncCount() == 0; }

  // Waits until both disks and the service hold one of the trees and
  // neither engine has anything left to do. Meanwhile both are asked to
  // compare every second (the user's "sync now"), so a step doesn't wait out
  // the 30-s period of the compare passes.
  bool converge(const std::vector<Tree>& anyOf) {
    plat::SystemClock real;
    double nudged = 0;
    return dltest::pumpUntil(
        [&] {
          if (real.monotonic() - nudged > 1) {
            a_.sync->setBSyncnow(true);
            b_.sync->setBSyncnow(true);
            nudged = real.monotonic();
          }
          if (!settled(a_) || !settled(b_)) return false;
          const Tree ta = treeOf(a_.root()), tb = treeOf(b_.root()), ts = service();
          for (const Tree& t : anyOf) {
            if (ta == t && tb == t && ts == hashed(t)) return true;
          }
          return false;
        },
        240);
  }
  bool converge(const Tree& expected) { return converge(std::vector<Tree>{expected}); }

  // What each side, the service, the Trash and the log hold, for a
  // failure's message.
  std::string describe() {
    std::string out;
    const auto list = [&out](const char* who, const Tree& t) {
      for (const auto& [p, c] : t) out += plat::format("  %@ %@ = %@\n", who, p, c ? c->substr(0, 40) : "<folder>");
    };
    for (const Client* c : {&a_, &b_}) {
      const char* who = c == &a_ ? "A" : "B";
      list(who, treeOf(c->root()));
      for (const auto& r : c->sync->syncdb()->get_all_files("")) {
        out += plat::format("  %@ row %@ status %lld size %llu last %llu hash %@ version %lld disk %lld\n", who, r.webpath,
                            static_cast<long long>(r.status), static_cast<unsigned long long>(r.size),
                            static_cast<unsigned long long>(r.last), r.filehash, static_cast<long long>(r.version),
                            static_cast<long long>(r.diskversion));
      }
      std::error_code ec;
      for (std::filesystem::directory_iterator it(c->sync->transcache()->cachepath(), ec), end; !ec && it != end;
           it.increment(ec)) {
        out += plat::format("  %@ transfer folder: %@\n", who, it->path().filename().string());
      }
    }
    list("service", service());
    for (const auto& t : synctest::trashed()) out += "  trash: " + t.substr(0, 40) + "\n";
    QVLog::sharedQVLog().flush();
    for (const auto& l : QVLog::sharedQVLog().arrLogData()) out += "  log: " + l.text + "\n";
    return out;
  }

  synctest::TempDir dir_;
  Account account_;
  Client a_, b_;
  plat::RunLoop::SourceId keepAlive_ = 0;
};

// A table of what the user does, step by step, on one side or the other;
// after each step both sides and the service hold the same tree.
TEST_P(SyncConverge, WhatEitherSideDoesReachesTheOther) {
  enum Side { kA, kB };
  enum Kind { kWrite, kFolder, kRemove, kRename };
  const std::string big = dltest::randomBytes(2 * 1048576 + 3, 9);
  const struct Step {
    Side side;
    Kind kind;
    const char* path;
    std::string content;  // kWrite: the file's text; kRename: the new path
  } steps[] = {
      {kA, kWrite, "a.txt", "written on A"},
      {kB, kFolder, "dir", ""},
      {kB, kWrite, "dir/b.txt", "written on B"},
      {kA, kWrite, "dir/b.txt", "A changed the file B wrote"},
      {kB, kWrite, "a.txt", "B changed A's"},
      {kA, kWrite, "sub/deep/c.bin", big},
      {kB, kWrite, "sub/deep/c.bin", big + "tail"},
      {kA, kWrite, "empty.txt", ""},
      {kB, kRename, "empty.txt", "renamed.txt"},
      {kA, kRename, "dir/b.txt", "sub/b.txt"},
      {kB, kRemove, "a.txt", ""},
      {kA, kRename, "sub/deep", "deep"},
      {kB, kRename, "deep", "deeper"},
      {kA, kRename, "deeper", "sub/deepest"},
      {kB, kRename, "sub/b.txt", "b moved.txt"},
      {kB, kRemove, "dir", ""},
  };
  Tree expected;
  for (const auto& s : steps) {
    SCOPED_TRACE(std::string(s.side == kA ? "A: " : "B: ") + s.path);
    Client& c = s.side == kA ? a_ : b_;
    const std::string path = c.root() + s.path;
    // Below a path, in the tree as it stands.
    const auto below = [&](const std::string& p) {
      std::vector<std::string> out;
      for (const auto& [q, v] : expected) {
        if (q == p || q.rfind(p + "/", 0) == 0) out.push_back(q);
      }
      return out;
    };
    switch (s.kind) {
      case kWrite:
        writeInPlace(path, s.content);
        break;
      case kFolder:
        ASSERT_TRUE(plat::makeDirectories(path));
        break;
      case kRemove:
        ASSERT_TRUE(plat::removeTree(path));
        for (const auto& q : below(s.path)) expected.erase(q);
        break;
      case kRename: {
        ASSERT_EQ(::rename(path.c_str(), (c.root() + s.content).c_str()), 0);
        Tree moved;
        for (const auto& q : below(s.path)) {
          moved[s.content + q.substr(std::string(s.path).size())] = expected[q];
          expected.erase(q);
        }
        expected.insert(moved.begin(), moved.end());
        break;
      }
    }
    if (s.kind == kWrite || s.kind == kFolder) {
      // Folders above a path are part of the tree too.
      for (std::string p = s.path; p.find('/') != std::string::npos;) {
        p = p.substr(0, p.rfind('/'));
        expected[p] = std::nullopt;
      }
      expected[s.path] = s.kind == kWrite ? std::optional<std::string>(s.content) : std::nullopt;
    }
    ASSERT_TRUE(converge(expected)) << "A and B did not converge:\n" << describe();
  }
}

// Both sides edit the same file at once: each uploads its own version, the
// later one stands on the service, and the other side takes it.
TEST_P(SyncConverge, AnEditOnBothSidesAtOnceEndsTheSameOnBoth) {
  writeInPlace(a_.root() + "shared.txt", "first");
  ASSERT_TRUE(converge(Tree{{"shared.txt", "first"}})) << describe();
  writeInPlace(a_.root() + "shared.txt", "A's edit");
  writeInPlace(b_.root() + "shared.txt", "B's longer edit");
  EXPECT_TRUE(converge(std::vector<Tree>{{{"shared.txt", "A's edit"}}, {{"shared.txt", "B's longer edit"}}}))
      << describe();
}

INSTANTIATE_TEST_SUITE_P(Http, SyncConverge, ::testing::Values(false));

}  // namespace
