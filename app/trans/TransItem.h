// TransItem: the job the sync engine hands to the transfer engine, and the
// row of the transfer list. A plain value holder: built on the pulling
// thread, then touched only by the one transfer that owns it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct TransItem {
  // The hand-off verdict: 1 a job; 2 stop filling for this pass; 3 settled
  // locally, ask again at once; 0 (downloads) or -1 (uploads) nothing to do.
  int64_t itemid = 0;
  int64_t type = 0;    // 0 download, 1 upload
  int64_t status = 0;  // transfer-list rows: 0 download, 1 upload
  int64_t ext = 0;     // uploads: 1 when the row had status 8
  uint64_t filesize = 0;
  uint64_t offset = 0;
  uint64_t addtime = 0;  // hand-out time, seconds since 2001
  std::string filehash;
  std::string path;     // local file of the transfer
  std::string webpath;  // cloud path; the key of the transfer
  std::string pathhash;
  std::string url;
  std::string session;
  // Uploads only: the transfer directory; no value in download records.
  std::optional<std::string> cachepath;
  uint64_t speed = 0;  // transfer-list rows: bytes per second
  double progress = 0;

  // What the transfer list shows for the direction.
  const char* directionText() const { return status == 1 ? "上传" : "下载"; }
};
