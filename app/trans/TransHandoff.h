// TransHandoff: what the transfer engine needs of the sync engine. SyncManager
// implements it; tests script it. get_upload / get_download are called from
// the manager's filler threads, finishupload from an upload's thread,
// finishdownload from the sync engine's own check thread; syncdb() and
// syncshare() guard themselves.
#pragma once

#include <memory>
#include <string>

#include "app/sync/SyncShare.h"
#include "app/sync/Syncdb.h"
#include "app/trans/TransItem.h"

class TransHandoff {
public:
  virtual ~TransHandoff() = default;
  // The next job: itemid 1 start it, 2 stop filling for this pass, other
  // values nothing to start (the download filler asks again at once on 3).
  virtual TransItem get_download() = 0;
  virtual TransItem get_upload() = 0;
  // The upload of `path` (the file or its transfer-cache copy) to `webpath`
  // is on the service; the sync engine re-checks the file before it marks
  // the row synced.
  virtual void finishupload(const std::string& path, const std::string& webpath) = 0;
  virtual void finishdownload(const std::string& path) = 0;
  // Whether the sync engine is started.
  virtual bool bStart() const = 0;
  virtual std::shared_ptr<Syncdb> syncdb() const = 0;
  virtual SyncShare& syncshare() = 0;
};
