// The edit helper's service calls: token renewal with the helper's own OAuth
// client, the file details and add-file calls of the file API (signed), and
// the upload-server steps. Every call is synchronous on the caller's thread;
// any thread may call them. The helper shares no code for service calls
// with the main application.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "qvedit/ReplyRecords.h"

class HTTPEngine {
public:
  static constexpr const char* kClientId = "71d3b8e0a5c24f96e1b7d03a8c5f2e49";
  static constexpr const char* kClientSecret = "e2a95c17f0d3b864a7e1c25d9b0f4a36";
  static constexpr const char* kMachine = "macedit";
  static constexpr const char* kUserAgent = "client_quorva";
  static constexpr int64_t kPieceSize = 102400;
  static constexpr const char* kDefaultOAuth = "http://oauth.quorva.com";
  static constexpr const char* kDefaultFile = "http://file.quorva.com";

  // Base addresses ("scheme://host[:port]") of the OAuth endpoint and of the
  // file API; `--server` points both at one address.
  static std::string oauthBase();
  static std::string fileBase();
  static void setServer(const std::string& base);
  static void resetServer();
  // Seconds without progress before an exchange gives up (tests shorten it).
  static void setTimeoutInterval(double seconds);
  static double timeoutInterval();

  static std::string get_path(const std::string& webpath);
  static std::string getDate();
  static std::string getAuth(const std::string& method, const std::string& date, int64_t mountId,
                             const std::string& url);

  // The renewal's reply: the access token and the refresh token that the
  // service now expects; status 0 when no reply came.
  static TokenData refreshToken(const std::string& refreshToken);
  // The file details on status 200, else nothing.
  static std::optional<DownloadRet> regetfile(const std::string& token, const std::string& webpath, int64_t mountid);
  static UploadRetAdd addfile(const std::string& token, const std::string& webpath, int64_t mountid,
                              const std::string& filehash, int64_t filesize);
  static UploadRetInit sendinit(const std::string& server, const std::string& token, const std::string& fileName,
                                const std::string& pathHash, const std::string& fileHash, int64_t fileSize);
  static UploadRetReq sendreq(const std::string& server, const std::string& session);
  static UploadRetPiece sendpiece(const std::string& server, const std::string& session, int64_t start, int64_t end,
                                  const plat::Data& postData);
  static UploadRetFinish sendfinish(const std::string& server, const std::string& session, int64_t filesize);
};
