#include "Framework/HCHTTP/HCFormDataRequest.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"
#include "tests/support/test_http_server.h"

using qvtest::RecordedRequest;
using qvtest::ScriptedResponse;
using qvtest::TestHTTPServer;

namespace {

struct Part {
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;
};

// A strict reading of a multipart body as a server would make it.
std::vector<Part> parseMultipart(const std::string& body, const std::string& boundary, int* boundaryLines) {
  std::vector<Part> parts;
  const std::string open = "--" + boundary + "\r\n";
  const std::string sep = "\r\n--" + boundary + "\r\n";
  const std::string close = "\r\n--" + boundary + "--\r\n";
  EXPECT_EQ(body.rfind(open, 0), 0u);
  EXPECT_GE(body.size(), open.size() + close.size());
  EXPECT_EQ(body.compare(body.size() - close.size(), close.size(), close), 0);
  std::string inner = body.substr(open.size(), body.size() - open.size() - close.size());
  *boundaryLines = 2;
  size_t at = 0;
  for (;;) {
    size_t next = inner.find(sep, at);
    std::string raw = inner.substr(at, next == std::string::npos ? std::string::npos : next - at);
    Part p;
    size_t headEnd = raw.find("\r\n\r\n");
    EXPECT_NE(headEnd, std::string::npos);
    std::string head = raw.substr(0, headEnd);
    p.body = raw.substr(headEnd + 4);
    size_t h = 0;
    while (h < head.size()) {
      size_t e = head.find("\r\n", h);
      std::string line = head.substr(h, e == std::string::npos ? std::string::npos : e - h);
      size_t colon = line.find(": ");
      std::string name = line.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      p.headers[name] = line.substr(colon + 2);
      h = e == std::string::npos ? head.size() : e + 2;
    }
    parts.push_back(p);
    if (next == std::string::npos) break;
    ++*boundaryLines;
    at = next + sep.size();
  }
  return parts;
}

class HCFormDataRequestTest : public ::testing::Test {
protected:
  void SetUp() override {
    plat::MainThread::setCurrentThreadAsMain();
    server.setHandler([](const RecordedRequest&) { return ScriptedResponse::text(200, "got"); });
    dir_ = plat::makeTemporaryDirectory("qv-form");
  }
  void TearDown() override { plat::removeTree(dir_); }
  RecordedRequest send(const std::shared_ptr<HCFormDataRequest>& r) {
    r->startSynchronous();
    EXPECT_FALSE(r->error()) << (r->error() ? r->error()->localizedDescription() : "");
    auto reqs = server.requests();
    return reqs.empty() ? RecordedRequest{} : reqs.back();
  }
  TestHTTPServer server;
  std::string dir_;
};

}  // namespace

TEST_F(HCFormDataRequestTest, URLEncodedBodies) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> fields;
    HCStringEncoding encoding;
    const char* body;
    const char* contentType;
  } cases[] = {
      {{{"name", "a b"}, {"q&a", "x=y&z"}}, HCUTF8StringEncoding, "name=a%20b&q%26a=x%3Dy%26z",
       "application/x-www-form-urlencoded; charset=utf-8"},
      {{{"one", "1"}}, HCUTF8StringEncoding, "one=1", "application/x-www-form-urlencoded; charset=utf-8"},
      {{{"k", "~!*'()+,;:/?#[]@$\"<>%{}|\\^`-._"}}, HCUTF8StringEncoding,
       "k=%7E%21%2A%27%28%29%2B%2C%3B%3A%2F%3F%23%5B%5D%40%24%22%3C%3E%25%7B%7D%7C%5C%5E%60-._",
       "application/x-www-form-urlencoded; charset=utf-8"},
      {{{"caf\xC3\xA9", "\xE4\xB8\xAD"}}, HCUTF8StringEncoding, "caf%C3%A9=%E4%B8%AD",
       "application/x-www-form-urlencoded; charset=utf-8"},
      {{{"caf\xC3\xA9", "x"}}, HCISOLatin1StringEncoding, "caf%E9=x",
       "application/x-www-form-urlencoded; charset=iso-8859-1"},
      // A character Latin-1 has no form for: the escaped text is empty.
      {{{"k", "\xE4\xB8\xAD"}}, HCISOLatin1StringEncoding, "k=",
       "application/x-www-form-urlencoded; charset=iso-8859-1"},
  };
  for (const auto& c : cases) {
    auto r = HCFormDataRequest::requestWithURL(server.url("/form"));
    r->setStringEncoding(c.encoding);
    for (const auto& [k, v] : c.fields) r->addPostValue(v, k);
    auto got = send(r);
    EXPECT_EQ(got.method, "POST");
    EXPECT_EQ(got.body, c.body);
    EXPECT_EQ(got.header("Content-Type").value_or(""), c.contentType);
  }
  auto r = HCFormDataRequest::requestWithURL(server.url("/form"));
  r->addPostValue("1", std::string("k"));
  r->addPostValue("2", std::string("k"));
  r->addPostValue("x", std::string("other"));
  r->addPostValue("ignored", std::nullopt);
  r->setPostValue("3", std::string("k"));
  ASSERT_EQ(r->postData().size(), 2u);
  EXPECT_EQ(send(r).body, "other=x&k=3");

  // Nothing added: a plain request's body, and no form header.
  auto plain = HCFormDataRequest::requestWithURL(server.url("/plain"));
  plain->appendPostData(plat::Data{'r', 'a', 'w'});
  auto got = send(plain);
  EXPECT_EQ(got.body, "raw");
  EXPECT_FALSE(got.header("Content-Type"));
}

TEST_F(HCFormDataRequestTest, AMultipartBodyArrivesByteForByte) {
  std::mt19937 rng(11);
  std::string binary(70000, '\0');
  for (auto& ch : binary) ch = static_cast<char>(rng() & 0xFF);
  std::string onDisk = plat::pathJoin(dir_, "photo.jpg");
  ASSERT_TRUE(plat::atomicWrite(onDisk, binary));

  auto r = HCFormDataRequest::requestWithURL(server.url("/upload"));
  r->addPostValue("first value\r\nwith lines", std::string("field"));
  r->addPostValue("", std::string("empty"));
  r->addData(plat::Data{0, 1, 2, 255}, std::string("bytes"));
  r->addFile(onDisk, std::string("photo"));
  r->addData(plat::Data{'x'}, std::string("a\"b.txt"), std::string("text/plain"), std::string("say \"hi\""));
  auto got = send(r);
  const std::string type = got.header("Content-Type").value_or("");
  const std::string marker = "multipart/form-data; charset=utf-8; boundary=";
  ASSERT_EQ(type.rfind(marker, 0), 0u) << type;
  const std::string boundary = type.substr(marker.size());
  EXPECT_EQ(boundary.rfind("0xKhTmLbOuNdArY-", 0), 0u);
  int lines = 0;
  auto parts = parseMultipart(got.body, boundary, &lines);
  ASSERT_EQ(parts.size(), 5u);
  EXPECT_EQ(lines, 6);
  EXPECT_EQ(parts[0].headers["content-disposition"], "form-data; name=\"field\"");
  EXPECT_EQ(parts[0].body, "first value\r\nwith lines");
  EXPECT_EQ(parts[1].body, "");
  EXPECT_EQ(parts[2].headers["content-disposition"], "form-data; name=\"bytes\"; filename=\"file\"");
  EXPECT_EQ(parts[2].headers["content-type"], "application/octet-stream");
  EXPECT_EQ(parts[2].body, std::string("\0\1\2\xFF", 4));
  EXPECT_EQ(parts[3].headers["content-disposition"], "form-data; name=\"photo\"; filename=\"photo.jpg\"");
  EXPECT_EQ(parts[3].headers["content-type"], "image/jpeg");
  EXPECT_TRUE(parts[3].body == binary) << "the file's bytes, streamed from disk";
  // A quote in a name can't end the quoted text early.
  EXPECT_EQ(parts[4].headers["content-disposition"], "form-data; name=\"say %22hi%22\"; filename=\"a%22b.txt\"");
  EXPECT_EQ(parts[4].headers["content-type"], "text/plain");

  // One field and one file: the opening line, one separator, the closing line.
  auto small = HCFormDataRequest::requestWithURL(server.url("/small"));
  small->setPostFormat(HCMultipartFormDataPostFormat);
  small->addPostValue("v", std::string("k"));
  small->addData(plat::Data{'d'}, std::string("f"));
  auto copy = small->copy();
  auto g2 = send(small);
  std::string b2 = g2.header("Content-Type").value_or("").substr(marker.size());
  ASSERT_EQ(parseMultipart(g2.body, b2, &lines).size(), 2u);
  EXPECT_EQ(lines, 3);
  // A copy posts the same form again.
  copy->startSynchronous();
  auto g3 = server.requests().back();
  std::string b3 = g3.header("Content-Type").value_or("").substr(marker.size());
  auto p3 = parseMultipart(g3.body, b3, &lines);
  ASSERT_EQ(p3.size(), 2u);
  EXPECT_EQ(p3[1].body, "d");
}

TEST_F(HCFormDataRequestTest, PartHeadersCannotBeForgedAndMissingFilesFail) {
  struct Case {
    std::string key, fileName, contentType;
  } cases[] = {
      {"k\r\nContent-Type: text/html", "f", "text/plain"},
      {"k", "f\nX-Evil: 1", "text/plain"},
      {"k", "f", "text/plain\r\n\r\ninjected"},
  };
  for (const auto& c : cases) {
    size_t before = server.requestCount();
    auto r = HCFormDataRequest::requestWithURL(server.url("/x"));
    r->addData(plat::Data{'x'}, c.fileName, c.contentType, c.key);
    r->startSynchronous();
    ASSERT_TRUE(r->error());
    EXPECT_EQ(r->error()->code(), HCInternalErrorWhileBuildingRequestType);
    EXPECT_EQ(server.requestCount(), before) << "nothing was sent";
  }
  for (const std::string& path : {plat::pathJoin(dir_, "missing.bin"), dir_}) {
    auto r = HCFormDataRequest::requestWithURL(server.url("/x"));
    r->addFile(path, std::string("f"));
    ASSERT_TRUE(r->error());
    EXPECT_EQ(r->error()->code(), HCInternalErrorWhileBuildingRequestType);
    EXPECT_EQ(r->error()->localizedDescription(), "No file exists at " + path);
    EXPECT_EQ(r->fileData().size(), 1u) << "the part is still recorded";
  }
}
