// Every call of the service, one static function each: the OAuth endpoint,
// the account API, the signed file API and the upload servers. Each builds
// the URL, the header fields and the body, signs file-API requests, performs
// the exchange on the caller's thread and reads the reply into a new record.
// Nothing here keeps state, takes a lock or retries.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/interface/RequestRet.h"
#include "platform/foundation/value.h"

class HTTPEngine {
public:
  // The OAuth client of the main application; the secret also keys the
  // file-API signature.
  static constexpr const char* kClientId = "3e7a19c05d4b82f6a0c1e9d47b2f5a68";
  static constexpr const char* kClientSecret = "9b04d6e2c7f1a35e8d20b4c6f9e17a3d";

  // ---- Shared pieces ----
  static std::string getPath(const std::string& webpath);
  static std::string getMachine() { return "mac"; }
  // The signature over the lower-case method, the date, the mount id and the
  // escaped path as sent; nothing follows the third newline without a path.
  static std::string getAuth(const std::string& method, const std::string& date, int64_t mountId,
                             const std::optional<std::string>& url);

  // ---- OAuth sign-in ----
  static RetToken login(const std::string& username, const std::string& password, const std::string& info,
                        const std::string& device);
  static RetToken weblogin(const std::string& key, const std::string& info, const std::string& device);
  static RetToken refreshtoken(const std::string& refreshToken, const std::string& info, const std::string& device);

  // ---- Account API ----
  static RetUserInfo userinfo(const std::string& token);
  static RetUpdateMsg userUpdateMsg(const std::string& token, int64_t dateline);
  static RequestRet save_file(const std::string& token, int64_t cmd, int64_t mountid, const std::string& webpath,
                              const std::string& expires, const std::string& signature);

  // ---- File API ----
  static RetReget reget(const std::string& token, const std::string& webpath, int64_t mountid);
  // Without a content hash nothing is sent: status 10061.
  static RetAddFile addfile(const std::string& token, const std::string& webpath, int64_t mountid,
                            const std::optional<std::string>& filehash, int64_t filesize, int64_t version);
  static RetDelFile delfile(const std::string& token, const std::string& webpath, int64_t mountid);
  static RetRename renamefile(const std::string& token, const std::string& webpath, int64_t mountid,
                              const std::string& newname);
  static RetMoveFile movefile(const std::string& token, const std::string& webpath, int64_t mountid,
                              const std::string& newparent);
  static RetCompare compare(const std::string& token, const std::string& webpath, const std::string& changekey,
                            int64_t mountid, int64_t version, int64_t dateline);
  static RequestRet addorgshare(const std::string& token, const std::string& webpath, int64_t mountid,
                                const std::string& mail);
  static bool addfavorite(const std::string& token, const std::string& webpath, int64_t mountid);
  static RetFileList getfilelist(const std::string& token, const std::string& webpath, int64_t mountid,
                                 bool bSendMsg);

  // ---- Upload servers: `server` is used as given ----
  static RetUploadInit sendinit(const std::string& server, const std::string& token, const std::string& fileName,
                                const std::string& pathHash, const std::string& fileHash, int64_t fileSize);
  static RetUploadCheckSum senddownloadchecksum(const std::string& server, const std::string& session);
  static RequestRet senduploadchecksum(const std::string& server, const std::string& session,
                                       const plat::Data& data);
  static RetUploadReq sendreq(const std::string& server, const std::string& session);
  // `end` is the offset of the piece's last byte.
  static RetUploadPiece sendpiece(const std::string& server, const std::string& session, int64_t start, int64_t end,
                                  const plat::Data& postData);
  // The same with the piece shared rather than copied (it must not change
  // while it is sent) and its CRC-32 worked out by the caller.
  static RetUploadPiece sendpiece(const std::string& server, const std::string& session, int64_t start, int64_t end,
                                  std::shared_ptr<const plat::Data> postData, uint32_t crc);
  static RequestRet sendfinish(const std::string& server, const std::string& session, int64_t filesize);
  static RequestRet sendabort(const std::string& server, const std::string& session);
};
