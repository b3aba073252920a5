// Messages, account refresh and the update step of the application object;
// called by the periodic jobs thread (and the first message poll by login
// completion).
#include <cstdlib>

#include "app/shell/AppDelegate.h"
#include "app/sync/LastSyncdb.h"
#include "app/shell/NotificationCenter.h"
#include "app/core/SettingsDb.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/HTTPEngine.h"
#include "app/sync/SyncManager.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/run_loop.h"
#include "platform/ui/menu.h"
#include "platform/foundation/serial_queue.h"
#include "platform/foundation/thread.h"
#include "platform/foundation/user_defaults.h"

namespace {
constexpr const char* kMsgDateline = "MSG_DATALINE";
}

std::string AppDelegate::messageAge(int64_t now, int64_t dateline) {
  const int64_t age = std::llabs(now - dateline);
  if (age >= 3600) return plat::format("%d小时%d分前", static_cast<int>(age / 3600), static_cast<int>((age % 3600) / 60));
  if (age >= 60) return plat::format("%d分前", static_cast<int>(age / 60));
  return "刚刚";
}

void AppDelegate::handleTimerForMsg() {
  plat::runGuarded("message poll", [this] {
    auto s = sync();
    if (!s || !s->bStart()) return;
    auto ud = userdata();
    auto db = lastsyncdb();
    int64_t dateline = db ? db->getdateline() : 0;
    if (dateline == 0) dateline = plat::UserDefaults::standard().integerForKey(kMsgDateline);
    getPopUpdateMsg(0);
    RetUpdateMsg r = HTTPEngine::userUpdateMsg(ud->userToken(), dateline);
    if (r.status != 200) return;
    setUpdateCount(updateCount() + r.updateCount);
    plat::UserDefaults::standard().setObject(kMsgDateline, plat::Value(static_cast<long long>(r.dateline)));
    // The user's own mount database keeps it too, so another account on
    // this machine does not start from this one's messages.
    if (db) db->setdateline(r.dateline);
    setServertime(r.servertime);
    auto settings = settingsdb();
    if (settings) settings->setdateline(r.dateline);
    if (!settings || !settings->getprompt() || r.itemUpatelist.empty()) return;
    const UpdateMsgItem& item = r.itemUpatelist.front();
    const auto now = static_cast<int64_t>(plat::currentClock().now().secondsSince1970);
    NotificationCenter::shareCenter().setGrowlNotificationDescripation(
        plat::format("%@%@\n %@", item.memberName, item.renderText, messageAge(now, r.dateline)),
        plat::format("%ld", static_cast<long>(item.type)));
  });
}

void AppDelegate::getPopUpdateMsg(int64_t dateline) {
  std::shared_ptr<plat::SerialQueue> queue;
  {
    std::lock_guard<std::mutex> l(mutex_);
    queue = msgQueue_;
  }
  auto ud = userdata();
  if (!queue || !ud) return;
  const std::string token = ud->userToken();
  queue->async([this, token, dateline] {
    plat::runGuarded("message list", [&] {
      RetUpdateMsg r = HTTPEngine::userUpdateMsg(token, dateline);
      // A failed request keeps the list the pages have.
      if (r.status != 200) return;
      setJsonMsg(r.jsonUpdateMsg);
      savemsg();
    });
  });
}

void AppDelegate::savemsg() {
  const std::string text = jsonMsg();
  auto ud = userdata();
  if (text.empty() || !ud) return;
  const std::string path = ud->getmsgpath();
  if (!Util::createfolder(plat::pathDirname(path))) return;
  plat::atomicWrite(path, text, 0600);
}

void AppDelegate::handleTimerUserInfo() {
  plat::runGuarded("account refresh", [this] {
    auto ud = userdata();
    if (!ud) return;
    RetUserInfo r = HTTPEngine::userinfo(ud->userToken());
    if (r.status != 200) return;
    copyUserInfo(r);
    // The storage entries of the menus show the new use.
    plat::MainThread::perform([this] { refreshSpaceEntries(); });
  });
}

void AppDelegate::refreshSpaceEntries() {
  auto ud = userdata();
  if (!ud) return;
  const std::string size = ud->getsize();
  if (menuItemSpace_) menuItemSpace_->setTitle(size);
  if (leftMenuItemSpace_) leftMenuItemSpace_->setTitle(size);
}
