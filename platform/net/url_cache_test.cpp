// The shared URL cache as URLConnection uses it, against a scripted server
// on loopback: what is kept and given back, what is asked about, what is
// never kept, the tiers' bounds and a damaged entry on disk.
#include "platform/net/url_cache.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/net/url_connection.h"
#include "tests/support/test_http_server.h"

namespace plat {
namespace {

using qvtest::ScriptedResponse;
using qvtest::TestHTTPServer;

std::string text(const std::optional<Data>& d) { return d ? std::string(d->begin(), d->end()) : "<none>"; }

class URLCacheTest : public ::testing::Test {
protected:
  void SetUp() override {
    folder = makeTemporaryDirectory("urlcache");
    clock = std::make_shared<ManualClock>();
    setClock(clock);
    use(std::make_shared<URLCache>(4194304, 33554432, folder + "/URLCache"));
  }
  void TearDown() override {
    URLCache::setShared(nullptr);
    setClock(nullptr);
    removeTree(folder);
  }
  void use(std::shared_ptr<URLCache> c) {
    cache = c;
    URLCache::setShared(std::move(c));
  }
  std::string get(const std::string& url, HeaderFields headers = {}, std::optional<HTTPURLResponse>* r = nullptr) {
    std::optional<HTTPURLResponse> response;
    Error e;
    auto body = URLConnection::sendSynchronousRequest({.url = url, .headers = std::move(headers)}, &response, &e);
    if (r) *r = response;
    return text(body);
  }

  std::string folder;
  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<URLCache> cache;
};

TEST_F(URLCacheTest, AFreshAnswerComesBackWithoutAskingAlsoFromDiskInALaterRun) {
  TestHTTPServer server;
  server.enqueue({.headers = {{"Cache-Control", "max-age=60"}, {"X-Page", "1"}}, .body = "first"});
  server.enqueue({.headers = {{"Cache-Control", "max-age=60"}}, .body = "second"});
  const std::string url = server.url("/page.html");
  EXPECT_EQ(get(url), "first");
  std::optional<HTTPURLResponse> r;
  EXPECT_EQ(get(url, {}, &r), "first");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->statusCode(), 200);
  EXPECT_EQ(r->headerFieldValue("X-Page"), "1");
  EXPECT_EQ(server.requests().size(), 1u) << "answered from memory";
  EXPECT_GT(cache->currentMemoryUsage(), 0u);
  EXPECT_GT(cache->currentDiskUsage(), 0u);

  // A later run: the disk keeps it.
  use(std::make_shared<URLCache>(4194304, 33554432, folder + "/URLCache"));
  EXPECT_EQ(get(url), "first");
  EXPECT_EQ(server.requests().size(), 1u) << "answered from disk";
  // Past its minute it is no longer given back (and has no validator).
  clock->advance(61);
  EXPECT_EQ(get(url), "second");
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(URLCacheTest, AStaleAnswerIsAskedAboutAndA304GivesItBack) {
  TestHTTPServer server;
  server.enqueue({.headers = {{"Cache-Control", "no-cache"}, {"ETag", "\"v1\""}}, .body = "kept body"});
  server.enqueue({.status = 304, .reason = "Not Modified", .headers = {{"ETag", "\"v1\""}, {"X-Again", "yes"}}});
  server.enqueue({.headers = {{"ETag", "\"v2\""}, {"Last-Modified", "Sun, 06 Nov 1994 08:49:37 GMT"}},
                  .body = "new body"});
  const std::string url = server.url("/doc");
  EXPECT_EQ(get(url), "kept body");
  std::optional<HTTPURLResponse> r;
  EXPECT_EQ(get(url, {}, &r), "kept body");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->statusCode(), 200) << "the caller sees the kept answer, not the 304";
  EXPECT_EQ(r->headerFieldValue("X-Again"), "yes");
  EXPECT_EQ(get(url), "new body") << "a changed document replaces the kept one";
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  auto field = [](const qvtest::RecordedRequest& q, const std::string& name) {
    for (const auto& [n, v] : q.headers) {
      if (n == name) return v;
    }
    return std::string("<none>");
  };
  EXPECT_EQ(field(requests[0], "If-None-Match"), "<none>");
  EXPECT_EQ(field(requests[1], "If-None-Match"), "\"v1\"");
  EXPECT_EQ(field(requests[2], "If-None-Match"), "\"v1\"");
  server.enqueue({.status = 304, .reason = "Not Modified"});
  EXPECT_EQ(get(url), "new body");
  ASSERT_EQ(server.requests().size(), 4u);
  EXPECT_EQ(field(server.requests()[3], "If-None-Match"), "\"v2\"");
  EXPECT_EQ(field(server.requests()[3], "If-Modified-Since"), "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST_F(URLCacheTest, WhatTheServiceOrTheCallerKeepsOutIsNeverKept) {
  struct Case {
    const char* what;
    ScriptedResponse answer;
    HeaderFields request;
  } cases[] = {
      {"no-store", {.headers = {{"Cache-Control", "no-store, max-age=60"}}, .body = "a"}, {}},
      {"a cookie", {.headers = {{"Cache-Control", "max-age=60"}, {"Set-Cookie", "s=1"}}, .body = "a"}, {}},
      {"varying", {.headers = {{"Cache-Control", "max-age=60"}, {"Vary", "Accept-Language"}}, .body = "a"}, {}},
      {"no freshness, no validator", {.body = "a"}, {}},
      {"not a 200", {.status = 404, .reason = "Not Found", .headers = {{"Cache-Control", "max-age=60"}}, .body = "a"},
       {}},
      {"credentials", {.headers = {{"Cache-Control", "max-age=60"}}, .body = "a"}, {{"Authorization", "Basic eDp5"}}},
      {"a range", {.headers = {{"Cache-Control", "max-age=60"}}, .body = "a"}, {{"Range", "bytes=0-0"}}},
      {"the caller asks for none", {.headers = {{"Cache-Control", "max-age=60"}}, .body = "a"},
       {{"Cache-Control", "no-cache"}}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestHTTPServer server;
    server.enqueue(c.answer);
    server.enqueue(c.answer);
    const std::string url = server.url("/r" + std::to_string(++n));
    get(url, c.request);
    get(url, c.request);
    EXPECT_EQ(server.requests().size(), 2u);
  }
  EXPECT_EQ(cache->currentDiskUsage(), 0u);
}

TEST_F(URLCacheTest, ACompressedAnswerIsKeptInflatedAndARedirectedOneNotAtAll) {
  TestHTTPServer server;
  server.enqueue({.headers = {{"Cache-Control", "max-age=60"}}, .body = "inflated text", .gzip = true});
  const std::string url = server.url("/z");
  EXPECT_EQ(get(url), "inflated text");
  std::optional<HTTPURLResponse> r;
  EXPECT_EQ(get(url, {}, &r), "inflated text");
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->headerFieldValue("Content-Encoding")) << "the kept body is no longer compressed";
  EXPECT_EQ(r->headerFieldValue("Content-Length"), "13");
  EXPECT_EQ(server.requests().size(), 1u);

  server.enqueue({.status = 302, .reason = "Found", .headers = {{"Location", "/there"}}});
  server.enqueue({.headers = {{"Cache-Control", "max-age=60"}}, .body = "there"});
  server.enqueue({.status = 302, .reason = "Found", .headers = {{"Location", "/there"}}});
  server.enqueue({.headers = {{"Cache-Control", "max-age=60"}}, .body = "there"});
  EXPECT_EQ(get(server.url("/moved")), "there");
  EXPECT_EQ(get(server.url("/moved")), "there");
  EXPECT_EQ(server.requests().size(), 5u) << "an answer from elsewhere is not the asked address's";
}

TEST_F(URLCacheTest, TheTiersStayWithinTheirCapacities) {
  // 100 KiB on disk, 20 KiB in memory: entries up to 5 KiB.
  use(std::make_shared<URLCache>(20 * 1024, 100 * 1024, folder + "/Small"));
  TestHTTPServer server;
  const std::string big(6000, 'b');
  server.enqueue({.headers = {{"Cache-Control", "max-age=600"}}, .body = big});
  server.enqueue({.headers = {{"Cache-Control", "max-age=600"}}, .body = big});
  get(server.url("/big"));
  EXPECT_EQ(get(server.url("/big")), big);
  EXPECT_EQ(server.requests().size(), 2u) << "too big to keep";
  const std::string piece(4000, 'p');
  for (int i = 0; i < 60; ++i) {
    server.enqueue({.headers = {{"Cache-Control", "max-age=600"}}, .body = piece});
    get(server.url("/p" + std::to_string(i)));
    EXPECT_LE(cache->currentMemoryUsage(), 20u * 1024);
    EXPECT_LE(cache->currentDiskUsage(), 100u * 1024);
  }
  // The newest are kept, the oldest went.
  const size_t asked = server.requests().size();
  EXPECT_EQ(get(server.url("/p59")), piece);
  EXPECT_EQ(server.requests().size(), asked);
  server.enqueue({.headers = {{"Cache-Control", "max-age=600"}}, .body = "again"});
  EXPECT_EQ(get(server.url("/p0")), "again");
}

TEST_F(URLCacheTest, ADamagedEntryOnDiskIsNeitherGivenBackNorKept) {
  TestHTTPServer server;
  server.enqueue({.headers = {{"Cache-Control", "max-age=60"}}, .body = "good"});
  const std::string url = server.url("/d");
  get(url);
  const std::string dir = folder + "/URLCache";
  ASSERT_TRUE(isDirectory(dir));
  EXPECT_EQ(statFollow(dir)->mode & 0777, 0700u);
  // A later run finds its entry cut in the middle.
  use(std::make_shared<URLCache>(4194304, 33554432, dir));
  std::string entry;
  DIR* d = ::opendir(dir.c_str());
  ASSERT_TRUE(d);
  while (dirent* e = ::readdir(d)) {
    if (std::string(e->d_name).size() == 64) entry = dir + "/" + e->d_name;
  }
  ::closedir(d);
  ASSERT_FALSE(entry.empty());
  EXPECT_EQ(statFollow(entry)->mode & 0777, 0600u);
  const std::string whole = readFile(entry).value_or("");
  atomicWrite(entry, whole.substr(0, 20), 0600);
  server.enqueue({.headers = {{"Cache-Control", "max-age=60"}}, .body = "fetched again"});
  EXPECT_EQ(get(url), "fetched again");
  EXPECT_EQ(server.requests().size(), 2u);
  auto again = cache->cachedResponse(url);
  ASSERT_TRUE(again) << "the new answer is kept in its place";
  EXPECT_EQ(std::string(again->body.begin(), again->body.end()), "fetched again");
}

}  // namespace
}  // namespace plat
