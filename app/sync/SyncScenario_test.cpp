// Three clients of one account against one devcloud, driven by a seeded
// random scenario: creates, edits saved by rename-over, renames, moves,
// deletes and new folders, spread over the three with short random pauses.
// Once it is quiet the three trees and the service agree, every file holds a
// whole version some user wrote, and the last version of every file that
// nobody touched afterwards survives, in a tree or in the Trash.
//
// The seed fixes every choice the scenario makes from what the acting
// client's disk holds at that moment; how far the others have got by then is
// up to the engines, so a seed explores the same plan under varying timing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>

#include "app/interface/EngineFixture.h"
#include "app/sync/converge_test_util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/run_loop.h"
#include "tests/support/DevCloudProcess.h"

namespace {

using convergetest::Client;
using convergetest::Tree;

struct Scenario {
  unsigned seed;
  int ops;
};

std::string nameOf(const ::testing::TestParamInfo<Scenario>& info) {
  return "seed_" + std::to_string(info.param.seed);
}

bool atOrBelow(const std::string& path, const std::string& folder) {
  return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                            path[folder.size()] == '/');
}

class SyncScenario : public ::testing::TestWithParam<Scenario> {
protected:
  static constexpr int kClients = 3;

  // The configuration folders of the second and third clients come from
  // HOME when their account data is made: made here, before any thread of
  // the tests runs. Each test signs them in as a new account.
  static void SetUpTestSuite() {
    plat::MainThread::setCurrentThreadAsMain();
    enginetest::TestHome::use();
    for (int i = 1; i < kClients; ++i) {
      homes()[i] = plat::makeTemporaryDirectory("qv-scenario-home");
      users()[i] = convergetest::userWithHome(homes()[i]);
    }
  }
  static void TearDownTestSuite() {
    for (int i = 1; i < kClients; ++i) {
      users()[i].reset();
      plat::removeTree(homes()[i]);
    }
    cloud().reset();
  }
  static std::unique_ptr<DevCloudProcess>& cloud() {
    static std::unique_ptr<DevCloudProcess> c;
    return c;
  }
  static std::array<std::string, kClients>& homes() {
    static std::array<std::string, kClients> h;
    return h;
  }
  static std::array<std::shared_ptr<UserData>, kClients>& users() {
    static std::array<std::shared_ptr<UserData>, kClients> u;
    return u;
  }

  void SetUp() override {
    if (!cloud()) cloud() = std::make_unique<DevCloudProcess>(false);
    ASSERT_TRUE(cloud()->started()) << "devcloud did not start";
    AppServices& app = AppServices::shared();
    app.setBHttps(false);
    app.setBLogin(true);
    APIHosts::setAll(cloud()->hostPort());
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
    static int counter = 0;
    account_.username = plat::format("scenario%d_%d@example.test", static_cast<int>(::getpid()), ++counter);
    account_.password = "pw " + std::to_string(counter);
    ASSERT_TRUE(cloud()->hook("POST", "user",
                              plat::Value(plat::Dictionary{{"username", plat::Value(account_.username)},
                                                           {"password", plat::Value(account_.password)}})));
    const RetToken t = HTTPEngine::login(account_.username, account_.password, info(), enginetest::kDevice);
    ASSERT_EQ(t.status, 200);
    account_.token = t.accessToken, account_.refresh = t.refreshToken;
    const RetUserInfo i = HTTPEngine::userinfo(account_.token);
    ASSERT_EQ(i.status, 200);
    account_.mount = i.mountid;
    clients_[0].user = std::make_shared<UserData>();
    for (int c = 1; c < kClients; ++c) clients_[c].user = users()[c];
    // Every test starts from its own state: the databases live under the
    // user id, so each test's account has an id of its own.
    for (auto& c : clients_) {
      convergetest::signIn(*c.user, account_);
      c.user->setUserID(700000 + 1000 * (::getpid() % 1000) + counter);
    }
    app.setBLink(true);
    app.setBSyncStart(true);
    app.setSynccount(1);
    app.setBRecyclebin(false);
    for (int c = 0; c < kClients; ++c) clients_[c].start(dir_.path() + "/" + std::string(1, static_cast<char>('A' + c)) + "/");
  }
  void TearDown() override {
    for (auto& c : clients_) c.stop();
    plat::RunLoop::main()->remove(keepAlive_);
    AppServices::shared().setBSyncStart(false);
    AppServices::shared().setUserdata(nullptr);
  }

  static std::string info() {
    return R"({"BRAND":"Quorva","VERSION":"Linux","DISPLAY":"tester","CLIENT_ID":")" +
           std::string(HTTPEngine::kClientId) + "\"}";
  }

  std::vector<Client*> all() {
    std::vector<Client*> out;
    for (auto& c : clients_) out.push_back(&c);
    return out;
  }
  Tree service() { return convergetest::serviceTree(*cloud(), account_.username); }

  // The three disks and the service hold one tree and no engine has
  // anything left to do.
  bool agree(double seconds) {
    return convergetest::pumpNudging(
        all(),
        [&] {
          for (auto& c : clients_) {
            if (!c.settled()) return false;
          }
          const Tree t = convergetest::treeOf(clients_[0].root());
          for (int c = 1; c < kClients; ++c) {
            if (convergetest::treeOf(clients_[c].root()) != t) return false;
          }
          return service() == convergetest::hashed(t);
        },
        seconds);
  }

  std::string describe() {
    std::string out;
    for (int c = 0; c < kClients; ++c) out += convergetest::describeClient(std::string(1, static_cast<char>('A' + c)), clients_[c]);
    out += convergetest::describeTree("service", service());
    return out + convergetest::describeLog();
  }

  synctest::TempDir dir_;
  enginetest::Account account_;
  std::array<Client, kClients> clients_;
  plat::RunLoop::SourceId keepAlive_ = 0;
};

// One step the scenario took, as it was done on the disk.
struct Step {
  int client;
  std::string what;  // for the failure's message
  std::string path, to;  // paths below the root; `to` for renames and moves
  std::optional<std::string> wrote;  // the content written to `path`
};

TEST_P(SyncScenario, ThreeClientsAgreeOnceQuietAndKeepTheLastVersions) {
  const Scenario sc = GetParam();
  std::mt19937 rng(sc.seed);
  const auto below = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
  std::vector<Step> steps;
  std::set<std::string> written;
  for (int i = 0; i < sc.ops; ++i) {
    const int c = static_cast<int>(below(kClients));
    const std::string root = clients_[c].root();
    // What this client's disk holds now (the names it syncs: no hidden ones).
    std::vector<std::string> files, folders{""};
    for (const auto& [p, v] : convergetest::treeOf(root)) {
      if (p.find("/.") != std::string::npos || p.front() == '.') continue;
      (v ? files : folders).push_back(p);
    }
    const auto pick = [&](const std::vector<std::string>& from) { return from[below(static_cast<unsigned>(from.size()))]; };
    const auto in = [](const std::string& folder, const std::string& name) {
      return folder.empty() ? name : folder + "/" + name;
    };
    const std::string content =
        plat::format("seed %u step %d on %c: ", sc.seed, i, 'A' + c) + std::string(below(300), "abcdefgh"[below(8)]);
    Step s{c, "", "", "", std::nullopt};
    unsigned kind = below(100);
    // Nothing to edit, rename, move or delete yet: a new file.
    if (files.empty() && (kind < 60 || (kind < 84 && folders.size() == 1))) kind = 0;
    if (kind < 25) {
      s.what = "create", s.path = in(pick(folders), "f" + std::to_string(i) + ".txt");
      convergetest::writeInPlace(root + s.path, content);
      s.wrote = content;
    } else if (kind < 45) {
      // An editor's save: the whole new version beside the file, then
      // renamed over it.
      s.what = "edit", s.path = pick(files);
      const std::string temp = root + in(plat::pathDirname("/" + s.path).substr(1), ".save" + std::to_string(i));
      convergetest::writeInPlace(temp, content);
      if (::rename(temp.c_str(), (root + s.path).c_str()) != 0) {
        ::unlink(temp.c_str());
        continue;
      }
      s.wrote = content;
    } else if (kind < 60) {
      std::vector<std::string> items = files;
      items.insert(items.end(), folders.begin() + 1, folders.end());
      s.what = "rename", s.path = pick(items);
      const bool file = std::find(files.begin(), files.end(), s.path) != files.end();
      s.to = in(plat::pathDirname("/" + s.path).substr(1), "r" + std::to_string(i) + (file ? ".txt" : ""));
    } else if (kind < 72) {
      std::vector<std::string> items = files;
      items.insert(items.end(), folders.begin() + 1, folders.end());
      s.what = "move", s.path = pick(items);
      std::vector<std::string> into;
      for (const auto& f : folders) {
        if (!atOrBelow(f, s.path) && f != plat::pathDirname("/" + s.path).substr(1)) into.push_back(f);
      }
      if (into.empty()) continue;
      s.to = in(pick(into), plat::pathBasename(s.path));
    } else if (kind < 84) {
      std::vector<std::string> items = files;
      items.insert(items.end(), folders.begin() + 1, folders.end());
      s.what = "delete", s.path = pick(items);
      if (!plat::removeTree(root + s.path)) continue;
    } else {
      s.what = "folder", s.path = in(pick(folders), "d" + std::to_string(i));
      if (!plat::makeDirectories(root + s.path)) continue;
    }
    if (!s.to.empty()) {
      // Taken meanwhile (the other clients' work arrives as it likes).
      if (plat::statNoFollow(root + s.to) || ::rename((root + s.path).c_str(), (root + s.to).c_str()) != 0) continue;
    }
    if (s.wrote) written.insert(*s.wrote);
    steps.push_back(s);
    // A short pause, with the main loop running.
    const double pause = below(400) / 1000.0;
    plat::SystemClock real;
    const double until = real.monotonic() + pause;
    dltest::pumpUntil([&] { return real.monotonic() >= until; }, pause + 1);
  }
  std::string done;
  for (const auto& s : steps) {
    done += plat::format("  %c %@ %@%@\n", 'A' + s.client, s.what, s.path, s.to.empty() ? "" : " -> " + s.to);
  }

  ASSERT_TRUE(agree(180)) << "the clients did not agree:\n" << done << describe();

  const Tree tree = convergetest::treeOf(clients_[0].root());
  std::set<std::string> held;
  for (const auto& [p, v] : tree) {
    if (!v) continue;
    held.insert(*v);
    EXPECT_TRUE(written.count(*v)) << p << " holds no version anybody wrote: " << v->substr(0, 60) << "\n" << done;
  }
  for (const auto& t : convergetest::trashedContents()) held.insert(t);
  // The last version of a file that no later step touched (the file, or a
  // folder above it, or the same path on another client).
  for (size_t i = 0; i < steps.size(); ++i) {
    if (!steps[i].wrote) continue;
    const std::string& p = steps[i].path;
    bool touched = false;
    for (size_t j = i + 1; j < steps.size() && !touched; ++j) {
      touched = atOrBelow(p, steps[j].path) || (!steps[j].to.empty() && atOrBelow(p, steps[j].to));
    }
    if (touched) continue;
    EXPECT_TRUE(held.count(*steps[i].wrote)) << "the last version of " << p << " (step " << i << " on "
                                             << static_cast<char>('A' + steps[i].client) << ") is lost\n"
                                             << done << describe();
  }
}

// A few in every run; many more in the large runs. A seed that finds a fault
// stays as a row.
INSTANTIATE_TEST_SUITE_P(Seeds, SyncScenario,
                         ::testing::Values(Scenario{2, 24}, Scenario{3, 24}, Scenario{109, 40}),
                         nameOf);
INSTANTIATE_TEST_SUITE_P(Large, SyncScenario,
                         ::testing::Values(Scenario{111, 40}, Scenario{1, 24}, Scenario{105, 40}, Scenario{108, 40},
                                           Scenario{102, 40}, Scenario{107, 40}, Scenario{112, 40}, Scenario{113, 40},
                                           Scenario{115, 40}, Scenario{114, 40}),
                         nameOf);
// Seeds that show faults still open (each passes most runs):
// - 104 and 101: an edit uploaded here while another client's upload of an
//   older base commits right after it loses this one's version without a
//   Trash copy (the race between an upload's question and its commit). A change
//   the other client's change list meets before its own commit stops that
//   upload; one it meets only after the commit names a version the service
//   no longer offers (downloads are of the current version only).
// - 106 and 110: now and then a client's last edit of a file is lost,
//   replaced by another client's version without a Trash copy (an edit
//   meeting a download of the file); in 110 also removed, when another
//   client's deletion of the older version reaches the service just after
//   this edit's upload.
// - 103: an edit waiting for the service's copy to be kept first now goes up
//   when another client's move took that copy away, but about one run in
//   twenty still fails: the loss of 104 and 101 (A and B upload their edits
//   of r20.txt at once; B's is gone without a Trash copy), or, after
//   crossing folder moves (A moves d13 into d27 while B moves d27 into d13),
//   A keeps rows "in step" with disk version 0 of folders and files below
//   the moved folder that are not on its disk, or keeps the old folders
//   with no rows, while the others agree.
// - 116 passes most plain runs (21 of 24 six at a time). In the failures
//   one client, whose moves of folders crossed the others' moves, holds rows
//   in step by their status (disk version 0) with no item on its disk, or
//   rows left to remove, and folders only it holds. Items missing below a
//   folder on its way down are fetched with it now; what else leaves such
//   rows is open.
// 108 and 114 run with the large cases (a plain build). At a sanitizer's
// pace, in 108 a client that renamed and then deleted a folder others had
// moved items into was seen (1 run of 6) to keep the folder without one of
// its files, the file's row in step; in 114 a folder renamed on one client
// after another's rename took its old name away was seen to stay on the
// first only, empty.
INSTANTIATE_TEST_SUITE_P(DISABLED_OpenFaults, SyncScenario,
                         ::testing::Values(Scenario{101, 40}, Scenario{106, 40}, Scenario{110, 40}, Scenario{103, 40},
                                           Scenario{104, 40}, Scenario{116, 40}),
                         nameOf);

}  // namespace
