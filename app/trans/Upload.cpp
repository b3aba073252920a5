#include "app/trans/Upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "Framework/Staticclass/NSDataExpand.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/QVLog.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/core/AppServices.h"
#include "app/interface/HTTPEngine.h"
#include "app/trans/TransManager.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "platform/foundation/thread.h"
#include "platform/net/url_connection.h"

namespace {

std::optional<plat::FileStat> statOf(const std::string& path) { return plat::statFollow(path); }

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Reads exactly n bytes at `offset`; false on a short read.
bool readAt(int fd, uint64_t offset, uint8_t* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::pread(fd, out + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

Upload::Upload(TransItem item, TransManager& parent) : item_(std::move(item)), manager_(parent) {
  filesize_ = item_.filesize;
}

Upload::~Upload() {
  bOut_ = true;
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  if (thread_.joinable()) thread_.detach();
  settleahead();
  closeFd(fileHandle_);
  closeFd(diffileHandle_);
}

std::shared_ptr<Upload> Upload::init(TransItem item, TransManager& parent) {
  return std::make_shared<Upload>(std::move(item), parent);
}

void Upload::start() {
  log("开始上传:");
  bOut_ = false;
  // The thread holds the upload while it runs; the manager holds it until
  // the thread is joined.
  thread_ = plat::startThread("upload", [self = shared_from_this()] { self->run(); });
}

void Upload::stop(bool abort) {
  bAbort_ = abort;
  bOut_ = true;
  // The request in flight ends now, not when the server answers.
  cancel_->cancel();
}

void Upload::join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

double Upload::getprogress() const {
  const uint64_t size = filesize_.load();
  return size == 0 ? 0 : static_cast<double>(ulloffset_.load()) / static_cast<double>(size);
}

int32_t Upload::getsendsize(uint64_t filesize) {
  if (filesize < 1048576) return 32768;
  if (filesize < 33554432) return 65536;
  if (filesize < 1073741824) return 524288;
  return 1048576;
}

bool Upload::safehash(const std::string& hash) {
  if (hash.empty() || hash.size() > 128) return false;
  for (char c : hash) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

std::string Upload::cachefile(const char* suffix) const {
  if (!item_.cachepath || item_.pathhash.empty()) return "";
  return plat::format("%@/upload_%@_%@", *item_.cachepath, item_.pathhash, item_.filehash) + suffix;
}

uint64_t Upload::getfilesize() const {
  if (piecelen_ != 0 && diffileHandle_ >= 0) {
    struct stat st{};
    return ::fstat(diffileHandle_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }
  return filesize_.load();
}

void Upload::log(const std::string& info, bool isError) const {
  if (isError) {
    QVLog::sharedQVLog().addLogErrorFile(item_.webpath, info);
  } else {
    QVLog::sharedQVLog().addLogNormalFile(item_.webpath, info);
  }
}

void Upload::pause(double seconds) const {
  // Cut short by a stop: the thread ends at its next check anyway.
  auto& clock = plat::currentClock();
  double left = seconds;
  while (left > 0 && !bOut_) {
    const double step = left < 0.05 ? left : 0.05;
    clock.sleepFor(step);
    left -= step;
  }
}

void Upload::getfilehash() {
  item_.filehash = Util::getfilehash(item_.path).value_or("");
}

bool Upload::unchanged() const {
  auto st = statOf(item_.path);
  return st && st->size == hashedSize_ && st->modified.secondsSince1970 == hashedTime_;
}

void Upload::changedDuringUpload() {
  log("文件已改变,重新上传:", true);
  if (!item_.session.empty()) send_abort();
  if (auto sync = manager_.sync()) {
    if (auto db = sync->syncdb()) db->update_filehash(item_.webpath, "");
  }
  strError_.assign(1, ' ');  // (assigning the literal trips a false -Wrestrict of GCC 12)
  manager_.removeupload(this);
}

void Upload::run() {
  plat::CancelScope cancellable(cancel_);
  try {
    runsteps();
  } catch (const std::exception& e) {
    failed(e.what());
  } catch (...) {
    failed("unknown");
  }
  // A piece read ahead for nothing: done with its file before the thread ends.
  settleahead();
}

void Upload::settleahead() {
  if (ahead_.valid()) ahead_.wait();
  ahead_ = {};
}

// Whatever threw, the upload fails and its slot is freed.
void Upload::failed(const char* what) {
  plat::log("upload: uncaught exception: %s", what);
  try {
    error(80, std::nullopt);
  } catch (...) {
    manager_.removeupload(this);
  }
}

void Upload::runsteps() {
  {
    if (bOut_) return;
    auto sync = manager_.sync();
    auto db = sync ? sync->syncdb() : nullptr;
    auto user = Util::getAppDelegate().userdata();
    if (!db || !user) {
      manager_.removeupload(this);
      return;
    }

    // Hash, with the size and time of the file around it: a file written
    // while it is hashed gives no hash.
    log("计算文件HASH:");
    auto before = statOf(item_.path);
    getfilehash();
    auto after = statOf(item_.path);
    if (item_.filehash.empty() || !before || !after || before->size != after->size ||
        before->modified.secondsSince1970 != after->modified.secondsSince1970) {
      item_.filehash.clear();
      log("文件打开失败:", true);
      error(82, std::nullopt);
      return;
    }
    hashedSize_ = after->size;
    hashedTime_ = after->modified.secondsSince1970;
    db->update_filehash(item_.webpath, item_.filehash);

    fileHandle_ = ::open(item_.path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fileHandle_ < 0 || ::fstat(fileHandle_, &st) != 0) {
      log("文件打开失败:", true);
      error(81, std::nullopt);
      return;
    }
    item_.filesize = static_cast<uint64_t>(st.st_size);
    filesize_ = item_.filesize;

    SyncFileItem row = db->get_single_file(item_.webpath);
    const int64_t version = row.status != -1 ? row.version : 0;

    // An edit of a file this disk held: the service may have taken another
    // client's version since, one this disk never saw. It is kept before
    // this upload replaces it, then the file goes again.
    if (row.status != -1 && row.file && row.diskversion > 0) {
      const RetReget now = HTTPEngine::reget(user->userToken(), item_.webpath, user->mountID());
      if (now.status == 200 && !now.dir && now.version > row.diskversion && now.filehash != item_.filehash) {
        CompareItem current;
        current.webpath = item_.webpath, current.cmd = 1, current.filehash = now.filehash;
        current.filesize = static_cast<int64_t>(now.filesize), current.version = now.version;
        current.lastmemberid = now.last_member_id;
        if (sync->keepbeforeupload(current)) {
          log("云端有本地没有的新版本，先保存后再上传:");
          manager_.removeupload(this);
          return;
        }
      }
    }

    log("获取服务器地址:");
    RetAddFile added = HTTPEngine::addfile(user->userToken(), item_.webpath, user->mountID(), item_.filehash,
                                           static_cast<int64_t>(item_.filesize), version);
    if (added.status != 200) {
      log(plat::format("获取服务器地址失败,返回 %@ :", added.errormsg.value_or("")), true);
      if (added.error == 40322) {
        if (row.status == 1 || row.status == 3) db->update_status(item_.webpath, 6);
        std::string parent;
        if (sync->syncshare().isreadonly(item_.webpath, parent) && !manager_.getTransErrorMsgFileHash(item_.filehash)) {
          manager_.addTransErrorMsgFileHash(
              item_.filehash, plat::format("您共享文件夹[%@]的权限是查看者，不能新增或修改文件", parent));
        }
        manager_.removeupload(this);
        return;
      }
      if (added.errormsg) manager_.addTransErrorMsgFileHash(item_.filehash, added.errormsg);
      error(added.error, added.errormsg);
      return;
    }
    manager_.removeTransErrorFileHash(item_.filehash);
    db->update_version(item_.webpath, added.version);

    if (added.state == 1) {
      if (!unchanged()) {
        changedDuringUpload();
        return;
      }
      // The files an earlier cut attempt left in the cache go with this one.
      if (safehash(added.pathhash)) item_.pathhash = added.pathhash;
      log("文件秒传成功:");
      finish();
      return;
    }

    std::vector<std::string> offered;
    for (const plat::Value& v : added.localserver) {
      if (v.isString() && !v.string().empty()) offered.push_back(v.string());
    }
    if (offered.empty() && !added.server.empty()) offered.push_back(added.server);
    if (offered.empty()) {
      error(83, added.errormsg);
      log(plat::format("获取服务器地址失败,返回 %@ :", strError_), true);
      return;
    }
    // The path hash names files in the cache: only letters and digits.
    if (!safehash(added.pathhash)) {
      log(plat::format("获取服务器地址失败,返回 %@ :", std::string("path hash")), true);
      error(80, std::nullopt);
      return;
    }
    item_.pathhash = added.pathhash;

    // A saved server is returned to only while the reply still offers it.
    std::vector<std::string> candidates;
    const std::string saved = get_server_target();
    bool savedOffered = false;
    for (const auto& s : offered) savedOffered = savedOffered || s == saved;
    if (!saved.empty() && (savedOffered || saved == added.server)) {
      candidates.push_back(saved);
    } else {
      candidates = offered;
    }
    std::random_device rd;
    item_.url = candidates[rd() % candidates.size()];
    set_server_target();
    log(plat::format("连接服务器%@:", item_.url));

    if (!send_init()) {
      log(plat::format("连接服务器失败,返回 %@ :", strError_), true);
      return;
    }
    log("获取上传信息:");
    if (!send_req()) {
      log(plat::format("获取上传信息失败,返回 %@ :", strError_), true);
      return;
    }

    auto lastOf = [this] {
      const uint64_t n = getfilesize();
      return n == 0 ? 0 : n - 1;
    };
    if (piecelen_ == 0) {
      ullend_ = lastOf();
    } else {
      log("启动增量上传:");
      if (ulloffset_ == 0) {
        log("获取增量信息:");
        if (!send_downloadchecksum()) {
          log(plat::format("获取增量信息失败,返回 %@ :", strError_));
          return;
        }
        if (piecelen_ != 0 && !creatediffile()) {
          log("创建增量文件失败:");
          error(80, std::nullopt);
          return;
        }
        ullend_ = lastOf();
        if (piecelen_ != 0) {
          log("上传增量信息:");
          if (!send_uploadchecksum()) {
            log(plat::format("上传增量信息失败,返回 %@ :", strError_));
            return;
          }
        }
      } else if (checkdiffile()) {
        if (!opendiffile()) {
          log("文件打开失败:", true);
          error(80, std::nullopt);
          return;
        }
        ullend_ = lastOf();
      } else {
        // The difference file is gone: build it again and send its have-list,
        // then ask where the server's stream stands (a different list starts
        // the stream anew).
        log("获取增量信息:");
        if (!send_downloadchecksum()) {
          log(plat::format("获取增量信息失败,返回 %@ :", strError_));
          return;
        }
        if (piecelen_ != 0 && !creatediffile()) {
          log("文件打开失败:");
          error(80, std::nullopt);
          return;
        }
        if (piecelen_ == 0) {
          // The stream the server holds is a difference stream: it can't go
          // on as a plain one.
          send_abort();
          error(80, std::nullopt);
          return;
        }
        if (!send_uploadchecksum() || !send_req()) return;
        ullend_ = lastOf();
      }
    }

    // The resume point must lie within the stream.
    const uint64_t streamSize = getfilesize();
    if (ulloffset_ > streamSize) {
      log(plat::format("获取上传信息失败,返回 %@ :", std::string("offset")), true);
      send_abort();
      error(80, std::nullopt);
      return;
    }

    while (streamSize != 0 && ulloffset_ <= ullend_) {
      if (bOut_) {
        if (bAbort_) send_abort();
        return;
      }
      int64_t length = getsendsize(item_.filesize);
      if (ullend_ - ulloffset_ < static_cast<uint64_t>(length)) length = static_cast<int64_t>(ullend_ - ulloffset_ + 1);
      if (!send_piece(static_cast<int32_t>(length))) return;
    }
    if (bOut_) {
      if (bAbort_) send_abort();
      return;
    }
    if (!unchanged()) {
      changedDuringUpload();
      return;
    }
    log("上报上传完成:");
    if (send_finish()) {
      log("文件上传成功:");
    } else {
      log(plat::format("上报上传完成失败,返回 %@ :", strError_), true);
    }
  }
}

// Up to kTries tries of one step. `once` answers ok, stop (the step ends
// without more tries: it has taken its own way out) or again, with the
// reply's message in `last`. After the last failed try the failure path is
// taken with code 80. Session steps pause after every failed try, the last
// included; pieces and finish pause only between tries.
bool Upload::tries(double pauseSeconds, bool pauseAfterLast, const std::function<Try(std::optional<std::string>&)>& once) {
  std::optional<std::string> last;
  for (int i = 0; i < kTries; ++i) {
    if (bOut_) return false;
    const Try t = once(last);
    if (t == Try::ok) return true;
    if (t == Try::stop) return false;
    if (pauseAfterLast || i + 1 < kTries) pause(pauseSeconds);
  }
  if (bOut_) return false;
  error(80, last);
  return false;
}

bool Upload::send_init() {
  auto user = Util::getAppDelegate().userdata();
  return tries(kStepPause, true, [&](std::optional<std::string>& last) {
    RetUploadInit r = HTTPEngine::sendinit(item_.url, user ? user->userToken() : "",
                                           NSStringExpand::getFilename(item_.webpath), item_.pathhash,
                                           item_.filehash, static_cast<int64_t>(item_.filesize));
    if (r.status == 200) {
      item_.session = r.session;
      if (item_.ext == 1) resetfilecreate();
      // A block length the have-list can't carry (signed 32 bits, positive)
      // means a plain upload.
      const bool usable = r.piecelen > 0 && r.piecelen <= INT32_MAX;
      piecelen_ = resetfilecheck() || !usable ? 0 : static_cast<int32_t>(r.piecelen);
      return Try::ok;
    }
    last = r.errormsg;
    if (r.error == 202) {
      strError_ = r.errormsg.value_or(" ");
      finish();
      return Try::stop;
    }
    if (r.error == 500) {
      error(500, r.errormsg);
      return Try::stop;
    }
    return Try::again;
  });
}

bool Upload::send_req() {
  return tries(kStepPause, true, [&](std::optional<std::string>& last) {
    RetUploadReq r = HTTPEngine::sendreq(item_.url, item_.session);
    if (r.status == 200) {
      ulloffset_ = r.offset < 0 ? 0 : static_cast<uint64_t>(r.offset);
      return Try::ok;
    }
    last = r.errormsg;
    // An expired session is opened again; the try still counts as failed.
    if (r.status == 401 && !send_init()) return Try::stop;
    return Try::again;
  });
}

// The checksum steps' own answers, by HTTP status (their replies are read
// for nothing else): 205 (the server dropped the difference: plain from now
// on, this attempt fails), 500 (fails at once) and, for the have-list, 202
// (the server holds the file).
Upload::Try Upload::checksumreply(const RequestRet& r, bool haveList) {
  const auto is = [&r](int64_t code) { return r.status == code; };
  if (is(205)) {
    resetfilecreate();
    changenormalupload();
    error(80, r.errormsg);
    return Try::stop;
  }
  if (is(500)) {
    error(80, r.errormsg);
    return Try::stop;
  }
  if (haveList && is(202)) {
    finish();
    return Try::stop;
  }
  return Try::again;
}

bool Upload::send_downloadchecksum() {
  return tries(kStepPause, true, [&](std::optional<std::string>& last) {
    RetUploadCheckSum r = HTTPEngine::senddownloadchecksum(item_.url, item_.session);
    if (r.status != 200) {
      last = r.errormsg;
      return checksumreply(r, false);
    }
    // A list that can't be used sends the file whole rather than dropping
    // the job for ever.
    if (!uploadfile_.resolve_serverinof(r.checksum)) changenormalupload();
    return Try::ok;
  });
}

bool Upload::send_uploadchecksum() {
  return tries(kStepPause, true, [&](std::optional<std::string>& last) {
    RequestRet r = HTTPEngine::senduploadchecksum(item_.url, item_.session, serverhave_.value_or(plat::Data{}));
    if (r.status == 200) return Try::ok;
    last = r.errormsg;
    return checksumreply(r, true);
  });
}

Upload::Piece Upload::readpiece(int fd, uint64_t at, size_t length, std::shared_ptr<plat::Data> buffer) {
  Piece p;
  p.fd = fd;
  p.at = at;
  p.data = buffer ? std::move(buffer) : std::make_shared<plat::Data>();
  p.data->resize(length);
  p.ok = readAt(fd, at, p.data->data(), length);
  if (p.ok) p.crc = NSDataExpand::crc32(NSDataExpand::Bytes(p.data->data(), p.data->size()));
  return p;
}

bool Upload::send_piece(int32_t length) {
  const int fd = piecelen_ != 0 ? diffileHandle_ : fileHandle_;
  const uint64_t at = ulloffset_;
  Piece piece;
  if (ahead_.valid()) piece = ahead_.get();
  // What was read ahead is used only when it is this very piece.
  if (!piece.data || piece.fd != fd || piece.at != at || piece.data->size() != static_cast<size_t>(length)) {
    piece = readpiece(fd, at, static_cast<size_t>(length), std::move(piece.data));
  }
  if (!piece.ok) {
    // The file got shorter under the upload.
    changedDuringUpload();
    return false;
  }
  // The next piece is read and summed while this one is on the wire.
  const uint64_t next = at + piece.data->size();
  if (next <= ullend_) {
    const uint64_t nextLength = std::min<uint64_t>(getsendsize(item_.filesize), ullend_ - next + 1);
    ahead_ = std::async(std::launch::async, &Upload::readpiece, fd, next, static_cast<size_t>(nextLength),
                        std::move(spare_));
  }
  const size_t size = piece.data->size();
  const bool ok = tries(kPiecePause, false, [&](std::optional<std::string>& last) {
    RetUploadPiece r = HTTPEngine::sendpiece(item_.url, item_.session, static_cast<int64_t>(at),
                                             static_cast<int64_t>(at + size - 1), piece.data, piece.crc);
    if (r.status != 200) {
      last = r.errormsg;
      return Try::again;
    }
    ulloffset_ = at + size;
    manager_.AddTransportData(item_.webpath, size, item_.type);
    return Try::ok;
  });
  // The exchange is over and holds the buffer no more: it takes the piece after next.
  if (piece.data.use_count() == 1) spare_ = std::move(piece.data);
  // A stop between tries is not a failure: the piece loop ends the upload.
  return ok || bOut_;
}

bool Upload::send_finish() {
  return tries(kPiecePause, false, [&](std::optional<std::string>& last) {
    RequestRet r = HTTPEngine::sendfinish(item_.url, item_.session, static_cast<int64_t>(getfilesize()));
    if (r.status != 200) {
      last = r.errormsg;
      return Try::again;
    }
    finish();
    return Try::ok;
  });
}

bool Upload::send_abort() {
  // The abort goes out after a stop too: it is what the stop asked for.
  plat::CancelScope uncancelled(nullptr);
  return HTTPEngine::sendabort(item_.url, item_.session).status == 200;
}

bool Upload::creatediffile() {
  if (diffileHandle_ >= 0) return true;
  const std::string path = getdiffilepath();
  if (path.empty()) return false;
  diffileHandle_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (diffileHandle_ < 0) return false;
  uploadfile_.setPiece(piecelen_);
  if (uploadfile_.resolve_file(fileHandle_, diffileHandle_)) {
    serverhave_ = uploadfile_.get_serverhave();
  } else {
    changenormalupload();
  }
  return true;
}

bool Upload::opendiffile() {
  if (diffileHandle_ >= 0) return true;
  diffileHandle_ = ::open(getdiffilepath().c_str(), O_RDONLY | O_CLOEXEC);
  return diffileHandle_ >= 0;
}

bool Upload::checkdiffile() const {
  const std::string p = getdiffilepath();
  return !p.empty() && Util::existfile(p);
}

std::string Upload::get_server_target() const {
  const std::string p = cachefile(".qvtmp");
  if (p.empty()) return "";
  return plat::readFile(p).value_or("");
}

void Upload::set_server_target() {
  const std::string p = cachefile(".qvtmp");
  if (!p.empty()) plat::atomicWrite(p, item_.url, 0600);
}

void Upload::delete_server_target() {
  const std::string p = cachefile(".qvtmp");
  if (!p.empty()) ::unlink(p.c_str());
}

void Upload::resetfilecreate() {
  const std::string p = cachefile(".qvreset");
  if (!p.empty()) Util::createfile(p);
}

bool Upload::resetfilecheck() const {
  const std::string p = cachefile(".qvreset");
  return !p.empty() && Util::existfile(p);
}

void Upload::resetfiledelete() {
  const std::string p = cachefile(".qvreset");
  if (!p.empty()) ::unlink(p.c_str());
}

void Upload::cleardiffinfo() {
  closeFd(diffileHandle_);
  const std::string p = getdiffilepath();
  if (!p.empty()) ::unlink(p.c_str());
  serverhave_.reset();
}

void Upload::changenormalupload() {
  piecelen_ = 0;
  cleardiffinfo();
  // The session now holds a plain stream: a later attempt resumes it as
  // one instead of aborting it for a difference stream.
  resetfilecreate();
}

void Upload::finish() {
  if (auto sync = manager_.sync()) sync->finishupload(item_.path, item_.webpath);
  delete_server_target();
  resetfiledelete();
  cleardiffinfo();
  manager_.removeupload(this);
}

void Upload::error(int64_t code, const std::optional<std::string>& msg) {
  strError_ = msg && !msg->empty() ? *msg : " ";
  errorcode_ = code;
  if (code >= 500 && code <= 999) delete_server_target();
  auto sync = manager_.sync();
  if (sync && sync->bStart() && sync->syncshare().islocal(item_.webpath)) {
    if (auto db = sync->syncdb()) db->update_acttime(item_.webpath, TransManager::absoluteTime() + 300);
  }
  manager_.removeupload(this);
}
