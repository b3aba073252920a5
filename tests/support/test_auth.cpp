#include "tests/support/test_auth.h"

#include <openssl/evp.h>

#include <map>

namespace qvtest {

namespace {

// name=value pairs of an authorization, quoted values unescaped.
std::map<std::string, std::string> params(const std::string& s) {
  std::map<std::string, std::string> out;
  size_t at = 0;
  while (at < s.size()) {
    while (at < s.size() && (s[at] == ' ' || s[at] == ',')) ++at;
    size_t eq = s.find('=', at);
    if (eq == std::string::npos) break;
    std::string name = s.substr(at, eq - at);
    at = eq + 1;
    std::string value;
    if (at < s.size() && s[at] == '"') {
      ++at;
      while (at < s.size() && s[at] != '"') {
        if (s[at] == '\\') ++at;
        if (at < s.size()) value += s[at++];
      }
      ++at;
    } else {
      size_t end = s.find(',', at);
      value = s.substr(at, end == std::string::npos ? std::string::npos : end - at);
      at = end == std::string::npos ? s.size() : end;
    }
    out[name] = value;
  }
  return out;
}

}  // namespace

std::string testHexDigest(const std::string& algorithm, const std::string& text) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(text.data(), text.size(), out, &n, algorithm == "SHA-256" ? EVP_sha256() : EVP_md5(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (unsigned i = 0; i < n; ++i) s += {hex[out[i] >> 4], hex[out[i] & 15]};
  return s;
}

std::string testBase64(const std::string& in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

int TestAuthChallenger::refusals() const {
  std::lock_guard l(mutex_);
  return refusals_;
}

std::string TestAuthChallenger::challenge(bool stale) {
  if (options_.scheme == Scheme::Basic) return "Basic realm=\"" + options_.realm + "\"";
  nonce_ = "nonce-" + std::to_string(++nonceCounter_);
  nonceUses_ = 0;
  seenNc_.clear();
  return "Digest realm=\"" + options_.realm + "\", qop=\"auth\", algorithm=" + options_.algorithm + ", nonce=\"" +
         nonce_ + "\", opaque=\"op-aque\"" + (stale ? ", stale=true" : "");
}

std::optional<ScriptedResponse> TestAuthChallenger::refusal(const RecordedRequest& r) {
  std::lock_guard l(mutex_);
  auto refuse = [&](bool stale) {
    ++refusals_;
    ScriptedResponse s = ScriptedResponse::text(options_.proxy ? 407 : 401, "who are you?");
    s.reason = options_.proxy ? "Proxy Authentication Required" : "Unauthorized";
    s.headers.push_back({options_.proxy ? "Proxy-Authenticate" : "WWW-Authenticate", challenge(stale)});
    return s;
  };
  auto auth = r.header(options_.proxy ? "Proxy-Authorization" : "Authorization");
  if (options_.scheme == Scheme::Basic) {
    if (auth && *auth == "Basic " + testBase64(options_.user + ":" + options_.password)) return std::nullopt;
    return refuse(false);
  }
  if (!auth || auth->rfind("Digest ", 0) != 0 || nonce_.empty()) return refuse(false);
  auto p = params(auth->substr(7));
  if (p["nonce"] != nonce_ || p["username"] != options_.user || p["realm"] != options_.realm ||
      p["uri"] != r.target || p["qop"] != "auth" || p["opaque"] != "op-aque" || p["algorithm"] != options_.algorithm ||
      seenNc_.count(p["nc"]))
    return refuse(false);
  const std::string& h = options_.algorithm;
  std::string ha1 = testHexDigest(h, options_.user + ":" + options_.realm + ":" + options_.password);
  std::string ha2 = testHexDigest(h, r.method + ":" + p["uri"]);
  std::string expect = testHexDigest(h, ha1 + ":" + nonce_ + ":" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2);
  if (p["response"] != expect) return refuse(false);
  seenNc_.insert(p["nc"]);
  if (++nonceUses_ > options_.nonceUses) return refuse(true);
  return std::nullopt;
}

}  // namespace qvtest
