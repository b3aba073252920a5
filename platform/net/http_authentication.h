// HTTP authentication objects: made from the challenge of a 401 or 407
// response, they tell the scheme, the realm and what the scheme needs, and
// write the authorization for a user name and password into a request.
// Basic (RFC 7617) and Digest (RFC 7616: MD5, SHA-256 and their -sess
// forms, qop "auth" or none) are offered. NTLM is not: a challenge that
// offers nothing else gives no object. Negotiate is recognised as a scheme
// that needs no user name and password, which this platform cannot answer.
//
// An object lives as long as its request and follows its later challenges
// (updateWithResponse): a second challenge after credentials were applied
// makes it invalid ("bad password"), unless a Digest server only says that
// its nonce went stale. Objects are used from one thread at a time.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/net/http_message.h"

namespace plat {

inline constexpr const char* kCFStreamErrorDomainHTTP = "kCFStreamErrorDomainHTTP";
enum : long {
  kCFStreamErrorHTTPAuthenticationTypeUnsupported = -1000,
  kCFStreamErrorHTTPAuthenticationBadUserName = -1001,
  kCFStreamErrorHTTPAuthenticationBadPassword = -1002,
};

inline constexpr const char* kHTTPAuthenticationSchemeBasic = "Basic";
inline constexpr const char* kHTTPAuthenticationSchemeDigest = "Digest";
inline constexpr const char* kHTTPAuthenticationSchemeNTLM = "NTLM";
inline constexpr const char* kHTTPAuthenticationSchemeNegotiate = "Negotiate";

// One challenge of a WWW-Authenticate or Proxy-Authenticate field.
struct AuthChallenge {
  std::string scheme;                         // as sent
  std::map<std::string, std::string> params;  // names lower-cased, quoted values unescaped
  std::string token68;                        // a bare token after the scheme, if any
};

// Lower-case hex of the digest of `data`: "MD5" or "SHA-256".
std::string hexDigest(const char* algorithm, std::string_view data);

// Every challenge of the fields' values (several challenges may share one field).
std::vector<AuthChallenge> parseAuthChallenges(const std::vector<std::string>& fieldValues);

class HTTPAuthentication {
public:
  // From a 401 (server) or 407 (proxy) response head; null when it carries
  // no challenge of a scheme this platform knows.
  static std::shared_ptr<HTTPAuthentication> createFromResponse(const HTTPMessage& response);

  const std::string& method() const { return scheme_; }
  std::optional<std::string> realm() const;
  bool isProxy() const { return proxy_; }
  bool requiresAccountDomain() const { return false; }
  bool requiresUserNameAndPassword() const;
  // False once the credentials applied were refused; *error tells why.
  bool isValid(Error* error = nullptr) const;
  // A later response of the same exchange: a new challenge after
  // credentials were applied refuses them, except a stale Digest nonce.
  void updateWithResponse(const HTTPMessage& response);

  // The authorization for a request of `method` on `uri` (the request
  // target as sent), or nothing when these credentials can't be written
  // (control characters, a colon in a Basic user name, a scheme without
  // credentials). Each Digest answer counts one more use of the nonce.
  std::optional<std::string> authorization(std::string_view method, std::string_view uri, const std::string& username,
                                           const std::string& password);
  // Answers made after this use this client nonce instead of a random one
  // (for checks against published examples).
  void setClientNonce(std::string cnonce) { fixedCnonce_ = std::move(cnonce); }
  // The header the object writes.
  const char* headerName() const { return proxy_ ? "Proxy-Authorization" : "Authorization"; }

private:
  HTTPAuthentication() = default;
  bool chooseFrom(const std::vector<AuthChallenge>& challenges);

  mutable std::mutex mutex_;
  std::string scheme_;
  bool proxy_ = false;
  std::map<std::string, std::string> params_;
  std::string algorithm_;  // Digest: "MD5", "SHA-256", "MD5-sess", "SHA-256-sess"
  bool qopAuth_ = false;
  unsigned nonceCount_ = 0;
  bool applied_ = false;
  int staleRetries_ = 0;
  std::optional<Error> invalid_;
  std::string fixedCnonce_;
};

// The request target a request's authorization must name: the absolute
// form when an HTTP proxy carries a plain-HTTP request, else the path.
std::string authorizationTarget(const URL& url, bool viaHTTPProxy);

}  // namespace plat
