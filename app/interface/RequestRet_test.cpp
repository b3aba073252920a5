// Reading replies into records, the path escaping and the signature, without
// a server.
#include "app/interface/RequestRet.h"

#include <gtest/gtest.h>

#include <any>

#include "app/interface/HTTPEngine.h"
#include "platform/foundation/notification_center.h"

namespace {

std::optional<plat::Data> bytes(std::string_view s) { return plat::Data(s.begin(), s.end()); }

TEST(RequestRetTest, ErrorBodies) {
  struct Case {
    std::optional<std::string> body;
    int64_t error;
    std::optional<std::string> errormsg;
  } cases[] = {
      {R"({"error_code":40101,"error_msg":"token expired"})", 40101, "token expired"},
      {R"({"error_code":"40402"})", 40402, ""},
      {R"({"error_msg":"文件不存在"})", 0, "文件不存在"},
      {"<html>Bad Gateway</html>", 0, ""},
      {"", 0, ""},
      {std::string("\xff\xfe{}", 4), 0, std::nullopt},
      {std::nullopt, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    RequestRet r;
    r.setValueWithErrorData(c.body ? bytes(*c.body) : std::nullopt);
    EXPECT_EQ(r.error, c.error) << c.body.value_or("(none)");
    EXPECT_EQ(r.errormsg, c.errormsg) << c.body.value_or("(none)");
  }
}

TEST(RequestRetTest, OAuthErrorBodies) {
  struct Case {
    std::string body;
    int64_t error;
    std::optional<std::string> errormsg;
  } cases[] = {
      {R"({"error":"invalid_grant"})", 1, "invalid_grant"},
      {R"({"error":"invalid_client"})", 1, "invalid_client"},
      {R"({"error":"invalid_token"})", 1, "invalid_token"},
      {R"({"error":"unauthorized_client"})", 1, "unauthorized_client"},
      {R"({"error":"access_denied"})", 1, "access_denied"},
      {R"({"error":"invalid_request"})", 0, "invalid_request"},
      {R"({"error":"server_busy"})", 0, "server_busy"},
      {R"({"error_code":40101,"error_msg":"x"})", 0, std::nullopt},
  };
  for (const auto& c : cases) {
    RetToken r;
    r.setValueWithErrorData(bytes(c.body));
    EXPECT_EQ(r.error, c.error) << c.body;
    EXPECT_EQ(r.errormsg, c.errormsg) << c.body;
  }
}

TEST(RequestRetTest, SuccessBodyThatIsNotJSONLeavesEverythingEmpty) {
  for (std::string body : {"", "not json", "null"}) {
    RetAddFile r;
    r.state = 7;  // proves that "null" does not reach setValueWithJson
    r.setValueWithData(bytes(body));
    if (body == "null") EXPECT_EQ(r.state, 7);
    else EXPECT_EQ(r.state, 0) << body;
    EXPECT_TRUE(r.localserver.empty());
    EXPECT_EQ(r.server, "");
  }
}

TEST(RequestRetTest, NosyncDefaultsDifferBetweenChangesAndDetails) {
  CompareItem change = CompareItem::initWithJsonDictionary(plat::Value(plat::Dictionary{{"cmd", 1}}));
  EXPECT_EQ(change.nosync, -1);
  EXPECT_EQ(change.cmd, 1);
  CompareItem explicitZero = CompareItem::initWithJsonDictionary(plat::Value(plat::Dictionary{{"nosync", 0}}));
  EXPECT_EQ(explicitZero.nosync, 0);
  FileListItem entry = FileListItem::initWithJsonDictionary(plat::Value(plat::Dictionary{{"dir", 1}}));
  EXPECT_EQ(entry.nosync, -1);
  EXPECT_EQ(entry.dir, 1);
  RetReget details;
  details.setValueWithData(bytes(R"({"filehash":"ab","filesize":5000000000})"));
  EXPECT_EQ(details.nosync, 0);
  EXPECT_EQ(details.filesize, 5000000000u);
  EXPECT_EQ(details.filehash, "ab");
}

TEST(RequestRetTest, ListsMissingOrNullAreEmpty) {
  for (std::string body : {R"({"state":1,"local_server":null})", R"({"state":1})"}) {
    RetAddFile r;
    r.setValueWithData(bytes(body));
    EXPECT_EQ(r.state, 1);
    EXPECT_TRUE(r.localserver.empty()) << body;
  }
  RetAddFile withServers;
  withServers.setValueWithData(bytes(R"({"local_server":["10.0.0.2",{"h":"x"}]})"));
  ASSERT_EQ(withServers.localserver.size(), 2u);
  EXPECT_EQ(withServers.localserver[0].string(), "10.0.0.2");
}

TEST(RequestRetTest, WideAndNarrowReadings) {
  RetUserInfo info;
  info.setValueWithData(bytes(R"({"capacity":10737418240,"size":"3000000000","mount_id":4294967297,"org_id":"12abc"})"));
  EXPECT_EQ(info.mountsize, 10737418240LL);
  EXPECT_EQ(info.usersize, 3000000000LL);  // a number sent as text
  EXPECT_EQ(info.mountid, 1);              // a 32-bit reading
  EXPECT_EQ(info.orgid, 12);

  RetCompare page;
  page.setValueWithData(bytes(R"({"version":8589934592,"dateline":5,"list":[{"fullpath":"a"},{"fullpath":"b"}]})"));
  EXPECT_EQ(page.version, 8589934592LL);
  EXPECT_EQ(page.changekey, "");
  ASSERT_EQ(page.itemlist.size(), 2u);
  EXPECT_EQ(page.itemlist[1].webpath, "b");
  EXPECT_EQ(page.itemlist[1].status, 0);
  EXPECT_EQ(page.itemlist[1].errormsg, std::nullopt);
}

// Versions and datelines pass 32 bits: every record reads them whole.
TEST(RequestRetTest, VersionsAndDatelinesAreReadWhole) {
  constexpr int64_t kV = 2147483653LL, kD = 8589934597LL;
  const std::string both = R"({"version":2147483653,"dateline":8589934597})";
  CompareItem item;
  item.setValueWithData(bytes(both));
  EXPECT_EQ(item.version, kV);
  EXPECT_EQ(item.dateline, kD);
  RetCompare page;
  page.setValueWithData(bytes(both));
  EXPECT_EQ(page.version, kV);
  EXPECT_EQ(page.dateline, kD);
  RetReget details;
  details.setValueWithData(bytes(both));
  EXPECT_EQ(details.version, kV);
  RetAddFile added;
  added.setValueWithData(bytes(both));
  EXPECT_EQ(added.version, kV);
  RetVersion version;
  version.setValueWithData(bytes(both));
  EXPECT_EQ(version.version, kV);
  RetUpdateMsg messages;
  messages.setValueWithData(bytes(both));
  EXPECT_EQ(messages.dateline, kD);
}

TEST(RequestRetTest, MessagesWithoutUpdates) {
  RetUpdateMsg m;
  m.setValueWithData(bytes(R"({"update_count":0,"dateline":99})"));
  EXPECT_TRUE(m.itemUpatelist.empty());
  EXPECT_EQ(m.updateCount, 0);
  EXPECT_EQ(m.dateline, 99);
}

TEST(RequestRetTest, UploadOffsetIsReadAs64Bits) {
  struct Case {
    std::optional<std::string> body;
    int64_t offset;
  } cases[] = {
      {"0", 0},          {"4096", 4096},   {"2147483648", 2147483648LL}, {"5368709120\n", 5368709120LL},
      {"not a number", 0}, {"", 0},       {std::nullopt, 0},             {"99999999999999999999", 0},
  };
  for (const auto& c : cases) {
    RetUploadReq r;
    r.setOffsetWithData(c.body ? bytes(*c.body) : std::nullopt);
    EXPECT_EQ(r.offset, c.offset) << c.body.value_or("(none)");
  }
}

TEST(RequestRetTest, PieceReplyCarriesErrorsOfItsOwn) {
  RetUploadPiece p;
  p.setValueWithData(bytes(R"({"expect":1024,"error_code":500,"error_msg":"busy"})"));
  EXPECT_EQ(p.expect, 1024);
  EXPECT_EQ(p.error, 500);
  EXPECT_EQ(p.errormsg, "busy");
  RetUploadPiece plain;
  plain.setValueWithData(bytes(R"({"expect":8})"));
  EXPECT_EQ(plain.errormsg, std::nullopt);
}

TEST(RequestRetTest, ListingPostsItsRecordsWhenAsked) {
  // Each post, as the names and folder marks of the FileListItem records it carried.
  std::vector<std::vector<std::string>> posted;
  plat::ScopedObserver o(kFileListNotification, [&](const plat::Notification& n) {
    std::vector<std::string> names;
    const auto* records = std::any_cast<std::vector<FileListItem>>(&n.payload);
    if (!records) names.push_back("(no records)");
    for (const FileListItem& i : records ? *records : std::vector<FileListItem>{}) {
      names.push_back(i.filename + (i.dir ? "/" : "") + (i.nosync == -1 ? "" : "!"));
    }
    posted.push_back(names);
  });
  using Names = std::vector<std::vector<std::string>>;
  struct Case {
    std::string body;
    bool send;
    Names expected;
  } cases[] = {
      {R"({"list":[{"filename":"a","dir":1},{"filename":"b","nosync":0}]})", true, {{"a/", "b!"}}},
      {R"({"list":null})", true, {{}}},
      {R"({})", true, {{}}},
      {R"({"list":[{"filename":"a"}]})", false, {}},
      {"null", true, {}},
  };
  for (const auto& c : cases) {
    posted.clear();
    RetFileList r;
    r.bSendMsg = c.send;
    r.setValueWithData(bytes(c.body));
    EXPECT_EQ(posted, c.expected) << c.body;
  }
}

TEST(HTTPEngineTest, PathEscaping) {
  struct Case {
    std::string webpath, path;
  } cases[] = {
      {"", "/"},
      {"a b/c", "/a%20b/c"},
      {"dir/", "/dir/"},
      {"a//b", "/a//b"},
      {"/x", "//x"},
      {"中", "/%E4%B8%AD"},
      {"a+b&c=d?e", "/a+b&c=d%3Fe"},
      {"docs/a?b.txt", "/docs/a%3Fb.txt"},
      {"docs/a#b.txt", "/docs/a%23b.txt"},
      {"?/#", "/%3F/%23"},
      {"n#1 \"q\"%", "/n%231%20%22q%22%25"},
      {"docs/a b.txt", "/docs/a%20b.txt"},
  };
  for (const auto& c : cases) EXPECT_EQ(HTTPEngine::getPath(c.webpath), c.path) << c.webpath;
}

TEST(HTTPEngineTest, Signatures) {
  const std::string date = "Mon,01 Jan 2024 18:00:00 GMT+8";
  struct Case {
    std::string method;
    int64_t mount;
    std::optional<std::string> path;
    std::string signature;
  } cases[] = {
      {"GET", 12, "/docs/a%20b.txt", "rdlfZWS1sYmQNyIJA82/hJCyBmQ="},
      {"get", 12, "/docs/a%20b.txt", "rdlfZWS1sYmQNyIJA82/hJCyBmQ="},
      {"GET", 12, std::nullopt, "FhChW6SaTZQzs4GnJUhrbx4JC3k="},
      {"COMPARE", 7, "/?sc=a%20b+c&d=e", "ra8uXnygDO8rqnlaNbNbE8sR9b4="},
  };
  for (const auto& c : cases) {
    std::string s = HTTPEngine::getAuth(c.method, date, c.mount, c.path);
    EXPECT_EQ(s, c.signature) << c.method << " " << c.path.value_or("(nil)");
    EXPECT_EQ(s.size(), 28u);
  }
}

TEST(HTTPEngineTest, AddFileWithoutHashSendsNothing) {
  RetAddFile r = HTTPEngine::addfile("token", "a.txt", 1, std::nullopt, 10, 0);
  EXPECT_EQ(r.status, 10061);
  EXPECT_EQ(r.server, "");
  EXPECT_EQ(r.state, 0);
}

}  // namespace
