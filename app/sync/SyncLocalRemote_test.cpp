// The local road end to end: a started engine with its own watchers on a
// real sync folder (real inotify), its run thread scanning and committing,
// and devcloud recording every call that reaches the service.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "Framework/Sqlite/SQDatabaseQueue.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/QVLog.h"
#include "app/core/Util.h"
#include "app/interface/EngineFixture.h"
#include "app/sync/SyncManager.h"
#include "app/sync/sync_test_util.h"
#include "platform/foundation/file_util.h"
#include "platform/fs/file_ops.h"
#include "platform/ui/headless/headless_toolkit.h"

namespace {

using plat::Array;
using plat::Dictionary;
using plat::Value;

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

template <class F>
bool eventually(F&& f) {
  for (int i = 0; i < 6000; ++i) {
    if (f()) return true;
    ::usleep(5000);
  }
  return f();
}

bool logged(const std::string& file, const std::string& info) {
  QVLog::sharedQVLog().flush();
  for (const auto& line : QVLog::sharedQVLog().arrLogData()) {
    if (line.text.find(file) != std::string::npos && line.text.find(info) != std::string::npos) return true;
  }
  return false;
}

class SyncLocalRemote : public enginetest::SignedInTest {
 protected:
  void SetUp() override {
    SignedInTest::SetUp();
    if (HasFatalFailure()) return;
    // The remote road stays out of these: only the local road calls the service.
    AppServices::shared().setBLink(false);
    AppServices::shared().setBRecyclebin(false);
    m_ = std::make_unique<SyncManager>(dir_.path() + "/Quorva/", false, false);
    m_->setPacing(false);
    root_ = m_->syncpath();
  }
  void TearDown() override {
    m_.reset();
    AppServices::shared().setBLink(false);
    SignedInTest::TearDown();
  }

  // Files and folders on the service and on disk, in step, as a finished
  // download leaves them (written by the engine's own file operations).
  void synced(const std::vector<std::pair<std::string, std::string>>& files,
              const std::vector<std::string>& folders = {}) {
    Array f, d;
    for (const auto& [path, text] : files) f.push_back(Value(Dictionary{{"path", Value(path)}, {"text", Value(text)}}));
    for (const auto& p : folders) d.push_back(Value(p));
    ASSERT_TRUE(cloud->hook(
        "POST", "files",
        Value(Dictionary{{"username", Value(account_.username)}, {"files", Value(f)}, {"folders", Value(d)}})));
    auto tree = cloud->hook("GET", "tree?username=" + account_.username);
    ASSERT_TRUE(tree);
    for (const Value& n : (*tree)["nodes"].array()) {
      const std::string path = n["path"].string();
      if (m_->syncdb()->get_single_file(path).status != syncstatus::none) continue;
      const std::string local = m_->getnormalpath(path);
      SyncFileItem it;
      it.webpath = path;
      it.parent = path.find('/') == std::string::npos ? "" : path.substr(0, path.rfind('/'));
      it.file = !n["dir"].boolValue();
      if (it.file) {
        std::string text;
        for (const auto& [p, t] : files) {
          if (p == path) text = t;
        }
        plat::FileOps::shared().makeFolder(plat::pathDirname(local));
        ASSERT_TRUE(plat::FileOps::shared().writeFile(local, text));
        it.size = text.size();
        it.filehash = n["filehash"].string();
      } else {
        ASSERT_TRUE(plat::FileOps::shared().makeFolder(local));
      }
      it.last = Util::filemodifytime(local);
      it.version = it.diskversion = n["version"].longLongValue();
      it.status = syncstatus::synced;
      ASSERT_TRUE(m_->syncdb()->add_new_file(it)) << path;
    }
  }

  // "path status" of every row at or below the folder, in path order.
  std::vector<std::string> rows(const std::string& folder) {
    synctest::Raw raw(m_->syncdb()->dbQueue()->path());
    std::vector<std::string> out;
    for (const auto& r : raw.rows("select path, status from SYNC order by path")) {
      if (r[0] == folder || r[0].rfind(folder + "/", 0) == 0) out.push_back(r[0] + " " + r[1]);
    }
    return out;
  }

  // The changes sent to the service since `since`: "VERB path [-> arg] status".
  std::vector<std::string> calls(int64_t since) {
    std::vector<std::string> out;
    for (const Value& e : cloud->requests(since)) {
      const std::string verb = e["method"].string();
      if (verb != "RENAME" && verb != "MOVE" && verb != "DELETE" && verb != "PUT" && verb != "ORG_SHARE") continue;
      std::string target = e["target"].string();
      std::string text = verb + " " + NSStringExpand::urlDecoded(target.substr(1)).value_or(target);
      if (auto n = headerOf(e, "x-qv-newname")) text += " -> " + NSStringExpand::urlDecoded(*n).value_or(*n);
      if (auto t = headerOf(e, "x-qv-target-path")) text += " -> " + NSStringExpand::urlDecoded(*t).value_or(*t);
      out.push_back(text + " " + std::to_string(e["status"].longLongValue()));
    }
    return out;
  }

  // One whole pass of the engine after everything so far, and the
  // watchers' queues empty.
  void settle() {
    m_->drainWatchers();
    const int64_t p = m_->passes();
    m_->setBSyncnow(true);
    ASSERT_TRUE(eventually([&] { return m_->passes() >= p + 1; }));
    // The next pass begins only once that one is over.
    m_->setBSyncnow(true);
    ASSERT_TRUE(eventually([&] { return m_->passes() >= p + 2; }));
    m_->drainWatchers();
  }

  // The next `count` calls of the verb are answered with that status and code.
  void fault(const std::string& verb, int64_t status, int64_t code, int64_t count) {
    Dictionary rule{
        {"kind", Value("error")}, {"method", Value(verb)}, {"status", Value(status)}, {"count", Value(count)}};
    if (code != 0) rule.set("error_code", Value(code));
    ASSERT_TRUE(cloud->hook("POST", "fault", Value(rule)));
  }

  void startAndScan() {
    m_->start();
    ASSERT_TRUE(eventually([&] { return m_->bScaned(); }));
    settle();
  }

  synctest::TempDir dir_;
  std::unique_ptr<SyncManager> m_;
  std::string root_;
};

// Each scripted change of the disk gives exactly these rows and these calls.
TEST_P(SyncLocalRemote, ScenarioTable) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // synced before, below the case's folder
    std::vector<std::string> folders;
    std::function<void(const std::string& d)> act;
    std::vector<std::string> rows;  // below the case's folder, {} standing for it
    std::vector<std::string> calls;
  };
  auto mv = [](const std::string& a, const std::string& b) { ASSERT_EQ(::rename(a.c_str(), b.c_str()), 0) << a; };
  const std::string outside = dir_.path() + "/elsewhere/";
  plat::makeDirectories(outside);
  write(outside + "one", "first");
  write(outside + "two", "second");
  std::vector<Case> cases = {
      {"create", {}, {""}, [](const std::string& d) { write(d + "new.txt", "n"); }, {"{} 4", "{}/new.txt 3"}, {}},
      {"write",
       {{"f.txt", "old"}},
       {},
       [](const std::string& d) { write(d + "f.txt", "changed"); },
       {"{} 4", "{}/f.txt 3"},
       {}},
      {"rename in place",
       {{"a.txt", "a"}},
       {},
       [&](const std::string& d) { mv(d + "a.txt", d + "b.txt"); },
       {"{} 4", "{}/b.txt 4"},
       {"RENAME {}/a.txt -> b.txt 200"}},
      {"case only",
       {{"c.txt", "c"}},
       {},
       [&](const std::string& d) { mv(d + "c.txt", d + "C.txt"); },
       {"{} 4", "{}/C.txt 4"},
       {"RENAME {}/c.txt -> C.txt 200"}},
      {"move across folders",
       {{"x/f", "f"}, {"y/keep", "k"}},
       {},
       [&](const std::string& d) { mv(d + "x/f", d + "y/f"); },
       {"{} 4", "{}/x 4", "{}/y 4", "{}/y/f 4", "{}/y/keep 4"},
       {"MOVE {}/x/f -> {}/y 200"}},
      {"move deeper",
       {{"f", "f"}, {"d/e/g", "g"}},
       {},
       [&](const std::string& d) { mv(d + "f", d + "d/e/f"); },
       {"{} 4", "{}/d 4", "{}/d/e 4", "{}/d/e/f 4", "{}/d/e/g 4"},
       {"MOVE {}/f -> {}/d/e 200"}},
      {"move a folder up",
       {{"p/q/z", "z"}},
       {},
       [&](const std::string& d) { mv(d + "p/q", d + "q"); },
       {"{} 4", "{}/p 4", "{}/q 4", "{}/q/z 4"},
       {"MOVE {}/p/q/ -> {}/ 200"}},
      {"rename a folder",
       {{"old/h", "h"}},
       {},
       [&](const std::string& d) { mv(d + "old", d + "new"); },
       {"{} 4", "{}/new 4", "{}/new/h 4"},
       {"RENAME {}/old/ -> new 200"}},
      {"rm -rf of a tree",
       {{"t/u/f", "f"}, {"t/g", "g"}, {"stay", "s"}},
       {},
       [](const std::string& d) { plat::removeTree(d + "t"); },
       {"{} 4", "{}/stay 4"},
       {"DELETE {}/t/ 200"}},
      {"two files at once",
       {},
       {""},
       [&](const std::string& d) {
         std::filesystem::copy_file(outside + "one", d + "c1");
         std::filesystem::copy_file(outside + "two", d + "c2");
       },
       {"{} 4", "{}/c1 3", "{}/c2 3"},
       {}},
      {"editor save",
       {{"doc", "draft"}},
       {},
       [&](const std::string& d) {
         write(d + "doc.new", "final text");
         mv(d + "doc.new", d + "doc");
       },
       {"{} 4", "{}/doc 3"},
       {}},
      {"create then delete in one batch",
       {},
       {""},
       [](const std::string& d) {
         write(d + "brief", "1");
         ::unlink((d + "brief").c_str());
       },
       {"{} 4"},
       {}},
      {"chmod only",
       {{"m", "m"}},
       {},
       [](const std::string& d) { ::chmod((d + "m").c_str(), 0600); },
       {"{} 4", "{}/m 4"},
       {}},
      {"hidden and ignored names",
       {},
       {""},
       [](const std::string& d) {
         for (const char* n : {".hidden", "x.tmp", "~lock", "a:b", "ends."}) write(d + n, "1");
         plat::makeDirectories(d + ".git/objects");
         write(d + ".git/objects/o", "1");
       },
       {"{} 4"},
       {}},
      {"move and rename a folder",
       {{"sub/deep/z", "z"}},
       {},
       [&](const std::string& d) { mv(d + "sub/deep", d + "deeper"); },
       {"{} 4", "{}/deeper 4", "{}/deeper/z 4", "{}/sub 4"},
       {"MOVE {}/sub/deep/ -> {}/ 200", "RENAME {}/deep/ -> deeper 200"}},
      {"move and rename a file",
       {{"f", "f"}, {"d/g", "g"}},
       {},
       [&](const std::string& d) { mv(d + "f", d + "d/h"); },
       {"{} 4", "{}/d 4", "{}/d/g 4", "{}/d/h 4"},
       {"MOVE {}/f -> {}/d 200", "RENAME {}/d/f -> h 200"}},
  };
  // Every case in a folder of its own, all synced before the engine starts.
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::string> folders;
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string w = "s" + std::to_string(i);
    for (const auto& [p, t] : cases[i].files) files.push_back({w + "/" + p, t});
    for (const auto& p : cases[i].folders) folders.push_back(p.empty() ? w : w + "/" + p);
  }
  ASSERT_NO_FATAL_FAILURE(synced(files, folders));
  ASSERT_NO_FATAL_FAILURE(startAndScan());

  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string w = "s" + std::to_string(i);
    auto fill = [&](std::vector<std::string> v) {
      for (auto& s : v) {
        for (size_t at; (at = s.find("{}")) != std::string::npos;) s.replace(at, 2, w);
      }
      return v;
    };
    const auto wantRows = fill(c.rows), wantCalls = fill(c.calls);
    const int64_t since = cloud->lastSeq();
    c.act(root_ + w + "/");
    EXPECT_TRUE(eventually([&] { return rows(w) == wantRows && calls(since) == wantCalls; }));
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_EQ(rows(w), wantRows);
    EXPECT_EQ(calls(since), wantCalls);
  }
  // Nothing the user made or changed went missing.
  for (const char* f : {"s0/new.txt", "s1/f.txt", "s9/c1", "s9/c2", "s10/doc"}) {
    EXPECT_TRUE(plat::fileExists(root_ + f)) << f;
  }
  EXPECT_EQ(plat::readFile(root_ + "s10/doc").value_or(""), "final text");
}

// What changed while the engine was not running is found by the scan of
// the first pass after start.
TEST_P(SyncLocalRemote, TheStartUpScanFindsOfflineChanges) {
  ASSERT_NO_FATAL_FAILURE(synced({{"off/gone.txt", "g"}, {"off/edit.txt", "e"}, {"off/keep/in.txt", "k"}}));
  ::unlink((root_ + "off/gone.txt").c_str());
  write(root_ + "off/edit.txt", "edited offline");
  write(root_ + "off/fresh.txt", "made offline");
  // Deleted in an earlier run and put back before its deletion was sent.
  m_->syncdb()->update_status("off/keep", syncstatus::toDelete);
  m_->syncdb()->update_status("off/keep/in.txt", syncstatus::toDelete);
  const int64_t since = cloud->lastSeq();
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  EXPECT_EQ(calls(since), std::vector<std::string>{"DELETE off/gone.txt 200"});
  EXPECT_EQ(rows("off"), (std::vector<std::string>{"off 4", "off/edit.txt 3", "off/fresh.txt 3", "off/keep 3",
                                                   "off/keep/in.txt 4"}));
  EXPECT_EQ(plat::readFile(root_ + "off/keep/in.txt").value_or(""), "k");
}

// Events lost (here: more than the watcher may hold while the engine is
// busy) are replaced by a rescan of the root, which finds every change.
TEST_P(SyncLocalRemote, AForcedOverflowIsARescanWithNoChangeLost) {
  ASSERT_NO_FATAL_FAILURE(synced({{"ov/edit", "e"}, {"ov/gone", "g"}, {"ov/same", "s"}}));
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  m_->setWatcherBacklog(20);
  const int64_t since = cloud->lastSeq();
  m_->lock();  // the engine is busy: batches pile up
  plat::makeDirectories(root_ + "ov/new");
  for (int i = 0; i < 200; ++i) write(root_ + "ov/new/n" + std::to_string(i), std::to_string(i));
  write(root_ + "ov/edit", "edited");
  ::unlink((root_ + "ov/gone").c_str());
  // Unlocked only once the pile-up has asked for a rescan.
  EXPECT_TRUE(eventually([&] { return m_->watcherOverflows() > 0; }));
  m_->unlock();
  std::vector<std::string> want{"ov 4", "ov/edit 3", "ov/new 3"};
  std::vector<std::string> names;
  for (int i = 0; i < 200; ++i) names.push_back("ov/new/n" + std::to_string(i) + " 3");
  std::sort(names.begin(), names.end());
  want.insert(want.end(), names.begin(), names.end());
  want.push_back("ov/same 4");
  EXPECT_TRUE(eventually([&] { return rows("ov") == want; }));
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_GE(m_->watcherRescans(), 1);
  EXPECT_EQ(rows("ov"), want);
  EXPECT_EQ(calls(since), std::vector<std::string>{"DELETE ov/gone 200"});
}

// A rename the service refuses keeps the old name where it was (no deletion
// of it anywhere) and is sent again until taken; a queued one whose new name
// went away is dropped and the old path judged as it is.
TEST_P(SyncLocalRemote, RefusedRenamesKeepTheOldNameAndReplay) {
  ASSERT_NO_FATAL_FAILURE(synced({{"r/a", "a"}, {"r/keep", "k"}}));
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  ASSERT_NO_FATAL_FAILURE(fault("RENAME", 500, 0, 1000));
  int64_t since = cloud->lastSeq();
  ASSERT_EQ(::rename((root_ + "r/a").c_str(), (root_ + "r/b").c_str()), 0);
  ASSERT_TRUE(eventually([&] { return m_->renamelist().size() == 1; }));
  // A new start scans everything: the old name is still the service's.
  m_->stop();
  m_->start();
  ASSERT_TRUE(eventually([&] { return m_->bScaned(); }));
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_EQ(rows("r"), (std::vector<std::string>{"r 4", "r/a 4", "r/keep 4"}));
  for (const auto& c : calls(since)) EXPECT_EQ(c, "RENAME r/a -> b 500");
  ASSERT_TRUE(cloud->hook("DELETE", "faults"));
  EXPECT_TRUE(eventually([&] {
    return m_->renamelist().empty() && rows("r") == std::vector<std::string>{"r 4", "r/b 4", "r/keep 4"};
  }));
  auto sent = calls(since);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back(), "RENAME r/a -> b 200");
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "RENAME r/a -> b 200"), 1);

  // Refused again; then the new name is deleted before the replay gets through.
  ASSERT_NO_FATAL_FAILURE(fault("RENAME", 500, 0, 1000));
  since = cloud->lastSeq();
  ASSERT_EQ(::rename((root_ + "r/b").c_str(), (root_ + "r/c").c_str()), 0);
  ASSERT_TRUE(eventually([&] { return m_->renamelist().size() == 1; }));
  ::unlink((root_ + "r/c").c_str());
  EXPECT_TRUE(eventually([&] {
    return m_->renamelist().empty() && rows("r") == std::vector<std::string>{"r 4", "r/keep 4"};
  }));
  ASSERT_NO_FATAL_FAILURE(settle());
  std::vector<std::string> changes;
  for (const auto& c : calls(since)) {
    if (c != "RENAME r/b -> c 500") changes.push_back(c);
  }
  EXPECT_EQ(changes, std::vector<std::string>{"DELETE r/b 200"});
  ASSERT_TRUE(cloud->hook("DELETE", "faults"));
}

// A move with a new name whose rename is refused: the move stands, and the
// rename waits from the moved place, through a restart, until it gets through.
TEST_P(SyncLocalRemote, AMoveWithANewNameReplaysOnlyItsRefusedRename) {
  ASSERT_NO_FATAL_FAILURE(synced({{"mr/sub/a", "a"}, {"mr/keep", "k"}}));
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  ASSERT_NO_FATAL_FAILURE(fault("RENAME", 500, 0, 1000));
  const int64_t since = cloud->lastSeq();
  ASSERT_EQ(::rename((root_ + "mr/sub/a").c_str(), (root_ + "mr/b").c_str()), 0);
  ASSERT_TRUE(eventually([&] { return m_->renamelist().size() == 1; }));
  EXPECT_EQ(m_->renamelist()[0].oldpath, root_ + "mr/a");
  EXPECT_TRUE(m_->removelist().empty());
  m_->stop();
  m_->start();
  ASSERT_TRUE(eventually([&] { return m_->bScaned(); }));
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_EQ(rows("mr"), (std::vector<std::string>{"mr 4", "mr/a 4", "mr/keep 4", "mr/sub 4"}));
  ASSERT_TRUE(cloud->hook("DELETE", "faults"));
  EXPECT_TRUE(eventually([&] {
    return m_->renamelist().empty() && rows("mr") == std::vector<std::string>{"mr 4", "mr/b 4", "mr/keep 4", "mr/sub 4"};
  }));
  ASSERT_NO_FATAL_FAILURE(settle());
  std::vector<std::string> sent;
  for (const auto& c : calls(since)) {
    if (c != "RENAME mr/a -> b 500") sent.push_back(c);
  }
  EXPECT_EQ(sent, (std::vector<std::string>{"MOVE mr/sub/a -> mr 200", "RENAME mr/a -> b 200"}));
  EXPECT_EQ(plat::readFile(root_ + "mr/b").value_or(""), "a");
  EXPECT_FALSE(plat::fileExists(root_ + "mr/a"));
}

// A page of changes the remote road read while a move with a new name was
// on its way still names the middle place (the new folder, the old name):
// it brings nothing back there; a later change of that place is taken.
TEST_P(SyncLocalRemote, AMovesMiddlePlaceIsNeverFetched) {
  ASSERT_NO_FATAL_FAILURE(synced({{"mp/sub/a", "a"}, {"mp/sub/d/z", "z"}}));
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  const int64_t since = cloud->lastSeq();
  ASSERT_EQ(::rename((root_ + "mp/sub/a").c_str(), (root_ + "mp/b").c_str()), 0);
  ASSERT_EQ(::rename((root_ + "mp/sub/d").c_str(), (root_ + "mp/e").c_str()), 0);
  const std::vector<std::string> moved{"mp 4", "mp/b 4", "mp/e 4", "mp/e/z 4", "mp/sub 4"};
  ASSERT_TRUE(eventually([&] { return rows("mp") == moved && calls(since).size() == 4; }));
  ASSERT_NO_FATAL_FAILURE(settle());
  auto change = [](const std::string& path, bool file, int64_t version) {
    CompareItem c;
    c.webpath = path, c.cmd = 1, c.version = version;
    if (file) c.filehash = std::string(40, 'a'), c.filesize = 1;
    return c;
  };
  // As the service stood between the move and the rename.
  m_->receive_datas({change("mp/a", true, 1), change("mp/d", false, 1), change("mp/d/z", true, 1)}, 0);
  EXPECT_EQ(rows("mp"), moved);
  EXPECT_FALSE(plat::fileExists(root_ + "mp/a"));
  EXPECT_FALSE(plat::fileExists(root_ + "mp/d"));
  // Someone makes that name anew.
  m_->receive_datas({change("mp/a", true, int64_t{1} << 40)}, 0);
  EXPECT_EQ(rows("mp"), (std::vector<std::string>{"mp 4", "mp/a 5", "mp/b 4", "mp/e 4", "mp/e/z 4", "mp/sub 4"}));
}

// The disk renamed or moved an item, and before the watcher told the engine,
// the engine placed something at the old place (a download landing, a folder
// made for one). Once the service took the rename or move, the rows are at
// the new place; what stands at the old one is a new item, never left
// unsynced (as an echo of our own write it would be).
TEST_P(SyncLocalRemote, WhatStandsAtTheOldPlaceAfterARenameOrMoveIsANewItem) {
  ASSERT_NO_FATAL_FAILURE(synced({{"op/a.txt", "a"}, {"op/d/f.txt", "f"}, {"op/m.txt", "m"}}, {"op/into"}));
  const struct {
    bool move;
    const char* from;
    const char* to;
    const char* placed;  // written at the old place afterwards, as our own write
  } cases[] = {
      {false, "op/a.txt", "op/b.txt", "op/a.txt"},
      {false, "op/d", "op/e", "op/d/f.txt"},
      {true, "op/m.txt", "op/into/m.txt", "op/m.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    ASSERT_EQ(::rename((root_ + c.from).c_str(), (root_ + c.to).c_str()), 0);
    ASSERT_TRUE(plat::FileOps::shared().makeFolder(plat::pathDirname(root_ + c.placed)));
    ASSERT_TRUE(plat::FileOps::shared().writeFile(root_ + c.placed, "placed"));
    m_->lock();
    m_->addcopylist(c.placed, {Util::filesize(root_ + c.placed), Util::filemodifytime(root_ + c.placed),
                               static_cast<uint64_t>(Syncdb::now())});
    m_->unlock();
    EXPECT_TRUE(c.move ? m_->eventremove(root_ + c.from, root_ + c.to, true)
                       : m_->eventrename(root_ + c.from, root_ + c.to, true));
  }
  EXPECT_EQ(rows("op"), (std::vector<std::string>{"op 4", "op/a.txt 3", "op/b.txt 4", "op/d 3", "op/d/f.txt 3",
                                                  "op/e 4", "op/e/f.txt 4", "op/into 4", "op/into/m.txt 4",
                                                  "op/m.txt 3"}));
}

// The service deleted a file, or moved it away, and before this computer
// removed it the user renamed it here: nothing is renamed on the service, the
// renamed file goes up as a new item, and no rename waits for good.
TEST_P(SyncLocalRemote, ARenameOfAnItemTheServiceDeletedIsANewItem) {
  ASSERT_NO_FATAL_FAILURE(synced({{"sd/a.txt", "a"}, {"sd/d/f.txt", "f"}}));
  const int64_t since = cloud->lastSeq();
  for (const char* w : {"sd/a.txt", "sd/d", "sd/d/f.txt"}) m_->syncdb()->update_status(w, syncstatus::toRemove);
  ASSERT_EQ(::rename((root_ + "sd/a.txt").c_str(), (root_ + "sd/b.txt").c_str()), 0);
  ASSERT_EQ(::rename((root_ + "sd/d").c_str(), (root_ + "sd/e").c_str()), 0);
  EXPECT_TRUE(m_->eventrename(root_ + "sd/a.txt", root_ + "sd/b.txt", true));
  EXPECT_TRUE(m_->eventrename(root_ + "sd/d", root_ + "sd/e", true));
  EXPECT_TRUE(m_->renamelist().empty());
  EXPECT_EQ(rows("sd"), (std::vector<std::string>{"sd 4", "sd/b.txt 3", "sd/e 3", "sd/e/f.txt 3"}));
  EXPECT_TRUE(calls(since).empty());
}

// The service deleted a folder, removed here by the engine, and the name came
// back soon after: made by the engine for another client's folder of that
// name, or by the user. The user's deletion of it then is the user's, never
// the echo of the engine's removal: it reaches the service and the row goes.
TEST_P(SyncLocalRemote, AFolderBackAfterTheEnginesRemovalIsDeletedOnTheService) {
  const struct {
    const char* path;
    bool madeByEngine;
  } cases[] = {{"again/by engine", true}, {"again/by user", false}};
  ASSERT_NO_FATAL_FAILURE(synced({}, {"again/by engine", "again/by user"}));
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  auto change = [](const std::string& path, int64_t cmd, int64_t version) {
    CompareItem c;
    c.webpath = path, c.cmd = cmd, c.version = version;
    return c;
  };
  auto onService = [&](const std::string& path) {
    auto tree = cloud->hook("GET", "tree?username=" + account_.username);
    bool found = false;
    for (const Value& n : (*tree)["nodes"].array()) found = found || n["path"].string() == path;
    return found;
  };
  int64_t version = 1000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string w = c.path, local = root_ + c.path;
    m_->receive_datas({change(w, 0, ++version)}, 0);
    ASSERT_NO_FATAL_FAILURE(settle());  // its commit removes it here
    ASSERT_FALSE(plat::statNoFollow(local));
    ASSERT_TRUE(rows(w).empty());
    if (c.madeByEngine) {
      m_->receive_datas({change(w, 1, ++version)}, 0);
      ASSERT_TRUE(plat::isDirectory(local));
      ASSERT_EQ(rows(w), std::vector<std::string>{w + " 4"});
    } else {
      // Sent up by the transfers, which this engine runs without.
      ASSERT_TRUE(plat::makeDirectories(local));
      ASSERT_TRUE(eventually([&] { return rows(w) == std::vector<std::string>{w + " 3"}; }));
    }
    ASSERT_NO_FATAL_FAILURE(settle());
    ASSERT_TRUE(onService(w));
    const int64_t since = cloud->lastSeq();
    ASSERT_TRUE(plat::removeTree(local));
    EXPECT_TRUE(eventually([&] { return rows(w).empty() && !onService(w); }));
    const auto sent = calls(since);
    EXPECT_NE(std::find(sent.begin(), sent.end(), "DELETE " + w + "/ 200"), sent.end());
  }
}

// A change of the service for an item this disk lacks, whose row says in
// step with the same content: the user removed it here (the local road
// settles that), unless the folder above is itself on its way down, when
// nothing of it is here and the item comes down with it.
TEST_P(SyncLocalRemote, AnItemMissingBelowAFolderOnItsWayDownComesDownWithIt) {
  const struct {
    const char* top;
    bool topFetched;  // else only the folder below it went from the disk
    const char* want;
  } cases[] = {{"down", true, "5"}, {"here", false, "4"}};
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& c : cases) files.push_back({std::string(c.top) + "/kid/f.txt", "f"});
  ASSERT_NO_FATAL_FAILURE(synced(files));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.top);
    const std::string top = c.top, kid = top + "/kid", file = kid + "/f.txt";
    if (c.topFetched) {
      ASSERT_TRUE(plat::removeTree(root_ + top));
      m_->syncdb()->update_status(top, syncstatus::toDownload);
    } else {
      ASSERT_TRUE(plat::removeTree(root_ + kid));
    }
    const SyncFileItem held = m_->syncdb()->get_single_file(file);
    CompareItem folder, content;
    folder.webpath = kid, folder.cmd = 1, folder.version = 1000;
    content.webpath = file, content.cmd = 1, content.version = 1001;
    content.filehash = held.filehash, content.filesize = static_cast<int64_t>(held.size);
    m_->receive_datas({folder, content}, 0);
    EXPECT_EQ(rows(kid), (std::vector<std::string>{kid + " " + c.want, file + " " + c.want}));
  }
}

// A view-only share refuses the rename: the file gets its old name back.
TEST_P(SyncLocalRemote, ARenameRefusedForAViewOnlyShareIsUndone) {
  ASSERT_NO_FATAL_FAILURE(synced({{"v/a", "a"}}));
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  ASSERT_NO_FATAL_FAILURE(fault("RENAME", 403, 40322, 1));
  const int64_t since = cloud->lastSeq();
  ASSERT_EQ(::rename((root_ + "v/a").c_str(), (root_ + "v/b").c_str()), 0);
  EXPECT_TRUE(eventually([&] { return plat::fileExists(root_ + "v/a"); }));
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_FALSE(plat::fileExists(root_ + "v/b"));
  EXPECT_EQ(plat::readFile(root_ + "v/a").value_or(""), "a");
  EXPECT_EQ(rows("v"), (std::vector<std::string>{"v 4", "v/a 4"}));
  EXPECT_EQ(calls(since), std::vector<std::string>{"RENAME v/a -> b 403"});
  EXPECT_TRUE(logged(root_ + "v/a", "已恢复原名"));
  EXPECT_TRUE(m_->renamelist().empty());
}

// "Already gone" from the service is as good as deleted: sent once.
TEST_P(SyncLocalRemote, ADeleteAnsweredNotFoundCountsAsDone) {
  ASSERT_NO_FATAL_FAILURE(synced({{"g/x", "x"}, {"g/y", "y"}}));
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  ASSERT_NO_FATAL_FAILURE(fault("DELETE", 404, 40402, 1));
  const int64_t since = cloud->lastSeq();
  ::unlink((root_ + "g/x").c_str());
  EXPECT_TRUE(eventually([&] { return rows("g") == std::vector<std::string>{"g 4", "g/y 4"}; }));
  ASSERT_NO_FATAL_FAILURE(settle());
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_EQ(calls(since), std::vector<std::string>{"DELETE g/x 404"});
}

// A file deleted here that another client changed on the service since this
// disk last held it: the deletion never reached that version, which stays on
// the service and comes down again. One changed by nobody is deleted.
TEST_P(SyncLocalRemote, ADeletedFileChangedMeanwhileOnTheServiceIsKept) {
  const struct {
    const char* path;
    bool changedThere;
  } cases[] = {{"top.txt", true}, {"k/x", true}, {"k/y", false}};
  ASSERT_NO_FATAL_FAILURE(synced({{"top.txt", "top"}, {"k/x", "x"}, {"k/y", "y"}}));
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string other = std::string("another client's ") + c.path;
    if (c.changedThere) {
      ASSERT_TRUE(cloud->hook("POST", "files",
                              Value(Dictionary{{"username", Value(account_.username)},
                                               {"files", Value(Array{Value(Dictionary{{"path", Value(c.path)},
                                                                                      {"text", Value(other)}})})}})));
    }
    const int64_t since = cloud->lastSeq();
    ASSERT_EQ(::unlink((root_ + c.path).c_str()), 0);
    ASSERT_TRUE(eventually([&] {
      const int64_t st = m_->syncdb()->get_single_file(c.path).status;
      return st != syncstatus::synced && st != syncstatus::toDelete;
    }));
    ASSERT_NO_FATAL_FAILURE(settle());
    auto tree = cloud->hook("GET", "tree?username=" + account_.username);
    ASSERT_TRUE(tree);
    std::string onService;
    for (const Value& n : (*tree)["nodes"].array()) {
      if (n["path"].string() == c.path) onService = n["filehash"].string();
    }
    const SyncFileItem row = m_->syncdb()->get_single_file(c.path);
    if (c.changedThere) {
      EXPECT_TRUE(calls(since).empty());
      EXPECT_EQ(onService, enginetest::sha1(other));
      // Fetched again: the row waits for that version.
      EXPECT_EQ(row.status, syncstatus::toDownload);
      EXPECT_EQ(row.filehash, onService);
    } else {
      EXPECT_EQ(calls(since), std::vector<std::string>{std::string("DELETE ") + c.path + " 200"});
      EXPECT_TRUE(onService.empty());
      EXPECT_EQ(row.status, syncstatus::none);
    }
  }
}

// An edit waiting to go up whose file the disk took away (a move, a
// deletion) before the watcher told of it: the upload's pick finds nothing
// there. A file the service holds keeps its row for that event: its move is
// sent, its deletion reaches the service, and so does a move the service
// refused whose new name was renamed again meanwhile. A file the service
// never had is dropped, and the moved one is a new item.
TEST_P(SyncLocalRemote, AnEditTakenAwayBeforeItsUploadStillMovesOrDeletesTheServiceCopy) {
  ASSERT_NO_FATAL_FAILURE(synced({{"ea/a.txt", "a"}, {"ea/b.txt", "b"}, {"ea/e.txt", "e"}}, {"ea/d"}));
  // Not on the service: a move into it is refused.
  ASSERT_TRUE(plat::makeDirectories(root_ + "ea/n"));
  const struct {
    const char* from;
    const char* to;       // null: deleted
    const char* renamed;  // the new name renamed again, or null
    bool onService;
  } cases[] = {
      {"ea/a.txt", "ea/d/a.txt", nullptr, true},
      {"ea/b.txt", nullptr, nullptr, true},
      {"ea/c.txt", "ea/d/c.txt", nullptr, false},
      {"ea/e.txt", "ea/n/e.txt", "ea/n/r.txt", true},
  };
  const int64_t since = cloud->lastSeq();
  for (const auto& c : cases) {
    write(root_ + c.from, std::string("edited ") + c.from);
    m_->lock();
    m_->eventupdate(root_ + c.from);
    m_->unlock();
    ASSERT_EQ(m_->syncdb()->get_single_file(c.from).status, syncstatus::toUpload) << c.from;
  }
  for (const auto& c : cases) {
    if (c.to) {
      ASSERT_EQ(::rename((root_ + c.from).c_str(), (root_ + c.to).c_str()), 0) << c.from;
    } else {
      ASSERT_EQ(::unlink((root_ + c.from).c_str()), 0) << c.from;
    }
  }
  // The upload's picks come first: nothing is there to send.
  for (int i = 0; i < 10; ++i) {
    const TransItem t = m_->get_upload();
    ASSERT_NE(t.itemid, 1) << t.webpath;
    if (t.itemid == -1) break;
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    if (c.to) {
      m_->eventremove(root_ + c.from, root_ + c.to, true);
    } else {
      m_->lock();
      m_->eventdel(root_ + c.from);
      m_->unlock();
    }
    if (c.renamed) {
      ASSERT_EQ(::rename((root_ + c.to).c_str(), (root_ + c.renamed).c_str()), 0);
      m_->eventrename(root_ + c.to, root_ + c.renamed, true);
    }
  }
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_TRUE(m_->removelist().empty());
  auto sent = calls(since);
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, (std::vector<std::string>{"DELETE ea/b.txt 200", "DELETE ea/e.txt 200", "MOVE ea/a.txt -> ea/d 200",
                                            "MOVE ea/e.txt -> ea/n 404"}));
  auto tree = cloud->hook("GET", "tree?username=" + account_.username);
  ASSERT_TRUE(tree);
  std::set<std::string> onService;
  for (const Value& n : (*tree)["nodes"].array()) onService.insert(n["path"].string());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    EXPECT_FALSE(onService.count(c.from));
    EXPECT_EQ(m_->syncdb()->get_single_file(c.from).status, syncstatus::none);
    const char* now = c.renamed ? c.renamed : c.to;
    if (!now) continue;
    // The edit waits to go up from where it is now.
    const SyncFileItem row = m_->syncdb()->get_single_file(now);
    EXPECT_EQ(row.status, syncstatus::toUpload);
    EXPECT_EQ(plat::readFile(root_ + now).value_or(""), std::string("edited ") + c.from);
    // Moved on the service only when the service had it and took the move.
    EXPECT_EQ(onService.count(now) == 1, c.onService && !c.renamed);
  }
}

// A root or linked folder whose top goes away (an unmounted disk) is
// unavailable: nothing below it is deleted on the service or on disk, and
// when it is back it is in step again.
TEST_P(SyncLocalRemote, AMissingTopDeletesNothingAnywhere) {
  const std::string outside = dir_.path() + "/disk/Work";
  plat::makeDirectories(outside);
  m_->syncdb()->add_link("lk", outside);
  m_->linkfolder().add("lk", outside);
  ASSERT_NO_FATAL_FAILURE(synced({{"lk/f", "f"}, {"lk/sub/g", "g"}, {"mine/p", "p"}}));
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  const int64_t since = cloud->lastSeq();

  // The linked folder's disk goes.
  ASSERT_EQ(::rename(outside.c_str(), (outside + ".away").c_str()), 0);
  EXPECT_TRUE(eventually([&] {
    const auto u = m_->unavailableRoots();
    return std::find(u.begin(), u.end(), outside) != u.end();
  }));
  ASSERT_NO_FATAL_FAILURE(settle());
  // Even a row marked deleted below it (by an earlier event) is left alone.
  m_->syncdb()->update_status("lk/f", syncstatus::toDelete);
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_EQ(calls(since), std::vector<std::string>{});
  EXPECT_TRUE(logged(outside, "不会被删除"));

  // The personal root's disk goes too: its deletions are no deletions.
  const std::string personal = root_.substr(0, root_.size() - 1);
  ASSERT_EQ(::rename(personal.c_str(), (personal + ".away").c_str()), 0);
  EXPECT_TRUE(eventually([&] { return m_->unavailableRoots().size() == 2; }));
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_EQ(rows("mine"), (std::vector<std::string>{"mine 4", "mine/p 4"}));
  EXPECT_EQ(calls(since), std::vector<std::string>{});

  // Both back: in step again, nothing sent, nothing lost.
  ASSERT_EQ(::rename((personal + ".away").c_str(), personal.c_str()), 0);
  ASSERT_EQ(::rename((outside + ".away").c_str(), outside.c_str()), 0);
  EXPECT_TRUE(eventually([&] { return m_->unavailableRoots().empty(); }));
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_EQ(rows("lk"), (std::vector<std::string>{"lk 4", "lk/f 4", "lk/sub 4", "lk/sub/g 4"}));
  EXPECT_EQ(rows("mine"), (std::vector<std::string>{"mine 4", "mine/p 4"}));
  EXPECT_EQ(calls(since), std::vector<std::string>{});
  // Watched again.
  write(outside + "/after", "1");
  EXPECT_TRUE(eventually([&] { return rows("lk/after") == std::vector<std::string>{"lk/after 3"}; }));
}

// A folder leaving the sync loses only the files the service holds as they
// are; a changed and a never-uploaded file stay (and the user is told), and
// the service is not asked to delete anything. Included again, the folder
// comes back from the service and what only this disk has is uploaded.
TEST_P(SyncLocalRemote, ExcludingAndIncludingAFolderAgain) {
  ASSERT_NO_FATAL_FAILURE(synced({{"ex/s.txt", "synced"}, {"ex/c.txt", "before"}, {"ex/sub/s2.txt", "deep"}}));
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  write(root_ + "ex/c.txt", "changed here");
  write(root_ + "ex/n.txt", "never uploaded");
  ASSERT_TRUE(eventually([&] { return rows("ex/n.txt") == std::vector<std::string>{"ex/n.txt 3"}; }));
  ASSERT_TRUE(eventually([&] { return rows("ex/c.txt") == std::vector<std::string>{"ex/c.txt 3"}; }));
  const int64_t since = cloud->lastSeq();

  m_->setUnsyncnodes("", {{"ex", 0}});
  EXPECT_FALSE(plat::fileExists(root_ + "ex/s.txt"));
  EXPECT_FALSE(plat::fileExists(root_ + "ex/sub"));
  EXPECT_EQ(plat::readFile(root_ + "ex/c.txt").value_or(""), "changed here");
  EXPECT_EQ(plat::readFile(root_ + "ex/n.txt").value_or(""), "never uploaded");
  EXPECT_TRUE(logged(root_ + "ex/c.txt", "已保留"));
  EXPECT_TRUE(logged(root_ + "ex/n.txt", "已保留"));
  EXPECT_NE(m_->synccache()->getcache(enginetest::sha1("synced")), "");
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_EQ(rows("ex"), std::vector<std::string>{});
  EXPECT_EQ(calls(since), std::vector<std::string>{});

  // The same list again (the selective-sync window saved unchanged): a file
  // put into the excluded folder since is the user's alone and stays.
  write(root_ + "ex/later.txt", "after the exclusion");
  m_->setUnsyncnodes("", {{"ex", 0}});
  EXPECT_EQ(plat::readFile(root_ + "ex/later.txt").value_or(""), "after the exclusion");
  ::unlink((root_ + "ex/later.txt").c_str());

  // Included again: fetched from the service (the folder itself is made by
  // the download hand-off), the local files judged. Nothing says this disk
  // held the service's version of the changed file any more: it is fetched
  // to be kept in the Trash before the local file goes up.
  AppServices::shared().setBLink(true);
  m_->setUnsyncnodes("", {});
  EXPECT_TRUE(eventually([&] { return rows("ex/n.txt") == std::vector<std::string>{"ex/n.txt 3"}; }));
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_EQ(rows("ex"), (std::vector<std::string>{"ex 5", "ex/c.txt 5", "ex/n.txt 3", "ex/s.txt 5", "ex/sub 4",
                                                  "ex/sub/s2.txt 5"}));
  EXPECT_EQ(m_->syncdb()->get_single_file("ex/c.txt").last, 0u);
  for (const auto& c : calls(since)) EXPECT_EQ(c.rfind("DELETE", 0), std::string::npos) << c;
  EXPECT_EQ(plat::readFile(root_ + "ex/c.txt").value_or(""), "changed here");
  EXPECT_EQ(plat::readFile(root_ + "ex/n.txt").value_or(""), "never uploaded");
}

// The personal root and the team root share one cloud namespace: a team
// folder's name in the personal root, a personal name at the top of the team
// root and a file there are left out (with the user told), a folder made at
// the top of the team root becomes a team share, and below a top-level
// folder that is no team share nothing is synced.
TEST_P(SyncLocalRemote, TheRootRuleGivesEachNameOnePlace) {
  auto ui = plat::HeadlessToolkit::make();
  plat::Toolkit::setCurrent(ui);
  m_.reset();
  static int teams = 0;
  const std::string team = "t" + std::to_string(::getpid()) + "_" + std::to_string(++teams);
  account_ = newUser(Dictionary{{"org", Value(team)}});
  auto ud = userData(account_);
  ud->setMountID(account_.mount);
  ud->setUserID(account_.mount);
  ud->setOrgID(1);
  ud->setUserEmail(account_.username);  // devcloud's address of the user
  ASSERT_TRUE(cloud->hook("POST", "team_folder", Value(Dictionary{{"org", Value(team)}, {"name", Value("团队夹")}})));
  ASSERT_TRUE(cloud->hook("POST", "files",
                          Value(Dictionary{{"username", Value(account_.username)},
                                           {"files", Value(Array{Value(Dictionary{{"path", Value("团队夹/t.txt")},
                                                                                  {"text", Value("t")}})})},
                                           {"folders", Value(Array{Value("我的夹")})}})));
  AppServices::shared().setBLink(true);
  m_ = std::make_unique<SyncManager>(dir_.path() + "/Team/", false, false);
  m_->setPacing(false);
  root_ = m_->syncpath();
  const std::string teamroot = m_->syncorg();
  ASSERT_FALSE(teamroot.empty());
  // Folders come in the first pass; the file needs no transfer engine to
  // stand in its row.
  ASSERT_NO_FATAL_FAILURE(startAndScan());
  std::vector<std::string> want{"团队夹 4", "团队夹/t.txt 5", "我的夹 4"};
  auto all = [&] {
    std::vector<std::string> out = rows("团队夹");
    for (const char* f : {"我的夹", "散.txt", "拒绝", "新建"}) {
      for (auto& r : rows(f)) out.push_back(r);
    }
    return out;
  };
  ASSERT_EQ(all(), want);
  EXPECT_TRUE(plat::isDirectory(teamroot + "团队夹"));
  EXPECT_TRUE(plat::isDirectory(root_ + "我的夹"));
  EXPECT_FALSE(plat::fileExists(root_ + "团队夹"));
  EXPECT_FALSE(plat::fileExists(teamroot + "我的夹"));

  const struct Case {
    const char* name;
    std::function<void()> act;
    std::vector<std::string> added;  // rows that come
    std::vector<std::string> calls;
    const char* notice;              // "" for none
  } cases[] = {
      {"a team folder's name in the personal root", [&] { plat::makeDirectories(root_ + "团队夹"); }, {}, {},
       "在[团队的文件]根目录下已经存在[团队夹]"},
      {"a personal name at the top of the team root", [&] { plat::makeDirectories(teamroot + "我的夹"); }, {}, {},
       "在[个人的文件]根目录下已经存在[我的夹]"},
      {"a file at the top of the team root", [&] { write(teamroot + "散.txt", "s"); }, {}, {}, ""},
      {"a team folder the service refuses",
       [&] {
         fault("ORG_SHARE", 403, 40302, 1);
         plat::makeDirectories(teamroot + "拒绝");
       },
       {},
       {"ORG_SHARE 拒绝/ 403"},
       "[团队的文件]根目录下不能自己新增文件/文件夹"},
      {"below a top-level folder that is no team share", [&] { write(teamroot + "拒绝/里.txt", "in"); }, {}, {}, ""},
      {"a new team folder", [&] { plat::makeDirectories(teamroot + "新建"); }, {"新建 4"}, {"ORG_SHARE 新建/ 200"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int64_t since = cloud->lastSeq();
    const size_t notices = ui->count("notice");
    c.act();
    for (const auto& r : c.added) want.push_back(r);
    std::sort(want.begin(), want.end());
    EXPECT_TRUE(eventually([&] { return all() == want && calls(since) == c.calls; }));
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_EQ(all(), want);
    EXPECT_EQ(calls(since), c.calls);
    if (*c.notice) {
      EXPECT_GE(ui->count("notice", c.notice), 1u);
    } else {
      EXPECT_EQ(ui->count("notice"), notices);
    }
  }
  // The new team folder is a root of the team area, listed like the others.
  synctest::Raw raw(m_->syncdb()->dbQueue()->path());
  EXPECT_EQ(raw.rows("select synctype, org from VERSION where path = '/新建/'"), (synctest::Rows{{"0", "1"}}));
  // Nothing the user made was removed.
  for (const std::string& p : {root_ + "团队夹", teamroot + "我的夹", teamroot + "散.txt", teamroot + "拒绝/里.txt"}) {
    EXPECT_TRUE(plat::fileExists(p)) << p;
  }
  m_.reset();
  plat::Toolkit::setCurrent(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Devcloud, SyncLocalRemote, ::testing::Values(false));

}  // namespace
