// Tests only: uploads against devcloud. Each test gets a fresh user, a
// transfer cache and a sync database in a temporary folder, and a manager
// without filler threads: the test hands it the job itself.
#pragma once

#include <cstring>
#include <random>
#include <string>

#include "app/core/QVLog.h"
#include "app/interface/EngineFixture.h"
#include "app/trans/TransManager.h"
#include "app/trans/Upload.h"
#include "app/trans/trans_test_util.h"
#include "tests/support/test_noise.h"
#include "platform/foundation/file_util.h"

namespace uploadtest {

using namespace enginetest;

using testsupport::noise;

class UploadTest : public ServiceTest {
protected:
  void SetUp() override {
    ServiceTest::SetUp();
    dir_ = plat::makeTemporaryDirectory("qv-upload");
    cache_ = dir_ + "/cache";
    plat::makeDirectories(cache_);
    account_ = newUser();
    auto ud = userData(account_);
    ud->setMountID(account_.mount);
    sync_ = std::make_shared<transtest::ScriptedHandoff>(dir_ + "/sync.db");
    manager_ = std::make_shared<TransManager>(sync_);
  }
  void TearDown() override {
    manager_.reset();
    plat::removeTree(dir_);
    ServiceTest::TearDown();
  }

  std::string write(const std::string& name, const std::string& content) {
    const std::string p = dir_ + "/" + name;
    EXPECT_TRUE(plat::atomicWrite(p, content));
    return p;
  }

  TransItem jobFor(const std::string& local, const std::string& webpath) {
    TransItem j;
    j.itemid = 1;
    j.type = 1;
    j.path = local;
    j.webpath = webpath;
    j.cachepath = cache_;
    return j;
  }

  // Runs one upload to its end and joins it.
  std::shared_ptr<Upload> run(const TransItem& job) {
    auto t = std::static_pointer_cast<Upload>(manager_->addupload(job));
    EXPECT_TRUE(transtest::waitFor([&] { return manager_->uploadCount() == 0; }, 240)) << "upload did not end";
    manager_->reap();
    return t;
  }
  std::shared_ptr<Upload> upload(const std::string& webpath, const std::string& content) {
    return run(jobFor(write("f" + std::to_string(++files_), content), webpath));
  }

  // The service's node of a cloud path: filehash, filesize; null when none.
  Value node(const std::string& webpath) {
    auto t = cloud->hook("GET", "tree?username=" + NSStringExpand::urlEncoded(account_.username));
    if (!t) return Value();
    for (const Value& n : (*t)["nodes"].array()) {
      if (n["path"].string() == "/" + webpath || n["path"].string() == webpath) return n;
    }
    return Value();
  }

  // Whether a line "<date> <info><cloud path>" was logged.
  bool logged(const std::string& webpath, const std::string& info) {
    QVLog::sharedQVLog().flush();
    const std::string tail = " " + info + webpath;
    for (const QVLogLine& l : QVLog::sharedQVLog().arrLogData()) {
      if (l.text.size() >= tail.size() && l.text.compare(l.text.size() - tail.size(), tail.size(), tail) == 0) return true;
    }
    return false;
  }

  // The cache file of a finished add-file: upload_<path hash>_<content hash><suffix>.
  std::string cachefile(const std::string& webpath, const std::string& content, const char* suffix) {
    RetAddFile a = HTTPEngine::addfile(account_.token, webpath, account_.mount, sha1(content), content.size(), 0);
    return cache_ + "/upload_" + a.pathhash + "_" + sha1(content) + suffix;
  }

  std::string dir_, cache_;
  Account account_;
  std::shared_ptr<transtest::ScriptedHandoff> sync_;
  std::shared_ptr<TransManager> manager_;
  int files_ = 0;
};

}  // namespace uploadtest
