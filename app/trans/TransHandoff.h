// The two engines meet here, header-only, so that neither library links the
// other: the sync engine (app_sync) implements TransHandoff and holds the
// transfer engine only as a TransControl; the transfer engine (app_trans,
// which links app_sync) implements TransControl.
//
// TransHandoff: what the transfer engine needs of the sync engine. SyncManager
// implements it; tests script it. get_upload / get_download are called from
// the manager's filler threads, finishupload from an upload's thread,
// finishdownload from the sync engine's own check thread; syncdb() and
// syncshare() guard themselves.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/interface/RequestRet.h"
#include "app/sync/SyncShare.h"
#include "app/sync/Syncdb.h"
#include "app/trans/TransItem.h"

// What the sync engine asks of the transfer engine. Any thread; none of
// these waits for a transfer's thread.
class TransControl {
public:
  virtual ~TransControl() = default;
  // Stops and forgets every transfer of the cloud path and of what lies
  // below it, deleting their partial files.
  virtual void cleartrans(const std::string& folder) = 0;
  // Stops every transfer, keeping what they fetched for a later resume.
  virtual void removeall() = 0;
  // The error message a failed upload of that content recorded, if any.
  virtual std::optional<std::string> getTransErrorMsgFileHash(const std::string& filehash) const = 0;
  // New jobs are waiting: the fillers ask at once rather than after their sleep.
  virtual void wakeup() {}
};

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
  // Before an upload replaces what the service holds now (`current`): true
  // when that is a version this disk never held and the sync engine has
  // taken it up to keep it first; the upload then ends, to go again later.
  virtual bool keepbeforeupload(const CompareItem& current) {
    (void)current;
    return false;
  }
  virtual void finishdownload(const std::string& path) = 0;
  // A download found no file at `webpath` on the service: the row goes,
  // unless it stands for a local version that is to go up. Any thread.
  virtual void downloadgone(const std::string& webpath) {
    if (auto db = syncdb()) db->del_file(webpath);
  }
  // A download left its queue: what it left in the transfer folder is taken
  // in now rather than at the check thread's next tick. Any thread.
  virtual void wakecheck() {}
  // Whether the sync engine is started.
  virtual bool bStart() const = 0;
  virtual std::shared_ptr<Syncdb> syncdb() const = 0;
  virtual SyncShare& syncshare() = 0;
  // The transfer engine that now serves this hand-off; kept weakly, so the
  // sync engine never keeps it alive and finds nothing to stop once it is gone.
  virtual void settrans(std::weak_ptr<TransControl> trans) = 0;
};
