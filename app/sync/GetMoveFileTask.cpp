#include "app/sync/GetMoveFileTask.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "app/core/AccountSecrets.h"
#include "app/core/AppServices.h"
#include "app/core/QVLog.h"
#include "app/core/SettingsDb.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/sync/LastSyncdb.h"
#include "app/sync/SyncLocalShared.h"
#include "app/sync/SyncManager.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"

using namespace synclocal;

GetMoveFileTask::GetMoveFileTask(std::string rootPath) : rootPath_(std::move(rootPath)) {}

std::string GetMoveFileTask::rootPath() const {
  std::lock_guard<std::mutex> l(mutex_);
  return rootPath_;
}

void GetMoveFileTask::setRootPath(std::string path) {
  std::lock_guard<std::mutex> l(mutex_);
  rootPath_ = std::move(path);
}

void GetMoveFileTask::post(const std::string& progress) {
  plat::NotificationCenter::defaultCenter().post(kNotification, plat::Value(progress));
}

std::string GetMoveFileTask::refusal(const std::string& oldParent, const std::string& target) {
  const std::string o = noSlash(oldParent), t = noSlash(target);
  if (t.empty() || o.empty()) return "移动目录失败，请重试！";
  if (foldersOverlap(o, t)) {
    return "不能移动到同步目录内，也不能移动到包含同步目录的目录";
  }
  // Never merged into: same-named files there would be overwritten.
  if (plat::statNoFollow(t) && (!plat::isDirectory(t) || !entriesOf(t).empty())) {
    return plat::format("目录[%@]已经存在", t);
  }
  return "";
}

bool GetMoveFileTask::copyTree(const std::string& old, const std::string& fresh) {
  if (!Util::createfolder(noSlash(fresh))) return false;
  const auto subs = Util::subpathsAtPath(old);
  if (!subs) return false;
  const size_t total = subs->size();
  size_t remaining = total;
  std::vector<std::string> links;
  std::vector<std::string> folders;
  size_t files = 0;
  for (const std::string& p : *subs) {
    const std::string source = old + p, target = fresh + p;
    if (Util::checklinkdir(source)) {
      const auto dest = Util::getlinksrcpath(source);
      if (dest && Util::createlink(target, *dest)) {
        --remaining;
        links.push_back(p);
        continue;
      }
    }
    bool below = false;
    for (const auto& l : links) below = below || p.find(l + "/") != std::string::npos;
    if (below) {
      --remaining;
      continue;
    }
    const auto st = plat::statNoFollow(source);
    if (!st) return false;
    if (st->isDirectory) {
      if (!Util::createfolder(target)) return false;
      folders.push_back(p);
    } else {
      if (!Util::copyfile(source, target)) return false;
      // Checked before the old tree may go: the copy holds every byte.
      const auto copied = plat::statNoFollow(target);
      if (!copied || copied->size != st->size) return false;
      ++files;
    }
    --remaining;
    const size_t percent = 100 - remaining * 100 / total;
    if (percent != 100) post(plat::format("%ld", static_cast<long>(percent)));
  }
  // The whole copy once more: every entry there, every file of its size.
  size_t seen = 0;
  for (const std::string& p : *subs) {
    bool below = false;
    for (const auto& l : links) below = below || p.find(l + "/") != std::string::npos;
    if (below) continue;
    const auto a = plat::statNoFollow(old + p), b = plat::statNoFollow(fresh + p);
    if (!a || !b || a->isDirectory != b->isDirectory || (a->isRegular && a->size != b->size)) return false;
    if (a->isRegular) ++seen;
  }
  if (seen != files) return false;
  // Folders keep their times, as the files do: the engine takes a changed
  // time for a change.
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    struct stat st {};
    if (::lstat((old + *it).c_str(), &st) != 0) continue;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, (fresh + *it).c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  return true;
}

void GetMoveFileTask::main() {
  AppServices& app = Util::getAppDelegate();
  const auto sync = app.sync();
  if (!sync) {
    post("-1");
    return;
  }
  sync->stop();
  const std::string old = withSlash(sync->syncparent());
  const std::string fresh = withSlash(noSlash(rootPath()));
  bool ok = false, copied = false;
  const std::string refused = refusal(old, fresh);
  if (!refused.empty()) {
    app.notice(refused);
  } else {
    // An empty folder of that name is taken over; the one-step move never
    // replaces anything else.
    if (plat::isDirectory(fresh)) ::rmdir(noSlash(fresh).c_str());
    if (::renameat2(AT_FDCWD, noSlash(old).c_str(), AT_FDCWD, noSlash(fresh).c_str(), RENAME_NOREPLACE) == 0) {
      ok = true;
      post("100");
    } else {
      copied = true;
      ok = copyTree(old, fresh);
    }
  }
  if (!ok) {
    // The old place stays in force; a partial copy stays where it is.
    post("-1");
    sync->start();
    return;
  }
  app.setTempsyncpath(fresh);
  Util::deletefolderfavorite(old);
  Util::addfoldertofavorite(fresh);
  QVLog::sharedQVLog().addLogNormalFile("", "move:" + fresh);
  app.setBRemove(true);
  if (const auto u = app.userdata()) {
    if (auto db = app.lastsyncdb()) db->setsyncpath(u->userID(), fresh);
    if (auto settings = app.settingsdb()) {
      AccountSecrets::store(*settings, u->userName(), u->userPassword(), settings->getdateline(), fresh);
    }
    u->setHistoryArray({});
  }
  sync->movedir(fresh);
  sync->syncdb()->setHistory({});
  app.resetBrowserFileHistoryMenu();
  // The icon stays with the old path's metadata: the new personal root gets it anew.
  app.setSyncDirectoryIcon(sync->syncpath());
  succeeded_ = true;
  post("100");
  if (copied) Util::deletefile(old);
  sync->start();
}
