// Server-side checks of HTTP authentication for the test server and the
// test proxy: a Basic or Digest (RFC 7616, MD5 or SHA-256, qop "auth")
// challenger that answers 401 (a proxy's: 407) until a request carries the
// right credentials. Written apart from the client's code so that the two
// check each other.
#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "tests/support/test_http_server.h"

namespace qvtest {

class TestAuthChallenger {
public:
  enum class Scheme { Basic, Digest };
  struct Options {
    Scheme scheme = Scheme::Digest;
    std::string realm = "test-realm";
    std::string user;
    std::string password;
    std::string algorithm = "MD5";  // or "SHA-256"
    // Digest: every nonce is good for this many answers, then "stale=true".
    int nonceUses = 1000;
    // A proxy's challenge: Proxy-Authorization read, 407 with Proxy-Authenticate.
    bool proxy = false;
  };
  explicit TestAuthChallenger(Options options) : options_(std::move(options)) {}

  // The 401 (or 407) to send, or nothing when the request is authorised.
  std::optional<ScriptedResponse> refusal(const RecordedRequest& request);
  int refusals() const;

private:
  std::string challenge(bool stale);
  mutable std::mutex mutex_;
  Options options_;
  std::string nonce_;
  int nonceUses_ = 0;
  int nonceCounter_ = 0;
  int refusals_ = 0;
  std::set<std::string> seenNc_;
};

// A hex digest of the text: "MD5" or "SHA-256".
std::string testHexDigest(const std::string& algorithm, const std::string& text);
std::string testBase64(const std::string& text);

}  // namespace qvtest
