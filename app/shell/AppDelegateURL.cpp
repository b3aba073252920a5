// qvp:// commands: "qvp://" and the Base64 of "command|argument|...". Web
// pages of the service and the desktop links we write start them through
// the desktop (any program, any page the user opens, may make one); our own
// pages start them through the bridge. What acts with the user's token
// (reporting a save, signing a link) runs only for our own pages; a command
// from the desktop opens the web site without signing in for the user.
#include <cstdlib>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/shell/AppDelegate.h"
#include "app/core/QVLog.h"
#include "app/core/ServiceHosts.h"
#include "app/shell/SyncEngineCalls.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/windows/WebWindows.h"
#include "app/interface/HTTPEngine.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/ui/toolkit.h"

namespace {

std::vector<std::string> fieldsOf(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t bar = text.find('|', start);
    out.push_back(text.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    if (bar == std::string::npos) return out;
    start = bar + 1;
  }
}

// The integer value of a field as the system reads it: leading blanks, a
// sign, the digits; 0 without any.
int64_t numberOf(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  int64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (v < 100000000000000LL) v = v * 10 + (s[i] - '0');
  }
  return negative ? -v : v;
}

int alert(const std::string& title, const std::string& text, std::vector<std::string> buttons) {
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return plat::kAlertFirstButtonReturn + static_cast<int>(buttons.size());
  return toolkit->runAlert({title, text, std::move(buttons)});
}

// A page of the web site: signed in for the user when our own page asks
// (the single-sign-on link takes the page as given); otherwise the plain
// address of a path of the site itself, a cloud path standing for its file
// page.
std::optional<std::string> sitePage(const std::string& page, AppDelegate::QvpSource source) {
  if (source == AppDelegate::QvpSource::kOwnPage) return Util::signedSiteLink(page);
  if (page.rfind("//", 0) == 0 || page.find('\\') != std::string::npos ||
      page.find_first_of("\r\n") != std::string::npos) {
    return std::nullopt;
  }
  const std::string site = Util::getDealWithHttpsOrHttpUrl("http://" + ServiceHosts::webSite());
  if (!page.empty() && page[0] == '/') return site + page;
  return site + "/storage/file?fullpath=" + NSStringExpand::urlEncoded(page);
}

// The property list of a desktop link, lines ended by CR LF.
std::string weblocOf(const std::string& link) {
  std::string escaped;
  for (char c : link) {
    if (c == '&') escaped += "&amp;";
    else if (c == '<') escaped += "&lt;";
    else if (c == '>') escaped += "&gt;";
    else escaped += c;
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\r\n"
         "<plist version=\"1.0\">\r\n"
         "<dict>\r\n"
         "\t<key>URL</key>\r\n"
         "\t<string>" + escaped + "</string>\r\n"
         "</dict>\r\n"
         "</plist>\r\n";
}

// Why a command was refused, with the argument that made it so: the
// argument comes from whoever made the address, so the line holds its
// beginning only.
void refused(const std::string& why, const std::string& argument = {}) {
  constexpr size_t kShown = 200;
  std::string shown = argument;
  if (shown.size() > kShown) {
    size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
    shown = plat::format("%@...(%ld bytes)", shown.substr(0, cut), static_cast<long>(argument.size()));
  }
  QVLog::sharedQVLog().addLogErrorFile("qvp://", why + shown);
}

}  // namespace

std::string AppDelegate::desktopFolder() {
  // The desktop's own setting (xdg-user-dirs), else ~/Desktop.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string config = xdg && xdg[0] == '/' ? std::string(xdg) : plat::homeDirectory() + "/.config";
  if (auto dirs = plat::readFile(config + "/user-dirs.dirs")) {
    size_t pos = dirs->find("XDG_DESKTOP_DIR=\"");
    if (pos != std::string::npos) {
      pos += 17;
      size_t end = dirs->find('"', pos);
      std::string dir = dirs->substr(pos, end == std::string::npos ? std::string::npos : end - pos);
      if (dir.rfind("$HOME", 0) == 0) dir = plat::homeDirectory() + dir.substr(5);
      if (!dir.empty() && dir[0] == '/') return dir;
    }
  }
  return plat::homeDirectory() + "/Desktop";
}

bool AppDelegate::isPlainLinkName(const std::string& name) {
  if (name.empty() || name.size() > 200 || name == "." || name == ".." || name[0] == '.') return false;
  for (unsigned char c : name) {
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

void AppDelegate::OpenQvpUrl(const std::string& url, QvpSource source) {
  const std::string encoded = url.size() > 6 ? url.substr(6) : std::string();
  const std::string text = NSStringExpand::base64Decoded(encoded).value_or("");
  const std::vector<std::string> f = text.empty() ? std::vector<std::string>{} : fieldsOf(text);
  auto field = [&](size_t i) { return i < f.size() ? f[i] : std::string(); };
  const int64_t command = f.empty() ? 0 : numberOf(f[0]);
  const bool own = source == QvpSource::kOwnPage;

  if (command > 999999) {
    if (command == 1000000) OpenLaunchpadWindow("recyclebin");
    else onMenuOpenSyncFolderClicked();
    return;
  }
  if (command == 1) {
    auto ud = userdata();
    if (!bLogin() || !ud || numberOf(field(1)) != ud->mountID()) {
      onMenuOpenSyncFolderClicked();
      return;
    }
    auto s = sync();
    if (!s) return;
    const std::string webpath = field(2);
    auto local = syncengine::localPathOf(*s, webpath);
    if (!local) {
      refused("不在同步文件夹中的路径：", webpath);
      return;
    }
    if (Util::existfile(*local)) {
      Util::openFile(*local);
      return;
    }
    if (alert("温馨提示", "当前文件还未同步到本地,是否在网页上打开?", {"确定", "取消"}) != plat::kAlertFirstButtonReturn) {
      return;
    }
    // The file's page on the site, from either source: the argument is a
    // cloud path (a leading "/" too), never a page of the site.
    if (auto page = sitePage("/storage/file?fullpath=" + NSStringExpand::urlEncoded(webpath), source)) {
      Util::openWebUrl(*page);
    }
    return;
  }
  if (command == 2 || command == 3) {
    if (!own) {
      refused("来自其他程序的保存命令不会执行");
      return;
    }
    auto ud = userdata();
    if (ud) HTTPEngine::save_file(ud->userToken(), command, numberOf(field(1)), field(2), field(3), field(4));
    return;
  }
  if (command == 6) {
    const std::string name = NSStringExpand::urlDecoded(field(1)).value_or("");
    if (!isPlainLinkName(name)) {
      refused("桌面链接的名字不能用：", name);
      return;
    }
    const std::string desktop = desktopFolder();
    if (!Util::isdir(desktop)) return;
    const std::string file = plat::format("%@%@.webloc", NSStringExpand::lastaddslash(desktop), name);
    if (Util::existfile(file) &&
        alert("保存提示", plat::format("桌面已经存在[%@]，是否覆盖？", name), {"是", "否"}) != plat::kAlertFirstButtonReturn) {
      return;
    }
    const std::string link = "qvp://" + NSStringExpand::base64Encoded("1000|" + field(2)).value_or("");
    // Written beside and renamed into place: a link already at the name is
    // replaced, never followed.
    if (!plat::atomicWrite(file, weblocOf(link), 0644)) return;
    Util::setfileexthide(file);
    alert("保存成功", plat::format("您已经成功保存[%@]到桌面", name), {"确定"});
    return;
  }
  if (command == 1000) {
    std::string address;
    if (f.size() > 1) {
      auto page = sitePage(NSStringExpand::urlDecoded(field(1)).value_or(""), source);
      if (!page) {
        refused("不是网站的页面：", field(1));
        return;
      }
      address = *page;
    }
    auto c = BrowserWebWindowController::make();
    c->setStrUrl(address);
    c->showWindow();
    auto w = c->window();
    const double bar = w->isFullScreen() ? 0 : w->titleBarHeight();
    w->setSize({1000, 600 + bar});
    c->setAlertFrame();
    return;
  }
  onMenuOpenSyncFolderClicked();
}
