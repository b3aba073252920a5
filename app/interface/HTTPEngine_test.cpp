// Every service call end to end against a devcloud process of the test's own,
// over HTTP and over TLS with devcloud's CA; devcloud checks each signature.
#include "app/interface/HTTPEngine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <any>
#include <atomic>
#include <latch>
#include <set>
#include <thread>

#include "Framework/Staticclass/NSDataExpand.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/APIHosts.h"
#include "app/interface/EngineFixture.h"
#include "app/interface/QVHTTPRequest.h"
#include "platform/foundation/log.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/run_loop.h"

namespace {

using namespace enginetest;

TEST_P(ServiceTest, PasswordSignInSendsTheFormUnescaped) {
  Account a;
  a.username = plat::format("pw%d@example.test", static_cast<int>(::getpid()));
  a.password = "a&b=c+d %41";
  ASSERT_TRUE(cloud->hook("POST", "user", Value(Dictionary{{"username", Value(a.username)},
                                                             {"password", Value(a.password)}})));
  int64_t since = cloud->lastSeq();
  RetToken t = HTTPEngine::login(a.username, a.password, info(), kDevice);
  EXPECT_EQ(t.status, 200);
  EXPECT_FALSE(t.accessToken.empty());
  EXPECT_FALSE(t.refreshToken.empty());
  EXPECT_GT(t.expires, 0);
  plat::Array sent = recorded(since, "/oauth/token");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(bodyOf(sent[0]),
            plat::format("grant_type=password&username=%@&password=%@&info=%@&device=%@&client_id=%@&client_secret=%@",
                         a.username, a.password, info(), kDevice, HTTPEngine::kClientId, HTTPEngine::kClientSecret));
  EXPECT_EQ(headerOf(sent[0], "Content-Type"), std::nullopt);
  EXPECT_EQ(headerOf(sent[0], "Content-Length"), std::to_string(bodyOf(sent[0]).size()));

  RetToken wrong = HTTPEngine::login(a.username, "not it", info(), kDevice);
  EXPECT_EQ(wrong.status, 400);
  EXPECT_EQ(wrong.error, 1);
  EXPECT_EQ(wrong.errormsg, "invalid_grant");
  EXPECT_TRUE(wrong.accessToken.empty());
}

TEST_P(ServiceTest, AccountInformation) {
  Account a = newUser({{"capacity", Value(int64_t{10737418240})}});
  RetUserInfo i = HTTPEngine::userinfo(a.token);
  EXPECT_EQ(i.status, 200);
  EXPECT_EQ(i.mountsize, 10737418240LL);
  EXPECT_GT(i.userid, 0);
  EXPECT_GT(i.mountid, 0);
  EXPECT_FALSE(i.jsonUserInfo.empty());
  EXPECT_NE(i.jsonUserInfo.find("mount_id"), std::string::npos);

  RetUserInfo bad = HTTPEngine::userinfo("no-such-token");
  EXPECT_NE(bad.status, 200);
  EXPECT_NE(bad.error, 0);
  EXPECT_TRUE(bad.jsonUserInfo.empty());
}

TEST_P(ServiceTest, WebLoginKeySignIn) {
  Account a = newUser();
  std::string key = Util::getwebloginkey();
  ASSERT_TRUE(cloud->hook("POST", "weblogin", Value(Dictionary{{"key", Value(key)}, {"username", Value(a.username)}})));
  int64_t since = cloud->lastSeq();
  RetToken t = HTTPEngine::weblogin(key, info(), kDevice);
  EXPECT_EQ(t.status, 200);
  EXPECT_FALSE(t.accessToken.empty());
  EXPECT_EQ(recorded(since, "/check_oauth").size(), 1u);
  EXPECT_EQ(HTTPEngine::userinfo(t.accessToken).mountid, a.mount);

  RetToken unbound = HTTPEngine::weblogin("unbound-key", info(), kDevice);
  EXPECT_EQ(unbound.status, 400);
  EXPECT_EQ(unbound.error, 1);
  EXPECT_EQ(unbound.errormsg, "invalid_grant");
}

TEST_P(ServiceTest, ExpiredTokenIsRenewedAndTheCallRepeatedOnce) {
  Account a = newUser();
  auto ud = userData(a);
  ASSERT_TRUE(cloud->hook("POST", "expire", Value(Dictionary{{"username", Value(a.username)}})));
  RetCompare first = HTTPEngine::compare(ud->userToken(), "/", "", a.mount, 0, 0);
  EXPECT_EQ(first.status, 401);
  ASSERT_EQ(first.error, 40101);
  int64_t since = cloud->lastSeq();
  ud->regettoken();
  EXPECT_NE(ud->userToken(), a.token);
  RetCompare again = HTTPEngine::compare(ud->userToken(), "/", "", a.mount, 0, 0);
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(recorded(since, "/oauth/token").size(), 1u);
  EXPECT_TRUE(AppServices::shared().bLogin());

  // An injected 40101 the same way.
  ASSERT_TRUE(cloud->hook("POST", "fault", Value(Dictionary{{"kind", Value("error")}, {"method", Value("COMPARE")},
                                                             {"status", Value(401)}, {"error_code", Value(40101)},
                                                             {"error_msg", Value("token expired")}})));
  RetCompare faulted = HTTPEngine::compare(ud->userToken(), "/", "", a.mount, 0, 0);
  EXPECT_EQ(faulted.error, 40101);
  EXPECT_EQ(faulted.errormsg, "token expired");
  ud->regettoken();
  EXPECT_EQ(HTTPEngine::compare(ud->userToken(), "/", "", a.mount, 0, 0).status, 200);
}

TEST_P(ServiceTest, RefusedRenewalLogsOutAndReopensTheLoginPage) {
  struct Case {
    std::string name, password;
    plat::Array window;
  } cases[] = {
      {"who@example.test", "secret", {Value("login"), Value(102), Value(Util::getChangeTokenError("invalid_grant"))}},
      {"who", "", {Value("weblogin"), Value(102), Value(Util::getChangeTokenError("invalid_grant"))}},
      {"who@example.test", "", {}},
  };
  AppServices& app = AppServices::shared();
  std::vector<plat::Array> opened;
  app.setLoginWindowOpener([&](const plat::Array& r) { opened.push_back(r); });
  for (const auto& c : cases) {
    Account a = newUser();
    auto ud = userData(a);
    ud->setUserName(c.name);
    ud->setUserPassword(c.password);
    ASSERT_TRUE(cloud->hook("POST", "expire",
                            Value(Dictionary{{"username", Value(a.username)}, {"refresh", Value(true)}})));
    opened.clear();
    app.setBLogin(true);
    app.setBAuto(true);
    ud->regettoken();
    EXPECT_FALSE(app.bLogin()) << c.name;
    EXPECT_FALSE(app.bAuto()) << c.name;
    EXPECT_EQ(ud->userToken(), a.token) << "a refused renewal keeps the account fields";
    if (c.window.empty()) {
      EXPECT_TRUE(opened.empty()) << c.name;
    } else {
      ASSERT_EQ(opened.size(), 1u) << c.name;
      EXPECT_EQ(opened[0], c.window) << c.name;
    }
  }
  app.setLoginWindowOpener(nullptr);
}

TEST_P(ServiceTest, RenewalWithoutNetworkKeepsTheToken) {
  Account a = newUser();
  auto ud = userData(a);
  ASSERT_TRUE(cloud->hook("POST", "fault", Value(Dictionary{{"kind", Value("drop")}, {"path", Value("/oauth/token")}, {"count", Value(3)}})));
  ud->regettoken();
  EXPECT_EQ(ud->userToken(), a.token);
  EXPECT_TRUE(AppServices::shared().bLogin());

  // A 200 that names no access token would sign every later call with nothing.
  ASSERT_TRUE(cloud->hook("DELETE", "faults"));
  for (const char* body : {"{}", "not json", R"({"refresh_token":"r2","expires_in":60})"}) {
    ASSERT_TRUE(cloud->hook("POST", "fault", Value(Dictionary{{"kind", Value("error")}, {"path", Value("/oauth/token")},
                                                               {"status", Value(200)}, {"body", Value(body)}})));
    ud->regettoken();
    EXPECT_EQ(ud->userToken(), a.token) << body;
    EXPECT_EQ(ud->refreshToken(), a.refresh) << body;
    EXPECT_TRUE(AppServices::shared().bLogin()) << body;
    EXPECT_TRUE((*cloud->hook("GET", "faults"))["faults"].array().empty()) << "the reply was not the fault's";
  }
  EXPECT_EQ(HTTPEngine::userinfo(ud->userToken()).status, 200);
}

TEST_P(ServiceTest, ConcurrentRenewalsCollapseIntoOne) {
  Account a = newUser();
  auto ud = userData(a);
  // The first renewal is held back a while, so the others ask while it is out.
  ASSERT_TRUE(cloud->hook("POST", "fault", Value(Dictionary{{"kind", Value("stall")}, {"seconds", Value(1)},
                                                             {"path", Value("/oauth/token")}})));
  int64_t since = cloud->lastSeq();
  constexpr int kThreads = 6;
  std::latch start(kThreads + 1);
  std::atomic<bool> done{false};
  std::set<std::string> read;
  std::thread reader([&] {
    start.arrive_and_wait();
    while (!done.load()) read.insert(ud->userToken());
  });
  std::vector<std::thread> renewers;
  for (int i = 0; i < kThreads; ++i) {
    renewers.emplace_back([&] {
      start.arrive_and_wait();
      ud->regettoken();
    });
  }
  for (auto& t : renewers) t.join();
  done = true;
  reader.join();
  read.insert(ud->userToken());
  // Only whole values: the old token and the one renewal's.
  EXPECT_EQ(read, (std::set<std::string>{a.token, ud->userToken()}));
  EXPECT_EQ(recorded(since, "/oauth/token").size(), 1u);
  EXPECT_NE(ud->userToken(), a.token);
  EXPECT_EQ(HTTPEngine::userinfo(ud->userToken()).status, 200);
}

TEST_P(ServiceTest, ClientUpdatesCarryTheServersDate) {
  Account a = newUser();
  ASSERT_TRUE(cloud->hook("POST", "message", Value(Dictionary{{"username", Value(a.username)},
                                                               {"render_text", Value("张三 上传了 报告.docx")},
                                                               {"member_name", Value("张三")},
                                                               {"type", Value(3)},
                                                               {"dateline", Value(1700000000)}})));
  RetUpdateMsg m = HTTPEngine::userUpdateMsg(a.token, 0);
  EXPECT_EQ(m.status, 200);
  EXPECT_EQ(m.updateCount, 1);
  ASSERT_EQ(m.itemUpatelist.size(), 1u);
  EXPECT_EQ(m.itemUpatelist[0].renderText, "张三 上传了 报告.docx");
  EXPECT_EQ(m.itemUpatelist[0].memberName, "张三");
  EXPECT_EQ(m.itemUpatelist[0].type, 3);
  EXPECT_EQ(m.dateline, 1700000000);
  EXPECT_FALSE(m.jsonUpdateMsg.empty());
  ASSERT_TRUE(m.servertime.has_value());
  EXPECT_TRUE(Util::serverTimeSeconds(*m.servertime).has_value()) << *m.servertime;

  RetUpdateMsg none = HTTPEngine::userUpdateMsg(a.token, m.dateline);
  EXPECT_EQ(none.updateCount, 0);
  EXPECT_TRUE(none.itemUpatelist.empty());

  ASSERT_TRUE(cloud->hook("POST", "fault", Value(Dictionary{{"kind", Value("error")}, {"path", Value("/client_updates")},
                                                             {"status", Value(503)}})));
  RetUpdateMsg failed = HTTPEngine::userUpdateMsg(a.token, 0);
  EXPECT_EQ(failed.status, 503);
  EXPECT_TRUE(failed.servertime.has_value());
  EXPECT_TRUE(failed.jsonUpdateMsg.empty());
}

TEST_P(ServiceTest, EveryFileVerbRoundTripsAwkwardNames) {
  Account a = newUser();
  const std::string names[] = {"中文 文件.txt", "a b+c&d#e.txt", "100% sure;=.txt"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::string folder = "dir " + name;
    RetAddFile made = HTTPEngine::addfile(a.token, folder + "/", a.mount, "", 0, 0);
    ASSERT_EQ(made.status, 200) << made.errormsg.value_or("");
    EXPECT_EQ(made.state, 1);

    std::string content = "content of " + name;
    std::string path = folder + "/" + name;
    uploadPlain(a, path, content, 7);

    RetReget details = HTTPEngine::reget(a.token, path, a.mount);
    ASSERT_EQ(details.status, 200);
    EXPECT_EQ(details.fullpath, path);
    EXPECT_EQ(details.filename, name);
    EXPECT_EQ(details.filehash, sha1(content));
    EXPECT_EQ(details.filesize, content.size());
    EXPECT_FALSE(details.dir);

    RetFileList listing = HTTPEngine::getfilelist(a.token, folder, a.mount, false);
    ASSERT_EQ(listing.status, 200);
    ASSERT_EQ(listing.itemlist.size(), 1u);
    EXPECT_EQ(listing.itemlist[0].filename, name);
    EXPECT_EQ(listing.itemlist[0].webpath, path);

    std::string renamed = "renamed " + name;
    RetRename r = HTTPEngine::renamefile(a.token, path, a.mount, renamed);
    ASSERT_EQ(r.status, 200) << r.errormsg.value_or("");
    EXPECT_GT(r.version, details.version);
    EXPECT_EQ(HTTPEngine::reget(a.token, folder + "/" + renamed, a.mount).filename, renamed);

    std::string target = "target " + name;
    ASSERT_EQ(HTTPEngine::addfile(a.token, target + "/", a.mount, "", 0, 0).status, 200);
    RetMoveFile m = HTTPEngine::movefile(a.token, folder + "/" + renamed, a.mount, target);
    ASSERT_EQ(m.status, 200) << m.errormsg.value_or("");
    EXPECT_EQ(HTTPEngine::reget(a.token, target + "/" + renamed, a.mount).status, 200);
    EXPECT_EQ(HTTPEngine::reget(a.token, folder + "/" + renamed, a.mount).error, 40402);

    EXPECT_TRUE(HTTPEngine::addfavorite(a.token, target + "/" + renamed, a.mount));

    RetDelFile d = HTTPEngine::delfile(a.token, target + "/" + renamed, a.mount);
    ASSERT_EQ(d.status, 200) << d.errormsg.value_or("");
    EXPECT_GT(d.version, m.version);
    RetReget gone = HTTPEngine::reget(a.token, target + "/" + renamed, a.mount);
    EXPECT_EQ(gone.status, 404);
    EXPECT_EQ(gone.error, 40402);
    EXPECT_FALSE(gone.errormsg.value_or("").empty());
  }
  // Each change of the names shows in the change list under its own name.
  RetCompare changes = HTTPEngine::compare(a.token, "/", "", a.mount, 0, 0);
  ASSERT_EQ(changes.status, 200);
  for (const std::string& name : names) {
    bool seen = false;
    for (const CompareItem& c : changes.itemlist) seen |= c.webpath == "target " + name + "/renamed " + name;
    EXPECT_TRUE(seen) << name;
  }
}

TEST_P(ServiceTest, FileRequestsCarryTheSignedFields) {
  Account a = newUser();
  int64_t since = cloud->lastSeq();
  ASSERT_EQ(HTTPEngine::addfile(a.token, "docs/", a.mount, "", 0, 0).status, 200);
  ASSERT_EQ(HTTPEngine::getfilelist(a.token, "docs", a.mount, false).status, 200);
  ASSERT_EQ(HTTPEngine::addfile(a.token, "docs/v.txt", a.mount, sha1("v"), 1, 3).status, 200);
  plat::Array sent = recorded(since, "/docs");
  ASSERT_EQ(sent.size(), 3u);
  for (const Value& e : sent) {
    EXPECT_EQ(headerOf(e, "x-qv-mount"), std::to_string(a.mount));
    EXPECT_TRUE(headerOf(e, "date").has_value());
    EXPECT_EQ(headerOf(e, "Content-Length"), "0");
    auto auth = headerOf(e, "Authorization");
    ASSERT_TRUE(auth.has_value());
    EXPECT_EQ(auth->substr(0, a.token.size() + 1), a.token + ":");
    EXPECT_EQ(auth->size(), a.token.size() + 1 + 28);
    EXPECT_EQ(e["status"].intValue(), 200);
  }
  EXPECT_EQ(headerOf(sent[0], "x-qv-version"), std::nullopt);
  EXPECT_EQ(headerOf(sent[0], "x-qv-machine"), "mac");
  EXPECT_EQ(headerOf(sent[1], "x-qv-order"), "");
  EXPECT_EQ(headerOf(sent[1], "x-qv-size"), "50000");
  EXPECT_EQ(headerOf(sent[1], "x-qv-machine"), std::nullopt);
  EXPECT_EQ(headerOf(sent[2], "x-qv-version"), "3");
  EXPECT_EQ(headerOf(sent[2], "x-qv-filesize"), "1");
}

// The escaping of each field as the service reads it back.
TEST_P(ServiceTest, FieldFormsAsSent) {
  Account a = newUser();
  ASSERT_EQ(HTTPEngine::addfile(a.token, "a/", a.mount, "", 0, 0).status, 200);
  ASSERT_EQ(HTTPEngine::addfile(a.token, "a/b c/", a.mount, "", 0, 0).status, 200);
  ASSERT_EQ(HTTPEngine::addfile(a.token, "team/", a.mount, "", 0, 0).status, 200);
  ASSERT_TRUE(cloud->hook("POST", "files", Value(Dictionary{{"username", Value(a.username)},
                                                            {"files", Value(plat::Array{Value(Dictionary{
                                                                          {"path", Value("m.txt")},
                                                                          {"text", Value("m")}})})}})));
  int64_t since = cloud->lastSeq();
  // An escape already in the new name is decoded first, not escaped twice.
  ASSERT_EQ(HTTPEngine::renamefile(a.token, "m.txt", a.mount, "x%20y z+").status, 200);
  ASSERT_EQ(HTTPEngine::movefile(a.token, "x y z+", a.mount, "a/b c").status, 200);
  // devcloud honours the change key: one no reply gave is refused, as sent.
  RetCompare unknownKey = HTTPEngine::compare(a.token, "/", "a b+c&d=e", a.mount, 0, 0);
  EXPECT_EQ(unknownKey.status, 400);
  EXPECT_EQ(unknownKey.error, 40008);
  ASSERT_EQ(HTTPEngine::compare(a.token, "/team/", "", a.mount, 0, 0).status, 200);
  // The root as an empty path: signed as the "/" that goes out, key or none.
  RetCompare root = HTTPEngine::compare(a.token, "", "", a.mount, 0, 0);
  ASSERT_EQ(root.status, 200);
  ASSERT_FALSE(root.changekey.empty());
  EXPECT_EQ(HTTPEngine::compare(a.token, "", root.changekey, a.mount, root.version, root.dateline).status, 200);
  EXPECT_EQ(HTTPEngine::reget(a.token, "a/b c/x y z+", a.mount).status, 200);

  struct Expect {
    std::string method, target, field;
    std::optional<std::string> value;
    int64_t status;
  } expected[] = {
      {"RENAME", "/m.txt", "x-qv-newname", "x%20y%20z+", 200},
      {"MOVE", "/x%20y%20z+", "x-qv-target-path", "a%2Fb%20c", 200},
      {"MOVE", "/x%20y%20z+", "x-qv-target-mount", std::to_string(a.mount), 200},
      {"COMPARE", "/?sc=a%20b+c&d=e", "x-qv-version", "0", 400},
      {"COMPARE", "/team/", "x-qv-dateline", "0", 200},
      {"COMPARE", "/team/", "x-qv-machine", std::nullopt, 200},
      {"COMPARE", "/", "x-qv-version", "0", 200},
      {"COMPARE", "/?sc=" + root.changekey, "x-qv-version", std::to_string(root.version), 200},
  };
  plat::Array sent = recorded(since, "/");
  for (const Expect& e : expected) {
    bool found = false;
    for (const Value& r : sent) {
      if (r["method"].string() != e.method || r["target"].string() != e.target) continue;
      found = true;
      EXPECT_EQ(headerOf(r, e.field), e.value) << e.method << " " << e.field;
      EXPECT_EQ(r["status"].intValue(), e.status) << e.method << " " << e.target;
    }
    EXPECT_TRUE(found) << e.method << " " << e.target;
  }
}

TEST_P(ServiceTest, AddFileOfKnownContentIsAnInstantUpload) {
  Account a = newUser();
  std::string content(100000, 'x');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + (i * 7) % 26);
  uploadPlain(a, "first.bin", content, 32768);
  RetCompare before = HTTPEngine::compare(a.token, "/", "", a.mount, 0, 0);
  ASSERT_EQ(before.status, 200);
  ASSERT_FALSE(before.itemlist.empty());
  EXPECT_EQ(before.itemlist.back().webpath, "first.bin");
  EXPECT_EQ(before.itemlist.back().filehash, sha1(content));
  EXPECT_EQ(before.itemlist.back().filesize, static_cast<int64_t>(content.size()));

  RetAddFile again = HTTPEngine::addfile(a.token, "copy.bin", a.mount, sha1(content), content.size(), 0);
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(again.state, 1);
  RetCompare after = HTTPEngine::compare(a.token, "/", before.changekey, a.mount, before.version, before.dateline);
  ASSERT_EQ(after.status, 200);
  ASSERT_EQ(after.itemlist.size(), 1u);
  EXPECT_EQ(after.itemlist[0].webpath, "copy.bin");
  EXPECT_EQ(after.itemlist[0].version, again.version);
}

TEST_P(ServiceTest, NewVersionThroughTheUploadServerShowsInCompare) {
  Account a = newUser();
  uploadPlain(a, "notes.txt", "first text", 4);
  RetCompare base = HTTPEngine::compare(a.token, "/", "", a.mount, 0, 0);
  ASSERT_EQ(base.status, 200);
  RetReget v1 = HTTPEngine::reget(a.token, "notes.txt", a.mount);

  std::string second = "the second text, a little longer";
  RetAddFile added = HTTPEngine::addfile(a.token, "notes.txt", a.mount, sha1(second), second.size(), v1.version);
  ASSERT_EQ(added.status, 200);
  ASSERT_EQ(added.state, 0);
  RetUploadInit init = HTTPEngine::sendinit(added.server, a.token, "notes.txt", added.pathhash, sha1(second),
                                            second.size());
  ASSERT_EQ(init.status, 200);
  RetUploadPiece p = HTTPEngine::sendpiece(added.server, init.session, 0, 9, dataOf(second.substr(0, 10)));
  ASSERT_EQ(p.status, 200);
  // A resumed session continues from what the server holds.
  RetUploadReq req = HTTPEngine::sendreq(added.server, init.session);
  ASSERT_EQ(req.status, 200);
  EXPECT_EQ(req.offset, 10);
  RetUploadPiece wrong = HTTPEngine::sendpiece(added.server, init.session, 4, 8, dataOf(second.substr(4, 5)));
  EXPECT_EQ(wrong.status, 409);
  ASSERT_EQ(HTTPEngine::sendpiece(added.server, init.session, 10, second.size() - 1, dataOf(second.substr(10))).status,
            200);
  ASSERT_EQ(HTTPEngine::sendfinish(added.server, init.session, second.size()).status, 200);

  RetCompare next = HTTPEngine::compare(a.token, "/", base.changekey, a.mount, base.version, base.dateline);
  ASSERT_EQ(next.status, 200);
  ASSERT_EQ(next.itemlist.size(), 1u);
  EXPECT_EQ(next.itemlist[0].webpath, "notes.txt");
  EXPECT_EQ(next.itemlist[0].filehash, sha1(second));
  EXPECT_GT(next.itemlist[0].version, v1.version);
  EXPECT_GT(next.version, base.version);

  // A session given up is gone.
  RetAddFile third = HTTPEngine::addfile(a.token, "other.txt", a.mount, sha1("abandoned"), 9, 0);
  RetUploadInit s = HTTPEngine::sendinit(third.server, a.token, "other.txt", third.pathhash, sha1("abandoned"), 9);
  ASSERT_EQ(s.status, 200);
  EXPECT_EQ(HTTPEngine::sendabort(third.server, s.session).status, 200);
  EXPECT_NE(HTTPEngine::sendreq(third.server, s.session).status, 200);
}

TEST_P(ServiceTest, ComparePagesPastAThousandChanges) {
  Account a = newUser();
  plat::Array files;
  for (int i = 0; i < 1005; ++i) {
    files.push_back(Value(Dictionary{{"path", Value(plat::format("many/f%04d.txt", i))}, {"text", Value("x")}}));
  }
  ASSERT_TRUE(cloud->hook("POST", "files", Value(Dictionary{{"username", Value(a.username)}, {"files", Value(files)}})));
  int64_t since = cloud->lastSeq();
  std::vector<std::string> seen;
  std::string key;
  int64_t version = 0, dateline = 0;
  int pages = 0;
  while (true) {
    RetCompare page = HTTPEngine::compare(a.token, "/many/", key, a.mount, version, dateline);
    ASSERT_EQ(page.status, 200) << page.errormsg.value_or("");
    ++pages;
    for (const CompareItem& c : page.itemlist) seen.push_back(c.webpath);
    if (page.itemlist.empty()) break;
    EXPECT_LE(page.itemlist.size(), 1000u);
    key = page.changekey;
    version = page.version;
    dateline = page.dateline;
    ASSERT_LT(pages, 5);
  }
  EXPECT_GE(pages, 2);
  plat::Array sent = recorded(since, "/many/");
  ASSERT_EQ(sent.size(), static_cast<size_t>(pages));
  EXPECT_EQ(sent[0]["target"].string(), "/many/");
  EXPECT_EQ(sent[1]["target"].string().rfind("/many/?sc=", 0), 0u);
  EXPECT_EQ(headerOf(sent[1], "x-qv-machine"), std::nullopt);
  int files_seen = 0;
  for (const auto& p : seen) files_seen += p.rfind("many/f", 0) == 0;
  EXPECT_EQ(files_seen, 1005);
}

TEST_P(ServiceTest, TeamFolderAndReadOnlyShare) {
  std::string org = plat::format("团队%d", static_cast<int>(::getpid()));
  Account member = newUser({{"org", Value(org)}});
  // The body names a member of the team: here the user's own address.
  RequestRet made = HTTPEngine::addorgshare(member.token, "共享 资料", member.mount, member.username);
  EXPECT_EQ(made.status, 200) << made.errormsg.value_or("");
  RetFileList top = HTTPEngine::getfilelist(member.token, "", member.mount, false);
  bool listed = false;
  for (const FileListItem& i : top.itemlist) listed |= i.filename == "共享 资料" && i.dir == 1;
  EXPECT_TRUE(listed);

  Account loner = newUser();
  RequestRet refused = HTTPEngine::addorgshare(loner.token, "x", loner.mount, loner.username);
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.error, 40302);

  // A member who may only view the team folder can't add to it.
  Account viewer = newUser({{"org", Value(org)}});
  ASSERT_TRUE(cloud->hook("POST", "team_folder",
                          Value(Dictionary{{"org", Value(org)},
                                           {"name", Value("只读")},
                                           {"readonly_for", Value(plat::Array{Value(viewer.username)})}})));
  RetAddFile denied = HTTPEngine::addfile(viewer.token, "只读/a.txt", viewer.mount, sha1("a"), 1, 0);
  EXPECT_EQ(denied.status, 403);
  EXPECT_EQ(denied.error, 40322);
  EXPECT_FALSE(denied.errormsg.value_or("").empty());
  EXPECT_FALSE(HTTPEngine::addfavorite(viewer.token, "no such folder", viewer.mount));
}

TEST_P(ServiceTest, ListingNotifiesWhenAsked) {
  Account a = newUser();
  ASSERT_EQ(HTTPEngine::addfile(a.token, "pick/", a.mount, "", 0, 0).status, 200);
  ASSERT_EQ(HTTPEngine::addfile(a.token, "pick/sub/", a.mount, "", 0, 0).status, 200);
  std::vector<std::string> names;
  plat::ScopedObserver o(kFileListNotification, [&](const plat::Notification& n) {
    const auto* records = std::any_cast<std::vector<FileListItem>>(&n.payload);
    ASSERT_NE(records, nullptr);
    for (const FileListItem& i : *records) names.push_back(i.filename + (i.dir ? "/" : ""));
  });
  RetFileList listing = HTTPEngine::getfilelist(a.token, "pick", a.mount, true);
  EXPECT_EQ(listing.status, 200);
  EXPECT_EQ(names, std::vector<std::string>{"sub/"});
  names.clear();
  EXPECT_EQ(HTTPEngine::getfilelist(a.token, "no such", a.mount, true).status, 404);
  EXPECT_TRUE(names.empty());
}

TEST_P(ServiceTest, SaveFileLink) {
  Account owner = newUser();
  Account saver = newUser();
  ASSERT_TRUE(cloud->hook("POST", "files", Value(Dictionary{{"username", Value(owner.username)},
                                                            {"files", Value(plat::Array{Value(Dictionary{
                                                                          {"path", Value("pub/链接 a.txt")},
                                                                          {"text", Value("linked")}})})}})));
  auto sign = cloud->hook("POST", "save_link", Value(Dictionary{{"act", Value(2)}, {"mount_id", Value(owner.mount)},
                                                                {"fullpath", Value("pub/链接 a.txt")},
                                                                {"expires", Value("1900000000")}}));
  ASSERT_TRUE(sign.has_value());
  std::string signature = (*sign)["sign"].string();
  ASSERT_FALSE(signature.empty());
  // Only what the saver may read: the owner's folder, once it is shared.
  RequestRet unshared = HTTPEngine::save_file(saver.token, 2, owner.mount, "pub/链接 a.txt", "1900000000", signature);
  EXPECT_EQ(unshared.status, 403);
  ASSERT_TRUE(cloud->hook("POST", "share", Value(Dictionary{{"owner", Value(owner.username)},
                                                            {"path", Value("pub")},
                                                            {"to", Value(saver.username)}})));
  EXPECT_NE(HTTPEngine::save_file(saver.token, 2, owner.mount, "pub/链接 a.txt", "1900000000", "forged").status, 200);
  EXPECT_EQ(HTTPEngine::save_file(saver.token, 2, owner.mount, "pub/链接 a.txt", "1900000000", signature).status, 200);
  RetReget saved = HTTPEngine::reget(saver.token, "链接 a.txt", saver.mount);
  EXPECT_EQ(saved.status, 200);
  EXPECT_EQ(saved.filehash, sha1("linked"));
}

TEST_P(ServiceTest, SecretsNeverReachTheLog) {
  Account a = newUser();
  plat::LogCapture capture;
  HTTPEngine::login(a.username, a.password, info(), kDevice);
  HTTPEngine::login(a.username, "wrong " + a.password, info(), kDevice);
  ASSERT_TRUE(cloud->hook("POST", "fault", Value(Dictionary{{"kind", Value("drop")}, {"method", Value("COMPARE")}, {"count", Value(3)}})));
  EXPECT_EQ(HTTPEngine::compare(a.token, "/", "", a.mount, 0, 0).status, 0);
  auto ud = userData(a);
  ASSERT_TRUE(cloud->hook("POST", "expire", Value(Dictionary{{"username", Value(a.username)}, {"refresh", Value(true)}})));
  ud->regettoken();
  EXPECT_TRUE(capture.contains("COMPARE"));  // the failure itself is logged
  for (const std::string& line : capture.lines()) {
    EXPECT_EQ(line.find(a.password), std::string::npos) << line;
    EXPECT_EQ(line.find(a.token), std::string::npos) << line;
    EXPECT_EQ(line.find(a.refresh), std::string::npos) << line;
    EXPECT_EQ(line.find("Authorization"), std::string::npos) << line;
  }
}

class TLSServiceTest : public ServiceTest {};

TEST_P(TLSServiceTest, UntrustedCertificateEndsWithStatusZero) {
  Account a = newUser();
  QVHTTPRequest::setTrustedCertificatesPEM("");  // the system's CAs: devcloud's is not among them
  RetUserInfo i = HTTPEngine::userinfo(a.token);
  EXPECT_EQ(i.status, 0);
  EXPECT_EQ(i.error, 0);
  EXPECT_EQ(i.errormsg, std::nullopt);
  EXPECT_TRUE(i.jsonUserInfo.empty());
  RetToken t = HTTPEngine::login(a.username, a.password, info(), kDevice);
  EXPECT_EQ(t.status, 0);
  EXPECT_TRUE(t.accessToken.empty());
}

TEST_P(ServiceTest, SilentServerEndsWithStatusZero) {
  Account a = newUser();
  QVHTTPRequest::setTimeoutInterval(0.5);
  ASSERT_TRUE(cloud->hook("POST", "fault", Value(Dictionary{{"kind", Value("stall")}, {"seconds", Value(5)},
                                                             {"path", Value("/get_myinfo")}})));
  RetUserInfo i = HTTPEngine::userinfo(a.token);
  EXPECT_EQ(i.status, 0);
  EXPECT_EQ(i.mountid, 0);
}

INSTANTIATE_TEST_SUITE_P(Wire, TLSServiceTest, ::testing::Values(true),
                         [](const ::testing::TestParamInfo<bool>&) { return "TLS"; });
INSTANTIATE_TEST_SUITE_P(Wire, ServiceTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "TLS" : "HTTP"; });

}  // namespace
