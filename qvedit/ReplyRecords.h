// The records of the edit helper's service replies. A JSON key is read by
// name; a missing key or null gives the empty text or 0. Numbers are read
// whole (64-bit): the callers refuse what the service's 32-bit fields can't
// carry instead of working on a number cut short. `status` is the HTTP
// status of the reply, set by the call that made it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

// Sizes and offsets the service's replies carry in 32-bit signed fields.
inline constexpr int64_t kMaxReplyNumber = 2147483647;

struct EditReply {
  virtual ~EditReply() = default;
  // The body as UTF-8 JSON; false (fields untouched) when it is not.
  bool initWithJsonData(const std::optional<plat::Data>& data);
  bool initWithJsonString(std::string_view text);
  virtual void setValueWithJson(const plat::Value& json) = 0;

  int64_t status = 0;
};

struct TokenData : EditReply {
  void setValueWithJson(const plat::Value& json) override;
  std::string accessToken, refreshToken;
};

struct DownloadRet : EditReply {
  void setValueWithJson(const plat::Value& json) override;
  std::string hash, dir, fullpath, filename, ext, filehash, cmd, lastmembername, lastmembermachine, uri;
  int64_t filesize = 0, version = 0, lastmemberid = 0, nosync = 0, lock = 0, vcount = 0, share = 0, publish = 0,
          discuss = 0, dateline = 0;
};

struct UploadRetAdd : EditReply {
  void setValueWithJson(const plat::Value& json) override;
  std::string pathhash, server;
  int64_t state = 0, version = 0;
};

struct UploadRetInit : EditReply {
  void setValueWithJson(const plat::Value& json) override;
  std::string session;
  int64_t piecelen = 0;
};

struct UploadRetReq {
  int64_t status = 0;
  // The body as a decimal number; nothing when it is not one.
  std::optional<int64_t> offset;
};

struct UploadRetPiece : EditReply {
  void setValueWithJson(const plat::Value& json) override;
  int64_t errorcode = 0;
  std::string errormsg;
  std::optional<int64_t> expect;
};

struct UploadRetFinish {
  int64_t status = 0;
};
