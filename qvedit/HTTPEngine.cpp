#include "qvedit/HTTPEngine.h"

#include <mutex>

#include "Framework/Staticclass/NSDataExpand.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "platform/foundation/date_text.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "platform/net/url_connection.h"

namespace {

std::mutex gMutex;
std::string gOAuth = HTTPEngine::kDefaultOAuth;
std::string gFile = HTTPEngine::kDefaultFile;
double gTimeout = 60;

struct Reply {
  std::optional<plat::Data> body;
  int64_t status = 0;  // 0: no reply came
};

// One exchange as the helper's request object sends it: Content-Length
// first, then the given fields, then the body.
Reply perform(const std::string& url, const std::string& method, plat::HeaderFields fields,
              std::optional<plat::Data> body = std::nullopt) {
  plat::URLRequest r;
  r.url = url;
  r.method = method;
  r.headers.emplace_back("Content-Length", plat::format("%d", static_cast<int>(body ? body->size() : 0)));
  r.headers.insert(r.headers.end(), fields.begin(), fields.end());
  if (body) r.body = std::move(*body);
  r.timeoutInterval = HTTPEngine::timeoutInterval();
  std::optional<plat::HTTPURLResponse> response;
  plat::Error e;
  Reply out;
  out.body = plat::URLConnection::sendSynchronousRequest(r, &response, &e);
  out.status = response ? response->statusCode() : 0;
  // The target without its query; never a field or the body (tokens).
  if (!response) plat::log("qvedit: %@ %@ failed: %@", method, url.substr(0, url.find('?')), e.localizedDescription());
  return out;
}

std::string ld(int64_t v) { return plat::format("%ld", static_cast<long>(v)); }

plat::Data utf8(const std::string& s) { return plat::Data(s.begin(), s.end()); }

plat::HeaderFields signedFields(const std::string& method, const std::string& token, int64_t mountid,
                                const std::string& target) {
  std::string date = HTTPEngine::getDate();
  return {{"x-qv-mount", ld(mountid)},
          {"date", date},
          {"Authorization", plat::format("%@:%@", token, HTTPEngine::getAuth(method, date, mountid, target))}};
}

}  // namespace

std::string HTTPEngine::oauthBase() {
  std::lock_guard<std::mutex> l(gMutex);
  return gOAuth;
}

std::string HTTPEngine::fileBase() {
  std::lock_guard<std::mutex> l(gMutex);
  return gFile;
}

void HTTPEngine::setServer(const std::string& base) {
  std::lock_guard<std::mutex> l(gMutex);
  gOAuth = gFile = NSStringExpand::lastremoveslash(base);
}

void HTTPEngine::resetServer() {
  std::lock_guard<std::mutex> l(gMutex);
  gOAuth = kDefaultOAuth;
  gFile = kDefaultFile;
}

void HTTPEngine::setTimeoutInterval(double seconds) {
  std::lock_guard<std::mutex> l(gMutex);
  gTimeout = seconds > 0 ? seconds : 60;  // never unbounded
}

double HTTPEngine::timeoutInterval() {
  std::lock_guard<std::mutex> l(gMutex);
  return gTimeout;
}

std::string HTTPEngine::get_path(const std::string& webpath) { return NSStringExpand::escapedCloudPath(webpath); }

std::string HTTPEngine::getDate() { return plat::signatureDateText(); }

std::string HTTPEngine::getAuth(const std::string& method, const std::string& date, int64_t mountId,
                                const std::string& url) {
  std::string lower = method;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string text = plat::format("%@\n%@\n%ld\n%@", lower, date, static_cast<long>(mountId), url);
  plat::Data mac = NSStringExpand::hmac_sha1(text, kClientSecret);
  return NSDataExpand::base64Encoded(NSDataExpand::Bytes(mac.data(), mac.size())).value_or("");
}

TokenData HTTPEngine::refreshToken(const std::string& refreshToken) {
  Reply r = perform(oauthBase() + "/oauth/token", "POST", {},
                    utf8(plat::format("grant_type=refresh_token&refresh_token=%@&device=&client_id=%@&client_secret=%@",
                                      refreshToken, kClientId, kClientSecret)));
  TokenData t;
  t.status = r.status;
  if (r.status == 200) t.initWithJsonData(r.body);
  return t;
}

std::optional<DownloadRet> HTTPEngine::regetfile(const std::string& token, const std::string& webpath,
                                                 int64_t mountid) {
  std::string target = get_path(webpath);
  Reply r = perform(fileBase() + target, "GET", signedFields("GET", token, mountid, target));
  if (r.status != 200) return std::nullopt;
  DownloadRet d;
  d.status = r.status;
  if (!d.initWithJsonData(r.body)) return std::nullopt;
  return d;
}

UploadRetAdd HTTPEngine::addfile(const std::string& token, const std::string& webpath, int64_t mountid,
                                 const std::string& filehash, int64_t filesize) {
  std::string target = get_path(webpath);
  plat::HeaderFields fields = signedFields("PUT", token, mountid, target);
  // The signed fields go last in the system's order: mount, hash, size, machine, date, signature.
  plat::HeaderFields ordered = {fields[0], {"x-qv-filehash", filehash}, {"x-qv-filesize", ld(filesize)},
                                {"x-qv-machine", kMachine}, fields[1], fields[2]};
  Reply r = perform(fileBase() + target, "PUT", std::move(ordered));
  UploadRetAdd a;
  a.status = r.status;
  if (r.status == 200) a.initWithJsonData(r.body);
  return a;
}

UploadRetInit HTTPEngine::sendinit(const std::string& server, const std::string& token, const std::string& fileName,
                                   const std::string& pathHash, const std::string& fileHash, int64_t fileSize) {
  Reply r = perform(plat::format("%@/upload_init", server), "PUT",
                    {{"x-qv-upload-filename", NSStringExpand::urlEncoded(fileName)},
                     {"x-qv-upload-pathhash", pathHash},
                     {"x-qv-upload-filehash", fileHash},
                     {"x-qv-upload-filesize", ld(fileSize)},
                     {"x-qv-token", token}});
  UploadRetInit i;
  i.status = r.status;
  if (r.status == 200) i.initWithJsonData(r.body);
  return i;
}

UploadRetReq HTTPEngine::sendreq(const std::string& server, const std::string& session) {
  Reply r = perform(plat::format("%@/upload_req", server), "GET", {{"x-qv-upload-session", session}});
  UploadRetReq q;
  q.status = r.status;
  if (r.status == 200 && r.body) {
    std::string text(r.body->begin(), r.body->end());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (!text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == std::string::npos) {
      q.offset = std::stoll(text);
    }
  }
  return q;
}

UploadRetPiece HTTPEngine::sendpiece(const std::string& server, const std::string& session, int64_t start,
                                     int64_t end, const plat::Data& postData) {
  NSDataExpand::Bytes bytes(postData.data(), postData.size());
  Reply r = perform(plat::format("%@/upload_part", server), "PUT",
                    {{"x-qv-upload-session", session},
                     {"x-qv-upload-range", plat::format("%ld-%ld", static_cast<long>(start), static_cast<long>(end))},
                     {"x-qv-upload-crc", plat::format("%u", NSDataExpand::crc32(bytes))}},
                    postData);
  UploadRetPiece p;
  p.status = r.status;
  if (r.status != 200) p.initWithJsonData(r.body);
  return p;
}

UploadRetFinish HTTPEngine::sendfinish(const std::string& server, const std::string& session, int64_t filesize) {
  Reply r = perform(plat::format("%@/upload_finish", server), "POST",
                    {{"x-qv-upload-session", session}, {"x-qv-upload-filesize", ld(filesize)}});
  return UploadRetFinish{r.status};
}
