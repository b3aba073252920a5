// The manager's download side with real Downloads: a job handed out by the
// sync engine becomes a Download, LAN notices reach the running download of
// their content hash, and the manager's stops keep or drop what it fetched.
// The file API is a loopback server that answers the sources request late
// with an error, so the only sources are the LAN peers the notices bring.
#include <gtest/gtest.h>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/AppServices.h"
#include "app/core/Util.h"
#include "app/interface/APIHosts.h"
#include "app/interface/QVHTTPRequest.h"
#include "app/sync/sync_test_util.h"
#include "app/trans/TransManager.h"
#include "app/trans/download_test_util.h"
#include "app/trans/trans_test_util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/run_loop.h"

namespace {

using dltest::MiB;
using dltest::pumpUntil;
using plat::Array;
using plat::Value;

class TransManagerDownload : public ::testing::Test {
protected:
  static void SetUpTestSuite() { plat::MainThread::setCurrentThreadAsMain(); }

  void SetUp() override {
    AppServices& app = AppServices::shared();
    app.setBSyncStart(true);
    app.setBLink(true);
    app.setBHttps(false);
    app.setSynccount(1);
    content_ = dltest::randomBytes(3 * MiB + 17, 31);
    hash_ = NSDataExpand::sha1HexDigest(content_);
    server_ = std::make_unique<dltest::RangeServer>(content_);
    server_->hold("peer.bin");
    // The sources request is answered late and refused: nothing but the LAN
    // notices can give the download a source.
    qvtest::ScriptedResponse late = qvtest::ScriptedResponse::text(500, R"({"error_code":50000})");
    late.delayBeforeHead = 3;
    server_->setDefault(late);
    APIHosts::setAll(server_->hostPort());
    sync_ = std::make_shared<transtest::ScriptedHandoff>(dir_.path() + "/sync.db");
    // No filler threads: the test runs the fill passes itself.
    manager_ = std::make_shared<TransManager>(sync_);
  }
  void TearDown() override {
    manager_.reset();
    AppServices::shared().setBHttps(true);
  }

  TransItem job(const std::string& webpath) {
    TransItem t;
    t.itemid = 1;
    t.webpath = webpath;
    t.filehash = hash_;
    t.filesize = content_.size();
    t.path = dir_.path() + "/cache/down_" + hash_;
    return t;
  }
  void notice(Array a) { plat::NotificationCenter::defaultCenter().post(TransManager::kUdpAddPeer, Value(std::move(a))); }

  synctest::TempDir dir_;
  std::string content_, hash_;
  std::unique_ptr<dltest::RangeServer> server_;
  std::shared_ptr<transtest::ScriptedHandoff> sync_;
  std::shared_ptr<TransManager> manager_;
};

TEST_F(TransManagerDownload, AJobBecomesADownloadThatItsLanPeerCompletes) {
  {
    // init hands the manager to the sync engine, which holds it only weakly.
    auto other = TransManager::init(sync_);
    EXPECT_EQ(sync_->trans(), other);
  }
  EXPECT_EQ(sync_->trans(), nullptr);
  const TransItem t = job("lan/a.bin");
  sync_->scriptDownloads({t});
  sync_->setFallback(2);
  manager_->fillpass(false);
  ASSERT_EQ(manager_->downloadCount(), 1u);
  // A notice of other content goes nowhere; the one of this content brings
  // the peer that holds the whole file.
  notice(Array{Value(server_->url("other.bin")), Value(std::string(40, 'e'))});
  notice(Array{Value(server_->url("peer.bin")), Value(hash_)});
  ASSERT_TRUE(pumpUntil([&] { return Util::existfile(t.path + "_ok"); }, 120));
  EXPECT_TRUE(plat::readFile(t.path + "_ok") == content_);
  EXPECT_FALSE(server_->ranges("peer.bin").empty());
  EXPECT_TRUE(server_->ranges("other.bin").empty());
  ASSERT_TRUE(pumpUntil([&] { return manager_->downloadCount() == 0; }, 60));
  manager_->reap();

  // The finished result is not fetched again: the pass ends at it.
  sync_->scriptDownloads({t});
  manager_->fillpass(false);
  EXPECT_EQ(manager_->downloadCount(), 0u);
}

TEST_F(TransManagerDownload, APartialPeerArrivesWithItsBlocksAndFlags) {
  std::shared_ptr<Download> made;
  manager_->setDownloadFactory([&](const TransItem& j, TransManager& m) {
    made = std::make_shared<Download>(j, &m);
    return made;
  });
  sync_->scriptDownloads({job("lan/b.bin")});
  sync_->setFallback(2);
  manager_->fillpass(false);
  ASSERT_TRUE(made);
  const auto bits = dltest::bitmap(4, {0, 2});
  notice(Array{Value(server_->url("part.bin")), Value(hash_), Value(int64_t{5}), Value::data(bits.data(), bits.size()),
               Value(true), Value(false)});
  const auto peers = made->udpPeers();
  ASSERT_EQ(peers.size(), 1u);
  EXPECT_EQ(peers[0]->url(), server_->url("part.bin"));
  EXPECT_EQ(peers[0]->userid(), 5);
  EXPECT_TRUE(peers[0]->bHttpStart());
  EXPECT_FALSE(peers[0]->bHttpAble());
  std::vector<uint8_t> held(bits.size());
  peers[0]->copy(held.data(), 0);
  EXPECT_EQ(held, bits);
  // A notice of any other length is not a peer.
  notice(Array{Value(server_->url("odd.bin")), Value(hash_), Value(int64_t{5})});
  EXPECT_EQ(made->udpPeers().size(), 1u);
  manager_->removeall();
  made->join();
}

// removeall keeps what a download fetched for a later resume; cleartrans of
// its folder drops it.
TEST_F(TransManagerDownload, StoppingKeepsOrDropsThePartialFile) {
  for (bool clear : {false, true}) {
    SCOPED_TRACE(clear ? "cleartrans" : "removeall");
    std::shared_ptr<Download> made;
    manager_->setDownloadFactory([&](const TransItem& j, TransManager& m) {
      made = std::make_shared<Download>(j, &m);
      return made;
    });
    const TransItem t = job("stop/c.bin");
    sync_->scriptDownloads({t});
    sync_->setFallback(2);
    manager_->fillpass(false);
    ASSERT_TRUE(made);
    ASSERT_TRUE(pumpUntil([&] { return Util::existfile(t.path) && Util::existfile(t.path + ".tmp"); }, 60));
    if (clear) {
      manager_->cleartrans("stop");
    } else {
      manager_->removeall();
    }
    EXPECT_EQ(manager_->downloadCount(), 0u);
    made->join();
    EXPECT_EQ(made->result(), Download::kStopped);
    EXPECT_EQ(Util::existfile(t.path), !clear);
    EXPECT_EQ(Util::existfile(t.path + ".tmp"), !clear);
    manager_->reap();
  }
}

}  // namespace
