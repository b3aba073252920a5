#include "qvedit/Download.h"

#include <cstdio>
#include <strings.h>

#include "Framework/Staticclass/FileSHA1.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"
#include "qvedit/EditFiles.h"
#include "qvedit/HTTPEngine.h"

Download::Download(std::shared_ptr<TransData> transdata, std::function<void(Download&, int64_t)> ended)
    : transdata_(std::move(transdata)), onEnd_(std::move(ended)) {}

Download::~Download() {
  if (request_ && !ended_) request_->clearDelegatesAndCancel();
}

void Download::download() {
  TransData& job = *transdata_;
  std::string partial = EditFiles::partialDownload(job.folder);
  EditFiles::deletefile(partial);
  request_ = HCHTTPRequest::requestWithURL(job.url);
  if (!request_) {
    end(3);
    return;
  }
  request_->setDownloadDestinationPath(partial);
  request_->addRequestHeader("User-Agent", HTTPEngine::kUserAgent);
  request_->setTimeOutSeconds(HTTPEngine::timeoutInterval());
  // The size is known: more bytes than that is not the file.
  unsigned long long limit = static_cast<unsigned long long>(job.expectSize);
  std::weak_ptr<HCHTTPRequest> weak = request_;
  request_->setBytesReceivedBlock([weak, limit](unsigned long long, unsigned long long) {
    auto r = weak.lock();
    if (r && r->totalBytesRead() > limit) r->cancel();
  });
  request_->setDelegate(this);
  request_->startAsynchronous();
}

void Download::requestFinished(HCHTTPRequest& request) {
  TransData& job = *transdata_;
  std::string partial = EditFiles::partialDownload(job.folder);
  auto size = plat::fileSize(partial);
  bool whole = request.responseStatusCode() == 200 && size && static_cast<int64_t>(*size) == job.expectSize;
  if (whole) {
    auto hash = FileSHA1::FileMD5HashCreateWithPath(partial, 0);
    whole = hash && strcasecmp(hash->c_str(), job.expectHash.c_str()) == 0;
  }
  if (!whole) {
    plat::log("qvedit: download refused (status %d)", request.responseStatusCode());
    EditFiles::deletefile(partial);
    end(3);
    return;
  }
  // A save that came while the file was fetched again wins over the fetch.
  std::string now = EditFiles::stamp(job.savepath);
  if (!job.stamp.empty() && !now.empty() && now != job.stamp) {
    EditFiles::deletefile(partial);
    job.dirty = true;
    end(8);
    return;
  }
  if (std::rename(partial.c_str(), job.savepath.c_str()) != 0) {
    EditFiles::deletefile(partial);
    end(3);
    return;
  }
  end(2);
}

void Download::requestFailed(HCHTTPRequest&) {
  EditFiles::deletefile(EditFiles::partialDownload(transdata_->folder));
  end(3);
}

void Download::end(int64_t type) {
  if (ended_) return;
  ended_ = true;
  transdata_->type = type;
  if (onEnd_) onEnd_(*this, type);
}
