#include "Framework/HCHTTP/HCWebPageRequest.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <cstring>
#include <iostream>
#include <thread>

#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"
#include "tests/support/test_http_server.h"

namespace {

using qvtest::RecordedRequest;
using qvtest::ScriptedResponse;
using qvtest::TestHTTPServer;

const std::string kPNG("\x89PNG\r\n\x1a\nfake-image", 18);

class HCWebPageRequestTest : public ::testing::Test {
protected:
  void SetUp() override {
    plat::MainThread::setCurrentThreadAsMain();
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
    dir_ = plat::makeTemporaryDirectory("qv-webpage");
    const char* old = std::getenv("XDG_CACHE_HOME");
    oldCache_ = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("XDG_CACHE_HOME", plat::pathJoin(dir_, "xdg").c_str(), 1);
    server.setHandler([this](const RecordedRequest& r) {
      auto it = pages.find(r.target);
      if (it == pages.end()) return ScriptedResponse::text(404, "no");
      return ScriptedResponse{200, "OK", {{"Content-Type", it->second.first}}, it->second.second};
    });
    pages["/page.html"] = {"text/html; charset=utf-8",
                           "<html><head><link rel=\"StyleSheet\" href=\"/s.css\"><link rel=\"icon\" href=\"/favicon.ico\">"
                           "</head><body><img src=\"/i.png\"><img src=\"/i.png\"><img src=\"data:image/gif;base64,R0lG\">"
                           "<img src=\"file:///etc/passwd\"><a href=\"/other.html\">x</a></body></html>"};
    pages["/s.css"] = {"text/css", "body { background: url( \"/bg.png\" ) }"};
    pages["/i.png"] = {"image/png", kPNG};
    pages["/bg.png"] = {"image/png", "background-bytes"};
  }
  void TearDown() override {
    plat::RunLoop::main()->remove(keepAlive_);
    if (oldCache_) ::setenv("XDG_CACHE_HOME", oldCache_->c_str(), 1); else ::unsetenv("XDG_CACHE_HOME");
    plat::removeTree(dir_);
  }
  bool pumpUntil(const std::function<bool()>& done) {
    double until = plat::currentClock().monotonic() + 30;
    while (!done()) {
      if (plat::currentClock().monotonic() > until) return false;
      plat::RunLoop::main()->runInMode(plat::kDefaultRunLoopMode, 0.02, true);
    }
    return true;
  }
  bool run(const std::shared_ptr<HCWebPageRequest>& r) {
    r->startAsynchronous();
    return pumpUntil([&] { return r->isFinished(); });
  }
  // GET requests for `target` among those the server got since the first `from`.
  size_t hits(const std::string& target, size_t from = 0) const {
    auto all = server.requests();
    size_t n = 0;
    for (size_t i = from; i < all.size(); ++i) n += all[i].method == "GET" && all[i].target == target;
    return n;
  }
  std::map<std::string, std::pair<std::string, std::string>> pages;
  TestHTTPServer server;
  std::string dir_;
  std::optional<std::string> oldCache_;
  plat::RunLoop::SourceId keepAlive_{};
};

// What reaches the page's delegate and progress delegate, by path of the request it names.
class PageRecorder : public HCHTTPRequestDelegate, public HCProgressDelegate {
public:
  std::map<std::string, int> finished, failed;
  std::map<std::string, long long> bytes;
  std::vector<double> fractions;
  int offMain = 0;
  static std::string path(HCHTTPRequest& r) { return r.url() ? r.url()->path() : "?"; }
  void note() { offMain += !plat::MainThread::isMainThread(); }
  int ends(const std::string& p) const {
    auto f = finished.find(p), g = failed.find(p);
    return (f == finished.end() ? 0 : f->second) + (g == failed.end() ? 0 : g->second);
  }
  void requestFinished(HCHTTPRequest& r) override { note(), ++finished[path(r)]; }
  void requestFailed(HCHTTPRequest& r) override { note(), ++failed[path(r)]; }
  void requestDidReceiveBytes(HCHTTPRequest& r, long long n) override { note(), bytes[path(r)] += n; }
  bool respondsToSetDoubleValue() const override { return true; }
  void setDoubleValue(double v) override { note(), fractions.push_back(v); }
};

TEST_F(HCWebPageRequestTest, InlinesResourcesAsDataURIsRunAsynchronouslyOrSynchronously) {
  enum class Way { Async, SyncOnMain, SyncOnAnotherThread };
  for (Way way : {Way::Async, Way::SyncOnMain, Way::SyncOnAnotherThread}) {
    SCOPED_TRACE(static_cast<int>(way));
    const size_t before = server.requests().size();
    PageRecorder rec;
    auto r = HCWebPageRequest::requestWithURL(server.url("/page.html"));
    r->setUrlReplacementMode(HCReplaceExternalResourcesWithData);
    r->setDelegate(&rec);
    r->setDownloadProgressDelegate(&rec);
    std::atomic<bool> returned{false};
    std::thread worker;
    if (way == Way::Async) {
      r->startAsynchronous();
    } else if (way == Way::SyncOnMain) {
      r->startSynchronous();
      returned = true;
    } else {
      worker = std::thread([&] {
        r->startSynchronous();
        returned = true;
      });
    }
    // The page's end comes after its resources'; the indicator is set full at the end.
    bool ended = pumpUntil([&] {
      return rec.ends("/page.html") > 0 && !rec.fractions.empty() &&
             rec.fractions.back() == 1.0 && (way == Way::Async || returned);
    });
    if (worker.joinable()) worker.join();
    ASSERT_TRUE(ended);
    ASSERT_FALSE(r->error()) << r->error()->localizedDescription();
    EXPECT_TRUE(r->isFinished());
    EXPECT_EQ(rec.offMain, 0);
    EXPECT_EQ(rec.finished, (std::map<std::string, int>{{"/page.html", 1}, {"/s.css", 1}, {"/i.png", 1}, {"/bg.png", 1}}));
    EXPECT_TRUE(rec.failed.empty());
    // The progress of every resource, the style sheet's own background included, reaches the page's receiver.
    for (const auto& [path, body] : pages) {
      if (path == "/page.html" || path == "/s.css" || path == "/i.png" || path == "/bg.png") {
        EXPECT_EQ(rec.bytes[path], static_cast<long long>(body.second.size())) << path;
      }
    }

    std::string html = *r->responseString();
    const std::string image =
        "data:image/png;base64," + HCHTTPRequest::base64forData(plat::Data(kPNG.begin(), kPNG.end()));
    size_t first = html.find(image);
    ASSERT_NE(first, std::string::npos) << html;
    EXPECT_NE(html.find(image, first + 1), std::string::npos) << "both references rewritten";
    // The style sheet arrives with its own background already inlined.
    std::string css = "body { background: url( \"data:image/png;base64," +
                      HCHTTPRequest::base64forData(plat::Data{'b', 'a', 'c', 'k', 'g', 'r', 'o', 'u', 'n', 'd', '-', 'b',
                                                              'y', 't', 'e', 's'}) +
                      "\" ) }";
    EXPECT_NE(html.find("data:text/css;base64," + HCHTTPRequest::base64forData(plat::Data(css.begin(), css.end()))),
              std::string::npos)
        << html;
    EXPECT_NE(html.find("href=\"/other.html\""), std::string::npos);
    EXPECT_NE(html.find("file:///etc/passwd"), std::string::npos);
    EXPECT_EQ(hits("/i.png", before), 1u);
    EXPECT_EQ(hits("/s.css", before), 1u);
    EXPECT_EQ(hits("/bg.png", before), 1u);
    EXPECT_EQ(hits("/favicon.ico", before), 0u);
    EXPECT_EQ(hits("/other.html", before), 0u);
    EXPECT_EQ(r->resourceList().count("file:///etc/passwd"), 0u);
    r->setDelegate(nullptr);
    r->setDownloadProgressDelegate(nullptr);
  }
}

TEST_F(HCWebPageRequestTest, EachKindOfReferenceIsFetchedAndRewrittenAsItsKindSays) {
  pages["/media.html"] = {"text/html",
                          "<html><head><link rel=\"icon\" href=\"/i.png\"><link rel=\"alternate\" href=\"/alt.xml\">"
                          "</head><body><div style=\"background: url('/div.png')\">d</div>"
                          "<video poster=\"/poster.png\"><source src=\"/clip.webm\"><source src=\"/clip.mp4?x=1\"></video>"
                          "<audio src=\"/sound.OGG\"></audio><iframe src=\"/frame.png\"></iframe><img src=\"/i.png\">"
                          "</body></html>"};
  for (const char* path : {"/div.png", "/poster.png", "/clip.mp4?x=1", "/frame.png"}) pages[path] = {"image/png", path};
  auto r = HCWebPageRequest::requestWithURL(server.url("/media.html"));
  r->setUrlReplacementMode(HCReplaceExternalResourcesWithData);
  ASSERT_TRUE(run(r));
  ASSERT_FALSE(r->error()) << r->error()->localizedDescription();
  const std::string html = *r->responseString();
  struct Row {
    const char* target;
    bool fetched;
  } rows[] = {
      {"/div.png", true},   {"/poster.png", true}, {"/clip.mp4?x=1", true}, {"/frame.png", true},
      {"/i.png", true},     {"/clip.webm", false}, {"/sound.OGG", false},   {"/alt.xml", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(hits(row.target), row.fetched ? 1u : 0u) << row.target;
    // What was fetched is inlined everywhere it is named; the rest is left as written.
    EXPECT_EQ(html.find(std::string(row.target) + (row.target[1] == 'd' ? "'" : "\"")) == std::string::npos, row.fetched)
        << row.target << "\n" << html;
  }
  const std::string image = "data:image/png;base64," + HCHTTPRequest::base64forData(plat::Data(kPNG.begin(), kPNG.end()));
  size_t first = html.find(image);
  ASSERT_NE(first, std::string::npos) << html;
  EXPECT_NE(html.find(image, first + 1), std::string::npos) << "the icon link names a fetched image too";
}

TEST_F(HCWebPageRequestTest, StoredPageRefersToDownloadedFiles) {
  std::string page = plat::pathJoin(dir_, "site/page.html");
  plat::makeDirectories(plat::pathDirname(page));
  auto r = HCWebPageRequest::requestWithURL(server.url("/page.html"));
  r->setUrlReplacementMode(HCReplaceExternalResourcesWithLocalURLs);
  r->setDownloadDestinationPath(page);
  ASSERT_TRUE(run(r));
  ASSERT_FALSE(r->error()) << r->error()->localizedDescription();
  std::string html = *plat::readFile(page);
  auto list = r->resourceList();
  ASSERT_EQ(list.size(), 2u);
  for (const auto& [url, entry] : list) {
    ASSERT_TRUE(entry.dataPath) << url;
    std::string rel = HCWebPageRequest::relativePathTo(*entry.dataPath, page);
    EXPECT_EQ(rel.rfind("../xdg/Quorva/", 0), 0u) << rel;
    EXPECT_NE(html.find("\"" + rel + "\""), std::string::npos) << rel << "\n" << html;
    auto bytes = plat::readFile(plat::pathJoin(plat::pathDirname(page), rel));
    ASSERT_TRUE(bytes) << rel;
    if (url == "/i.png") {
      EXPECT_EQ(*bytes, kPNG);
    }
  }
  EXPECT_NE(html.find("href=\"" + server.url("/other.html") + "\""), std::string::npos) << html;
  EXPECT_EQ(hits("/i.png"), 1u);
}

TEST_F(HCWebPageRequestTest, AFailingResourceFailsThePageOnlyWhenAskedAndPlainTextIsLeftAlone) {
  pages.erase("/i.png");
  auto missing = HCWebPageRequest::requestWithURL(server.url("/page.html"));
  missing->setUrlReplacementMode(HCReplaceExternalResourcesWithData);
  ASSERT_TRUE(run(missing));
  EXPECT_FALSE(missing->error()) << "a 404 is an answer, not a failure";

  // Nothing listens on port 1: that resource cannot be had.
  pages["/broken.html"] = {"text/html", "<html><body><img src=\"http://127.0.0.1:1/x.png\"></body></html>"};
  for (bool cancelOnFailure : {true, false}) {
    auto r = HCWebPageRequest::requestWithURL(server.url("/broken.html"));
    r->setUrlReplacementMode(HCReplaceExternalResourcesWithData);
    r->setShouldIgnoreExternalResourceErrors(cancelOnFailure);
    ASSERT_TRUE(run(r));
    EXPECT_EQ(static_cast<bool>(r->error()), cancelOnFailure);
    if (!cancelOnFailure) {
      EXPECT_NE(r->responseString()->find("http://127.0.0.1:1/x.png"), std::string::npos);
    }
  }
  pages["/plain"] = {"text/plain", "url(/i.png) <img src=\"/x.png\">"};
  auto plain = HCWebPageRequest::requestWithURL(server.url("/plain"));
  plain->setUrlReplacementMode(HCReplaceExternalResourcesWithData);
  ASSERT_TRUE(run(plain));
  EXPECT_EQ(*plain->responseString(), "url(/i.png) <img src=\"/x.png\">");
  EXPECT_FALSE(plain->externalResourceQueue());
}

TEST_F(HCWebPageRequestTest, APageTreeThatRefersToItselfIsFetchedOnceAndBounded) {
  // A page framing itself and a style sheet naming itself, a chain of frames
  // deeper than the bound, and more images than the tree may take.
  std::string many;
  for (size_t i = 0; i < HCWebPageRequest::kMaxResources + 100; ++i) many += "<img src=\"/img" + std::to_string(i) + ".png\">";
  pages["/self.html"] = {"text/html", "<html><head><link rel=\"stylesheet\" href=\"/self.css\"></head><body>"
                                      "<iframe src=\"/self.html\"></iframe><iframe src=\"/f1.html\"></iframe></body></html>"};
  pages["/self.css"] = {"text/css", "a { background: url(/self.css) } b { background: url(/self.html) }"};
  for (int i = 1; i < 20; ++i) {
    pages["/f" + std::to_string(i) + ".html"] = {
        "text/html", "<html><body><iframe src=\"/f" + std::to_string(i + 1) + ".html\"></iframe>" +
                         (i == 1 ? many : std::string()) + "<img src=\"/self.html\"></body></html>"};
  }
  for (bool async : {true, false}) {
    SCOPED_TRACE(async ? "asynchronous" : "synchronous");
    size_t from = server.requests().size();
    auto r = HCWebPageRequest::requestWithURL(server.url("/self.html"));
    r->setUrlReplacementMode(HCReplaceExternalResourcesWithData);
    if (async) {
      ASSERT_TRUE(run(r));
    } else {
      r->startSynchronous();
    }
    EXPECT_FALSE(r->error()) << r->error()->localizedDescription();
    EXPECT_EQ(hits("/self.html", from), 1u);
    EXPECT_EQ(hits("/self.css", from), 1u);
    EXPECT_EQ(hits("/f1.html", from), 1u);
    EXPECT_EQ(hits("/f" + std::to_string(HCWebPageRequest::kMaxDepth + 1) + ".html", from), 0u) << "no deeper than the bound";
    // GETs: a queue with accurate progress asks each resource's size with a HEAD first.
    size_t all = 0;
    auto rq = server.requests();
    for (size_t i = from; i < rq.size(); ++i) all += rq[i].method == "GET";
    EXPECT_LE(all, HCWebPageRequest::kMaxResources + 1) << "the tree's bound, the page itself included";
    EXPECT_GE(all, HCWebPageRequest::kMaxResources / 2) << "the images within the bound are fetched";
  }
}

// Peeks at how many page requests exist whenever a resource starts or ends.
class LiveRequestSampler : public HCHTTPRequestDelegate {
public:
  size_t peak = 0;
  int started = 0, ended = 0;
  void sample() { peak = std::max(peak, HCWebPageRequest::liveRequests()); }
  void requestStarted(HCHTTPRequest&) override { sample(), ++started; }
  void requestFinished(HCHTTPRequest&) override { sample(), ++ended; }
  void requestFailed(HCHTTPRequest&) override { sample(), ++ended; }
};

std::string base64Decode(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    size_t v = kAlphabet.find(c);
    if (v == std::string::npos) break;
    bits = (bits << 6) | static_cast<unsigned>(v);
    if ((count += 6) >= 8) out.push_back(static_cast<char>((bits >> (count -= 8)) & 0xff));
  }
  return out;
}

constexpr unsigned char kStackPaint = 0xa5;

// The lowest byte of a painted stack that was written: read without the
// address checker, which may still mark the dead frames' guard bytes.
__attribute__((no_sanitize("address"))) size_t untouchedBytes(const unsigned char* stack, size_t size) {
  size_t n = 0;
  while (n < size && stack[n] == kStackPaint) ++n;
  return n;
}

// Runs `work` on a thread of its own whose stack is painted beforehand, and
// gives how many bytes of that stack it ever used. The main thread's run
// loop turns meanwhile, for the reports that go there.
template <typename Pump>
size_t stackUsedBy(const std::function<void()>& work, const Pump& pumpUntil) {
  constexpr size_t kSize = 8u << 20;
  void* mem = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) return 0;
  auto* stack = static_cast<unsigned char*>(mem);
  std::memset(stack, kStackPaint, kSize);
  struct Job {
    const std::function<void()>* work;
    std::atomic<bool> done{false};
  } job{&work};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack, kSize);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, [](void* arg) -> void* {
    auto* j = static_cast<Job*>(arg);
    (*j->work)();
    j->done = true;
    return nullptr;
  }, &job);
  pthread_attr_destroy(&attr);
  size_t used = 0;
  if (rc == 0) {
    pumpUntil([&] { return job.done.load(); });
    pthread_join(thread, nullptr);
    used = kSize - untouchedBytes(stack, kSize);
  }
  ::munmap(mem, kSize);
  return used;
}

TEST_F(HCWebPageRequestTest, APageOfManyResourcesMakesEachRequestAsAnEarlierOneEnds) {
  // Far more images than the tree fetches: only the first kMaxResources count.
  constexpr int kImages = 20000;
  std::string html = "<html><body>";
  for (int i = 0; i < kImages; ++i) html += "<img src=\"/img" + std::to_string(i) + ".png\">";
  pages["/many.html"] = {"text/html", html + "</body></html>"};
  server.setHandler([this](const RecordedRequest& r) {
    if (r.target.rfind("/img", 0) == 0) return ScriptedResponse{200, "OK", {{"Content-Type", "image/png"}}, kPNG};
    auto it = pages.find(r.target);
    if (it == pages.end()) return ScriptedResponse::text(404, "no");
    return ScriptedResponse{200, "OK", {{"Content-Type", it->second.first}}, it->second.second};
  });
  for (bool async : {true, false}) {
    SCOPED_TRACE(async ? "asynchronous" : "synchronous");
    // Let the requests of the case before go away first.
    pumpUntil([] { return HCWebPageRequest::liveRequests() == 0; });
    ASSERT_EQ(HCWebPageRequest::liveRequests(), 0u);
    const size_t from = server.requests().size();
    LiveRequestSampler sampler;
    {
      auto r = HCWebPageRequest::requestWithURL(server.url("/many.html"));
      r->setUrlReplacementMode(HCReplaceExternalResourcesWithData);
      r->setDelegate(&sampler);
      if (async) {
        ASSERT_TRUE(run(r));
      } else {
        r->startSynchronous();  // on the main thread: every report in line
      }
      ASSERT_FALSE(r->error()) << r->error()->localizedDescription();
      EXPECT_EQ(r->resourceList().size(), HCWebPageRequest::kMaxResources);
      size_t inlined = 0;
      const std::string out = *r->responseString();
      for (size_t at = out.find("data:image/png;base64,"); at != std::string::npos;
           at = out.find("data:image/png;base64,", at + 1)) {
        ++inlined;
      }
      EXPECT_EQ(inlined, HCWebPageRequest::kMaxResources);
      r->setDelegate(nullptr);
    }
    // The page is read from its end: the last images are the ones kept.
    EXPECT_EQ(hits("/img" + std::to_string(kImages - 1) + ".png", from), 1u);
    EXPECT_EQ(hits("/img0.png", from), 0u);
    EXPECT_EQ(sampler.ended, static_cast<int>(HCWebPageRequest::kMaxResources) + 1) << "each resource, then the page";
    std::cout << (async ? "asynchronous" : "synchronous") << ": at most " << sampler.peak
              << " page requests existed at once\n";
    // The page; each request in flight and the size question that may go
    // ahead of it; and one that has ended but whose report is on its way.
    EXPECT_LE(sampler.peak, 1u + 2 * HCWebPageRequest::kMaxInFlight + 1);
  }
}

TEST_F(HCWebPageRequestTest, ASynchronousPageTreeIsFetchedWithoutNestingItsLevels) {
  // Each level a page with a style sheet naming itself, a frame of itself and
  // a frame of the next level, well past the depth bound.
  for (int i = 1; i <= 20; ++i) {
    std::string n = std::to_string(i);
    pages["/d" + n + ".html"] = {"text/html", "<html><head><link rel=\"stylesheet\" href=\"/d" + n +
                                                  ".css\"></head><body><iframe src=\"/d" + n + ".html\"></iframe>"
                                                  "<iframe src=\"/d" + std::to_string(i + 1) + ".html\"></iframe>"
                                                  "</body></html>"};
    pages["/d" + n + ".css"] = {"text/css", "a { background: url(/d" + n + ".css) }"};
  }
  pages["/one.html"] = {"text/html", "<html><body><iframe src=\"/leaf.html\"></iframe></body></html>"};
  pages["/leaf.html"] = {"text/html", "<html><body><p>leaf</p></body></html>"};
  auto stackFor = [&](const std::string& path, std::shared_ptr<HCWebPageRequest>* out) {
    auto r = HCWebPageRequest::requestWithURL(server.url(path));
    r->setUrlReplacementMode(HCReplaceExternalResourcesWithData);
    *out = r;
    return stackUsedBy([r] { r->startSynchronous(); }, [this](const std::function<bool()>& done) { return pumpUntil(done); });
  };
  std::shared_ptr<HCWebPageRequest> one, chain;
  // Once beforehand: the first page of the process sets up what later ones reuse.
  stackFor("/leaf.html", &one);
  const size_t oneLevel = stackFor("/one.html", &one);
  const size_t from = server.requests().size();
  const size_t deep = stackFor("/d1.html", &chain);
  ASSERT_GT(oneLevel, 0u);
  ASSERT_FALSE(one->error()) << one->error()->localizedDescription();
  ASSERT_FALSE(chain->error()) << chain->error()->localizedDescription();
  std::cout << "stack used: a page with one frame " << oneLevel << " bytes, a chain " << HCWebPageRequest::kMaxDepth
            << " levels deep " << deep << " bytes\n";
  // Each level nested in the one above would add its whole fetch (about 3 KiB
  // here, more with the sanitizers), kMaxDepth - 1 times over; the
  // sanitizers' own use varies by a kilobyte.
  EXPECT_LE(deep, oneLevel + 4096);

  // The whole tree arrived, each level inlined in the one above, the page at
  // the depth bound kept as it came. "/dN.html" is at depth N - 1.
  std::string html = *chain->responseString();
  const int last = HCWebPageRequest::kMaxDepth + 1;
  for (int level = 2; level <= last; ++level) {
    SCOPED_TRACE(level);
    const std::string n = std::to_string(level);
    EXPECT_EQ(hits("/d" + n + ".html", from), 1u);
    EXPECT_EQ(hits("/d" + std::to_string(level - 1) + ".css", from), 1u);
    const std::string lead = "<iframe src=\"data:text/html;base64,";
    size_t at = html.find(lead);
    ASSERT_NE(at, std::string::npos) << html;
    at += lead.size();
    html = base64Decode(html.substr(at, html.find('"', at) - at));
    EXPECT_NE(html.find("<iframe src=\"/d" + n + ".html\">"), std::string::npos) << "the frame of itself is kept";
  }
  const std::string next = std::to_string(last + 1);
  EXPECT_NE(html.find("<iframe src=\"/d" + next + ".html\">"), std::string::npos) << html;
  EXPECT_NE(html.find("href=\"/d" + std::to_string(last) + ".css\""), std::string::npos) << html;
  EXPECT_EQ(hits("/d" + next + ".html", from), 0u);
  EXPECT_EQ(hits("/d" + std::to_string(last) + ".css", from), 0u);
}

TEST(HCWebPageRequestHelpers, CSSURLsAndRelativePaths) {
  using V = std::vector<std::string>;
  EXPECT_EQ(HCWebPageRequest::CSSURLsFromString("a{b:URL( 'x.png' )} c{d:url(\"y.gif\")}"), (V{"x.png", "y.gif"}));
  EXPECT_EQ(HCWebPageRequest::CSSURLsFromString("url(a.png) url() url(b.png)"), (V{"a.png"}));
  EXPECT_EQ(HCWebPageRequest::CSSURLsFromString("url(\n  c.png \n)"), (V{"c.png"}));
  EXPECT_EQ(HCWebPageRequest::relativePathTo("a/c/x.png", "a/b/page.html"), "../c/x.png");
  EXPECT_EQ(HCWebPageRequest::relativePathTo("/a/b/x.png", "/a/b/page.html"), "x.png");
  EXPECT_EQ(HCWebPageRequest::relativePathTo("/a/b/x.png", "/a/b"), "");
  EXPECT_STREQ(HCWebPageRequest::encodingName(HCUTF8StringEncoding), "UTF-8");
  EXPECT_EQ(HCWebPageRequest::encodingName(HCUTF16StringEncoding), nullptr);
}

}  // namespace
