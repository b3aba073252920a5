// Upload: carries one file to the service on a thread of its own. It hashes
// the file, announces the version with add-file, and either finishes at once
// (the service holds the content) or opens a session on an upload server and
// sends the stream in CRC-checked pieces from the server's offset: the file
// itself, or the difference file against the server's copy when the session
// offers a block length. Marker files in the transfer cache bring a later
// attempt back to the same server and keep it plain after a reset.
//
// States: made (init) -> running (start) -> ended by finish, by the failure
// path, by a refusal (no failure path), or by stop. Every end but stop takes
// the upload out of the manager's queue; the manager joins the thread later.
// start, stop, getprogress and jobFilesize may be called from any thread;
// everything else runs on the upload's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/trans/TransItem.h"
#include "app/trans/Transfer.h"
#include "app/interface/RequestRet.h"
#include "app/trans/UploadFile.h"
#include "platform/foundation/value.h"
#include "platform/net/url_connection.h"

class TransManager;

class Upload : public Transfer, public std::enable_shared_from_this<Upload> {
public:
  static constexpr int kTries = 5;
  // The pause after a failed try of a session step, and the shorter one
  // after a failed piece or finish so that a busy server is not hammered.
  static constexpr double kStepPause = 1.0;
  static constexpr double kPiecePause = 0.25;

  Upload(TransItem item, TransManager& parent);
  ~Upload() override;
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;
  static std::shared_ptr<Upload> init(TransItem item, TransManager& parent);

  void start();
  void stop(bool abort) override;
  double getprogress() const override;
  uint64_t jobFilesize() const override { return filesize_.load(); }
  void begin() override { start(); }
  void join() override;

  // Piece length by file size.
  static int32_t getsendsize(uint64_t filesize);

  // The cache files of the upload, named by cache folder, path hash and
  // content hash; empty until the path hash is known.
  std::string cachefile(const char* suffix) const;
  std::string getdiffilepath() const { return cachefile(".qvdif"); }

  // A path hash that may stand in a file name: letters and digits only.
  static bool safehash(const std::string& hash);

  const TransItem& item() const { return item_; }
  const std::string& strError() const { return strError_; }
  // The code of the failure path once taken, 0 before.
  int64_t errorcode() const { return errorcode_.load(); }

private:
  void run();
  void runsteps();
  void failed(const char* what);
  void finish();
  void error(int64_t code, const std::optional<std::string>& msg);
  void getfilehash();
  uint64_t getfilesize() const;
  enum class Try { ok, stop, again };
  bool tries(double pauseSeconds, bool pauseAfterLast, const std::function<Try(std::optional<std::string>&)>& once);
  // Each step with its tries; false when the upload is to end.
  bool send_init();
  bool send_req();
  bool send_downloadchecksum();
  bool send_uploadchecksum();
  Try checksumreply(const RequestRet& r, bool haveList);
  bool send_piece(int32_t length);
  // A piece read from the stream with its CRC-32; ok is false after a short read.
  struct Piece {
    int fd = -1;
    uint64_t at = 0;
    std::shared_ptr<plat::Data> data;
    uint32_t crc = 0;
    bool ok = false;
  };
  static Piece readpiece(int fd, uint64_t at, size_t length, std::shared_ptr<plat::Data> buffer);
  // Waits for the piece being read ahead, if any.
  void settleahead();
  bool send_finish();
  bool send_abort();
  bool creatediffile();
  bool opendiffile();
  bool checkdiffile() const;
  std::string get_server_target() const;
  void set_server_target();
  void delete_server_target();
  void resetfilecreate();
  bool resetfilecheck() const;
  void resetfiledelete();
  void cleardiffinfo();
  void changenormalupload();
  // The file still has the size and time it had when it was hashed.
  bool unchanged() const;
  // A file that changed after it was hashed is not recorded under the old
  // hash: the session is dropped and the row handed out again.
  void changedDuringUpload();
  void pause(double seconds) const;
  void log(const std::string& info, bool isError = false) const;

  std::atomic<bool> bOut_{false}, bAbort_{false};
  // Cancels the thread's request in flight on stop.
  std::shared_ptr<plat::CancelToken> cancel_ = std::make_shared<plat::CancelToken>();
  std::atomic<uint64_t> ulloffset_{0};
  uint64_t ullend_ = 0;
  TransItem item_;
  std::atomic<uint64_t> filesize_{0};
  UploadFile uploadfile_;
  TransManager& manager_;
  std::thread thread_;
  int32_t piecelen_ = 0;
  int fileHandle_ = -1;
  int diffileHandle_ = -1;
  std::optional<plat::Data> serverhave_;
  // The next piece, read while the current one is on the wire, and a piece
  // buffer to read into again (pieces are all of one size but the last).
  std::future<Piece> ahead_;
  std::shared_ptr<plat::Data> spare_;
  std::string strError_;
  std::atomic<int64_t> errorcode_{0};
  uint64_t hashedSize_ = 0;
  double hashedTime_ = 0;
};
