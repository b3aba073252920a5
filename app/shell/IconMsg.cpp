#include "app/shell/IconMsg.h"

#include <mutex>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/shell/AppDelegate.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/windows/WebWindows.h"
#include "app/sync/SyncManager.h"
#include "app/sync/Syncdb.h"
#include "platform/foundation/log.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/thread.h"
#include "platform/ipc/named_connection.h"
#include "platform/ui/toolkit.h"
#include "platform/ui/window.h"

namespace {
std::mutex gServiceMutex;
std::unique_ptr<plat::NamedConnectionServer> gServer;
IconMsg gIconMsg;
}  // namespace

bool IconMsg::getReset() {
  // Read and cleared in one step: each raise is seen by one poll only.
  return AppDelegate::shared().takeBRemove();
}

std::string IconMsg::getDbPath() {
  auto ud = AppDelegate::shared().userdata();
  return ud ? ud->getsyncdb() : std::string();
}

std::string IconMsg::getMountname() { return UserData::getmountname(); }

std::optional<std::string> IconMsg::getSyncPath() {
  auto s = AppDelegate::shared().sync();
  if (!s) return std::nullopt;
  return s->syncparent();
}

int64_t IconMsg::getOrgID() {
  auto ud = AppDelegate::shared().userdata();
  return ud ? ud->orgID() : 0;
}

void IconMsg::menuclick(int64_t index, const std::string& path) {
  auto ud = AppDelegate::shared().userdata();
  if (!ud) return;
  const auto menu = ud->menuArray();
  if (index < 0 || index >= static_cast<int64_t>(menu.size())) return;
  const std::string& action = menu[static_cast<size_t>(index)].action();
  if (action == "gMain") {
    plat::NotificationCenter::defaultCenter().post("gMain", plat::Value(plat::Array{plat::Value(static_cast<long long>(index)), plat::Value(path)}));
  } else if (action == "gFavorite") {
    AppDelegate::shared().onAddFavoritePath(path);
  }
}

void IconMsg::menuhistory(int64_t index) {
  auto ud = AppDelegate::shared().userdata();
  if (!ud) return;
  const auto history = ud->historyArray();
  if (index < 0 || index >= static_cast<int64_t>(history.size())) return;
  Util::openFile(history[static_cast<size_t>(index)].string());
}

void IconMsg::menusyncnow(const std::string& path) {
  // The question of the resync is a modal window: it is asked on the main
  // thread, and the plug-in's call returns at once.
  plat::MainThread::perform([path] {
    plat::runGuarded("menusyncnow", [&] {
      auto s = AppDelegate::shared().sync();
      auto toolkit = plat::Toolkit::current();
      if (!s || !toolkit) return;
      // The engine asks before it resyncs; the question is ours to show.
      s->setConfirm([toolkit](const std::string& question) {
        plat::AlertSpec a;
        a.text = question;
        a.buttons = {"是", "否"};
        return toolkit->runAlert(a) == plat::kAlertFirstButtonReturn;
      });
      s->reset(path);
    });
  });
}

void IconMsg::menumklink(const std::string& path) {
  plat::MainThread::perform([path] { plat::runGuarded("onMkLink", [&] { onMkLink(path); }); });
}

std::vector<std::string> IconMsg::getHistory() {
  std::vector<std::string> out;
  if (auto ud = AppDelegate::shared().userdata()) {
    for (const auto& v : ud->historyArray()) out.push_back(v.string());
  }
  return out;
}

std::vector<QuorvaMenuItem> IconMsg::getMenu() {
  std::vector<QuorvaMenuItem> out;
  if (auto ud = AppDelegate::shared().userdata()) {
    for (const auto& m : ud->menuArray()) out.push_back({m.title(), m.status()});
  }
  return out;
}

void IconMsg::addHistory(const std::string& path) {
  auto ud = AppDelegate::shared().userdata();
  if (!ud) return;
  const size_t slash = path.rfind('/');
  const std::string parent = slash == std::string::npos ? std::string() : path.substr(0, slash);
  if (parent.empty()) return;
  plat::Array history = ud->historyArray();
  for (const auto& v : history) {
    if (v.string() == parent) return;
  }
  if (history.size() >= 5) history.erase(history.begin() + 4, history.end());
  history.insert(history.begin(), plat::Value(parent));
  ud->setHistoryArray(history);
  std::vector<std::string> entries;
  for (const auto& v : history) entries.push_back(v.string());
  if (auto s = AppDelegate::shared().sync()) {
    if (auto db = s->syncdb()) db->setHistory(entries);
  }
}

void IconMsg::finderselect(const std::string& path) {
  plat::MainThread::perform([path] { AppDelegate::shared().checkfinderselectpath(path); });
}

std::string IconMsg::mkLinkURL(const std::string& configPath, const std::string& path) {
  std::string url = NSStringExpand::stringByAddingPercentEscapes("file://" + configPath + "/UI/default/chs/add_link.html");
  if (!path.empty()) url += "#" + NSStringExpand::urlEncoded(path);
  return url;
}

void IconMsg::onMkLink(const std::string& path) {
  auto ud = AppDelegate::shared().userdata();
  if (!ud) return;
  auto c = BrowserWebWindowController::make();
  c->setStrUrl(mkLinkURL(ud->configPath(), path));
  c->setBClose(true);
  c->showWindow();
  if (auto w = c->window()) {
    const double bar = w->isFullScreen() ? 0 : w->titleBarHeight();
    w->setSize({710, 470 + bar});
  }
  c->setAlertFrame();
}

std::optional<plat::Value> IconMsg::dispatch(const std::string& method, const plat::Array& args) {
  const auto text = [&](size_t i) -> const std::string* {
    return i < args.size() && args[i].isString() ? &args[i].string() : nullptr;
  };
  const auto integer = [&](size_t i) -> std::optional<int64_t> {
    if (i < args.size() && args[i].isNumber()) return args[i].longLongValue();
    return std::nullopt;
  };
  if (method == "getReset") return plat::Value(getReset());
  if (method == "getDbPath") return plat::Value(getDbPath());
  if (method == "getMountname") return plat::Value(getMountname());
  if (method == "getSyncPath") {
    auto p = getSyncPath();
    return p ? plat::Value(*p) : plat::Value();
  }
  if (method == "getOrgID") return plat::Value(static_cast<long long>(getOrgID()));
  if (method == "menuclick") {
    if (auto i = integer(0); i && text(1)) menuclick(*i, *text(1));
    return std::nullopt;
  }
  if (method == "menuhistory") {
    if (auto i = integer(0)) menuhistory(*i);
    return std::nullopt;
  }
  if (method == "menusyncnow") {
    if (text(0)) menusyncnow(*text(0));
    return std::nullopt;
  }
  if (method == "menumklink") {
    if (text(0)) menumklink(*text(0));
    return std::nullopt;
  }
  if (method == "getHistory") {
    plat::Array out;
    for (auto& h : getHistory()) out.emplace_back(h);
    return plat::Value(std::move(out));
  }
  if (method == "getMenu") {
    plat::Array out;
    for (auto& m : getMenu()) out.emplace_back(plat::Array{plat::Value(m.title), plat::Value(static_cast<long long>(m.status))});
    return plat::Value(std::move(out));
  }
  if (method == "finderselect") {
    if (text(0)) finderselect(*text(0));
    return std::nullopt;
  }
  if (method == "addHistory") {
    if (text(0)) addHistory(*text(0));
    return std::nullopt;
  }
  return std::nullopt;
}

bool IconMsg::startService() {
  std::lock_guard<std::mutex> l(gServiceMutex);
  if (gServer) return true;
  plat::Error error;
  gServer = plat::NamedConnectionServer::start(
      kConnectionName, [](const std::string& m, const plat::Array& a) { return gIconMsg.dispatch(m, a); }, &error);
  if (!gServer) plat::log("the plug-in's connection %s is not registered (%ld)", kConnectionName, error.code());
  return gServer != nullptr;
}

void IconMsg::stopService() {
  std::unique_ptr<plat::NamedConnectionServer> s;
  {
    std::lock_guard<std::mutex> l(gServiceMutex);
    s = std::move(gServer);
  }
}

bool IconMsg::serving() {
  std::lock_guard<std::mutex> l(gServiceMutex);
  return gServer != nullptr;
}
