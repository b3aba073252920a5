#include "app/interface/QVHTTPRequest.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/foundation/format.h"
#include "platform/foundation/operation_queue.h"
#include "tests/support/test_http_server.h"

namespace {

std::optional<std::string> field(const plat::URLRequest& r, const std::string& name) {
  for (const auto& [k, v] : r.headers) {
    if (k == name) return v;
  }
  return std::nullopt;
}

int countOf(const plat::URLRequest& r, const std::string& name) {
  int n = 0;
  for (const auto& f : r.headers) n += strcasecmp(f.first.c_str(), name.c_str()) == 0;
  return n;
}

TEST(QVHTTPRequestTest, ContentLengthAndFieldsAsGiven) {
  struct Case {
    std::optional<plat::HeaderFields> header;
    std::optional<std::string> body;
    std::string length;
  } cases[] = {
      {std::nullopt, std::nullopt, "0"},
      {plat::HeaderFields{{"x-qv-order", ""}}, std::nullopt, "0"},
      {std::nullopt, std::string("token=abc"), "9"},
      {plat::HeaderFields{{"Content-Length", "4"}, {"x-qv-upload-crc", "0"}}, std::string("abcd"), "4"},
      {plat::HeaderFields{{"content-length", "12"}}, std::string("abcd"), "12"},
  };
  for (const auto& c : cases) {
    std::optional<plat::Data> body;
    if (c.body) body = plat::Data(c.body->begin(), c.body->end());
    QVHTTPRequest request("http://127.0.0.1:1/x", "ORG_SHARE", c.header, body);
    plat::URLRequest r = request.urlRequest();
    EXPECT_EQ(r.method, "ORG_SHARE");
    ASSERT_FALSE(r.headers.empty());
    EXPECT_EQ(r.headers.front().second, c.length) << c.body.value_or("(none)");
    EXPECT_EQ(countOf(r, "Content-Length"), 1);
    if (c.header) {
      for (const auto& [k, v] : *c.header) {
        if (strcasecmp(k.c_str(), "Content-Length") != 0) {
          EXPECT_EQ(field(r, k), v) << k;
        }
      }
    }
    ASSERT_EQ(r.sharedBody != nullptr, c.body.has_value());
    if (c.body) {
      EXPECT_EQ(std::string(r.sharedBody->begin(), r.sharedBody->end()), *c.body);
    }
    EXPECT_TRUE(r.ssl.validatesCertificateChain);
    EXPECT_FALSE(r.ssl.allowsAnyRoot);
    EXPECT_GT(r.timeoutInterval, 0);
  }
}

TEST(QVHTTPRequestTest, TimeOutIsNeverUnbounded) {
  EXPECT_EQ(QVHTTPRequest::timeoutInterval(), QVHTTPRequest::kDefaultTimeoutInterval);
  QVHTTPRequest::setTimeoutInterval(0);
  EXPECT_EQ(QVHTTPRequest::timeoutInterval(), QVHTTPRequest::kDefaultTimeoutInterval);
  QVHTTPRequest::setTimeoutInterval(-1);
  EXPECT_EQ(QVHTTPRequest::timeoutInterval(), QVHTTPRequest::kDefaultTimeoutInterval);
  QVHTTPRequest::setTimeoutInterval(5);
  EXPECT_EQ(QVHTTPRequest::timeoutInterval(), 5);
  QVHTTPRequest::setTimeoutInterval(QVHTTPRequest::kDefaultTimeoutInterval);
}

// A server that takes the connection and never says a word.
TEST(QVHTTPRequestTest, SilentServerGivesNoReply) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 4), 0);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  QVHTTPRequest::setTimeoutInterval(0.3);
  for (const char* scheme : {"http", "https"}) {
    std::string url = plat::format("%s://127.0.0.1:%d/get_myinfo", scheme, static_cast<int>(ntohs(addr.sin_port)));
    QVHTTPRequest request(url, "POST", std::nullopt, plat::Data{'t'});
    std::optional<plat::HTTPURLResponse> response;
    plat::Error error;
    auto body = request.connectNetSyncWithResponse(&response, &error);
    EXPECT_FALSE(body.has_value()) << scheme;
    EXPECT_FALSE(response.has_value()) << scheme;
    EXPECT_EQ(error.code(), plat::kURLErrorTimedOut) << scheme;
  }
  QVHTTPRequest::setTimeoutInterval(QVHTTPRequest::kDefaultTimeoutInterval);
  ::close(fd);
}

// The operation form: run on a queue's worker thread, it keeps the status
// (or the failure's code) and the body of the answer.
TEST(QVHTTPRequestTest, AsAnOperationKeepsStatusAndBody) {
  qvtest::TestHTTPServer server;
  server.setHandler([](const qvtest::RecordedRequest& r) {
    if (r.target == "/moved")
      return qvtest::ScriptedResponse{.status = 302, .reason = "Found", .headers = {{"Location", "/check_oauth"}},
                                      .body = "old place"};
    if (r.target == "/missing") return qvtest::ScriptedResponse::text(404, "{\"error_code\":40402}");
    return qvtest::ScriptedResponse{.body = "{\"ok\":1}", .chunked = true, .chunkSize = 3};
  });
  struct Case {
    std::string url;
    int64_t status;
    std::string body;
  } cases[] = {
      {server.url("/check_oauth"), 200, "{\"ok\":1}"},
      {server.url("/moved"), 200, "{\"ok\":1}"},
      {server.url("/missing"), 404, "{\"error_code\":40402}"},
      {"http://127.0.0.1:1/check_oauth", plat::kURLErrorCannotConnectToHost, ""},
  };
  plat::OperationQueue queue("requests");
  queue.setMaxConcurrentOperationCount(2);
  std::vector<std::shared_ptr<QVHTTPRequest>> requests;
  for (const auto& c : cases) {
    auto r = std::make_shared<QVHTTPRequest>(c.url, "FAVORITES_ADD", plat::HeaderFields{{"x-qv-mount", "7"}},
                                             plat::Data{'a', '=', '1'});
    requests.push_back(r);
    queue.addOperation(r);
  }
  queue.waitUntilAllOperationsAreFinished();
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_TRUE(requests[i]->isFinished()) << cases[i].url;
    EXPECT_FALSE(requests[i]->isRunning()) << cases[i].url;
    EXPECT_EQ(requests[i]->statusCode(), cases[i].status) << cases[i].url;
    EXPECT_EQ(std::string(requests[i]->jsonData().begin(), requests[i]->jsonData().end()), cases[i].body) << cases[i].url;
  }
  auto sent = server.requests().at(0);
  EXPECT_EQ(sent.method, "FAVORITES_ADD");
  EXPECT_EQ(sent.header("Content-Length"), "3");
  EXPECT_EQ(sent.header("x-qv-mount"), "7");
  EXPECT_EQ(sent.body, "a=1");
}

TEST(QVHTTPRequestTest, AsAnOperationTimesOutWhenTheServerIsSilent) {
  qvtest::TestHTTPServer server;
  server.enqueue({.silent = true});
  QVHTTPRequest::setTimeoutInterval(0.3);
  QVHTTPRequest request(server.url("/get_myinfo"), "POST", std::nullopt, std::nullopt);
  request.start();  // on this thread, like a plain operation
  QVHTTPRequest::setTimeoutInterval(QVHTTPRequest::kDefaultTimeoutInterval);
  EXPECT_EQ(request.statusCode(), plat::kURLErrorTimedOut);
  EXPECT_TRUE(request.jsonData().empty());
  EXPECT_TRUE(request.isFinished());
}

}  // namespace
