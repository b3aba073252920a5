// The result of every service call and the records of each reply. A record
// is made fresh by the operation that returns it and belongs to the caller.
// Texts that the reply lacks read as "" (nil in the original); only
// `errormsg` keeps the difference between "no error body read" and "".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

class RequestRet {
public:
  RequestRet() = default;
  virtual ~RequestRet() = default;
  RequestRet(const RequestRet&) = default;
  RequestRet& operator=(const RequestRet&) = default;

  // A success body: parsed as JSON and handed to setValueWithJson (nullptr
  // when it does not parse); nothing happens for the JSON null.
  void setValueWithData(const std::optional<plat::Data>& body);
  // An error body: "error_code" and "error_msg".
  virtual void setValueWithErrorData(const std::optional<plat::Data>& body);
  // The parsed success value; nullptr reads every key as missing.
  virtual void setValueWithJson(const plat::Value* json);

  int64_t status = 0;
  int64_t error = 0;
  std::optional<std::string> errormsg;
};

// Key readings shared by the records: a missing key or the JSON null reads as
// 0 or "".
namespace RetRead {
int64_t integer(const plat::Value* json, const char* key);  // 32-bit reading, widened
int64_t integer64(const plat::Value* json, const char* key);
bool boolean(const plat::Value* json, const char* key);
std::string text(const plat::Value* json, const char* key);
std::optional<std::string> optionalText(const plat::Value* json, const char* key);  // nothing when missing
plat::Array array(const plat::Value* json, const char* key);
// The same array read in place: an empty one when the key lacks it.
const plat::Array& arrayRef(const plat::Value* json, const char* key);

// An item record from one element of a reply's list: a plain record, then
// the element read into it.
template <class Item>
Item item(const plat::Value& element) {
  Item i;
  i.setValueWithJson(&element);
  return i;
}

// One item per element of the list under `key`, in order.
template <class Item>
std::vector<Item> items(const plat::Value* json, const char* key) {
  // Reserved: a record's move may throw (its base is only copyable), so a
  // growing vector would copy every record of a page again at each step.
  const plat::Array& list = arrayRef(json, key);
  std::vector<Item> out;
  out.reserve(list.size());
  for (const plat::Value& e : list) out.push_back(item<Item>(e));
  return out;
}
}  // namespace RetRead

class RetToken : public RequestRet {
public:
  void setValueWithJson(const plat::Value* json) override;
  // OAuth errors come as "error" texts, not as codes.
  void setValueWithErrorData(const std::optional<plat::Data>& body) override;

  int64_t expires = 0;
  std::string accessToken;
  std::string refreshToken;
};

class RetUserInfo : public RequestRet {
public:
  void setValueWithJson(const plat::Value* json) override;

  int64_t orgid = 0;
  std::string orgname;
  std::string orgusername;
  int64_t orgsize = 0;
  int64_t userid = 0;
  std::string username;
  std::string usermail;
  std::string userphoto;
  int64_t usersize = 0;
  int64_t mountid = 0;
  int64_t mountsize = 0;
  std::string jsonUserInfo;
};

class UpdateMsgItem : public RequestRet {
public:
  static UpdateMsgItem initWithJsonDictionary(const plat::Value& e) { return RetRead::item<UpdateMsgItem>(e); }
  void setValueWithJson(const plat::Value* json) override;

  int64_t type = 0;
  int64_t dateline = 0;
  std::string memberName;
  std::string renderText;
};

class RetUpdateMsg : public RequestRet {
public:
  void setValueWithJson(const plat::Value* json) override;

  std::vector<UpdateMsgItem> itemUpatelist;
  int64_t dateline = 0;
  std::string jsonUpdateMsg;
  int64_t updateCount = 0;
  // The reply's "Date" header as received; empty without a response.
  std::optional<std::string> servertime;
};

class RetReget : public RequestRet {
public:
  void setValueWithJson(const plat::Value* json) override;

  std::string hash;
  bool dir = false;
  std::string fullpath;
  std::string filename;
  std::string ext;
  std::string filehash;
  uint64_t filesize = 0;
  int64_t version = 0;
  int64_t cmd = 0;
  int64_t last_member_id = 0;
  std::string last_member_name;
  std::string last_member_machine;
  int64_t nosync = 0;
  int64_t lock = 0;
  int64_t vcount = 0;
  int64_t share = 0;
  int64_t publish = 0;
  int64_t discuss = 0;
  std::string uri;
  plat::Array localserver;
  int64_t local = 0;
};

class RetAddFile : public RequestRet {
public:
  void setValueWithJson(const plat::Value* json) override;

  int64_t state = 0;
  std::string pathhash;
  int64_t version = 0;
  std::string server;
  plat::Array localserver;
};

// The reply of a change that names only the mount's version after it.
class RetVersion : public RequestRet {
public:
  void setValueWithJson(const plat::Value* json) override;
  int64_t version = 0;
};

class RetDelFile : public RetVersion {};
class RetRename : public RetVersion {};
class RetMoveFile : public RetVersion {};

class CompareItem : public RequestRet {
public:
  static CompareItem initWithJsonDictionary(const plat::Value& e) { return RetRead::item<CompareItem>(e); }
  void setValueWithJson(const plat::Value* json) override;

  std::string pathhash;
  std::string webpath;
  std::string filehash;
  int64_t filesize = 0;
  int64_t cmd = 0;
  int64_t version = 0;
  int64_t lastmemberid = 0;
  std::string lastmembername;
  int64_t dateline = 0;
  int64_t lock = 0;
  int64_t nosync = -1;  // -1 when the change does not say
  int64_t local = 0;
  int64_t share = 0;
  int64_t org = 0;
};

class RetCompare : public RequestRet {
public:
  void setValueWithJson(const plat::Value* json) override;

  int64_t version = 0;
  int64_t dateline = 0;
  std::string changekey;
  std::vector<CompareItem> itemlist;
};

// An entry of a listing: the fields of a change, read the same way, plus its
// name and whether it is a folder.
class FileListItem : public CompareItem {
public:
  static FileListItem initWithJsonDictionary(const plat::Value& e) { return RetRead::item<FileListItem>(e); }
  void setValueWithJson(const plat::Value* json) override;

  std::string filename;
  int64_t dir = 0;
};

inline constexpr const char* kFileListNotification = "FileListNotification";

class RetFileList : public RequestRet {
public:
  // Posts kFileListNotification when bSendMsg is set; its payload is a copy
  // of itemlist (std::vector<FileListItem>), the records as read.
  void setValueWithJson(const plat::Value* json) override;

  std::vector<FileListItem> itemlist;
  bool bSendMsg = false;
};

class RetUploadInit : public RequestRet {
public:
  void setValueWithJson(const plat::Value* json) override;
  std::string session;
  int64_t piecelen = 0;
};

class RetUploadCheckSum : public RequestRet {
public:
  plat::Data checksum;
};

class RetUploadReq : public RequestRet {
public:
  // The offset from the reply text, read whole as 64 bits so files of 2 GiB
  // and more resume where they stopped.
  void setOffsetWithData(const std::optional<plat::Data>& body);
  int64_t offset = 0;
};

class RetUploadPiece : public RequestRet {
public:
  void setValueWithJson(const plat::Value* json) override;
  int64_t expect = 0;
};
