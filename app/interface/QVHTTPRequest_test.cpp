#include "app/interface/QVHTTPRequest.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/foundation/format.h"

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
    EXPECT_EQ(r.body.size(), c.body ? c.body->size() : 0u);
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

}  // namespace
