#include "platform/net/response_parser.h"

#include <gtest/gtest.h>

namespace plat {
namespace {

struct Outcome {
  bool done = false;
  bool failed = false;
  std::string body;
  size_t leftover = 0;
  ResponseParser parser;
  explicit Outcome(const char* method = "GET") : parser(method) {}
};

// Feeds the text in pieces of `step` bytes (all at once for 0), then ends
// the connection when `close` is set.
void run(Outcome& o, const std::string& text, size_t step, bool close) {
  size_t at = 0;
  while (at < text.size() && !o.parser.isDone() && !o.parser.isFailed()) {
    size_t n = step ? std::min(step, text.size() - at) : text.size() - at;
    size_t used = o.parser.feed(text.data() + at, n, o.body);
    at += used;
    if (used < n) break;
  }
  o.leftover = text.size() - at;
  if (close && !o.parser.isDone() && !o.parser.isFailed()) o.parser.finish();
  o.done = o.parser.isDone();
  o.failed = o.parser.isFailed();
}

TEST(ResponseParserTest, BodiesInEveryFramingAndPieceSize) {
  struct Case {
    const char* name;
    const char* method;
    std::string text;
    bool close;
    bool done;
    std::string body;
    bool keepAlive;
  } cases[] = {
      {"content-length", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, true, "hello", true},
      {"chunked with extension and trailer", "GET",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n6\r\n world\r\n0\r\nX-T: 1\r\n\r\n", false,
       true, "hello world", true},
      {"close-delimited", "GET", "HTTP/1.1 200 OK\r\n\r\nall of it", true, true, "all of it", false},
      {"bare LF lines", "GET", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok", false, true, "ok", true},
      {"HEAD has no body", "HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", false, true, "", true},
      {"204 has no body", "GET", "HTTP/1.1 204 No Content\r\nContent-Length: 3\r\n\r\n", false, true, "", true},
      {"304 has no body", "GET", "HTTP/1.1 304 Not Modified\r\n\r\n", false, true, "", true},
      {"1xx skipped", "PUT", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early\r\nLink: x\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 1\r\n\r\nz",
       false, true, "z", true},
      {"connection close", "GET", "HTTP/1.1 200 OK\r\nConnection: Close\r\nContent-Length: 1\r\n\r\nz", false, true, "z", false},
      {"1.0 without keep-alive", "GET", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nz", false, true, "z", false},
      {"1.0 with keep-alive", "GET", "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\nz", false, true,
       "z", true},
      {"CONNECT 200 is a tunnel", "CONNECT", "HTTP/1.1 200 Connection established\r\n\r\n", false, true, "", true},
      {"repeated equal lengths", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2, 2\r\n\r\nab", false, true,
       "ab", true},
      {"truncated content-length", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", true, false, "short", false},
      {"truncated chunked", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel", true, false, "hel", false},
      {"chunked without last chunk", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n", true, false, "hi", false},
      {"truncated head", "GET", "HTTP/1.1 200 OK\r\nContent-Le", true, false, "", false},
      {"nothing at all", "GET", "", true, false, "", false},
      {"bad chunk size", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false, false, "", false},
      {"chunk longer than said", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", false,
       false, "ab", false},
      {"two lengths", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc", false, false, "", false},
      {"length not a number", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\na", false, false, "", false},
      {"not HTTP", "GET", "SSH-2.0-OpenSSH\r\n\r\n", false, false, "", false},
      {"endless interim answers", "GET", [] {
         std::string s;
         for (int i = 0; i < 17; ++i) s += "HTTP/1.1 100 Continue\r\n\r\n";
         return s + "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
       }(), false, false, "", false},
      {"header without colon", "GET", "HTTP/1.1 200 OK\r\nbroken\r\n\r\n", false, false, "", false},
  };
  for (const auto& c : cases) {
    for (size_t step : {size_t(0), size_t(1), size_t(3), size_t(7)}) {
      SCOPED_TRACE(std::string(c.name) + " step " + std::to_string(step));
      Outcome o(c.method);
      run(o, c.text, step, c.close);
      EXPECT_EQ(o.done, c.done);
      EXPECT_EQ(o.failed, !c.done);
      EXPECT_EQ(o.body, c.body);
      if (c.done) {
        EXPECT_EQ(o.leftover, 0u);
        EXPECT_EQ(o.parser.keepAlive(), c.keepAlive);
      } else {
        EXPECT_FALSE(o.parser.errorText().empty());
      }
    }
  }
}

TEST(ResponseParserTest, HeadersKeepSpellingOrderAndRepeats) {
  Outcome o;
  run(o,
      "HTTP/1.1 404 Not Found\r\nx-qv-Thing:  padded value \t\r\nSet-Cookie: a=1\r\nset-cookie: b=2; Expires=Wed, 21 Oct "
      "2026 07:28:00 GMT\r\nX-Fold: one\r\n two\r\nContent-Length: 0\r\n\r\n",
      0, false);
  ASSERT_TRUE(o.done);
  const auto& r = o.parser.response();
  EXPECT_EQ(r.statusCode(), 404);
  EXPECT_EQ(r.statusLine(), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(r.headerFieldValue("X-QV-THING"), "padded value");
  EXPECT_EQ(r.headerFields()[0].first, "x-qv-Thing");
  EXPECT_EQ(r.headerFieldValues("Set-Cookie").size(), 2u);
  EXPECT_EQ(r.headerFieldValue("x-fold"), "one two");
}

TEST(ResponseParserTest, StopsAtTheEndOfTheResponse) {
  std::string two = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcHTTP/1.1 200 OK\r\n";
  Outcome o;
  run(o, two, 0, false);
  EXPECT_TRUE(o.done);
  EXPECT_EQ(o.body, "abc");
  EXPECT_EQ(o.leftover, two.size() - two.find("abc") - 3);
}

TEST(ResponseParserTest, LimitsOnHeadSizeAndHeaderCount) {
  ResponseParser::Limits limits{.maxHeadBytes = 256, .maxHeaderCount = 4};
  std::string many = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 5; ++i) many += std::string("H") + std::to_string(i) + ": v\r\n";
  std::string big = "HTTP/1.1 200 OK\r\nX: " + std::string(300, 'a') + "\r\n\r\n";
  // Four fields plus Content-Length is one too many.
  std::string fiveFields = "HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\nContent-Length: 0\r\n\r\n";
  for (const auto& text : {many + "\r\n", big, fiveFields}) {
    ResponseParser p("GET", limits);
    std::string body;
    p.feed(text.data(), text.size(), body);
    EXPECT_TRUE(p.isFailed());
  }
  std::string four = "HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\nC: 3\r\nContent-Length: 0\r\n\r\n";
  ResponseParser p("GET", limits);
  std::string body;
  p.feed(four.data(), four.size(), body);
  EXPECT_TRUE(p.isDone());
  // The default limits take a normal head and refuse an endless one.
  ResponseParser q("GET");
  std::string endless = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 5000 && !q.isFailed(); ++i) {
    std::string line = "X-" + std::to_string(i) + ": " + std::string(40, 'v') + "\r\n";
    q.feed(line.data(), line.size(), body);
  }
  EXPECT_TRUE(q.isFailed());
}

// A value the message refuses fails the response, folded or not: dropping
// it would let a CR hide Transfer-Encoding and frame the body by its length.
TEST(ResponseParserTest, RefusedHeaderValuesFailTheResponse) {
  const std::string cr("\r"), nul("\0", 1);
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"stray CR in Transfer-Encoding",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked" + cr + "x\r\nContent-Length: 3\r\n\r\nabc"},
      {"NUL in a value", "HTTP/1.1 200 OK\r\nX-A: a" + nul + "b\r\nContent-Length: 0\r\n\r\n"},
      {"CR in a folded line", "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\n b" + cr + "c\r\nContent-Length: 0\r\n\r\n"},
      {"NUL in a folded line", "HTTP/1.1 200 OK\r\nX-A: a\r\n\tb" + nul + "\r\nContent-Length: 0\r\n\r\n"},
  };
  for (const auto& c : cases) {
    for (size_t step : {size_t{0}, size_t{1}, size_t{5}}) {
      Outcome o;
      run(o, c.text, step, true);
      EXPECT_TRUE(o.failed) << c.name << " step " << step;
      EXPECT_FALSE(o.parser.keepAlive()) << c.name;
      EXPECT_EQ(o.body, "") << c.name;
    }
  }
  // One blank line before the status line is let through, in whatever
  // pieces it comes; a second is not (found by the fuzz target).
  for (size_t step : {size_t{0}, size_t{1}, size_t{2}}) {
    Outcome one, two;
    run(one, "\r\nHTTP/1.1 204 No Content\r\n\r\n", step, false);
    run(two, "\n\r\nHTTP/1.1 204 No Content\r\n\r\n", step, false);
    EXPECT_TRUE(one.done) << step;
    EXPECT_TRUE(two.failed) << step;
  }
  // A clean folded line still continues its value.
  Outcome o;
  run(o, "HTTP/1.1 200 OK\r\nX-A: one\r\n  two\r\nContent-Length: 0\r\n\r\n", 0, false);
  ASSERT_TRUE(o.done);
  EXPECT_EQ(o.parser.response().headerFieldValue("X-A").value_or(""), "one two");
}

TEST(ResponseParserTest, EndOfConnectionReportsWhatWasMissing) {
  struct Case {
    std::string text;
    const char* error;
  } cases[] = {
      {"", "The connection closed before any response"},
      {"HTTP/1.1 200", "The connection closed in the middle of the response head"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nab", "The connection closed before the end of the response body"},
  };
  for (const auto& c : cases) {
    Outcome o;
    run(o, c.text, 0, true);
    EXPECT_TRUE(o.failed);
    EXPECT_EQ(o.parser.errorText(), c.error);
  }
}

TEST(ResponseParserTest, TransferEncodingWinsOverLengthButSpoilsReuse) {
  Outcome o;
  run(o, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n", 0, false);
  ASSERT_TRUE(o.done);
  EXPECT_EQ(o.body, "x");
  EXPECT_FALSE(o.parser.keepAlive());
}

}  // namespace
}  // namespace plat

namespace plat {
namespace {

// A reader may take plain body bytes itself and leave only framing to feed().
TEST(ResponseParserTest, DirectBodyBytesMixWithFeeding) {
  struct Case {
    std::string head;
    std::string rest;  // body (and framing) after the head
    std::string body;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "0123456789", "0123456789"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "4\r\nabcd\r\n3\r\nefg\r\n0\r\n\r\n", "abcdefg"},
  };
  for (auto& c : cases) {
    ResponseParser p("GET");
    std::string body;
    EXPECT_EQ(p.directBodyBytes(), 0u);
    p.feed(c.head.data(), c.head.size(), body);
    size_t at = 0;
    while (at < c.rest.size() && !p.isDone()) {
      if (uint64_t direct = p.directBodyBytes()) {
        size_t n = std::min<size_t>(direct, 3);  // in small takes
        body.append(c.rest, at, n);
        p.takeDirectBody(n);
        at += n;
      } else {
        at += p.feed(c.rest.data() + at, 1, body);
      }
    }
    EXPECT_TRUE(p.isDone());
    EXPECT_EQ(body, c.body);
    EXPECT_EQ(p.bodyBytes(), c.body.size());
  }
}

}  // namespace
}  // namespace plat
