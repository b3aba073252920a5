// Plain upload throughput to devcloud on loopback: one Upload of a 256 MiB
// file (hash, add-file, session, pieces, finish) beside `curl -T` sending a
// file of the same size to the same server in the same pieces of a session
// opened the same way, followed by the same finish. Prints MB/s of both and the ratio.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "Framework/Staticclass/NSDataExpand.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/interface/APIHosts.h"
#include "tests/support/DevCloudProcess.h"
#include "app/interface/HTTPEngine.h"
#include "app/trans/TransManager.h"
#include "app/trans/Upload.h"
#include "app/trans/trans_test_util.h"
#include "bench/common/figure.h"
#include "tests/support/test_noise.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/run_loop.h"

namespace {
using plat::Dictionary;
using plat::Value;
constexpr size_t kSize = 256u << 20;

using testsupport::noise;

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

int main() {
  plat::MainThread::setCurrentThreadAsMain();
  const std::string home = plat::makeTemporaryDirectory("upload-bench");
  ::setenv("HOME", home.c_str(), 1);
  DevCloudProcess cloud(false);
  if (!cloud.started()) {
    std::printf("devcloud did not start\n");
    return 1;
  }
  APIHosts::setAll(cloud.hostPort());
  AppServices& app = AppServices::shared();
  app.setBHttps(false);
  app.setBLogin(true);
  const std::string name = "bench@example.test", password = "pw";
  cloud.hook("POST", "user", Value(Dictionary{{"username", Value(name)}, {"password", Value(password)}}));
  const std::string info = R"({"BRAND":"Quorva","VERSION":"Linux","DISPLAY":"bench","CLIENT_ID":")" +
                           std::string(HTTPEngine::kClientId) + "\"}";
  RetToken tok = HTTPEngine::login(name, password, info, "BENCH");
  RetUserInfo ui = HTTPEngine::userinfo(tok.accessToken);
  auto ud = std::make_shared<UserData>();
  ud->setUserName(name);
  ud->setTokens(tok.accessToken, tok.refreshToken, 3600);
  ud->setMountID(ui.mountid);
  app.setUserdata(ud);

  const std::string ours = home + "/ours.bin", ref = home + "/ref.bin";
  const std::string a = noise(kSize, 1), b = noise(kSize, 2);
  plat::atomicWrite(ours, a);
  plat::atomicWrite(ref, b);
  const std::string refHash = NSDataExpand::sha1HexDigest(b);

  // Ours: the whole upload as the transfer engine runs it.
  auto sync = std::make_shared<transtest::ScriptedHandoff>(home + "/sync.db");
  TransManager manager(sync);
  TransItem job;
  job.itemid = 1;
  job.type = 1;
  job.path = ours;
  job.webpath = "bench/ours.bin";
  job.cachepath = home;
  auto t0 = std::chrono::steady_clock::now();
  auto up = std::static_pointer_cast<Upload>(manager.addupload(job));
  transtest::waitFor([&] { return manager.uploadCount() == 0; }, 600);
  const double tOurs = since(t0);
  manager.reap();
  if (up->errorcode() != 0 || sync->finished().empty()) {
    std::printf("our upload failed: %lld %s\n", static_cast<long long>(up->errorcode()), up->strError().c_str());
    return 1;
  }

  // Reference: curl -T of the same size into a session opened the same way.
  RetAddFile added = HTTPEngine::addfile(tok.accessToken, "bench/ref.bin", ui.mountid, refHash, kSize, 0);
  RetUploadInit init = HTTPEngine::sendinit(added.server, tok.accessToken, "ref.bin", added.pathhash, refHash, kSize);
  if (init.status != 200) {
    std::printf("reference session failed\n");
    return 1;
  }
  // The same 512 KiB pieces (the server takes bodies of limited size), one
  // curl process over one kept-alive connection: a config entry per piece.
  const size_t piece = 524288;
  const std::string config = home + "/curl.cfg";
  {
    std::string cfg;
    for (size_t at = 0, i = 0; at < kSize; at += piece, ++i) {
      const std::string part = plat::format("%@/p%ld", home, static_cast<long>(i));
      plat::atomicWrite(part, std::string_view(b).substr(at, piece));
      cfg += plat::format(
          "url = \"%@/upload_part\"\nupload-file = \"%@\"\noutput = \"/dev/null\"\n"
          "header = \"x-qv-upload-session: %@\"\nheader = \"x-qv-upload-range: %ld-%ld\"\n"
          "header = \"x-qv-upload-crc: %u\"\nwrite-out = \"%%{http_code}\\n\"\n%@",
          added.server, part, init.session, static_cast<long>(at), static_cast<long>(at + piece - 1),
          NSDataExpand::crc32(std::string_view(b).substr(at, piece)), at + piece < kSize ? "next\n" : "");
    }
    plat::atomicWrite(config, cfg);
  }
  t0 = std::chrono::steady_clock::now();
  FILE* p = ::popen(("curl -s -K '" + config + "'").c_str(), "r");
  char line[32];
  size_t ok = 0;
  if (p) {
    while (std::fgets(line, sizeof line, p) != nullptr) ok += std::string(line).rfind("200", 0) == 0;
    ::pclose(p);
  }
  const char* code = ok == kSize / piece ? "200" : "refused";
  const bool finished = HTTPEngine::sendfinish(added.server, init.session, kSize).status == 200;
  const double tCurl = since(t0);
  if (std::string(code) != "200" || !finished) {
    std::printf("curl -T failed: %s\n", code);
    return 1;
  }
  const double mb = static_cast<double>(kSize) / 1e6;
  std::printf("plain upload of 256 MiB to devcloud on loopback\n");
  std::printf("  %-44s %8.1f MB/s\n", "curl -T (512 KiB pieces, one connection)", mb / tCurl);
  std::printf("  %-44s %8.1f MB/s   ratio %.3f   goal: at least 0.8x\n", "Upload (hash, add-file, 512 KiB pieces)",
              mb / tOurs, tCurl / tOurs);
  const bool reported = qvbench::reportFigure(
      {"plain upload of 256 MiB to devcloud", mb / tOurs, "MB/s", "curl -T, 512 KiB pieces, one connection",
       mb / tCurl, ">=0.8"});
  plat::removeTree(home);
  return reported ? 0 : 1;
}
