// Every form body the client posts, byte for byte as devcloud received it
// (its request record), beside the reply devcloud gave: a body the service
// would read differently fails here even where devcloud still answers.
#include <gtest/gtest.h>

#include <functional>

#include "app/interface/EngineFixture.h"

namespace {

using namespace enginetest;

// The wire constants, written out apart from the code that sends them.
const std::string kId = "3e7a19c05d4b82f6a0c1e9d47b2f5a68";
const std::string kSecret = "9b04d6e2c7f1a35e8d20b4c6f9e17a3d";

class FormBodyTest : public ServiceTest {};

TEST_P(FormBodyTest, EveryFormBodyAsSent) {
  std::string org = plat::format("表单团队%d", static_cast<int>(::getpid()));
  Account a = newUser({{"org", Value(org)}});
  Account owner = newUser();
  // A file in a folder shared with the user, the one thing a saved link may copy.
  ASSERT_TRUE(cloud->hook("POST", "files", Value(Dictionary{{"username", Value(owner.username)},
                                                            {"files", Value(plat::Array{Value(Dictionary{
                                                                          {"path", Value("公开 a&b/链接 a+b.txt")},
                                                                          {"text", Value("linked")}})})}})));
  ASSERT_TRUE(cloud->hook("POST", "share", Value(Dictionary{{"owner", Value(owner.username)},
                                                            {"path", Value("公开 a&b")},
                                                            {"to", Value(a.username)}})));
  const std::string savedPath = "公开 a&b/链接 a+b.txt";
  auto sign = cloud->hook("POST", "save_link", Value(Dictionary{{"act", Value(2)},
                                                                {"mount_id", Value(owner.mount)},
                                                                {"fullpath", Value(savedPath)},
                                                                {"expires", Value("1900000000")}}));
  ASSERT_TRUE(sign.has_value());
  const std::string signature = (*sign)["sign"].string();
  const std::string key = "key-" + std::to_string(::getpid()) + "-" + a.username;
  ASSERT_TRUE(cloud->hook("POST", "weblogin", Value(Dictionary{{"key", Value(key)}, {"username", Value(a.username)}})));

  // The refresh goes through UserData, as the engines renew: its device
  // description is the one every OAuth form carries.
  auto ud = userData(a);
  const std::string info = ud->getinfo();
  const std::string device = ud->getdevice().value_or("");
  const std::string refresh = a.refresh;

  struct Case {
    const char* name;
    std::function<int64_t()> run;  // the status of the reply
    std::string path;
    std::string body;
  } cases[] = {
      {"password grant",
       [&] { return HTTPEngine::login(a.username, a.password, info, device).status; }, "/oauth/token",
       "grant_type=password&username=" + a.username + "&password=" + a.password + "&info=" + info +
           "&device=" + device + "&client_id=" + kId + "&client_secret=" + kSecret},
      {"refresh",
       [&] {
         ud->regettoken();
         return ud->userToken() != a.token ? int64_t{200} : int64_t{0};
       },
       "/oauth/token",
       "grant_type=refresh_token&refresh_token=" + refresh + "&info=" + info + "&device=" + device +
           "&client_id=" + kId + "&client_secret=" + kSecret},
      {"key exchange", [&] { return HTTPEngine::weblogin(key, info, device).status; }, "/check_oauth",
       "key=" + key + "&info=" + info + "&device=" + device + "&client_id=" + kId + "&client_secret=" + kSecret},
      {"account", [&] { return HTTPEngine::userinfo(ud->userToken()).status; }, "/get_myinfo",
       "token=" + std::string("\x01")},
      {"update messages", [&] { return HTTPEngine::userUpdateMsg(ud->userToken(), 1700000123).status; },
       "/client_updates", "token=\x01&dateline=1700000123"},
      {"save file",
       [&] {
         return HTTPEngine::save_file(ud->userToken(), 2, owner.mount, savedPath, "1900000000", signature).status;
       },
       "/save_file",
       "token=\x01&act=2&mount_id=" + std::to_string(owner.mount) + "&fullpath=" + savedPath +
           "&expires=1900000000&sign=" + signature},
      {"team share", [&] { return HTTPEngine::addorgshare(ud->userToken(), "表单 共享", a.mount, a.username).status; },
       "/%E8%A1%A8%E5%8D%95%20%E5%85%B1%E4%BA%AB", "local=0&email=" + a.username + "|2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t since = cloud->lastSeq();
    EXPECT_EQ(c.run(), 200);
    // "\x01" stands for the access token of the moment: the refresh replaces it.
    std::string expected = c.body;
    for (size_t at; (at = expected.find('\x01')) != std::string::npos;) expected.replace(at, 1, ud->userToken());
    plat::Array sent = recorded(since, c.path);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["method"].string(), c.name == std::string("team share") ? "ORG_SHARE" : "POST");
    EXPECT_EQ(bodyOf(sent[0]), expected);
    EXPECT_EQ(sent[0]["status"].intValue(), 200);
  }

  // What the forms did, seen from the service.
  EXPECT_EQ(HTTPEngine::reget(ud->userToken(), "链接 a+b.txt", a.mount).filehash, sha1("linked"));
}

INSTANTIATE_TEST_SUITE_P(Wire, FormBodyTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "TLS" : "HTTP"; });

}  // namespace
