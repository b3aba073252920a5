// One HTTP exchange with the service, performed on the caller's thread: the
// URL, the method as given (the service's own verbs too), the header fields
// and the body. Every exchange has a finite time-out and verifies the
// server's certificate; a test may name the CA to trust instead of the
// system's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/net/http_message.h"
#include "platform/net/url_connection.h"

class QVHTTPRequest {
public:
  // Seconds without progress after which an exchange gives up.
  static constexpr double kDefaultTimeoutInterval = 60;

  QVHTTPRequest(std::string url, std::string method, std::optional<plat::HeaderFields> header,
                std::optional<plat::Data> body);

  // The reply body, or nothing when no reply came; `response` gets the
  // reply's head whenever one came.
  std::optional<plat::Data> connectNetSyncWithResponse(std::optional<plat::HTTPURLResponse>* response,
                                                       plat::Error* error = nullptr);

  const std::optional<plat::HeaderFields>& header() const { return header_; }
  const std::string& url() const { return url_; }
  const std::string& method() const { return method_; }
  const std::optional<plat::Data>& body() const { return body_; }
  const std::string& parentPath() const { return parentPath_; }
  void setParentPath(std::string v) { parentPath_ = std::move(v); }
  int64_t mountId() const { return mountId_; }
  void setMountId(int64_t v) { mountId_ = v; }

  // The request as it goes out (Content-Length first, the given fields after).
  plat::URLRequest urlRequest() const;

  // Process-wide: the CAs to trust instead of the system's store (empty: the
  // system's), and the time-out of every exchange.
  static void setTrustedCertificatesPEM(std::string pem);
  static std::string trustedCertificatesPEM();
  static void setTimeoutInterval(double seconds);
  static double timeoutInterval();

private:
  std::string method_;
  std::optional<plat::HeaderFields> header_;
  std::optional<plat::Data> body_;
  std::string url_;
  std::string parentPath_;
  int64_t mountId_ = 0;
};
