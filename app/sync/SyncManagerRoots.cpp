// The root rule: each top-level name has one place (the personal root, the
// team root or a linked folder), and a folder made at the top of the team
// root becomes a team share.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/AppServices.h"
#include "app/core/QVLog.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/HTTPEngine.h"
#include "app/sync/SyncManager.h"
#include "app/sync/SyncLocalShared.h"
#include "app/sync/SyncPath.h"
#include "platform/foundation/case_fold.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/fs/file_ops.h"
#include "platform/foundation/text_codec.h"


using namespace synclocal;

namespace {

constexpr const char* kNotUtf8 = "文件名不是有效的 UTF-8 编码，未同步：";
constexpr size_t kRefusedNamesMax = 1000;

// The name with every byte that is not UTF-8 shown as U+FFFD, for the log
// and the notice, which hold text.
std::string readableName(std::string_view name) {
  std::string out;
  const auto* p = reinterpret_cast<const uint8_t*>(name.data());
  const auto* const end = p + name.size();
  while (p < end) {
    const size_t n = plat::utf8SequenceLength(p, end);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++p;
    } else {
      out.append(reinterpret_cast<const char*>(p), n);
      p += n;
    }
  }
  return out;
}

}  // namespace

int64_t SyncManager::checkfilepath(int64_t type, const std::string& webpath, const std::string& fullpath, bool show) {
  // The roots themselves and what lies outside every root are never synced.
  if (webpath.empty() || (type != 0 && type != 1 && type != 2)) return 1;
  if (!plat::isValidUTF8(webpath)) {
    refuseName(fullpath);
    return 6;
  }
  if (type == 0) return 0;
  // The personal root and the team root share one cloud namespace: each
  // name has one place on disk, the one getnormalpath gives it.
  if (linkfolder_.islinkforwebpath(webpath)) {
    if (show && linkfolder_.islink(webpath)) notice(plat::format("另一个绑定目录下已经存在同名文件[%@]", webpath));
    return 1;
  }
  const bool team = !syncorg().empty() && syncshare_.isorg(webpath);
  if (type == 1) {
    if (!team) return 0;
    if (show && syncshare_.isshare(webpath, true)) notice(plat::format("在[团队的文件]根目录下已经存在[%@]", webpath));
    return 2;
  }
  if (webpath.find('/') != std::string::npos) return team ? 0 : 5;
  if (team) return 0;
  if (syncdb_->get_single_file(webpath).status != syncstatus::none) {
    if (show) notice(plat::format("在[个人的文件]根目录下已经存在[%@]", webpath));
    return 4;
  }
  if (show) {
    const auto st = plat::statNoFollow(fullpath);
    if (st && st->isDirectory && !st->isSymlink) createorgshare(webpath, fullpath);
  }
  return 3;
}

void SyncManager::refuseName(const std::string& fullpath) {
  {
    std::lock_guard<std::mutex> l(rootsMutex_);
    if (std::find(refusedNames_.begin(), refusedNames_.end(), fullpath) != refusedNames_.end()) return;
    if (refusedNames_.size() >= kRefusedNamesMax) refusedNames_.erase(refusedNames_.begin());
    refusedNames_.push_back(fullpath);
  }
  const std::string shown = readableName(fullpath);
  tell(shown, kNotUtf8);
  notice(plat::format("文件名不是有效的 UTF-8 编码，未同步：%@", shown));
}

void SyncManager::createorgshare(const std::string& webpath, const std::string& fullpath) {
  const auto u = Util::getAppDelegate().userdata();
  if (!u) return;
  const RequestRet ret = HTTPEngine::addorgshare(u->userToken(), webpath + "/", u->mountID(), u->userEmail().value_or(""));
  if (ret.status != 200) {
    const std::string msg = ret.errormsg.value_or("");
    notice(msg.empty() ? std::string("[团队的文件]根目录下不能自己新增文件/文件夹") : "[团队的文件]根目录下 " + msg);
    return;
  }
  syncshare_.add(webpath, 0, 0, 1);
  syncdb_->insert_total_version("/" + webpath + "/", 0, 0, 1);
  SyncFileItem n;
  n.webpath = webpath;
  n.parent = syncpath::parentOf(webpath);
  n.file = false;
  n.status = syncstatus::synced;
  n.last = Util::filemodifytime(fullpath);
  syncdb_->add_new_file(n);
  scandir(fullpath);
  Util::getAppDelegate().setBRemove(true);
}

void SyncManager::resetorgshare() {
  const auto u = Util::getAppDelegate().userdata();
  // With the network down nothing is asked; the rows stand as they are.
  if (!u || !Util::getAppDelegate().bLink()) return;
  std::optional<RetFileList> list;
  for (int attempt = 0; attempt < 3 && !bOut_; ++attempt) {
    if (attempt > 0) pause(1);
    RetFileList ret = HTTPEngine::getfilelist(u->userToken(), "", u->mountID(), false);
    if (ret.status == 200) {
      list = std::move(ret);
      break;
    }
  }
  if (!list) return;  // left as it stands until the next start
  for (const auto& e : list->itemlist) {
    if (e.org <= 0 || e.webpath.empty()) continue;
    const int64_t synctype = e.cmd == 1000 ? 1 : 0;
    syncdb_->insert_total_version("/" + e.webpath + "/", synctype, e.local, e.org);
    // The set decides where a team path lives on disk: it learns the share
    // with its row, not only when the feed announces it.
    syncshare_.add(e.webpath, synctype, e.local, e.org);
  }
}
