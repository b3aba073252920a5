#include "app/interface/RequestRet.h"

#include <cstdlib>

#include "Framework/JSONDecoder/JSONDecoder.h"
#include "Framework/SJSON/SJSONDeserializer.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/text_codec.h"

namespace {

const plat::Value* member(const plat::Value* json, const char* key) {
  if (json == nullptr || !json->isDictionary()) return nullptr;
  const plat::Value* v = json->dictionary().find(key);
  if (v == nullptr || v->isNull()) return nullptr;
  return v;
}

// The error body as JSON, or nothing when it is missing or not UTF-8.
std::optional<plat::Value> errorJson(const std::optional<plat::Data>& body, bool* read) {
  *read = false;
  if (!body) return std::nullopt;
  std::string_view text(reinterpret_cast<const char*>(body->data()), body->size());
  if (!plat::isValidUTF8(text)) return std::nullopt;
  *read = true;
  return JDDeserializing::objectFromJSONString(text);
}

}  // namespace

namespace RetRead {

int64_t integer(const plat::Value* json, const char* key) {
  const plat::Value* v = member(json, key);
  return v ? static_cast<int64_t>(v->intValue()) : 0;
}

int64_t integer64(const plat::Value* json, const char* key) {
  const plat::Value* v = member(json, key);
  return v ? v->longLongValue() : 0;
}

bool boolean(const plat::Value* json, const char* key) {
  const plat::Value* v = member(json, key);
  return v ? v->boolValue() : false;
}

std::optional<std::string> optionalText(const plat::Value* json, const char* key) {
  const plat::Value* v = member(json, key);
  if (v == nullptr) return std::nullopt;
  return v->isString() ? v->string() : v->description();
}

std::string text(const plat::Value* json, const char* key) { return optionalText(json, key).value_or(""); }

const plat::Array& arrayRef(const plat::Value* json, const char* key) {
  static const plat::Array kEmpty;
  const plat::Value* v = member(json, key);
  return v && v->isArray() ? v->array() : kEmpty;
}

plat::Array array(const plat::Value* json, const char* key) { return arrayRef(json, key); }

}  // namespace RetRead

using namespace RetRead;

void RequestRet::setValueWithData(const std::optional<plat::Data>& body) {
  if (!body) return;
  auto parsed = SJSONDeserializer::deserializer()->deserialize(&*body, nullptr);
  if (parsed && parsed->isNull()) return;
  setValueWithJson(parsed ? &*parsed : nullptr);
}

void RequestRet::setValueWithErrorData(const std::optional<plat::Data>& body) {
  bool read = false;
  auto json = errorJson(body, &read);
  if (!read) return;
  const plat::Value* j = json ? &*json : nullptr;
  errormsg = text(j, "error_msg");
  error = integer(j, "error_code");
}

void RequestRet::setValueWithJson(const plat::Value*) {}

void RetToken::setValueWithJson(const plat::Value* json) {
  expires = integer(json, "expires_in");
  accessToken = text(json, "access_token");
  refreshToken = text(json, "refresh_token");
}

void RetToken::setValueWithErrorData(const std::optional<plat::Data>& body) {
  bool read = false;
  auto json = errorJson(body, &read);
  if (!read) return;
  errormsg = optionalText(json ? &*json : nullptr, "error");
  if (!errormsg) return;
  const std::string& e = *errormsg;
  if (e == "invalid_request") {
    error = 0;
  } else if (e == "invalid_client" || e == "invalid_grant" || e == "invalid_token" || e == "unauthorized_client" ||
             e == "access_denied") {
    error = 1;
  }
}

void RetUserInfo::setValueWithJson(const plat::Value* json) {
  orgid = integer(json, "org_id");
  orgname = text(json, "org_name");
  orgusername = text(json, "org_username");
  orgsize = integer64(json, "org_size");
  userid = integer(json, "id");
  username = text(json, "username");
  usermail = text(json, "email");
  userphoto = text(json, "photourl");
  usersize = integer64(json, "size");
  mountid = integer(json, "mount_id");
  mountsize = integer64(json, "capacity");
}

void UpdateMsgItem::setValueWithJson(const plat::Value* json) {
  type = integer(json, "type");
  dateline = integer64(json, "dateline");
  memberName = text(json, "member_name");
  renderText = text(json, "render_text");
}

void RetUpdateMsg::setValueWithJson(const plat::Value* json) {
  itemUpatelist = items<UpdateMsgItem>(json, "updates");
  dateline = integer64(json, "dateline");
  updateCount = integer(json, "update_count");
}

void RetReget::setValueWithJson(const plat::Value* json) {
  hash = text(json, "hash");
  dir = boolean(json, "dir");
  fullpath = text(json, "fullpath");
  filename = text(json, "filename");
  ext = text(json, "ext");
  filehash = text(json, "filehash");
  filesize = static_cast<uint64_t>(integer64(json, "filesize"));
  version = integer64(json, "version");
  cmd = integer(json, "cmd");
  last_member_id = integer(json, "last_member_id");
  last_member_name = text(json, "last_member_name");
  last_member_machine = text(json, "last_member_machine");
  nosync = integer(json, "nosync");
  lock = integer(json, "lock");
  vcount = integer(json, "vcount");
  share = integer(json, "share");
  publish = integer(json, "publish");
  discuss = integer(json, "discuss");
  uri = text(json, "uri");
  localserver = array(json, "uri_local_server");
  local = integer(json, "local");
}

void RetAddFile::setValueWithJson(const plat::Value* json) {
  state = integer(json, "state");
  pathhash = text(json, "hash");
  version = integer64(json, "version");
  server = text(json, "server");
  localserver = array(json, "local_server");
}

void RetVersion::setValueWithJson(const plat::Value* json) { version = integer64(json, "version"); }

void CompareItem::setValueWithJson(const plat::Value* json) {
  pathhash = text(json, "hash");
  webpath = text(json, "fullpath");
  filehash = text(json, "filehash");
  filesize = integer64(json, "filesize");
  cmd = integer(json, "cmd");
  version = integer64(json, "version");
  lastmemberid = integer(json, "last_member_id");
  lastmembername = text(json, "last_member_name");
  dateline = integer64(json, "dateline");
  lock = integer(json, "lock");
  nosync = member(json, "nosync") ? integer(json, "nosync") : -1;
  local = integer(json, "local");
  share = integer(json, "share");
  org = integer(json, "org_share");
}

void RetCompare::setValueWithJson(const plat::Value* json) {
  version = integer64(json, "version");
  dateline = integer64(json, "dateline");
  changekey = text(json, "sc");
  itemlist = items<CompareItem>(json, "list");
}

void FileListItem::setValueWithJson(const plat::Value* json) {
  CompareItem::setValueWithJson(json);
  filename = text(json, "filename");
  dir = integer(json, "dir");
}

void RetFileList::setValueWithJson(const plat::Value* json) {
  itemlist = items<FileListItem>(json, "list");
  if (bSendMsg) plat::NotificationCenter::defaultCenter().post(kFileListNotification, {}, {}, itemlist);
}

void RetUploadInit::setValueWithJson(const plat::Value* json) {
  session = text(json, "session");
  piecelen = integer(json, "piecelen");
}

void RetUploadReq::setOffsetWithData(const std::optional<plat::Data>& body) {
  if (!body) return;
  std::string_view t(reinterpret_cast<const char*>(body->data()), body->size());
  if (!plat::isValidUTF8(t)) return;
  // Leading blanks and a sign, then the decimal digits, as a text's integer
  // value reads them; anything else is 0.
  size_t i = 0;
  while (i < t.size() && (t[i] == ' ' || t[i] == '\t' || t[i] == '\n' || t[i] == '\r')) ++i;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  int64_t v = 0;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
    if (v > (INT64_MAX - (t[i] - '0')) / 10) return;  // beyond any file: no offset
    v = v * 10 + (t[i] - '0');
  }
  offset = negative ? 0 : v;
}

void RetUploadPiece::setValueWithJson(const plat::Value* json) {
  expect = integer(json, "expect");
  error = integer(json, "error_code");
  errormsg = optionalText(json, "error_msg");
}
