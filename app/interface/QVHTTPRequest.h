// One HTTP exchange with the service: the URL, the method as given (the
// service's own verbs too), the header fields and the body. The service
// calls perform it on the caller's thread; as an operation it runs the
// exchange on the run loop of the thread that runs it and keeps the status
// and the body. Every exchange has a finite time-out and verifies the
// server's certificate; a test may name the CA to trust instead of the
// system's.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/operation_queue.h"
#include "platform/foundation/value.h"
#include "platform/net/http_message.h"
#include "platform/net/url_connection.h"

class QVHTTPRequest : public plat::Operation, private plat::URLConnectionDelegate {
public:
  // Seconds without progress after which an exchange gives up.
  static constexpr double kDefaultTimeoutInterval = 60;

  QVHTTPRequest(std::string url, std::string method, std::optional<plat::HeaderFields> header,
                std::optional<plat::Data> body);
  // The body is the caller's buffer, sent without a copy; it must not change
  // while the exchange runs. Null: no body.
  QVHTTPRequest(std::string url, std::string method, std::optional<plat::HeaderFields> header,
                std::shared_ptr<const plat::Data> body);

  // The reply body, or nothing when no reply came; `response` gets the
  // reply's head whenever one came.
  std::optional<plat::Data> connectNetSyncWithResponse(std::optional<plat::HTTPURLResponse>* response,
                                                       plat::Error* error = nullptr);

  // The asynchronous path: main() starts connectNet() and runs the current
  // run loop until the exchange ended. Afterwards statusCode() is the HTTP
  // status, or the error's code when no answer came, and jsonData() the
  // body of the last response.
  void main() override;
  void connectNet();
  int64_t statusCode() const { return statusCode_; }
  const plat::Data& jsonData() const { return jsonData_; }
  bool isRunning() const { return isRunning_; }

  const std::optional<plat::HeaderFields>& header() const { return header_; }
  const std::string& url() const { return url_; }
  const std::string& method() const { return method_; }
  const std::shared_ptr<const plat::Data>& body() const { return body_; }
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
  // Method and URL without its query: never a token, a header or the body.
  void logFailure(const plat::Error& error) const;
  void connectionDidReceiveResponse(plat::URLConnection&, const plat::HTTPURLResponse& response) override;
  void connectionDidReceiveData(plat::URLConnection&, const plat::Data& data) override;
  void connectionDidFinishLoading(plat::URLConnection&) override;
  void connectionDidFailWithError(plat::URLConnection&, const plat::Error& error) override;

  std::string method_;
  std::optional<plat::HeaderFields> header_;
  std::shared_ptr<const plat::Data> body_;
  std::string url_;
  std::string parentPath_;
  int64_t mountId_ = 0;
  int64_t statusCode_ = 0;
  plat::Data jsonData_;
  bool isRunning_ = false;
  std::shared_ptr<plat::URLConnection> connection_;
};
