#include "app/interface/HTTPEngine.h"

#include "Framework/Staticclass/NSDataExpand.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/Util.h"
#include "app/interface/APIHosts.h"
#include "app/interface/QVHTTPRequest.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"

namespace {

struct Reply {
  std::optional<plat::Data> body;
  std::optional<plat::HTTPURLResponse> response;
  int64_t status = 0;
};

Reply perform(QVHTTPRequest& request) {
  Reply r;
  r.body = request.connectNetSyncWithResponse(&r.response);
  r.status = r.response ? r.response->statusCode() : 0;
  return r;
}

Reply perform(const std::string& url, const std::string& method, std::optional<plat::HeaderFields> header,
              std::optional<plat::Data> body) {
  QVHTTPRequest request(url, method, std::move(header), std::move(body));
  return perform(request);
}

Reply perform(const std::string& url, const std::string& method, std::optional<plat::HeaderFields> header,
              std::shared_ptr<const plat::Data> body) {
  QVHTTPRequest request(url, method, std::move(header), std::move(body));
  return perform(request);
}

template <class R>
R readReply(const Reply& reply, R ret = R()) {
  ret.status = reply.status;
  if (ret.status == 200) ret.setValueWithData(reply.body);
  else ret.setValueWithErrorData(reply.body);
  return ret;
}

plat::Data utf8(const std::string& text) { return plat::Data(text.begin(), text.end()); }

std::string bodyText(const std::optional<plat::Data>& body) {
  return body ? std::string(body->begin(), body->end()) : std::string();
}

std::string withScheme(const std::string& host) { return Util::getDealWithHttpsOrHttpUrl(host); }

// A form POST to the OAuth endpoint or the account API: no fields but the
// body's length, every value inserted as it is.
Reply postForm(const std::string& host, const char* path, const std::string& form) {
  return perform(plat::format(path, withScheme(host)), "POST", std::nullopt, utf8(form));
}

// The signed fields of a file-API request over one date text.
plat::HeaderFields signedFields(const std::string& method, const std::string& token, int64_t mountid,
                                const std::string& target) {
  std::string date = Util::getDate();
  std::string auth = HTTPEngine::getAuth(method, date, mountid, target);
  return {{"x-qv-mount", plat::format("%ld", static_cast<long>(mountid))},
          {"date", date},
          {"Authorization", plat::format("%@:%@", token, auth)}};
}

Reply fileRequest(const std::string& method, const std::string& token, int64_t mountid, const std::string& target,
                  const plat::HeaderFields& extra, std::optional<plat::Data> body = std::nullopt) {
  plat::HeaderFields fields = signedFields(method, token, mountid, target);
  fields.insert(fields.end(), extra.begin(), extra.end());
  return perform(withScheme(APIHosts::file()) + target, method, std::move(fields), std::move(body));
}

std::string ld(int64_t v) { return plat::format("%ld", static_cast<long>(v)); }

const plat::HeaderFields kMachine = {{"x-qv-machine", "mac"}};

}  // namespace

// ---- Shared pieces ----

std::string HTTPEngine::getPath(const std::string& webpath) { return NSStringExpand::escapedCloudPath(webpath); }

std::string HTTPEngine::getAuth(const std::string& method, const std::string& date, int64_t mountId,
                                const std::optional<std::string>& url) {
  std::string lower = method;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string text = plat::format("%@\n%@\n%ld\n", lower, date, static_cast<long>(mountId));
  if (url) text += *url;
  plat::Data mac = NSStringExpand::hmac_sha1(text, kClientSecret);
  return NSDataExpand::base64Encoded(NSDataExpand::Bytes(mac.data(), mac.size())).value_or("");
}

// ---- OAuth sign-in ----

RetToken HTTPEngine::login(const std::string& username, const std::string& password, const std::string& info,
                           const std::string& device) {
  return readReply<RetToken>(postForm(
      APIHosts::oauth(), "%@/oauth/token",
      plat::format("grant_type=password&username=%@&password=%@&info=%@&device=%@&client_id=%@&client_secret=%@",
                   username, password, info, device, kClientId, kClientSecret)));
}

RetToken HTTPEngine::weblogin(const std::string& key, const std::string& info, const std::string& device) {
  return readReply<RetToken>(
      postForm(APIHosts::oauth(), "%@/check_oauth",
               plat::format("key=%@&info=%@&device=%@&client_id=%@&client_secret=%@", key, info, device, kClientId,
                            kClientSecret)));
}

RetToken HTTPEngine::refreshtoken(const std::string& refreshToken, const std::string& info,
                                  const std::string& device) {
  return readReply<RetToken>(postForm(
      APIHosts::oauth(), "%@/oauth/token",
      plat::format("grant_type=refresh_token&refresh_token=%@&info=%@&device=%@&client_id=%@&client_secret=%@",
                   refreshToken, info, device, kClientId, kClientSecret)));
}

// ---- Account API ----

RetUserInfo HTTPEngine::userinfo(const std::string& token) {
  Reply reply = postForm(APIHosts::account(), "%@/get_myinfo", plat::format("token=%@", token));
  RetUserInfo ret;
  if (reply.status == 200) ret.jsonUserInfo = bodyText(reply.body);
  return readReply(reply, std::move(ret));
}

RetUpdateMsg HTTPEngine::userUpdateMsg(const std::string& token, int64_t dateline) {
  Reply reply = postForm(APIHosts::account(), "%@/client_updates",
                         plat::format("token=%@&dateline=%ld", token, static_cast<long>(dateline)));
  RetUpdateMsg ret;
  if (reply.response) ret.servertime = reply.response->headerFieldValue("Date");
  if (reply.status == 200) ret.jsonUpdateMsg = bodyText(reply.body);
  return readReply(reply, std::move(ret));
}

RequestRet HTTPEngine::save_file(const std::string& token, int64_t cmd, int64_t mountid, const std::string& webpath,
                                 const std::string& expires, const std::string& signature) {
  Reply reply = postForm(APIHosts::account(), "%@/save_file",
                         plat::format("token=%@&act=%ld&mount_id=%ld&fullpath=%@&expires=%@&sign=%@", token,
                                      static_cast<long>(cmd), static_cast<long>(mountid), webpath, expires,
                                      signature));
  RequestRet ret;
  ret.status = reply.status;
  return ret;
}

// ---- File API ----

RetReget HTTPEngine::reget(const std::string& token, const std::string& webpath, int64_t mountid) {
  return readReply<RetReget>(fileRequest("GET", token, mountid, getPath(webpath), kMachine));
}

RetAddFile HTTPEngine::addfile(const std::string& token, const std::string& webpath, int64_t mountid,
                               const std::optional<std::string>& filehash, int64_t filesize, int64_t version) {
  if (!filehash) {
    RetAddFile ret;
    ret.status = 10061;
    return ret;
  }
  plat::HeaderFields extra = {{"x-qv-filehash", *filehash}, {"x-qv-filesize", ld(filesize)}, {"x-qv-machine", "mac"}};
  if (version > 0) extra.emplace_back("x-qv-version", ld(version));
  return readReply<RetAddFile>(fileRequest("PUT", token, mountid, getPath(webpath), extra));
}

RetDelFile HTTPEngine::delfile(const std::string& token, const std::string& webpath, int64_t mountid) {
  return readReply<RetDelFile>(fileRequest("DELETE", token, mountid, getPath(webpath), kMachine));
}

RetRename HTTPEngine::renamefile(const std::string& token, const std::string& webpath, int64_t mountid,
                                 const std::string& newname) {
  plat::HeaderFields extra = {{"x-qv-newname", NSStringExpand::toUtf8(newname)}, {"x-qv-machine", "mac"}};
  return readReply<RetRename>(fileRequest("RENAME", token, mountid, getPath(webpath), extra));
}

RetMoveFile HTTPEngine::movefile(const std::string& token, const std::string& webpath, int64_t mountid,
                                 const std::string& newparent) {
  plat::HeaderFields extra = {{"x-qv-target-mount", ld(mountid)},
                              {"x-qv-target-path", NSStringExpand::urlEncoded(newparent)},
                              {"x-qv-machine", "mac"}};
  return readReply<RetMoveFile>(fileRequest("MOVE", token, mountid, getPath(webpath), extra));
}

RetCompare HTTPEngine::compare(const std::string& token, const std::string& webpath, const std::string& changekey,
                               int64_t mountid, int64_t version, int64_t dateline) {
  // Callers pass roots with a leading slash, which the escaped path doubles:
  // only that doubled slash goes. An empty path is the root "/", and the
  // signature covers the target exactly as it goes on the wire.
  std::string target = getPath(webpath);
  if (target.rfind("//", 0) == 0) target.erase(0, 1);
  if (!changekey.empty()) {
    target = plat::format("%@?sc=%@", target, NSStringExpand::stringByAddingPercentEscapes(changekey));
  }
  plat::HeaderFields extra = {{"x-qv-version", ld(version)}, {"x-qv-dateline", ld(dateline)}};
  return readReply<RetCompare>(fileRequest("COMPARE", token, mountid, target, extra));
}

RequestRet HTTPEngine::addorgshare(const std::string& token, const std::string& webpath, int64_t mountid,
                                   const std::string& mail) {
  return readReply<RequestRet>(
      fileRequest("ORG_SHARE", token, mountid, getPath(webpath), {}, utf8(plat::format("local=0&email=%@|2", mail))));
}

bool HTTPEngine::addfavorite(const std::string& token, const std::string& webpath, int64_t mountid) {
  return fileRequest("FAVORITES_ADD", token, mountid, getPath(webpath), {}).status == 200;
}

RetFileList HTTPEngine::getfilelist(const std::string& token, const std::string& webpath, int64_t mountid,
                                    bool bSendMsg) {
  plat::HeaderFields extra = {{"x-qv-dir", plat::format("%d", 1)},
                              {"x-qv-start", plat::format("%d", 0)},
                              {"x-qv-size", plat::format("%d", 50000)},
                              {"x-qv-order", ""}};
  RetFileList ret;
  ret.bSendMsg = bSendMsg;
  return readReply(fileRequest("LIST", token, mountid, getPath(webpath), extra), std::move(ret));
}

// ---- Upload servers ----

namespace {

plat::HeaderFields sessionField(const std::string& session) { return {{"x-qv-upload-session", session}}; }

std::string crcText(const plat::Data& data) {
  return plat::format("%u", static_cast<unsigned>(NSDataExpand::crc32(NSDataExpand::Bytes(data.data(), data.size()))));
}

}  // namespace

RetUploadInit HTTPEngine::sendinit(const std::string& server, const std::string& token, const std::string& fileName,
                                   const std::string& pathHash, const std::string& fileHash, int64_t fileSize) {
  plat::HeaderFields fields = {{"x-qv-upload-filename", NSStringExpand::stringByAddingPercentEscapes(fileName)},
                               {"x-qv-upload-pathhash", pathHash},
                               {"x-qv-upload-filehash", fileHash},
                               {"x-qv-upload-filesize", ld(fileSize)},
                               {"x-qv-token", token}};
  return readReply<RetUploadInit>(perform(server + "/upload_init", "PUT", std::move(fields), std::nullopt));
}

RetUploadCheckSum HTTPEngine::senddownloadchecksum(const std::string& server, const std::string& session) {
  Reply reply = perform(server + "/download_checksum", "PUT", sessionField(session), std::nullopt);
  RetUploadCheckSum ret;
  ret.status = reply.status;
  if (ret.status == 200 && reply.body) ret.checksum = *reply.body;
  return ret;
}

RequestRet HTTPEngine::senduploadchecksum(const std::string& server, const std::string& session,
                                          const plat::Data& data) {
  plat::HeaderFields fields = sessionField(session);
  fields.emplace_back("x-qv-upload-crc", crcText(data));
  RequestRet ret;
  ret.status = perform(server + "/upload_checksum_result", "PUT", std::move(fields), data).status;
  return ret;
}

RetUploadReq HTTPEngine::sendreq(const std::string& server, const std::string& session) {
  Reply reply = perform(server + "/upload_req", "GET", sessionField(session), std::nullopt);
  RetUploadReq ret;
  ret.status = reply.status;
  if (ret.status == 200) ret.setOffsetWithData(reply.body);
  return ret;
}

RetUploadPiece HTTPEngine::sendpiece(const std::string& server, const std::string& session, int64_t start,
                                     int64_t end, const plat::Data& postData) {
  plat::HeaderFields fields = sessionField(session);
  fields.emplace_back("x-qv-upload-range", plat::format("%ld-%ld", static_cast<long>(start), static_cast<long>(end)));
  fields.emplace_back("Content-Length", plat::format("%ld", static_cast<long>(postData.size())));
  fields.emplace_back("x-qv-upload-crc", crcText(postData));
  return readReply<RetUploadPiece>(perform(server + "/upload_part", "PUT", std::move(fields), postData));
}

RetUploadPiece HTTPEngine::sendpiece(const std::string& server, const std::string& session, int64_t start,
                                     int64_t end, std::shared_ptr<const plat::Data> postData, uint32_t crc) {
  const size_t size = postData ? postData->size() : 0;
  plat::HeaderFields fields = sessionField(session);
  fields.emplace_back("x-qv-upload-range", plat::format("%ld-%ld", static_cast<long>(start), static_cast<long>(end)));
  fields.emplace_back("Content-Length", plat::format("%ld", static_cast<long>(size)));
  fields.emplace_back("x-qv-upload-crc", plat::format("%u", static_cast<unsigned>(crc)));
  return readReply<RetUploadPiece>(perform(server + "/upload_part", "PUT", std::move(fields), std::move(postData)));
}

RequestRet HTTPEngine::sendfinish(const std::string& server, const std::string& session, int64_t filesize) {
  plat::HeaderFields fields = sessionField(session);
  fields.emplace_back("x-qv-upload-filesize", ld(filesize));
  RequestRet ret;
  ret.status = perform(server + "/upload_finish", "POST", std::move(fields), std::nullopt).status;
  return ret;
}

RequestRet HTTPEngine::sendabort(const std::string& server, const std::string& session) {
  RequestRet ret;
  ret.status = perform(server + "/upload_abort", "POST", sessionField(session), std::nullopt).status;
  return ret;
}
