// Tests only: clients of one account in one process, each with its own
// configuration folder, sync parent, sync engine (watching its roots over
// inotify) and transfer engine, against one devcloud; and what their trees,
// the service's and the Trash hold.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/AppServices.h"
#include "app/core/QVLog.h"
#include "app/core/UserData.h"
#include "app/interface/EngineFixture.h"
#include "app/sync/SyncManager.h"
#include "app/sync/sync_test_util.h"
#include "app/trans/TransManager.h"
#include "app/trans/download_test_util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/system/system_test_util.h"
#include "platform/system/trash.h"
#include "tests/support/DevCloudProcess.h"

namespace convergetest {

// A tree by path below the root: the file's content, or no value for a folder.
using Tree = std::map<std::string, std::optional<std::string>>;

struct Client {
  std::shared_ptr<UserData> user;
  std::shared_ptr<SyncManager> sync;
  std::shared_ptr<TransManager> trans;

  std::string root() const { return sync->syncpath(); }
  // Each engine takes its paths from the account data it is made with.
  void start(const std::string& parent) {
    AppServices::shared().setUserdata(user);
    sync = std::make_shared<SyncManager>(parent, false, false);
    trans = TransManager::init(sync);
    sync->start();
  }
  void stop() {
    trans.reset();
    if (sync) sync->exit();
    sync.reset();
  }
  bool settled() const { return sync->syncdb()->getAllNeedSyncCount() == 0; }
};

// Account data whose configuration folder lies in `home`: the folder is fixed
// from HOME when the data is made, so this runs before any engine thread.
inline std::shared_ptr<UserData> userWithHome(const std::string& home) {
  plat::testing::ScopedEnv env("HOME", home.c_str());
  return std::make_shared<UserData>();
}

// Signs the data in as the account.
inline void signIn(UserData& u, const enginetest::Account& a) {
  u.setUserName(a.username);
  u.setTokens(a.token, a.refresh, 3600);
  u.setMountID(a.mount);
  u.setUserID(a.mount);
}

// The user's writes, in place.
inline void writeInPlace(const std::string& path, const std::string& text) {
  plat::makeDirectories(plat::pathDirname(path));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_TRUE(plat::writeAll(fd, text.data(), text.size()));
  ::close(fd);
}

inline Tree treeOf(const std::string& root) {
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
inline Tree serviceTree(DevCloudProcess& cloud, const std::string& username) {
  Tree t;
  auto reply = cloud.hook("GET", "tree?username=" + NSStringExpand::urlEncoded(username));
  if (!reply) return t;
  for (const plat::Value& n : (*reply)["nodes"].array()) {
    std::string p = n["path"].string();
    if (!p.empty() && p.front() == '/') p.erase(0, 1);
    if (p.empty()) continue;
    t[p] = n["dir"].boolValue() ? std::nullopt : std::optional<std::string>(n["filehash"].string());
  }
  return t;
}

inline Tree hashed(const Tree& t) {
  Tree out;
  for (const auto& [p, c] : t) out[p] = c ? std::optional<std::string>(enginetest::sha1(*c)) : std::nullopt;
  return out;
}

// The contents of every file in the home Trash, folders of it included.
inline std::vector<std::string> trashedContents() {
  std::vector<std::string> out;
  std::error_code ec;
  const std::string files = plat::FreedesktopTrash::homeTrashDirectory() + "/files";
  for (std::filesystem::recursive_directory_iterator it(files, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) out.push_back(plat::readFile(it->path().string()).value_or("<unreadable>"));
  }
  return out;
}

// What a client's tree and rows hold, for a failure's message.
inline std::string describeClient(const std::string& who, const Client& c) {
  std::string out;
  for (const auto& [p, v] : treeOf(c.root())) out += plat::format("  %@ %@ = %@\n", who, p, v ? v->substr(0, 40) : "<folder>");
  // Every row: the top's files, and each top folder with what is below it.
  std::vector<SyncFileItem> rows = c.sync->syncdb()->get_all_files("");
  for (const auto& d : c.sync->syncdb()->get_all_dir("")) {
    rows.push_back(d);
    for (auto& r : c.sync->syncdb()->get_below(d.webpath)) rows.push_back(std::move(r));
  }
  for (const auto& r : rows) {
    out += plat::format("  %@ row %@%@ status %lld size %llu last %llu hash %@ version %lld disk %lld\n", who, r.webpath,
                        r.file ? "" : "/",
                        static_cast<long long>(r.status), static_cast<unsigned long long>(r.size),
                        static_cast<unsigned long long>(r.last), r.filehash, static_cast<long long>(r.version),
                        static_cast<long long>(r.diskversion));
  }
  for (const auto& [list, name] : {std::pair{c.sync->renamelist(), "rename"}, std::pair{c.sync->removelist(), "move"}}) {
    for (const auto& e : list) out += plat::format("  %@ queued %@: %@ -> %@\n", who, name, e.oldpath, e.newpath);
  }
  std::error_code ec;
  for (std::filesystem::directory_iterator it(c.sync->transcache()->cachepath(), ec), end; !ec && it != end;
       it.increment(ec)) {
    out += plat::format("  %@ transfer folder: %@\n", who, it->path().filename().string());
  }
  return out;
}

inline std::string describeTree(const std::string& who, const Tree& t) {
  std::string out;
  for (const auto& [p, c] : t) out += plat::format("  %@ %@ = %@\n", who, p, c ? c->substr(0, 40) : "<folder>");
  return out;
}

inline std::string describeLog() {
  std::string out;
  QVLog::sharedQVLog().flush();
  for (const auto& l : QVLog::sharedQVLog().arrLogData()) out += "  log: " + l.text + "\n";
  return out;
}

// Pumps the main loop until `done`, asking every client to compare each
// second (the user's "sync now"), so that a wait doesn't sit out the 30-s
// period of the compare passes.
inline bool pumpNudging(const std::vector<Client*>& clients, const std::function<bool()>& done, double seconds) {
  plat::SystemClock real;
  double nudged = 0;
  return dltest::pumpUntil(
      [&] {
        if (real.monotonic() - nudged > 1) {
          for (auto* c : clients) c->sync->setBSyncnow(true);
          nudged = real.monotonic();
        }
        return done();
      },
      seconds);
}

}  // namespace convergetest
