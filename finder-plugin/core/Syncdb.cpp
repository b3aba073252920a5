#include "finder-plugin/core/Syncdb.h"

#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>

#include "Framework/Sqlite/SQDatabase.h"
#include "Framework/Sqlite/SQDatabaseQueue.h"
#include "Framework/Sqlite/SQResultSet.h"
#include "platform/foundation/case_fold.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/log.h"

namespace finder {
namespace {

constexpr const char* kPersonal = "个人的文件";
constexpr const char* kTeam = "团队的文件";
constexpr const char* kRecycle = "回收站.webloc";
constexpr double kSince1970To2001 = 978307200.0;

int64_t absoluteSeconds() {
  return static_cast<int64_t>(std::trunc(plat::currentClock().now().secondsSince1970 - kSince1970To2001));
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The same matching as the main application's statements: letter case
// folded in every script by qvfold(), the entries below a folder as the
// range of folded texts that begin with it and "/".
void qvfoldFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const unsigned char* t = sqlite3_value_text(argv[0]);
  if (!t) {
    sqlite3_result_null(ctx);
    return;
  }
  const std::string folded = plat::foldCase(reinterpret_cast<const char*>(t));
  sqlite3_result_text(ctx, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
}
constexpr const char* kOne = "qvfold(path)=?";
constexpr const char* kBelow = "(qvfold(path)>=? and qvfold(path)<?)";
constexpr const char* kTree = "(qvfold(path)=? or (qvfold(path)>=? and qvfold(path)<?))";
void addBelow(plat::Array& a, const std::string& path) {
  const std::string f = plat::foldCase(path);
  a.emplace_back(f + "/");
  a.emplace_back(f + "0");  // "0" is the byte after "/"
}
void addTree(plat::Array& a, const std::string& path) {
  a.emplace_back(plat::foldCase(path));
  addBelow(a, path);
}

// Reading is all the plug-in may do, but for its history.
int authorize(void*, int action, const char* table, const char*, const char*, const char*) {
  switch (action) {
    case SQLITE_READ:
    case SQLITE_SELECT:
    case SQLITE_FUNCTION:
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
    case SQLITE_RECURSIVE:
      return SQLITE_OK;
    case SQLITE_INSERT:
    case SQLITE_DELETE:
      return table && strcasecmp(table, "HISTORY") == 0 ? SQLITE_OK : SQLITE_DENY;
    default:
      return SQLITE_DENY;
  }
}

std::string trimSlashes(std::string p) {
  if (!p.empty() && p.front() == '/') p.erase(0, 1);
  if (!p.empty() && p.back() == '/') p.pop_back();
  return p;
}

bool hasRow(SQDatabase* db, const std::string& sql, const plat::Array& args, bool* failed = nullptr) {
  auto rs = db->executeQuery(sql, args);
  const bool row = rs && rs->next();
  if (!row && failed && (!rs || db->hadError())) *failed = true;
  return row;
}

}  // namespace

Syncdb::Syncdb() { overlaylist_.reserve(100); }
Syncdb::~Syncdb() { close(); }

std::string Syncdb::emblemFor(int state) {
  switch (state) {
    case 2: return "quorva-synced";
    case 3: return "quorva-lock";
    case 5: return "quorva-edit";
    case 6: return "quorva-unsync";
    default: return state > 0 ? "quorva-normally" : std::string();
  }
}

std::shared_ptr<SQDatabaseQueue> Syncdb::queue() const {
  std::lock_guard<std::mutex> l(mutex_);
  return dbQueue_;
}

std::string Syncdb::syncpath() const {
  std::lock_guard<std::mutex> l(mutex_);
  return syncpath_;
}

std::string Syncdb::mountName() const {
  std::lock_guard<std::mutex> l(mutex_);
  return mountName_;
}

bool Syncdb::setpath(const std::string& dbpath, const std::string& syncpath, const std::string& mountname,
                     int64_t orgid) {
  close();
  // The queue would create a missing file: the plug-in makes none.
  struct stat st;
  if (::stat(dbpath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  auto q = SQDatabaseQueue::databaseQueueWithPath(dbpath);
  if (!q) return false;
  bool ready = false;
  q->inDatabase([&](SQDatabase* db) {
    if (!db->goodConnection()) return;
    db->setBusyRetryTimeout(kBusyRetries);
    sqlite3_create_function_v2(db->sqliteHandle(), "qvfold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS,
                               nullptr, &qvfoldFunction, nullptr, nullptr, nullptr);
    sqlite3_set_authorizer(db->sqliteHandle(), &authorize, nullptr);
    ready = true;
  });
  if (!ready) {
    q->close();
    return false;
  }
  std::string root = syncpath;
  if (!root.empty() && root.back() != '/') root += '/';
  {
    std::lock_guard<std::mutex> l(mutex_);
    syncpath_ = root;
    mountName_ = mountname;
    dbQueue_ = q;
  }
  bStart_ = true;
  orgid_ = orgid;
  linkfolders_.set(getlinknodes());
  unsyncnodes_.setnode(getunsyncnodes());
  syncshares_.removeall();
  for (const auto& v : getallversion()) {
    if (v.webpath == "/") continue;
    syncshares_.add(trimSlashes(v.webpath), v.type, v.local, v.org);
  }
  return true;
}

void Syncdb::close() {
  bStart_ = false;
  std::shared_ptr<SQDatabaseQueue> q;
  {
    std::lock_guard<std::mutex> l(mutex_);
    syncpath_.clear();
    q = std::move(dbQueue_);
  }
  if (q) q->close();
}


std::string Syncdb::getrelativepath(const std::string& path, int* type) const {
  *type = -1;
  const std::string root = syncpath();
  std::string rel = linkfolders_.getrelativepath(path);
  if (!rel.empty()) {
    *type = 0;
    return rel;
  }
  if (root.empty()) return {};
  const std::string l = lower(path);
  const std::string team = lower(root + kTeam + "/"), personal = lower(root + kPersonal + "/");
  if (orgid() > 0 && startsWith(l, team)) {
    *type = 2;
    return path.substr(team.size());
  }
  if (startsWith(l, personal)) {
    *type = 1;
    return path.substr(personal.size());
  }
  if (startsWith(l, lower(root))) {
    std::string rest = path.substr(root.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    *type = rest == kPersonal ? 1 : rest == kTeam ? 2 : rest == kRecycle ? 4 : 3;
    return {};
  }
  return {};
}

int Syncdb::checkfilepath(int type, const std::string& webpath) const {
  if (type == 1) {
    if (linkfolders_.islinkforwebpath(webpath)) return 1;
    if (syncshares_.isorg(webpath)) return 2;
  } else if (type == 2) {
    if (linkfolders_.islinkforwebpath(webpath)) return 1;
    if (webpath.find('/') == std::string::npos && !syncshares_.isorg(webpath)) return 3;
  }
  return 0;
}

bool Syncdb::isdir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> Syncdb::teamRoots(SQDatabase* db) {
  std::vector<std::string> roots;
  if (auto rs = db->executeQuery("select path from VERSION where org=1")) {
    while (rs->next()) {
      std::string p = trimSlashes(rs->stringForColumnIndex(0).value_or(""));
      if (!p.empty()) roots.push_back(p);
    }
  }
  return roots;
}

int Syncdb::getstatus(const std::string& path, bool showparent) {
  int state = 0;
  bool cacheIt = false;
  try {
    state = lookup(path, showparent, &cacheIt);
  } catch (const std::exception& e) {
    plat::log("plug-in lookup of %s failed: %s", path.c_str(), e.what());
    cacheIt = false;
  }
  if (cacheIt) add_overtemp(path, state);
  return state;
}

int Syncdb::lookup(const std::string& path, bool showparent, bool* cacheIt) {
  auto q = queue();
  if (!bStart_ || !q || syncpath().empty()) return 0;
  int type = -1;
  const std::string webpath = getrelativepath(path, &type);
  if (type == -1) return 0;
  int cached = 0;
  if (check_overtemp(path, &cached)) return cached;
  *cacheIt = true;
  if (!unsyncnodes_.need_sync(webpath, isdir(path))) return 6;
  if (webpath.empty() && type == 3) return 6;
  if (type == 4) {
    *cacheIt = false;
    return 0;
  }
  if (!webpath.empty() && checkfilepath(type, webpath) >= 1) return 6;
  if (!showparent && (type == 1 || type == 2) && webpath.empty()) {
    *cacheIt = false;
    return 0;
  }
  int state = 0;
  // A statement that failed (the file busy past the bounded wait) gives no
  // row, and its answer is not kept: the next drawing asks again.
  bool failed = false;
  q->inDatabase([&](SQDatabase* db) {
    if (webpath.empty() && (type == 1 || type == 2)) {
      // An area root: anything still to sync in it (the team roots are the
      // team area's, everything else the personal area's).
      const auto roots = teamRoots(db);
      plat::Array args;
      std::string cond;
      for (const auto& r : roots) {
        if (!cond.empty()) cond += " or ";
        cond += kTree;
        addTree(args, r);
      }
      if (type == 2 && roots.empty()) {
        state = 2;
        return;
      }
      std::string sql = "select path from SYNC where status!=4 and status!=7";
      if (!roots.empty()) sql += type == 1 ? " and not (" + cond + ")" : " and (" + cond + ")";
      state = hasRow(db, sql + " limit 1", args, &failed) ? 1 : 2;
      return;
    }
    auto rs = db->executeQuery(std::string("SELECT status,lock,type FROM SYNC WHERE ") + kOne + " limit 1",
                               plat::Array{plat::Value(plat::foldCase(webpath))});
    const bool row = rs && rs->next();
    if (!row && (!rs || db->hadError())) failed = true;
    if (!row) {
      state = 0;
      return;
    }
    const int64_t status = rs->longLongIntForColumnIndex(0), lock = rs->longLongIntForColumnIndex(1),
                  kind = rs->longLongIntForColumnIndex(2);
    rs->close();
    if (kind == 1) {
      state = status != 4 ? 1 : lock == 1 ? 3 : lock == 2 ? 5 : 2;
      return;
    }
    plat::Array args;
    addBelow(args, webpath);
    state = hasRow(db, std::string("select 1 from SYNC where ") + kBelow + " and status!=4 and status!=7 limit 1", args,
                   &failed)
                ? 1
                : 2;
  });
  if (failed) {
    *cacheIt = false;
    return 0;
  }
  return state;
}

int Syncdb::getrightstatus(const std::string& path) {
  const int state = getstatus(path, false);
  if ((state == 2 || state == 3 || state == 5) && check_local(path)) return 4;
  return state;
}

bool Syncdb::check_local(const std::string& path) {
  const std::string root = syncpath();
  auto q = queue();
  if (!bStart_ || !q || root.empty() || path.find(root) == std::string::npos) return false;
  // VERSION holds cloud paths: the path is compared as the cloud path of
  // its area, not with the area's folder name left in front.
  int type = -1;
  const std::string rest = getrelativepath(path, &type);
  if (type < 0) return false;
  bool found = false;
  try {
    q->inDatabase([&](SQDatabase* db) {
      found = hasRow(db, "SELECT 1 FROM VERSION WHERE ? like replace(replace(replace(path,'\\','\\\\'),'%','\\%'),'_','\\_')||'%' escape '\\' and path!='/' and local=1 limit 1",
                     plat::Array{plat::Value("/" + rest)});
    });
  } catch (const std::exception& e) {
    plat::log("plug-in check_local failed: %s", e.what());
  }
  return found;
}

bool Syncdb::check_mount(const std::string& path) const {
  const std::string root = syncpath();
  return bStart_ && !root.empty() && (path == root || path + "/" == root);
}

bool Syncdb::check_sync(const std::string& path) const {
  const std::string root = syncpath();
  return bStart_ && !root.empty() && (path.find(root) != std::string::npos || linkfolders_.islinkforfullpath(path));
}

bool Syncdb::check_overtemp(const std::string& path, int* status) {
  for (auto it = overlaylist_.begin(); it != overlaylist_.end(); ++it) {
    if (it->path != path) continue;
    if (absoluteSeconds() - it->time > 2) {
      overlaylist_.erase(it);
      return false;
    }
    *status = it->status;
    return true;
  }
  return false;
}

void Syncdb::add_overtemp(const std::string& path, int status) {
  if (overlaylist_.size() > static_cast<size_t>(kCacheLimit)) overlaylist_.erase(overlaylist_.begin());
  overlaylist_.push_back({path, status, absoluteSeconds()});
}

void Syncdb::addHistory(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
  if (folder.empty()) return;
  if (std::find(historylist_.begin(), historylist_.end(), folder) != historylist_.end()) return;
  if (historylist_.size() > static_cast<size_t>(kHistoryLimit - 1)) historylist_.erase(historylist_.begin() + (kHistoryLimit - 1), historylist_.end());
  historylist_.insert(historylist_.begin(), folder);
  sethistory(historylist_);
}

void Syncdb::sethistory(const std::vector<std::string>& list) {
  auto q = queue();
  if (!bStart_ || !q || syncpath().empty()) return;
  try {
    q->inDatabase([&](SQDatabase* db) {
      if (!db->executeUpdate("delete from HISTORY;")) return;
      for (const auto& p : list) {
        if (!db->executeUpdate("insert into HISTORY(path) values(?);", plat::Array{plat::Value(p)})) return;
      }
    });
  } catch (const std::exception& e) {
    plat::log("plug-in history write failed: %s", e.what());
  }
}

std::vector<std::string> Syncdb::gethistory() {
  historylist_.clear();
  if (auto q = queue()) {
    q->inDatabase([&](SQDatabase* db) {
      if (auto rs = db->executeQuery("select path from HISTORY")) {
        while (rs->next()) historylist_.push_back(rs->stringForColumnIndex(0).value_or(""));
      }
    });
  }
  return historylist_;
}

std::vector<QuorvaMenuItem> Syncdb::getMenu() {
  std::vector<QuorvaMenuItem> out;
  if (auto q = queue()) {
    q->inDatabase([&](SQDatabase* db) {
      if (auto rs = db->executeQuery("select name,status from MENU")) {
        while (rs->next()) out.push_back({rs->stringForColumnIndex(0).value_or(""), rs->longLongIntForColumnIndex(1)});
      }
    });
  }
  return out;
}

std::vector<LinkFolderNode> Syncdb::getlinknodes() {
  std::vector<LinkFolderNode> out;
  if (auto q = queue()) {
    q->inDatabase([&](SQDatabase* db) {
      if (auto rs = db->executeQuery("select srcpath,dstpath from LINKNODE")) {
        while (rs->next()) {
          std::string full = rs->stringForColumnIndex(1).value_or("");
          while (full.size() > 1 && full.back() == '/') full.pop_back();
          out.push_back({rs->stringForColumnIndex(0).value_or(""), full});
        }
      }
    });
  }
  return out;
}

std::vector<UnSyncNodeItem> Syncdb::getunsyncnodes() {
  std::vector<UnSyncNodeItem> out;
  if (auto q = queue()) {
    q->inDatabase([&](SQDatabase* db) {
      if (auto rs = db->executeQuery("select path,type from SYNCNODES")) {
        while (rs->next()) out.push_back({rs->stringForColumnIndex(0).value_or(""), rs->longLongIntForColumnIndex(1)});
      }
    });
  }
  return out;
}

std::vector<ShareNode> Syncdb::getallversion() {
  std::vector<ShareNode> out;
  if (auto q = queue()) {
    q->inDatabase([&](SQDatabase* db) {
      if (auto rs = db->executeQuery("select path,synctype,local,org from VERSION")) {
        while (rs->next()) {
          out.push_back({rs->stringForColumnIndex(0).value_or(""), rs->longLongIntForColumnIndex(1),
                         rs->longLongIntForColumnIndex(2), rs->longLongIntForColumnIndex(3)});
        }
      }
    });
  }
  return out;
}

}  // namespace finder
