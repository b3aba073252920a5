// Tests only: the fixture of the end-to-end service tests. Each test program
// starts its own devcloud (one over HTTP, one over TLS with devcloud's CA) on
// a free loopback port and points every service host at it; a test makes a
// fresh user and signs it in with the password grant.
#pragma once

#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Framework/Staticclass/NSDataExpand.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/interface/APIHosts.h"
#include "app/interface/HTTPEngine.h"
#include "app/interface/QVHTTPRequest.h"
#include "platform/foundation/format.h"
#include "platform/foundation/run_loop.h"
#include "tests/support/DevCloudProcess.h"

namespace enginetest {

using plat::Dictionary;
using plat::Value;

inline const std::string kDevice = "C02TEST";

inline std::string sha1(const std::string& s) { return NSDataExpand::sha1HexDigest(s); }
inline plat::Data dataOf(const std::string& s) { return plat::Data(s.begin(), s.end()); }

struct Account {
  std::string username, password, token, refresh;
  int64_t mount = 0;
};

// UserData lives on the home folder, its files named by the user and mount
// ids, which a devcloud started again hands out again: each test gets a
// fresh home of its own (set before its threads start), so no test opens
// another's files, also under --gtest_repeat. All are gone when the program
// ends.
class TestHome {
public:
  static void use() {
    static TestHome home;
    if (home.path_.empty()) return;
    const std::string fresh = home.path_ + "/" + std::to_string(++home.count_);
    std::error_code ec;
    std::filesystem::create_directories(fresh, ec);
    ::setenv("HOME", fresh.c_str(), 1);
  }

private:
  TestHome() {
    char dir[] = "/tmp/qv-iface-home-XXXXXX";
    if (::mkdtemp(dir) != nullptr) path_ = dir;
  }
  ~TestHome() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string path_;
  int count_ = 0;
};

// The parameter says TLS.
class ServiceTest : public ::testing::TestWithParam<bool> {
protected:
  static std::map<bool, std::unique_ptr<DevCloudProcess>>& clouds() {
    static std::map<bool, std::unique_ptr<DevCloudProcess>> m;
    return m;
  }

  static void SetUpTestSuite() {
    plat::MainThread::setCurrentThreadAsMain();
    TestHome::use();
  }

  static void TearDownTestSuite() { clouds().clear(); }

  void SetUp() override {
    TestHome::use();
    auto& c = clouds()[GetParam()];
    if (!c) c = std::make_unique<DevCloudProcess>(GetParam());
    cloud = c.get();
    ASSERT_TRUE(cloud->started()) << "devcloud did not start";
    AppServices& app = AppServices::shared();
    app.setBHttps(GetParam());
    app.setBLogin(true);
    APIHosts::setAll(cloud->hostPort());
    QVHTTPRequest::setTrustedCertificatesPEM(cloud->caPEM());
    QVHTTPRequest::setTimeoutInterval(20);
  }

  void TearDown() override {
    // A test may have withdrawn the CA: the hook must still get through.
    if (cloud) QVHTTPRequest::setTrustedCertificatesPEM(cloud->caPEM());
    if (cloud) cloud->hook("DELETE", "faults");
    QVHTTPRequest::setTimeoutInterval(QVHTTPRequest::kDefaultTimeoutInterval);
  }

  // A new user of devcloud, signed in with the password grant.
  Account newUser(Dictionary extra = {}) {
    static int counter = 0;
    Account a;
    a.username = plat::format("u%d_%d@example.test", static_cast<int>(::getpid()), ++counter);
    a.password = "pw&=+ " + std::to_string(counter);
    Dictionary spec{{"username", Value(a.username)}, {"password", Value(a.password)}};
    for (const auto& [k, v] : extra) spec.set(k, v);
    EXPECT_TRUE(cloud->hook("POST", "user", Value(spec)));
    RetToken t = HTTPEngine::login(a.username, a.password, info(), kDevice);
    EXPECT_EQ(t.status, 200);
    a.token = t.accessToken;
    a.refresh = t.refreshToken;
    RetUserInfo i = HTTPEngine::userinfo(a.token);
    EXPECT_EQ(i.status, 200);
    a.mount = i.mountid;
    return a;
  }

  std::shared_ptr<UserData> userData(const Account& a) {
    auto ud = std::make_shared<UserData>();
    ud->setUserName(a.username);
    ud->setUserPassword(a.password);
    ud->setTokens(a.token, a.refresh, 3600);
    AppServices::shared().setUserdata(ud);
    return ud;
  }

  static std::string info() {
    return R"({"BRAND":"Quorva","VERSION":"Linux","DISPLAY":"tester","CLIENT_ID":")" +
           std::string(HTTPEngine::kClientId) + "\"}";
  }

  // The recorded requests after `since` whose target begins with `prefix`.
  plat::Array recorded(int64_t since, const std::string& prefix) {
    plat::Array out;
    for (const Value& e : cloud->requests(since)) {
      if (e["target"].string().rfind(prefix, 0) == 0) out.push_back(e);
    }
    return out;
  }

  static std::optional<std::string> headerOf(const Value& entry, const std::string& name) {
    for (const Value& pair : entry["headers"].array()) {
      std::string k = pair[size_t{0}].string();
      if (k.size() == name.size() && strcasecmp(k.c_str(), name.c_str()) == 0) return pair[size_t{1}].string();
    }
    return std::nullopt;
  }

  static std::string bodyOf(const Value& entry) {
    auto d = NSDataExpand::base64Decoded(entry["body_b64"].string());
    return d ? std::string(d->begin(), d->end()) : std::string();
  }

  // Sends `content` from `offset` on through the upload server, piece by piece.
  static void sendPieces(const std::string& server, const std::string& session, const std::string& content,
                         int64_t offset, int64_t piece) {
    while (offset < static_cast<int64_t>(content.size())) {
      std::string chunk = content.substr(offset, piece);
      RetUploadPiece p = HTTPEngine::sendpiece(server, session, offset,
                                               offset + static_cast<int64_t>(chunk.size()) - 1, dataOf(chunk));
      ASSERT_EQ(p.status, 200) << p.errormsg.value_or("");
      offset += chunk.size();
    }
  }

  // Uploads through the upload-server requests, piece by piece.
  void uploadPlain(const Account& a, const std::string& path, const std::string& content, int64_t piece) {
    RetAddFile added = HTTPEngine::addfile(a.token, path, a.mount, sha1(content), content.size(), 0);
    ASSERT_EQ(added.status, 200);
    ASSERT_EQ(added.state, 0);
    ASSERT_FALSE(added.server.empty());
    RetUploadInit init = HTTPEngine::sendinit(added.server, a.token, NSStringExpand::getFilename(path),
                                              added.pathhash, sha1(content), content.size());
    ASSERT_EQ(init.status, 200) << init.errormsg.value_or("");
    ASSERT_FALSE(init.session.empty());
    RetUploadReq req = HTTPEngine::sendreq(added.server, init.session);
    ASSERT_EQ(req.status, 200);
    EXPECT_EQ(req.offset, 0);
    ASSERT_NO_FATAL_FAILURE(sendPieces(added.server, init.session, content, req.offset, piece));
    EXPECT_EQ(HTTPEngine::sendfinish(added.server, init.session, content.size()).status, 200);
  }

  DevCloudProcess* cloud = nullptr;
};

// A new account of devcloud signed in as the application's user, its mount
// the user's: where the engines' tests against the service start.
class SignedInTest : public ServiceTest {
protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (HasFatalFailure()) return;
    account_ = newUser();
    auto ud = userData(account_);
    ud->setMountID(account_.mount);
    ud->setUserID(account_.mount);
  }
  void TearDown() override {
    AppServices::shared().setUserdata(nullptr);
    ServiceTest::TearDown();
  }

  Account account_;
};

}  // namespace enginetest
