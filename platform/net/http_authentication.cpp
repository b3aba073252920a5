#include "platform/net/http_authentication.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cctype>

#include "platform/system/secure_random.h"

namespace plat {

namespace {

// OpenSSL loads its configuration once, on first use, keeping error state of
// the thread it runs on: that is the main thread at start, not a network
// thread that outlives the checks of a leak detector.
const bool kOpenSSLReady = OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr) == 1;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool isTokenChar(char c) {
  static const std::string_view extra = "!#$%&'*+-.^_`|~";
  return std::isalnum(static_cast<unsigned char>(c)) || extra.find(c) != std::string_view::npos;
}

// Reads challenges from one field value. States: want-scheme -> after-scheme
// (token68 or first param) -> in-params (name=value, comma) -> a token not
// followed by "=" starts the next challenge.
class ChallengeReader {
public:
  explicit ChallengeReader(std::string_view s) : s_(s) {}

  void readInto(std::vector<AuthChallenge>& out) {
    while (skipSeparators(), at_ < s_.size()) {
      std::string scheme = token();
      if (scheme.empty()) return;  // not a challenge: give up on the rest
      AuthChallenge ch;
      ch.scheme = scheme;
      skipSpace();
      // A token68 is a token (with "/" and trailing "=") not followed by "=value".
      size_t save = at_;
      std::string t68 = token68();
      skipSpace();
      if (!t68.empty() && (at_ >= s_.size() || s_[at_] == ',') && !looksLikeParamStart(save)) {
        ch.token68 = t68;
        out.push_back(std::move(ch));
        continue;
      }
      at_ = save;
      readParams(ch);
      out.push_back(std::move(ch));
    }
  }

private:
  bool looksLikeParamStart(size_t from) const {
    size_t i = from;
    while (i < s_.size() && isTokenChar(s_[i])) ++i;
    while (i < s_.size() && (s_[i] == ' ' || s_[i] == '\t')) ++i;
    return i > from && i < s_.size() && s_[i] == '=' && (i + 1 >= s_.size() || s_[i + 1] != '=');
  }

  void readParams(AuthChallenge& ch) {
    for (;;) {
      skipSeparators();
      size_t save = at_;
      if (!looksLikeParamStart(at_)) {
        at_ = save;
        return;  // the next challenge, or the end
      }
      std::string name = lower(token());
      skipSpace();
      ++at_;  // '='
      skipSpace();
      std::string value = at_ < s_.size() && s_[at_] == '"' ? quoted() : token();
      ch.params.emplace(std::move(name), std::move(value));
    }
  }

  void skipSpace() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t')) ++at_;
  }
  void skipSeparators() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == ',')) ++at_;
  }
  std::string token() {
    size_t from = at_;
    while (at_ < s_.size() && isTokenChar(s_[at_])) ++at_;
    return std::string(s_.substr(from, at_ - from));
  }
  std::string token68() {
    size_t from = at_;
    while (at_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[at_])) ||
                               std::string_view("-._~+/").find(s_[at_]) != std::string_view::npos))
      ++at_;
    while (at_ < s_.size() && s_[at_] == '=') ++at_;
    return std::string(s_.substr(from, at_ - from));
  }
  std::string quoted() {
    std::string v;
    ++at_;
    while (at_ < s_.size() && s_[at_] != '"') {
      if (s_[at_] == '\\' && at_ + 1 < s_.size()) ++at_;
      v += s_[at_++];
    }
    if (at_ < s_.size()) ++at_;
    return v;
  }

  std::string_view s_;
  size_t at_ = 0;
};

std::string base64(std::string_view in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

bool hasControl(std::string_view s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

std::string quote(std::string_view s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') q += '\\';
    q += c;
  }
  return q + "\"";
}

bool isASCII(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

// RFC 8187 ext-value of a UTF-8 text.
std::string extValue(std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  std::string v = "UTF-8''";
  for (unsigned char c : s) {
    if (std::isalnum(c) || std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos) {
      v += static_cast<char>(c);
    } else {
      v += '%';
      v += hex[c >> 4];
      v += hex[c & 15];
    }
  }
  return v;
}

std::optional<std::string> digestAlgorithm(const AuthChallenge& ch) {
  auto it = ch.params.find("algorithm");
  if (it == ch.params.end()) return std::string("MD5");
  std::string a = lower(it->second);
  if (a == "md5") return std::string("MD5");
  if (a == "md5-sess") return std::string("MD5-sess");
  if (a == "sha-256") return std::string("SHA-256");
  if (a == "sha-256-sess") return std::string("SHA-256-sess");
  return std::nullopt;  // SHA-512-256 and unknown names: not offered here
}

// Which qop this client can answer: "auth" when offered, none when the
// server names no qop (RFC 2069), nothing usable when only auth-int is.
std::optional<bool> digestQopAuth(const AuthChallenge& ch) {
  auto it = ch.params.find("qop");
  if (it == ch.params.end()) return false;
  std::string list = lower(it->second);
  size_t at = 0;
  while (at <= list.size()) {
    size_t comma = list.find(',', at);
    std::string item = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.erase(0, 1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.pop_back();
    if (item == "auth") return true;
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return std::nullopt;
}

// Higher is preferred: the strongest scheme the server offers is answered.
int rank(const AuthChallenge& ch) {
  if (equalsIgnoringCase(ch.scheme, kHTTPAuthenticationSchemeDigest)) {
    if (!ch.params.count("nonce") || !digestAlgorithm(ch) || !digestQopAuth(ch)) return 0;
    return digestAlgorithm(ch)->rfind("SHA-256", 0) == 0 ? 4 : 3;
  }
  if (equalsIgnoringCase(ch.scheme, kHTTPAuthenticationSchemeBasic)) return 2;
  if (equalsIgnoringCase(ch.scheme, kHTTPAuthenticationSchemeNegotiate)) return 1;
  return 0;  // NTLM and the unknown
}

std::vector<AuthChallenge> challengesOf(const HTTPMessage& response, bool* proxy) {
  *proxy = response.statusCode() == 407;
  return parseAuthChallenges(response.headerFieldValues(*proxy ? "Proxy-Authenticate" : "WWW-Authenticate"));
}

}  // namespace

std::string hexDigest(const char* algorithm, std::string_view data) {
  const EVP_MD* md = std::string_view(algorithm) == "SHA-256" ? EVP_sha256() : EVP_md5();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out, &n, md, nullptr);
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (unsigned i = 0; i < n; ++i) {
    s += hex[out[i] >> 4];
    s += hex[out[i] & 15];
  }
  return s;
}

std::vector<AuthChallenge> parseAuthChallenges(const std::vector<std::string>& fieldValues) {
  std::vector<AuthChallenge> out;
  for (const auto& v : fieldValues) ChallengeReader(v).readInto(out);
  return out;
}

std::shared_ptr<HTTPAuthentication> HTTPAuthentication::createFromResponse(const HTTPMessage& response) {
  if (response.statusCode() != 401 && response.statusCode() != 407) return nullptr;
  std::shared_ptr<HTTPAuthentication> a(new HTTPAuthentication());
  if (!a->chooseFrom(challengesOf(response, &a->proxy_))) return nullptr;
  return a;
}

bool HTTPAuthentication::chooseFrom(const std::vector<AuthChallenge>& challenges) {
  const AuthChallenge* best = nullptr;
  for (const auto& ch : challenges) {
    if (rank(ch) > 0 && (!best || rank(ch) > rank(*best))) best = &ch;
  }
  if (!best) return false;
  if (equalsIgnoringCase(best->scheme, kHTTPAuthenticationSchemeDigest)) {
    scheme_ = kHTTPAuthenticationSchemeDigest;
    algorithm_ = *digestAlgorithm(*best);
    qopAuth_ = *digestQopAuth(*best);
  } else if (equalsIgnoringCase(best->scheme, kHTTPAuthenticationSchemeBasic)) {
    scheme_ = kHTTPAuthenticationSchemeBasic;
  } else {
    scheme_ = kHTTPAuthenticationSchemeNegotiate;
  }
  params_ = best->params;
  return true;
}

std::optional<std::string> HTTPAuthentication::realm() const {
  std::lock_guard l(mutex_);
  auto it = params_.find("realm");
  if (it == params_.end()) return std::nullopt;
  return it->second;
}

bool HTTPAuthentication::requiresUserNameAndPassword() const { return scheme_ != kHTTPAuthenticationSchemeNegotiate; }

bool HTTPAuthentication::isValid(Error* error) const {
  std::lock_guard l(mutex_);
  if (invalid_) setError(error, *invalid_);
  return !invalid_;
}

void HTTPAuthentication::updateWithResponse(const HTTPMessage& response) {
  std::lock_guard l(mutex_);
  if (!applied_ || invalid_) return;
  if (response.statusCode() != (proxy_ ? 407 : 401)) return;
  bool proxy = false;
  auto challenges = challengesOf(response, &proxy);
  if (scheme_ == kHTTPAuthenticationSchemeDigest) {
    for (const auto& ch : challenges) {
      if (!equalsIgnoringCase(ch.scheme, kHTTPAuthenticationSchemeDigest)) continue;
      auto stale = ch.params.find("stale");
      // A stale nonce is no refusal of the password, but a server that
      // says so for ever is: a few fresh nonces, then the answer stands.
      if (stale != ch.params.end() && lower(stale->second) == "true" && ch.params.count("nonce") &&
          digestAlgorithm(ch) && digestQopAuth(ch) && staleRetries_ < 2) {
        ++staleRetries_;
        params_ = ch.params;
        algorithm_ = *digestAlgorithm(ch);
        qopAuth_ = *digestQopAuth(ch);
        nonceCount_ = 0;
        applied_ = false;
        return;
      }
    }
  }
  invalid_ = Error(kCFStreamErrorDomainHTTP, kCFStreamErrorHTTPAuthenticationBadPassword,
                   Dictionary{{kLocalizedDescriptionKey, std::string("The credentials were refused")}});
}

std::optional<std::string> HTTPAuthentication::authorization(std::string_view method, std::string_view uri,
                                                             const std::string& username,
                                                             const std::string& password) {
  std::lock_guard l(mutex_);
  if (hasControl(username) || hasControl(password) || hasControl(uri)) return std::nullopt;
  if (scheme_ == kHTTPAuthenticationSchemeBasic) {
    // RFC 7617: the user-id ends at the first colon, so one in it can't be sent.
    if (username.find(':') != std::string::npos) return std::nullopt;
    applied_ = true;
    return "Basic " + base64(username + ":" + password);
  }
  if (scheme_ != kHTTPAuthenticationSchemeDigest) return std::nullopt;
  const std::string realm = params_.count("realm") ? params_.at("realm") : "";
  const std::string nonce = params_.at("nonce");
  // The server's values are echoed into our header: a control byte in one
  // would write fields of the server's choosing, so such a challenge is not answered.
  auto opaque = params_.find("opaque");
  if (hasControl(realm) || hasControl(nonce) || (opaque != params_.end() && hasControl(opaque->second)))
    return std::nullopt;
  const bool sess = algorithm_.size() > 5 && algorithm_.compare(algorithm_.size() - 5, 5, "-sess") == 0;
  const char* h = algorithm_.rfind("SHA-256", 0) == 0 ? "SHA-256" : "MD5";
  const std::string cnonce = fixedCnonce_.empty() ? secureRandomHex(16) : fixedCnonce_;
  char nc[9];
  std::snprintf(nc, sizeof nc, "%08x", ++nonceCount_);

  std::string ha1 = hexDigest(h, username + ":" + realm + ":" + password);
  if (sess) ha1 = hexDigest(h, ha1 + ":" + nonce + ":" + cnonce);
  const std::string ha2 = hexDigest(h, std::string(method) + ":" + std::string(uri));
  const std::string response = qopAuth_ ? hexDigest(h, ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2)
                                        : hexDigest(h, ha1 + ":" + nonce + ":" + ha2);

  std::string v = "Digest ";
  auto userhash = params_.find("userhash");
  if (userhash != params_.end() && lower(userhash->second) == "true") {
    v += "username=" + quote(hexDigest(h, username + ":" + realm)) + ", userhash=true";
  } else if (isASCII(username)) {
    v += "username=" + quote(username);
  } else {
    v += "username*=" + extValue(username);
  }
  v += ", realm=" + quote(realm) + ", uri=" + quote(uri) + ", algorithm=" + algorithm_ + ", nonce=" + quote(nonce);
  if (qopAuth_) v += std::string(", qop=auth, nc=") + nc + ", cnonce=" + quote(cnonce);
  v += ", response=" + quote(response);
  if (opaque != params_.end()) v += ", opaque=" + quote(opaque->second);
  applied_ = true;
  return v;
}

std::string authorizationTarget(const URL& url, bool viaHTTPProxy) {
  return viaHTTPProxy && !url.isHTTPS() ? url.absoluteFormTarget() : url.requestTarget();
}

}  // namespace plat
