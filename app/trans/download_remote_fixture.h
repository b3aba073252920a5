// Tests only: the fixture of the downloads from devcloud: a signed-in user,
// a sync database whose rows the downloads read, and a recording manager.
#pragma once

#include <gtest/gtest.h>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/QVLog.h"
#include "app/interface/EngineFixture.h"
#include "app/sync/Syncdb.h"
#include "app/sync/sync_test_util.h"
#include "app/trans/Download.h"
#include "app/trans/download_test_util.h"
#include "platform/foundation/file_util.h"

namespace dltest {

using enginetest::Account;
using enginetest::sha1;
using plat::Array;
using plat::Dictionary;
using plat::Value;

class DownloadRemoteTest : public enginetest::ServiceTest {
protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (HasFatalFailure()) return;
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
    account_ = newUser();
    auto ud = userData(account_);
    ud->setMountID(account_.mount);
    ud->setUserID(account_.mount);
    db_ = Syncdb::initpath(dir_.path() + "/qvsyncdbex.db");
    parent_.db = db_;
  }
  void TearDown() override {
    plat::RunLoop::main()->remove(keepAlive_);
    AppServices::shared().setUserdata(nullptr);
    ServiceTest::TearDown();
  }

  // Puts the content into the user's tree and gives its row (to download)
  // and its job.
  TransItem put(const std::string& webpath, const std::string& content) {
    Dictionary f{{"path", Value(webpath)}, {"content_b64", Value(NSDataExpand::base64Encoded(content).value_or(""))}};
    EXPECT_TRUE(cloud->hook("POST", "files", Value(Dictionary{{"username", Value(account_.username)},
                                                              {"files", Value(Array{Value(f)})}})));
    return row(webpath, sha1(content), content.size());
  }
  TransItem putGenerated(const std::string& webpath, uint64_t size, int seed) {
    Dictionary f{{"path", Value(webpath)}, {"size", Value(static_cast<int64_t>(size))}, {"seed", Value(seed)}};
    auto reply = cloud->hook("POST", "files", Value(Dictionary{{"username", Value(account_.username)},
                                                               {"files", Value(Array{Value(f)})}}));
    EXPECT_TRUE(reply);
    return row(webpath, reply ? (*reply)["files"][size_t{0}]["filehash"].string() : "", size);
  }
  TransItem row(const std::string& webpath, const std::string& hash, uint64_t size, int64_t status = 5) {
    SyncFileItem it;
    it.webpath = webpath;
    it.parent = plat::pathDirname(webpath);
    it.filehash = hash;
    it.size = size;
    it.status = status;
    it.file = true;
    db_->add_new_file(it);
    TransItem t;
    t.itemid = 1;
    t.webpath = webpath;
    t.filehash = hash;
    t.filesize = size;
    t.path = dir_.path() + "/cache/down_" + hash;
    return t;
  }
  void fault(Dictionary spec) { ASSERT_TRUE(cloud->hook("POST", "fault", Value(std::move(spec)))); }

  std::shared_ptr<Download> download(const TransItem& t) {
    auto d = std::make_shared<Download>(t, &parent_);
    EXPECT_TRUE(d->run());
    EXPECT_TRUE(pumpUntil([&] { return d->result() != Download::kRunning; }, 600));
    d->join();
    return d;
  }
  // Range headers of the content requests after `since`.
  std::vector<std::string> contentRanges(int64_t since) {
    std::vector<std::string> out;
    for (const Value& e : recorded(since, "/content/")) out.push_back(headerOf(e, "Range").value_or("-"));
    return out;
  }
  static bool logHas(const std::string& text) {
    QVLog::sharedQVLog().flush();
    for (const auto& line : QVLog::sharedQVLog().arrLogData()) {
      if (line.text.find(text) != std::string::npos) return true;
    }
    return false;
  }

  synctest::TempDir dir_;
  Account account_;
  std::shared_ptr<Syncdb> db_;
  dltest::RecordingParent parent_;
  plat::RunLoop::SourceId keepAlive_ = 0;
};

}  // namespace dltest
