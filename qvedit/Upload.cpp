#include "qvedit/Upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Framework/Staticclass/FileSHA1.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"
#include "qvedit/EditFiles.h"
#include "qvedit/HTTPEngine.h"

namespace {

// Copies the copy's bytes into the private snapshot; false when it can't be
// read whole.
bool copyInto(int in, int out) {
  char buf[65536];
  while (true) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!plat::writeAll(out, buf, static_cast<size_t>(n))) return false;
  }
}

bool readAt(int fd, plat::Data& piece, int64_t offset) {
  size_t got = 0;
  while (got < piece.size()) {
    ssize_t n = ::pread(fd, piece.data() + got, piece.size() - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::shared_ptr<Upload> Upload::initupload(std::shared_ptr<TransData> transdata) {
  transdata->type = 5;
  transdata->setUploadFailure("");
  return std::shared_ptr<Upload>(new Upload(std::move(transdata)));
}

void Upload::main() {
  TransData& job = *transdata_;
  std::string snapshot = EditFiles::uploadSnapshot(job.folder);
  std::string failure = kFailed;
  std::string before = EditFiles::stamp(job.savepath);
  int in = ::open(job.savepath.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st{};
  if (in >= 0 && ::fstat(in, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > kMaxReplyNumber) {
    failure = kTooLarge;
  } else if (in >= 0 && !before.empty()) {
    EditFiles::deletefile(snapshot);
    int out = ::open(snapshot.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool copied = out >= 0 && copyInto(in, out) && ::fsync(out) == 0;
    // The editor wrote while we read: the snapshot is no version at all.
    if (copied && EditFiles::stamp(job.savepath) != before) {
      failure = kChanged;
    } else if (copied) {
      auto hash = FileSHA1::FileMD5HashCreateWithPath(snapshot, 0);
      struct stat ss{};
      if (hash && ::fstat(out, &ss) == 0) {
        if (ss.st_size > kMaxReplyNumber) failure = kTooLarge;
        else failure = send(out, *hash, ss.st_size);
      }
    }
    if (out >= 0) ::close(out);
    EditFiles::deletefile(snapshot);
  }
  if (in >= 0) ::close(in);
  job.setUploadFailure(failure);
  if (failure.empty()) job.setUploadedStamp(before);
  job.type = failure.empty() ? 6 : 7;
}

std::string Upload::send(int fd, const std::string& hash, int64_t size) {
  TransData& job = *transdata_;
  TokenData renewed = HTTPEngine::refreshToken(job.refreshToken());
  if (renewed.status != 200 || renewed.accessToken.empty()) return kFailed;
  job.setToken(renewed.accessToken);
  if (!renewed.refreshToken.empty()) job.setRefreshToken(renewed.refreshToken);
  std::string token = renewed.accessToken;

  UploadRetAdd added = HTTPEngine::addfile(token, job.webpath, job.mountId, hash, size);
  if (added.status != 200) return kFailed;
  if (added.state == 1) return "";
  if (added.server.empty()) return kFailed;

  UploadRetInit init = HTTPEngine::sendinit(added.server, token, NSStringExpand::getFilename(job.savepath),
                                            added.pathhash, hash, size);
  if (init.status == 202) return "";
  if (init.status != 200 || init.session.empty()) return kFailed;

  UploadRetReq req = HTTPEngine::sendreq(added.server, init.session);
  if (req.status != 200 || !req.offset || *req.offset > size) return kFailed;
  int64_t offset = *req.offset;
  int rewinds = 0;
  while (offset < size) {
    plat::Data piece(static_cast<size_t>(std::min<int64_t>(HTTPEngine::kPieceSize, size - offset)));
    if (!readAt(fd, piece, offset)) return kFailed;
    UploadRetPiece p = HTTPEngine::sendpiece(added.server, init.session, offset,
                                             offset + static_cast<int64_t>(piece.size()) - 1, piece);
    if (p.status == 200) {
      offset += static_cast<int64_t>(piece.size());
    } else if (p.status == 202) {
      break;
    } else if (p.status == 409 && p.expect && *p.expect >= 0 && *p.expect <= size && ++rewinds <= kMaxRewinds) {
      offset = *p.expect;
    } else {
      return kFailed;
    }
  }
  UploadRetFinish fin = HTTPEngine::sendfinish(added.server, init.session, size);
  return fin.status == 200 ? "" : kFailed;
}
