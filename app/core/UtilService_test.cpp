#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <map>
#include <set>

#include "app/core/AppServices.h"
#include "app/core/ServiceHosts.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "platform/foundation/clock.h"
#include "platform/system/device_identity.h"
#include "platform/system/launcher.h"
#include "platform/system/reachability.h"
#include "platform/system/system_test_util.h"

namespace {

// Restores the application object's flags and the platform stand-ins.
class UtilService : public ::testing::Test {
protected:
  void SetUp() override { setHttps(true); }
  void TearDown() override {
    app().setBHttps(true);
    app().setServertime(std::nullopt);
    app().setUserdata(nullptr);
    ServiceHosts::setWebSite("");
    plat::setDeviceIdentity(nullptr);
    plat::setLauncher(nullptr);
    plat::setReachability(nullptr);
    plat::setClock(nullptr);
  }
  static AppServices& app() { return Util::getAppDelegate(); }
  static void setHttps(bool on) { app().setBHttps(on); }
};

std::map<std::string, std::string> queryOf(const std::string& link) {
  std::map<std::string, std::string> out;
  std::string q = link.substr(link.find('?') + 1);
  size_t pos = 0;
  while (pos <= q.size()) {
    size_t amp = q.find('&', pos);
    std::string kv = q.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
    size_t eq = kv.find('=');
    out[kv.substr(0, eq)] = eq == std::string::npos ? "" : kv.substr(eq + 1);
    if (amp == std::string::npos) break;
    pos = amp + 1;
  }
  return out;
}

// The signature computed here with OpenSSL alone, to check the link's.
std::string expectedSignature(const std::string& text) {
  unsigned char mac[20];
  unsigned int len = 0;
  HMAC(EVP_sha1(), "5C07E3B1D84A29F6", 16, reinterpret_cast<const unsigned char*>(text.data()), text.size(), mac,
       &len);
  unsigned char b64[64];
  int n = EVP_EncodeBlock(b64, mac, static_cast<int>(len));
  std::string out;
  for (int i = 0; i < n; ++i) {
    switch (b64[i]) {
      case '+': out += "%2B"; break;
      case '/': out += "%2F"; break;
      case '=': out += "%3D"; break;
      default: out.push_back(static_cast<char>(b64[i]));
    }
  }
  return out;
}

TEST_F(UtilService, SchemeChoice) {
  struct Case {
    const char* url;
    const char* withHttps;
    const char* withHttp;
  } cases[] = {
      {"www.quorva.com/page", "https://www.quorva.com/page", "http://www.quorva.com/page"},
      {"http://h/p", "https://h/p", "http://h/p"},
      {"https://h/p", "https://h/p", "http://h/p"},
      {"HTTP://h/p", "https://HTTP://h/p", "http://HTTP://h/p"},  // capitals are no scheme
      {"", "https://", "http://"},
  };
  for (const auto& c : cases) {
    setHttps(true);
    EXPECT_EQ(Util::getDealWithHttpsOrHttpUrl(c.url), c.withHttps) << c.url;
    setHttps(false);
    EXPECT_EQ(Util::getDealWithHttpsOrHttpUrl(c.url), c.withHttp) << c.url;
  }
}

TEST_F(UtilService, CheckHttpLeavesEitherSchemeAlone) {
  struct Case {
    const char* url;
    const char* withHttps;
    const char* withHttp;
  } cases[] = {
      {"http://h", "http://h", "http://h"},
      {"https://h", "https://h", "https://h"},
      {"httpbin.org", "httpbin.org", "httpbin.org"},
      {"h/p", "https://h/p", "http://h/p"},
  };
  for (const auto& c : cases) {
    setHttps(true);
    EXPECT_EQ(Util::CheckHttpWithUrl(c.url), c.withHttps) << c.url;
    setHttps(false);
    EXPECT_EQ(Util::CheckHttpWithUrl(c.url), c.withHttp) << c.url;
  }
}

TEST_F(UtilService, SignInErrorTexts) {
  struct Case {
    const char* error;
    const char* message;
  } cases[] = {
      {"invalid_request", "请求无效"},
      {"invalid_client", "当前客户端版本已不能使用，请升级到最新版本"},
      {"invalid_grant", "您输入帐号或密码错误 请重新输入"},
      {"invalid_token", "合作帐号授权失败，请确定授权是否完成？"},
      {"unauthorized_client", "当前设备已经被禁用"},
      {"access_denied", "团队管理员已限制您使用同步客户端"},
      {"", "请求失败,确定是否连接网络后，再重试"},
      {"Invalid_Grant", "请求失败,确定是否连接网络后，再重试"},
      {"server_error", "请求失败,确定是否连接网络后，再重试"},
  };
  for (const auto& c : cases) EXPECT_EQ(Util::getChangeTokenError(c.error), c.message) << c.error;
}

TEST_F(UtilService, ServerDates) {
  struct Case {
    const char* text;
    std::optional<int64_t> seconds;
  } cases[] = {
      {"Mon, 01 Jan 2024 10:00:00 GMT", 1704103200},
      {"Thu, 29 Feb 2024 23:59:59 GMT", 1709251199},
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
      {"Mon, 01 Foo 2024 10:00:00 GMT", std::nullopt},   // no month we can name
      {"Mon, 01 Jan 2024 10:00 GMT", std::nullopt},      // clock too short
      {"Mon,  01 Jan 2024 10:00:00 GMT", std::nullopt},  // seven pieces
      {"Monday, 01-Jan-24 10:00:00 GMT", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(Util::serverTimeSeconds(c.text), c.seconds) << c.text;
}

TEST_F(UtilService, SingleSignOnLinkAndItsSignature) {
  const std::string url = "/storage/file?fullpath=/a b/文件&x=1";
  std::set<long> nonces;
  for (int i = 0; i < 200; ++i) {
    std::string link = Util::mixtureurl(url, "http://web.test:8080", "tok-123", "Mon, 01 Jan 2024 10:00:00 GMT");
    const std::string prefix = "https://web.test:8080/account/sso?url=";
    ASSERT_EQ(link.rfind(prefix, 0), 0u) << link;
    auto q = queryOf(link);
    EXPECT_EQ(q["url"], "%2Fstorage%2Ffile%3Ffullpath%3D%2Fa%20b%2F%E6%96%87%E4%BB%B6%26x%3D1");
    EXPECT_EQ(q["token"], "tok-123");
    EXPECT_EQ(q["t"], "1704103200");
    long n = std::stol(q["n"]);
    ASSERT_GE(n, 0);
    ASSERT_LT(n, 65535);
    nonces.insert(n);
    EXPECT_EQ(q["s"], expectedSignature(url + "\ntok-123\n1704103200\n" + q["n"])) << link;
    EXPECT_EQ(link, prefix + q["url"] + "&token=tok-123&t=1704103200&n=" + q["n"] + "&s=" + q["s"]);
  }
  EXPECT_GT(nonces.size(), 100u);

  setHttps(false);
  EXPECT_EQ(Util::mixtureurl("", "https://web.test", "", "").rfind("http://web.test/account/sso?url=&token=&t=", 0), 0u);
}

TEST_F(UtilService, LinkWithoutServerDateUsesTheClock) {
  plat::setClock(std::make_shared<plat::ManualClock>(plat::Date{1704103200.75}));
  for (const char* time : {"", "Mon, 01 Foo 2024 10:00:00 GMT"}) {
    auto q = queryOf(Util::mixtureurl("/p", "web.test", "tok", time));
    EXPECT_EQ(q["t"], "1704103200") << time;
    EXPECT_EQ(q["s"], expectedSignature("/p\ntok\n1704103200\n" + q["n"]));
  }
}

TEST_F(UtilService, BrowserCommands) {
  ServiceHosts::setWebSite("web.test");
  auto user = std::make_shared<plat::testing::TempHome>();
  auto data = std::make_shared<UserData>();
  data->setUserToken("account-token");
  app().setUserdata(data);
  app().setServertime("Mon, 01 Jan 2024 10:00:00 GMT");

  EXPECT_EQ(Util::getOpenBrowserWebUrlInfo(R"({"url":"web.test/help","sso":0})"), "https://web.test/help");
  EXPECT_EQ(Util::getOpenBrowserWebUrlInfo(R"({"url":"http://h/p","webpath":"/我的 文件","sso":0})"),
            "http://h/p?fullpath=/我的 文件");
  EXPECT_EQ(Util::getOpenBrowserWebUrlInfo(R"({"url":"/p","webpath":""})"), "https:///p");

  std::string link = Util::getOpenBrowserWebUrlInfo(R"({"url":"/storage","webpath":"/a","sso":1})");
  ASSERT_EQ(link.rfind("https://web.test/account/sso?url=%2Fstorage%3Ffullpath%3D%2Fa&token=account-token&t=1704103200&",
                       0),
            0u)
      << link;
  auto q = queryOf(link);
  EXPECT_EQ(q["s"], expectedSignature("/storage?fullpath=/a\naccount-token\n1704103200\n" + q["n"]));

  // Not an object: nothing is read.
  for (const char* bad : {"", "not json", "[1,2]", "\"text\""}) {
    EXPECT_EQ(Util::getOpenBrowserWebUrlInfo(bad), "https://") << bad;
  }
  user.reset();
}

TEST_F(UtilService, WindowCommands) {
  ServiceHosts::setWebSite("web.test");
  setHttps(false);
  plat::Dictionary d =
      Util::getOpenWindowWebUrlInfo(R"({"url":"/launch","sso":0,"resize":1,"width":800,"height":600.7,"opentype":2,"replace":1})");
  EXPECT_EQ(d, (plat::Dictionary{{"url", plat::Value("http://web.test/launch")},
                                 {"resize", plat::Value(1)},
                                 {"width", plat::Value(800)},
                                 {"height", plat::Value(600)},
                                 {"type", plat::Value(2)},
                                 {"close", plat::Value(1)}}));

  d = Util::getOpenWindowWebUrlInfo(R"({"url":"/x","webpath":"/f"})");
  EXPECT_EQ(d["url"].string(), "http://web.test/x?fullpath=/f");
  EXPECT_EQ(d["width"].intValue(), 0);
  EXPECT_TRUE(d["close"].isNumber());

  d = Util::getOpenWindowWebUrlInfo(R"({"url":"/x","sso":5,"width":10})");
  EXPECT_EQ(d["url"].string().rfind("http://web.test/account/sso?url=%2Fx&token=&t=", 0), 0u) << d["url"].string();
  EXPECT_EQ(d["width"].intValue(), 10);

  d = Util::getOpenWindowWebUrlInfo("{");
  EXPECT_EQ(d["url"].string(), "http://web.test");
  EXPECT_EQ(d.size(), 6u);
}

TEST_F(UtilService, DeviceIdAndWebLoginKey) {
  struct Fixed : plat::DeviceIdentity {
    std::optional<std::string> id;
    std::optional<std::string> serialNumber() const override { return id; }
  };
  auto fixed = std::make_shared<Fixed>();
  fixed->id = "C02XK0ABCDEF";
  plat::setDeviceIdentity(fixed);
  plat::setClock(std::make_shared<plat::ManualClock>());  // the same moment for every key
  EXPECT_EQ(Util::getcomputerid(), "C02XK0ABCDEF");

  std::set<std::string> keys;
  for (int i = 0; i < 20; ++i) {
    std::string k = Util::getwebloginkey();
    EXPECT_EQ(k.size(), 40u);
    EXPECT_EQ(k.find_first_not_of("0123456789abcdef"), std::string::npos) << k;
    keys.insert(k);
  }
  EXPECT_EQ(keys.size(), 20u);  // device and time alone don't make the key

  fixed->id.reset();
  EXPECT_FALSE(Util::getcomputerid());
  EXPECT_EQ(Util::getwebloginkey().size(), 40u);
}

TEST_F(UtilService, ReachabilityAndBrowserGoThroughThePlatform) {
  struct Net : plat::Reachability {
    bool up = false;
    bool isReachable() const override { return up; }
  };
  auto net = std::make_shared<Net>();
  plat::setReachability(net);
  EXPECT_FALSE(Util::islink());
  net->up = true;
  EXPECT_TRUE(Util::islink());

  struct Browser : plat::Launcher {
    std::vector<std::string> opened;
    bool openURL(const std::string& url, plat::Error*) override {
      opened.push_back(url);
      return true;
    }
    bool launch(const std::string&, const std::vector<std::string>&, plat::Error*) override { return false; }
  };
  auto browser = std::make_shared<Browser>();
  plat::setLauncher(browser);
  EXPECT_TRUE(Util::openWebUrl("https://web.test/p?a=1"));
  EXPECT_EQ(browser->opened, std::vector<std::string>{"https://web.test/p?a=1"});
}

}  // namespace
