#include "Framework/HCHTTP/HCDownloadCache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "platform/foundation/error.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"
#include "tests/support/test_http_server.h"

namespace {

using qvtest::RecordedRequest;
using qvtest::ScriptedResponse;
using qvtest::TestHTTPServer;

class HCDownloadCacheTest : public ::testing::Test {
protected:
  void SetUp() override {
    plat::MainThread::setCurrentThreadAsMain();
    dir_ = plat::makeTemporaryDirectory("qv-dlcache");
    cache.setStoragePath(plat::pathJoin(dir_, "cache"));
  }
  void TearDown() override { plat::removeTree(dir_); }
  std::shared_ptr<HCHTTPRequest> get(const std::string& path, int policy, int storage = StoreForSession) {
    auto r = HCHTTPRequest::requestWithURL(server.url(path), &cache, policy);
    r->setCacheStoragePolicy(storage);
    r->startSynchronous();
    return r;
  }
  static std::string body(const HCHTTPRequest& r) {
    auto d = r.responseData();
    return d ? std::string(d->begin(), d->end()) : std::string("<none>");
  }
  TestHTTPServer server;
  HCDownloadCache cache;
  std::string dir_;
};

TEST_F(HCDownloadCacheTest, KeysAndBodyExtensions) {
  auto key = [](const char* u) { return HCDownloadCache::keyForURL(*plat::URL::parse(u)); };
  EXPECT_EQ(key("http://h/a/"), key("http://h/a"));
  EXPECT_NE(key("http://h/a//"), key("http://h/a"));
  ASSERT_TRUE(key("http://h/a"));
  EXPECT_EQ(*key("http://h/a"), "2CE7276502725C281E6D5AE4E55AED55");

  struct Case { const char* path; const char* ext; };
  for (auto c : {Case{"/x.php", "html"}, Case{"/x", "html"}, Case{"/p.JPG", "JPG"}, Case{"/s.css", "css"}}) {
    auto r = HCHTTPRequest::requestWithURL(std::string("http://127.0.0.1:1") + c.path);
    auto p = cache.pathToStoreCachedResponseDataForRequest(*r);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->substr(p->rfind('.') + 1), c.ext) << c.path;
  }
}

// Which answers are kept, fetched through the loopback server.
TEST_F(HCDownloadCacheTest, StoreAndNoStoreTable) {
  struct Case {
    const char* path;
    int status;
    const char* cacheControl;
    int policy;
    bool stored;
  };
  const Case cases[] = {
      {"/ok", 200, nullptr, CacheRevalidateWhenStale, true},
      {"/missing", 404, nullptr, CacheRevalidateWhenStale, false},
      {"/moved", 302, nullptr, CacheRevalidateWhenStale, true},
      {"/nostore", 200, "no-store", CacheRevalidateWhenStale, false},
      {"/nocache", 200, "no-cache", CacheRevalidateWhenStale, false},
      {"/private", 200, "no-store, private", CacheRevalidateWhenStale, true},
      {"/skipwrite", 200, nullptr, CacheSkipWrite | CacheSkipRead, false},
  };
  server.setHandler([&](const RecordedRequest& req) {
    for (const auto& c : cases) {
      if (req.target != c.path) continue;
      ScriptedResponse s = ScriptedResponse::text(c.status, std::string("body of ") + c.path);
      if (c.cacheControl) s.headers.push_back({"Cache-Control", c.cacheControl});
      if (c.status == 302) s.headers.push_back({"Location", "/ok"});
      return s;
    }
    return ScriptedResponse::text(500, "");
  });
  for (const auto& c : cases) {
    auto r = HCHTTPRequest::requestWithURL(server.url(c.path), &cache, c.policy);
    r->setShouldRedirect(false);
    r->startSynchronous();
    ASSERT_FALSE(r->error()) << c.path;
    auto url = *plat::URL::parse(server.url(c.path));
    auto headers = cache.cachedResponseHeadersForURL(url);
    EXPECT_EQ(static_cast<bool>(headers), c.stored) << c.path;
    if (c.stored) {
      auto data = cache.cachedResponseDataForURL(url);
      ASSERT_TRUE(data) << c.path;
      EXPECT_EQ(std::string(data->begin(), data->end()), std::string("body of ") + c.path);
      EXPECT_EQ((*headers)["X-HCHTTPRequest-Response-Status-Code"].number().intValue(), c.status);
    }
  }
}

TEST_F(HCDownloadCacheTest, RevalidationWithETagServesTheStoredBodyOn304) {
  server.enqueue(ScriptedResponse{200, "OK", {{"ETag", "\"v1\""}, {"Content-Type", "text/plain"}}, "first body"});
  auto first = get("/doc", CacheRevalidateWhenStale);
  ASSERT_FALSE(first->error());
  EXPECT_FALSE(first->didUseCachedResponse());

  // Stored without an expiry it is never current, so the server is asked.
  server.enqueue(ScriptedResponse{304, "Not Modified", {{"ETag", "\"v1\""}}, ""});
  auto second = get("/doc", CacheRevalidateWhenStale);
  ASSERT_FALSE(second->error());
  ASSERT_EQ(server.requestCount(), 2u);
  EXPECT_EQ(server.requests()[1].header("If-None-Match"), std::optional<std::string>("\"v1\""));
  EXPECT_TRUE(second->didUseCachedResponse());
  EXPECT_EQ(second->responseStatusCode(), 200);
  EXPECT_EQ(body(*second), "first body");

  // Preferring the stored answer goes nowhere near the server.
  auto third = get("/doc", CachePreferCached);
  EXPECT_TRUE(third->didUseCachedResponse());
  EXPECT_EQ(body(*third), "first body");
  EXPECT_EQ(server.requestCount(), 2u);

  // A fresh 200 replaces what was stored.
  server.enqueue(ScriptedResponse{200, "OK", {{"ETag", "\"v2\""}}, "second body"});
  auto fourth = get("/doc", CacheSkipRead);
  EXPECT_EQ(body(*fourth), "second body");
  auto data = cache.cachedResponseDataForURL(*plat::URL::parse(server.url("/doc")));
  ASSERT_TRUE(data);
  EXPECT_EQ(std::string(data->begin(), data->end()), "second body");
}

TEST_F(HCDownloadCacheTest, CacheOnlyWithNothingStoredFails) {
  auto r = get("/never", CacheOnly);
  ASSERT_TRUE(r->error());
  EXPECT_FALSE(r->didUseCachedResponse());
  EXPECT_EQ(server.requestCount(), 0u);

  server.enqueue(ScriptedResponse::text(200, "kept"));
  get("/never", CacheRevalidateWhenStale);
  auto again = get("/never", CacheOnly);
  ASSERT_FALSE(again->error());
  EXPECT_EQ(body(*again), "kept");
  EXPECT_EQ(server.requestCount(), 1u);
}

// The body goes through a temporary file and a rename: a link at the body's
// place is replaced, never written through.
TEST_F(HCDownloadCacheTest, StoringReplacesTheFileRatherThanWritingIntoIt) {
  auto probe = HCHTTPRequest::requestWithURL(server.url("/linked"));
  auto bodyPath = cache.pathToStoreCachedResponseDataForRequest(*probe);
  ASSERT_TRUE(bodyPath);
  std::string outside = plat::pathJoin(dir_, "outside");
  ASSERT_TRUE(plat::atomicWrite(outside, "precious"));
  ASSERT_EQ(::link(outside.c_str(), bodyPath->c_str()), 0);

  server.enqueue(ScriptedResponse::text(200, "new bytes"));
  get("/linked", CacheRevalidateWhenStale);
  EXPECT_EQ(plat::readFile(outside), std::optional<std::string>("precious"));
  EXPECT_EQ(plat::readFile(*bodyPath), std::optional<std::string>("new bytes"));

  // Into a download destination as well: the copy is whole or absent.
  std::string dest = plat::pathJoin(dir_, "dest.bin");
  server.enqueue(ScriptedResponse::text(200, "to a file"));
  auto r = HCHTTPRequest::requestWithURL(server.url("/file.bin"), &cache, CacheRevalidateWhenStale);
  r->setDownloadDestinationPath(dest);
  r->startSynchronous();
  ASSERT_FALSE(r->error());
  auto stored = cache.pathToCachedResponseDataForURL(*plat::URL::parse(server.url("/file.bin")));
  ASSERT_TRUE(stored);
  EXPECT_EQ(plat::readFile(*stored), std::optional<std::string>("to a file"));
}

TEST_F(HCDownloadCacheTest, SessionEntriesGoWithTheSessionAndTheStoragePath) {
  server.setHandler([](const RecordedRequest& req) { return ScriptedResponse::text(200, "b" + req.target); });
  get("/s", CacheRevalidateWhenStale, StoreForSession);
  get("/p", CacheRevalidateWhenStale, StorePermanently);
  auto s = *plat::URL::parse(server.url("/s"));
  auto p = *plat::URL::parse(server.url("/p"));
  ASSERT_TRUE(cache.cachedResponseHeadersForURL(s));
  ASSERT_TRUE(cache.cachedResponseHeadersForURL(p));

  HCHTTPRequest::setDefaultCache(&cache);
  HCHTTPRequest::clearSession();
  HCHTTPRequest::setDefaultCache(nullptr);
  EXPECT_FALSE(cache.cachedResponseHeadersForURL(s));
  EXPECT_TRUE(cache.cachedResponseHeadersForURL(p));

  get("/s", CacheRevalidateWhenStale, StoreForSession);
  HCDownloadCache reopened;
  reopened.setStoragePath(cache.storagePath());
  EXPECT_FALSE(reopened.cachedResponseHeadersForURL(s));
  EXPECT_TRUE(reopened.cachedResponseDataForURL(p));

  std::string file = plat::pathJoin(dir_, "plain");
  ASSERT_TRUE(plat::atomicWrite(file, "x"));
  try {
    reopened.setStoragePath(file);
    ADD_FAILURE() << "no exception";
  } catch (const plat::Exception& e) {
    EXPECT_EQ(e.name(), "FileExistsAtCachePath");
  }
}

TEST_F(HCDownloadCacheTest, PolicyDefaultsAndHeaderFileRoundTrip) {
  cache.setDefaultCachePolicy(CacheUseDefault);
  EXPECT_EQ(cache.defaultCachePolicy(), CacheRevalidateWhenStale);
  plat::Dictionary d{{"A", plat::Value(std::string("tab\there\\ and\r\nline"))}, {"B", plat::Value(std::string(""))}};
  EXPECT_EQ(HCDownloadCache::decodeHeaders(HCDownloadCache::encodeHeaders(d)), d);
}

TEST_F(HCDownloadCacheTest, AFailedRequestFallsBackToTheStoredResponse) {
  server.enqueue(ScriptedResponse::text(200, "kept for later"));
  get("/fallback", CacheSkipRead);
  std::string url = server.url("/fallback");
  server.stop();
  auto plain = HCHTTPRequest::requestWithURL(url, &cache, CacheSkipRead);
  plain->startSynchronous();
  EXPECT_TRUE(plain->error());
  auto r = HCHTTPRequest::requestWithURL(url, &cache, CacheFallbackOnFailure);
  r->startSynchronous();
  ASSERT_FALSE(r->error()) << r->error()->localizedDescription();
  EXPECT_TRUE(r->didUseCachedResponse());
  EXPECT_EQ(body(*r), "kept for later");
}

}  // namespace
