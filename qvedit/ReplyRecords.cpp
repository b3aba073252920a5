#include "qvedit/ReplyRecords.h"

#include "Framework/JSONDecoder/JSONDecoder.h"
#include "platform/foundation/text_codec.h"

namespace {

const plat::Value* member(const plat::Value& json, const char* key) {
  if (!json.isDictionary()) return nullptr;
  const plat::Value* v = json.dictionary().find(key);
  return v == nullptr || v->isNull() ? nullptr : v;
}

std::string text(const plat::Value& json, const char* key) {
  const plat::Value* v = member(json, key);
  if (v == nullptr) return {};
  return v->isString() ? v->string() : v->description();
}

std::optional<int64_t> optionalNumber(const plat::Value& json, const char* key) {
  const plat::Value* v = member(json, key);
  if (v == nullptr || !(v->isNumeric() || v->isString())) return std::nullopt;
  if (v->isString()) {
    const std::string& s = v->string();
    if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    return std::stoll(s);
  }
  return v->longLongValue();
}

int64_t number(const plat::Value& json, const char* key) { return optionalNumber(json, key).value_or(0); }

}  // namespace

bool EditReply::initWithJsonData(const std::optional<plat::Data>& data) {
  if (!data) return false;
  return initWithJsonString(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
}

bool EditReply::initWithJsonString(std::string_view text) {
  if (!plat::isValidUTF8(text)) return false;
  auto json = JDDeserializing::objectFromJSONString(text);
  if (!json || !json->isDictionary()) return false;
  setValueWithJson(*json);
  return true;
}

void TokenData::setValueWithJson(const plat::Value& json) {
  accessToken = text(json, "access_token");
  refreshToken = text(json, "refresh_token");
}

void DownloadRet::setValueWithJson(const plat::Value& json) {
  hash = text(json, "hash");
  dir = text(json, "dir");
  fullpath = text(json, "fullpath");
  filename = text(json, "filename");
  ext = text(json, "ext");
  filehash = text(json, "filehash");
  filesize = number(json, "filesize");
  version = number(json, "version");
  cmd = text(json, "cmd");
  lastmemberid = number(json, "last_member_id");
  lastmembername = text(json, "last_member_name");
  lastmembermachine = text(json, "last_member_machine");
  nosync = number(json, "nosync");
  lock = number(json, "lock");
  vcount = number(json, "vcount");
  share = number(json, "share");
  publish = number(json, "publish");
  discuss = number(json, "discuss");
  uri = text(json, "uri");
  dateline = number(json, "dateline");
}

void UploadRetAdd::setValueWithJson(const plat::Value& json) {
  pathhash = text(json, "hash");
  server = text(json, "server");
  state = number(json, "state");
  version = number(json, "version");
}

void UploadRetInit::setValueWithJson(const plat::Value& json) {
  session = text(json, "session");
  piecelen = number(json, "piecelen");
}

void UploadRetPiece::setValueWithJson(const plat::Value& json) {
  errorcode = number(json, "error_code");
  errormsg = text(json, "error_msg");
  expect = optionalNumber(json, "expect");
}
