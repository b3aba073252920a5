#include "app/core/UserData.h"

#include <sys/stat.h>

#include <cstdlib>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "platform/system/host_info.h"

namespace {

// Values of the device description go into a JSON text: quotes, backslashes
// and control characters in a computer or user name must not break it.
std::string jsonEscaped(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      out += plat::format("\\u%04x", static_cast<unsigned>(c));
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string sizeText(int64_t bytes) {
  if (bytes < 1073741824LL) return plat::format("%.2fM", static_cast<double>(bytes) / 1048576.0);
  return plat::format("%.2fG", static_cast<double>(bytes) / 1073741824.0);
}

}  // namespace

UserData::UserData() : configPath_(plat::format("%@/.quorvacfg", plat::homeDirectory())) {
  moveoldconfig();
  computerid_ = Util::getcomputerid();
}

#define QV_TEXT_FIELD(Type, name, Setter)          \
  Type UserData::name() const {                    \
    std::lock_guard<std::mutex> l(mutex_);         \
    return name##_;                                \
  }                                                \
  void UserData::Setter(Type v) {                  \
    std::lock_guard<std::mutex> l(mutex_);         \
    name##_ = std::move(v);                        \
  }

QV_TEXT_FIELD(std::string, userName, setUserName)
QV_TEXT_FIELD(std::string, userPassword, setUserPassword)
QV_TEXT_FIELD(std::string, userToken, setUserToken)
QV_TEXT_FIELD(std::string, refreshToken, setRefreshToken)
QV_TEXT_FIELD(std::string, orgName, setOrgName)
QV_TEXT_FIELD(std::string, orgUserName, setOrgUserName)
QV_TEXT_FIELD(std::optional<std::string>, userEmail, setUserEmail)
QV_TEXT_FIELD(std::optional<std::string>, userWebName, setUserWebName)
QV_TEXT_FIELD(std::optional<std::string>, userPhoto, setUserPhoto)
QV_TEXT_FIELD(std::optional<std::string>, computerid, setComputerid)
QV_TEXT_FIELD(std::vector<QVMenuItem>, menuArray, setMenuArray)
QV_TEXT_FIELD(plat::Array, historyArray, setHistoryArray)
QV_TEXT_FIELD(std::string, jsonUserinfo, setJsonUserinfo)
#undef QV_TEXT_FIELD

void UserData::setTokens(std::string userToken, std::string refreshToken, int64_t expiresTime) {
  std::lock_guard<std::mutex> l(mutex_);
  userToken_ = std::move(userToken);
  refreshToken_ = std::move(refreshToken);
  expiresTime_.store(expiresTime);
}

// ---- The configuration folder ----

std::string UserData::getsetting() const { return plat::format("%@/settings.db", configPath_); }

std::string UserData::getmountpath() const { return plat::format("%@/%ld", configPath_, static_cast<long>(userID())); }

std::string UserData::getmountdb() const {
  std::string dir = getmountpath();
  Util::createfolder(dir);
  return plat::format("%@/qvmountex.db", dir);
}

std::string UserData::getoldmountdb() const {
  std::string dir = getmountpath();
  Util::createfolder(dir);
  return plat::format("%@/mount.db", dir);
}

std::string UserData::getcache() const {
  std::string dir = getmountpath();
  Util::createfolder(dir);
  return plat::format("%@/cache", dir);
}

std::string UserData::getmsgpath() const {
  return plat::format("%@/%ld/msg.dat", configPath_, static_cast<long>(userID()));
}

std::string UserData::mountFolder() const {
  return plat::format("%@/%ld/%ld", configPath_, static_cast<long>(userID()), static_cast<long>(mountID()));
}

std::string UserData::gettranscache() const {
  std::string dir = mountFolder();
  Util::createfolder(dir);
  return plat::format("%@/cache", dir);
}

std::string UserData::getsyncdb() const {
  std::string dir = mountFolder();
  Util::createfolder(dir);
  return plat::format("%@/qvsyncdbex.db", dir);
}

std::string UserData::getoldsyncdb() const {
  std::string dir = mountFolder();
  Util::createfolder(dir);
  return plat::format("%@/qvsyncdb.db", dir);
}

std::string UserData::getappupdatepath() const { return plat::format("%@/quorvaupdate.dmg", configPath_); }

std::string UserData::getsyncpath(const std::string& folder) {
  return plat::format("%@/%@/", folder, getmountname());
}

std::string UserData::getnormalpath() { return getsyncpath(plat::homeDirectory()); }

std::string UserData::getmountname() { return "我的Quorva"; }

// ---- The device ----

std::string UserData::getinfo() const { return infoOf(getcomputertype(), getversion(), getcomputerusername()); }

std::string UserData::infoOf(const std::string& brand, const std::string& version, const std::string& display) {
  return plat::format("{\"BRAND\":\"%@\",\"VERSION\":\"%@\",\"DISPLAY\":\"%@\",\"CLIENT_ID\":\"%@\"}",
                      jsonEscaped(brand), jsonEscaped(version), jsonEscaped(display), kClientId);
}

std::string UserData::getcomputer() { return plat::computerName(); }

std::string UserData::getcomputerusername() { return plat::userName(); }

std::string UserData::getcomputertype() { return computertypeOf(getcomputer()); }

std::string UserData::computertypeOf(const std::string& name) {
  static const std::string mark = "\u201C";  // “
  std::vector<std::string> pieces;
  size_t pos = 0;
  for (;;) {
    size_t at = name.find(mark, pos);
    pieces.push_back(name.substr(pos, at == std::string::npos ? std::string::npos : at - pos));
    if (at == std::string::npos) break;
    pos = at + mark.size();
  }
  if (pieces.size() < 2) return name;
  std::string last = pieces.back();
  if (last.empty()) return "";
  // Without its last character, the closing mark ” (three bytes in UTF-8).
  size_t cut = last.size() - 1;
  while (cut > 0 && (static_cast<unsigned char>(last[cut]) & 0xC0) == 0x80) --cut;
  return last.substr(0, cut);
}

std::string UserData::getversion() {
  auto v = plat::systemVersion();
  return plat::format("Linux %d.%d.%d", v.major, v.minor, v.patch);
}

std::string UserData::getsize() const {
  int64_t used = usersize();
  if (orgID() != 0) return plat::format("个人已用%@,团队已用%@", sizeText(used), sizeText(orgsize()));
  int64_t total = mountsize();
  int64_t free = used > total ? 0 : total - used;
  return plat::format("%@可用, 总%@", sizeText(free), sizeText(total));
}

// ---- Migration of the earlier folder ----

void UserData::moveoldconfig() {
  std::string old = plat::format("%@/quorvacfg", plat::homeDirectory());
  bool complete = true;
  if (!Util::existfile(getsetting()) && Util::existfile(plat::format("%@/settings.db", old))) {
    auto copy = [&](const std::string& sub) {
      std::string source = plat::format("%@/%@", old, sub);
      std::string target = plat::format("%@/%@", configPath_, sub);
      auto st = plat::statNoFollow(source);
      if (!st) return false;
      // A folder's databases come one by one: their sub-paths hold its name.
      if (st->isDirectory) return Util::createfolder(target);
      // The databases hold the password and the tokens. The copy takes the
      // source's mode, so the source is made private first (a failure there
      // only opens a moment's window); the copy itself must be a private file,
      // checked, or it counts as not come across. A link is not copied as a
      // link (it would lead into the folder that goes, or to a file kept
      // readable): the file it leads to is copied, and left as it is.
      if (!st->isSymlink) {
        plat::makeOwnerOnly(source);
      } else {
        auto real = plat::statFollow(source);
        if (!real) return true;  // a link that leads nowhere holds nothing to bring
        if (!real->isRegular) return false;
        char* resolved = realpath(source.c_str(), nullptr);
        if (!resolved) return false;
        source = resolved;
        free(resolved);
      }
      bool ok = Util::createfolder(NSStringExpand::getParent(target)) && Util::copyfile(source, target);
      if (ok && !plat::makeOwnerOnly(target)) {
        plat::log("moveoldconfig: %@ could not be made private", target);
        Util::deletefile(target);
        ok = false;
      }
      return ok;
    };
    for (const auto& sub : Util::subpathsAtPath(old).value_or(std::vector<std::string>{})) {
      if (sub.find(".db") == std::string::npos || sub == "settings.db") continue;
      complete = copy(sub) && complete;
    }
    // The settings go last: while they are missing here, the next launch
    // tries the whole migration again.
    complete = complete && copy("settings.db");
  }
  if (!Util::existfile(old)) return;
  // The earlier folder is the only copy of what did not come across.
  if (!complete) {
    plat::log("moveoldconfig: copy from %@ incomplete, the folder is kept", old);
    return;
  }
  Util::deletefile(old);
}
