// Uploads end to end against devcloud: instant, plain in pieces, resumed
// after the uploading process was killed, as a difference against the
// service's copy, and each way an upload fails.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/fanotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "app/trans/upload_test_fixture.h"
#include "tests/support/fanotify_gate.h"

extern char** environ;

namespace {

using namespace uploadtest;

struct Part {
  int64_t first = 0, last = 0;
  std::string target;
};

class UploadE2E : public UploadTest {
protected:
  std::vector<Part> parts(int64_t since) {
    std::vector<Part> out;
    for (const Value& e : recorded(since, "/upload_part")) {
      if (e["status"].longLongValue() != 200) continue;
      Part p;
      std::sscanf(headerOf(e, "x-qv-upload-range").value_or("").c_str(), "%ld-%ld", &p.first, &p.last);
      out.push_back(p);
    }
    return out;
  }
};

TEST_P(UploadE2E, InstantUploadContactsNoUploadServer) {
  const std::string content = noise(70000, 1);
  ASSERT_EQ(upload("inst/a.bin", content)->errorcode(), 0);
  const int64_t since = cloud->lastSeq();
  auto u = upload("inst/b.bin", content);
  EXPECT_EQ(u->errorcode(), 0);
  EXPECT_TRUE(recorded(since, "/upload").empty());
  EXPECT_TRUE(recorded(since, "/download_checksum").empty());
  EXPECT_TRUE(logged("inst/b.bin", "文件秒传成功:"));
  EXPECT_EQ(node("inst/b.bin")["filehash"].string(), sha1(content));
  ASSERT_EQ(sync_->finished().size(), 2u);
  EXPECT_EQ(sync_->finished()[1].second, "inst/b.bin");
  EXPECT_EQ(sync_->syncdb()->get_single_file("inst/b.bin").status, -1);  // no row: nothing to write
  EXPECT_FALSE(plat::fileExists(u->cachefile(".qvtmp")));
}

// The piece table: the file's size picks the piece length, the last piece
// carries the rest, and finish reports the size sent.
TEST_P(UploadE2E, PlainUploadsGoInPiecesOfTheirSize) {
  const struct {
    size_t size;
    int64_t piece;
  } cases[] = {{0, 0}, {1, 32768}, {100000, 32768}, {1048575, 32768}, {1048576, 65536}, {3 * 1048576 + 7, 65536}};
  int seed = 10;
  for (const auto& c : cases) {
    const std::string content = noise(c.size, ++seed);
    const std::string webpath = "plain/" + std::to_string(c.size) + ".bin";
    const int64_t since = cloud->lastSeq();
    auto u = upload(webpath, content);
    ASSERT_EQ(u->errorcode(), 0) << c.size << " " << u->strError();
    auto ps = parts(since);
    int64_t next = 0;
    for (size_t i = 0; i < ps.size(); ++i) {
      EXPECT_EQ(ps[i].first, next) << c.size;
      const int64_t len = ps[i].last - ps[i].first + 1;
      if (i + 1 < ps.size()) {
        EXPECT_EQ(len, c.piece) << c.size;
      }
      EXPECT_LE(len, c.piece);
      next = ps[i].last + 1;
    }
    EXPECT_EQ(next, static_cast<int64_t>(c.size));
    EXPECT_EQ(ps.size(), c.piece ? (c.size + c.piece - 1) / c.piece : 0u);
    auto fin = recorded(since, "/upload_finish");
    ASSERT_EQ(fin.size(), 1u) << c.size;
    EXPECT_EQ(headerOf(fin[0], "x-qv-upload-filesize"), std::to_string(c.size));
    EXPECT_EQ(node(webpath)["filehash"].string(), sha1(content)) << c.size;
    EXPECT_TRUE(logged(webpath, "文件上传成功:"));
    if (c.size == 100000) {
      ASSERT_EQ(ps.size(), 4u);
      EXPECT_EQ(ps[3].first, 98304);
      EXPECT_EQ(ps[3].last, 99999);
    }
  }
}

// A piece that fails goes again with the same bytes, while the piece after
// it is already read: the stored file is the local one, piece for piece.
TEST_P(UploadE2E, APieceThatFailsGoesAgainWithItsOwnBytes) {
  const struct {
    const char* kind;
    int64_t status;  // for an error
  } faults[] = {{"error", 503}, {"drop", 0}};  // a drop: the piece read, the connection closed unanswered
  int seed = 40;
  for (const auto& f : faults) {
    const std::string content = noise(3 * 1048576 + 7, ++seed);  // 49 pieces of 64 KiB
    const std::string webpath = std::string("retry/") + f.kind + ".bin";
    Dictionary spec{{"kind", Value(f.kind)}, {"method", Value("PUT")}, {"path", Value("/upload_part")},
                    {"count", Value(2)}};
    if (f.status) {
      spec.set("status", Value(f.status));
    }
    const int64_t since = cloud->lastSeq();
    // The first ten pieces held a while, the failure armed once two are in:
    // it hits the pieces after the held ones, in the middle of the stream.
    ASSERT_TRUE(cloud->hook("POST", "fault",
                            Value(Dictionary{{"kind", Value("stall")}, {"path", Value("/upload_part")},
                                             {"seconds", Value(0.2)}, {"count", Value(10)}})));
    std::atomic<bool> armed{false};
    std::thread arm([&] {
      transtest::waitFor([&] { return recorded(since, "/upload_part").size() >= 2; }, 60);
      armed = cloud->hook("POST", "fault", Value(spec)).has_value();
    });
    auto u = upload(webpath, content);
    arm.join();
    ASSERT_TRUE(armed) << f.kind;
    ASSERT_EQ(u->errorcode(), 0) << f.kind << " " << u->strError();
    EXPECT_GT(recorded(since, "/upload_part").size(), parts(since).size()) << f.kind << ": no piece failed";
    const auto ps = parts(since);
    ASSERT_EQ(ps.size(), 49u) << f.kind;
    for (size_t i = 0; i < ps.size(); ++i) {
      EXPECT_EQ(ps[i].first, static_cast<int64_t>(i) * 65536) << f.kind;
    }
    EXPECT_EQ(node(webpath)["filehash"].string(), sha1(content)) << f.kind;
    cloud->hook("DELETE", "faults");
  }
}

TEST_P(UploadE2E, ResumesAtTheServersOffsetAfterKill) {
  const std::string content = noise(8 * 1048576, 77);  // 128 pieces of 64 KiB
  const std::string local = write("big.bin", content);
  const std::string webpath = "resume/big.bin";
  const std::string target = cachefile(webpath, content, ".qvtmp");
  ASSERT_TRUE(cloud->hook("POST", "fault",
                          Value(Dictionary{{"kind", Value("stall")}, {"path", Value("/upload_part")},
                                           {"seconds", Value(0.05)}, {"count", Value(1000)}})));
  const int64_t since = cloud->lastSeq();
  const std::string mount = std::to_string(account_.mount), db = dir_ + "/runner.db";
  std::vector<std::string> args = {UPLOAD_RUNNER, cloud->hostPort(), account_.username, account_.token, mount,
                                   local, webpath, cache_, db};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, UPLOAD_RUNNER, nullptr, nullptr, argv.data(), environ), 0);
  const bool some = transtest::waitFor([&] { return recorded(since, "/upload_part").size() >= 4; }, 60);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(some);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the upload ended before it could be killed";
  cloud->hook("DELETE", "faults");
  // The piece in flight may still land on the server: wait until every piece
  // devcloud took has its answer and no further one arrives.
  size_t seen = SIZE_MAX;
  ASSERT_TRUE(transtest::waitFor(
      [&] {
        const auto all = recorded(since, "/upload_part");
        for (const Value& e : all) {
          if (e["status"].isNull()) return false;
        }
        if (all.size() == seen) return true;
        seen = all.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return false;
      },
      60));
  const size_t held = parts(since).size();
  ASSERT_GE(held, 3u);
  const std::string server = plat::readFile(target).value_or("");
  EXPECT_EQ(server, cloud->url());

  const int64_t again = cloud->lastSeq();
  auto u = run(jobFor(local, webpath));
  ASSERT_EQ(u->errorcode(), 0) << u->strError();
  auto ps = parts(again);
  ASSERT_FALSE(ps.empty());
  EXPECT_EQ(ps.front().first, static_cast<int64_t>(held * 65536));
  EXPECT_EQ(ps.size(), 128 - held);
  auto init = recorded(again, "/upload_init");
  ASSERT_EQ(init.size(), 1u);
  EXPECT_EQ(node(webpath)["filehash"].string(), sha1(content));
  EXPECT_FALSE(plat::fileExists(target));
}

TEST_P(UploadE2E, ASavedServerIsUsedOnlyWhileTheReplyOffersIt) {
  const std::string content = noise(50000, 5);
  const std::string webpath = "saved/x.bin";
  const std::string target = cachefile(webpath, content, ".qvtmp");
  ASSERT_TRUE(plat::atomicWrite(target, "http://127.0.0.1:9"));
  auto u = upload(webpath, content);
  EXPECT_EQ(u->errorcode(), 0) << u->strError();
  EXPECT_EQ(u->item().url, cloud->url());
  EXPECT_TRUE(logged(webpath, "连接服务器" + cloud->url() + ":"));
  EXPECT_EQ(node(webpath)["filehash"].string(), sha1(content));
}

// A small edit in the middle of a large file: only the blocks around it go,
// and devcloud's rebuild has the file's SHA-1.
TEST_P(UploadE2E, DeltaUploadSendsOnlyTheEdit) {
  std::string content = noise(64 * 1048576, 64);
  const std::string webpath = "delta/big.bin";
  ASSERT_EQ(upload(webpath, content)->errorcode(), 0);
  content.replace(32 * 1048576 + 1000, 100, noise(100, 3));
  const int64_t since = cloud->lastSeq();
  auto u = upload(webpath, content);
  ASSERT_EQ(u->errorcode(), 0) << u->strError();
  EXPECT_EQ(recorded(since, "/download_checksum").size(), 1u);
  EXPECT_EQ(recorded(since, "/upload_checksum_result").size(), 1u);
  int64_t sent = 0;
  for (const Part& p : parts(since)) sent += p.last - p.first + 1;
  EXPECT_GT(sent, 0);
  EXPECT_LE(sent, 3 * 2048 + 2048) << "more than the blocks around the edit";
  EXPECT_TRUE(logged(webpath, "启动增量上传:"));
  EXPECT_EQ(node(webpath)["filehash"].string(), sha1(content));
  EXPECT_FALSE(plat::fileExists(u->getdiffilepath()));
}

TEST_P(UploadE2E, AnUnusableChecksumListFallsBackToAPlainUpload) {
  std::string content = noise(300000, 8);
  const std::string webpath = "badlist/x.bin";
  ASSERT_EQ(upload(webpath, content)->errorcode(), 0);
  content[150000] ^= 1;
  ASSERT_TRUE(cloud->hook("POST", "fault",
                          Value(Dictionary{{"kind", Value("error")}, {"path", Value("/download_checksum")},
                                           {"status", Value(200)}, {"body", Value("abc")}})));
  const int64_t since = cloud->lastSeq();
  auto u = upload(webpath, content);
  ASSERT_EQ(u->errorcode(), 0) << u->strError();
  EXPECT_TRUE(recorded(since, "/upload_checksum_result").empty());
  int64_t sent = 0;
  for (const Part& p : parts(since)) sent += p.last - p.first + 1;
  EXPECT_EQ(sent, 300000);
  EXPECT_EQ(node(webpath)["filehash"].string(), sha1(content));
}

TEST_P(UploadE2E, AFileChangedDuringItsUploadIsNotFinished) {
  const std::string content = noise(100000, 9);
  const std::string local = write("changing.bin", content);
  const std::string webpath = "changing/x.bin";
  SyncFileItem row;
  row.webpath = webpath;
  row.status = 1;
  row.file = true;
  ASSERT_TRUE(sync_->syncdb()->add_new_file(row));
  ASSERT_TRUE(cloud->hook("POST", "fault",
                          Value(Dictionary{{"kind", Value("stall")}, {"path", Value("/upload_part")},
                                           {"seconds", Value(0.4)}, {"count", Value(1)}})));
  const int64_t since = cloud->lastSeq();
  auto t = manager_->addupload(jobFor(local, webpath));
  ASSERT_TRUE(transtest::waitFor([&] { return !recorded(since, "/upload_init").empty(); }, 30));
  ASSERT_TRUE(plat::atomicWrite(local, content + "more"));
  ASSERT_TRUE(transtest::waitFor([&] { return manager_->uploadCount() == 0; }, 60));
  manager_->reap();
  EXPECT_TRUE(recorded(since, "/upload_finish").empty());
  EXPECT_TRUE(sync_->finished().empty());
  EXPECT_EQ(sync_->syncdb()->get_single_file(webpath).filehash, "");
  EXPECT_TRUE(node(webpath).isNull());
}

// The checksum steps' own answers: 205 drops the difference for good (this
// attempt fails, the next one is plain), 500 fails at once without more
// tries, and a have-list answered 202 counts as done.
TEST_P(UploadE2E, ChecksumStepsAnswering205Or500OrDone) {
  const struct {
    const char* path;
    int status;
    int64_t code;
    bool marker, finished;
  } cases[] = {
      {"/download_checksum", 205, 80, true, false},      {"/upload_checksum_result", 205, 80, true, false},
      {"/download_checksum", 500, 80, false, false},     {"/upload_checksum_result", 500, 80, false, false},
      {"/upload_checksum_result", 202, 0, false, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.status));
    std::string content = noise(300000, 40 + n);
    const std::string webpath = "checksum/" + std::to_string(++n) + ".bin";
    ASSERT_EQ(upload(webpath, content)->errorcode(), 0);
    content[150000] ^= 1;
    ASSERT_TRUE(cloud->hook("POST", "fault",
                            Value(Dictionary{{"kind", Value("error")}, {"path", Value(c.path)},
                                             {"status", Value(c.status)}, {"error_code", Value(c.status)},
                                             {"error_msg", Value("checksum reply")}})));
    const int64_t since = cloud->lastSeq();
    const size_t finishedBefore = sync_->finished().size();
    auto u = upload(webpath, content);
    EXPECT_EQ(u->errorcode(), c.code);
    EXPECT_EQ(recorded(since, c.path).size(), 1u) << "tried again";
    EXPECT_EQ(plat::fileExists(u->cachefile(".qvreset")), c.marker);
    EXPECT_EQ(sync_->finished().size() - finishedBefore, c.finished ? 1u : 0u);
    if (c.code == 0) continue;
    // The next attempt: plain after a 205, a difference again after a 500.
    const int64_t again = cloud->lastSeq();
    auto next = upload(webpath, content);
    EXPECT_EQ(next->errorcode(), 0) << next->strError();
    EXPECT_EQ(recorded(again, "/download_checksum").empty(), c.marker);
    EXPECT_EQ(node(webpath)["filehash"].string(), sha1(content));
    EXPECT_FALSE(plat::fileExists(next->cachefile(".qvreset")));
  }
}

// 81: the file was hashed, then can't be opened to be sent.
TEST_P(UploadE2E, AFileThatCantBeOpenedFailsWith81) {
  const std::string local = write("locked.bin", noise(5000, 81));
  // Opens after the first are refused by the kernel, as for a file locked
  // by another program: the hash reads it, the upload may not.
  std::atomic<int> opens{0};
  testsupport::FanotifyGate refuse(local, FAN_OPEN_PERM, false, [&](const testsupport::FanotifyGate::Event&) {
    return opens++ >= 1 ? testsupport::FanotifyGate::Answer::kDeny : testsupport::FanotifyGate::Answer::kAllow;
  });
  if (!refuse.active()) GTEST_SKIP() << "fanotify permission events need CAP_SYS_ADMIN";
  const int64_t since = cloud->lastSeq();
  auto u = run(jobFor(local, "fail/81.bin"));
  EXPECT_EQ(u->errorcode(), 81);
  EXPECT_EQ(refuse.denied(), 1);
  EXPECT_TRUE(logged("fail/81.bin", "文件打开失败:"));
  EXPECT_TRUE(recorded(since, "/fail/").empty()) << "nothing announced";
  EXPECT_TRUE(node("fail/81.bin").isNull());
}

// Each failure of the upload: its code, its log line, what stays in the cache.
TEST_P(UploadE2E, FailureCodesAndTheirLogLines) {
  // 82: nothing to hash.
  auto missing = run(jobFor(dir_ + "/no-such-file", "fail/82.bin"));
  EXPECT_EQ(missing->errorcode(), 82);
  EXPECT_TRUE(logged("fail/82.bin", "文件打开失败:"));

  // 83: the add-file reply names no upload server.
  const std::string c83 = noise(1000, 83);
  ASSERT_TRUE(cloud->hook("POST", "fault",
                          Value(Dictionary{{"kind", Value("error")}, {"method", Value("PUT")}, {"path", Value("/fail/")},
                                           {"status", Value(200)},
                                           {"body", Value(R"({"state":0,"hash":")" + sha1("x") + R"(","server":""})")}})));
  EXPECT_EQ(upload("fail/83.bin", c83)->errorcode(), 83);
  EXPECT_TRUE(logged("fail/83.bin", "获取服务器地址失败,返回   :"));

  // An add-file refusal: its own code and message, stored for the content.
  const std::string cadd = noise(1000, 84);
  ASSERT_TRUE(cloud->hook("POST", "fault",
                          Value(Dictionary{{"kind", Value("error")}, {"method", Value("PUT")}, {"path", Value("/fail/")},
                                           {"status", Value(403)}, {"error_code", Value(40399)},
                                           {"error_msg", Value("空间不足")}})));
  EXPECT_EQ(upload("fail/add.bin", cadd)->errorcode(), 40399);
  EXPECT_TRUE(logged("fail/add.bin", "获取服务器地址失败,返回 空间不足 :"));
  EXPECT_EQ(manager_->getTransErrorMsgFileHash(sha1(cadd)), "空间不足");

  // 40322 in a view-only share: the row becomes 6, the message names the
  // share, and no failure path is taken.
  const std::string cro = noise(1000, 85);
  sync_->syncshare().add("fail", 1, 0, 0);
  SyncFileItem row;
  row.webpath = "fail/ro.bin";
  row.status = 1;
  row.file = true;
  ASSERT_TRUE(sync_->syncdb()->add_new_file(row));
  ASSERT_TRUE(cloud->hook("POST", "fault",
                          Value(Dictionary{{"kind", Value("error")}, {"method", Value("PUT")}, {"path", Value("/fail/")},
                                           {"status", Value(403)}, {"error_code", Value(40322)},
                                           {"error_msg", Value("只读")}})));
  EXPECT_EQ(upload("fail/ro.bin", cro)->errorcode(), 0);
  EXPECT_EQ(sync_->syncdb()->get_single_file("fail/ro.bin").status, 6);
  EXPECT_EQ(manager_->getTransErrorMsgFileHash(sha1(cro)), "您共享文件夹[fail]的权限是查看者，不能新增或修改文件");

  // 500 from upload_init: the saved server is forgotten.
  const std::string c500 = noise(1000, 500);
  ASSERT_TRUE(cloud->hook("POST", "fault",
                          Value(Dictionary{{"kind", Value("error")}, {"path", Value("/upload_init")},
                                           {"status", Value(500)}, {"error_code", Value(500)},
                                           {"error_msg", Value("busy")}})));
  auto u500 = upload("fail/500.bin", c500);
  EXPECT_EQ(u500->errorcode(), 500);
  EXPECT_TRUE(logged("fail/500.bin", "连接服务器失败,返回 busy :"));
  EXPECT_FALSE(plat::fileExists(u500->cachefile(".qvtmp")));

  // 80: every try of a piece refused; the saved server stays for the next try.
  const std::string c80 = noise(1000, 80);
  ASSERT_TRUE(cloud->hook("POST", "fault",
                          Value(Dictionary{{"kind", Value("error")}, {"path", Value("/upload_part")},
                                           {"status", Value(500)}, {"count", Value(5)}})));
  const int64_t since = cloud->lastSeq();
  auto u80 = upload("fail/80.bin", c80);
  EXPECT_EQ(u80->errorcode(), 80);
  EXPECT_EQ(recorded(since, "/upload_part").size(), 5u);
  EXPECT_TRUE(plat::fileExists(u80->cachefile(".qvtmp")));
  EXPECT_TRUE(recorded(since, "/upload_finish").empty());

  // 202 from upload_init counts as done.
  const std::string c202 = noise(1000, 202);
  ASSERT_TRUE(cloud->hook("POST", "fault",
                          Value(Dictionary{{"kind", Value("error")}, {"path", Value("/upload_init")},
                                           {"status", Value(202)}, {"error_code", Value(202)},
                                           {"error_msg", Value("exists")}})));
  auto u202 = upload("fail/202.bin", c202);
  EXPECT_EQ(u202->errorcode(), 0);
  EXPECT_TRUE(logged("fail/202.bin", "连接服务器失败,返回 exists :"));
  ASSERT_FALSE(sync_->finished().empty());
  EXPECT_EQ(sync_->finished().back().second, "fail/202.bin");

  // A path hash that can't name a file is refused before any cache file.
  ASSERT_TRUE(cloud->hook("POST", "fault",
                          Value(Dictionary{{"kind", Value("error")}, {"method", Value("PUT")}, {"path", Value("/fail/")},
                                           {"status", Value(200)},
                                           {"body", Value(R"({"state":0,"hash":"../../etc","server":")" + cloud->url() +
                                                          R"("})")}})));
  auto bad = upload("fail/hash.bin", noise(1000, 99));
  EXPECT_EQ(bad->errorcode(), 80);
  EXPECT_EQ(bad->cachefile(".qvtmp"), "");
  EXPECT_TRUE(Upload::safehash(sha1("x")));
  for (const char* h : {"", "../x", "a/b", "a b", "a.b"}) EXPECT_FALSE(Upload::safehash(h)) << h;
}

// An instant upload after a cut attempt of the same content takes that
// attempt's server target, reset marker and difference file with it.
TEST_P(UploadE2E, AnInstantUploadRemovesWhatACutAttemptLeft) {
  const std::string content = noise(90000, 31);
  const std::string webpath = "inst/left.bin";
  std::vector<std::string> left;
  for (const char* suffix : {".qvtmp", ".qvdif", ".qvreset"}) {
    left.push_back(cachefile(webpath, content, suffix));
    ASSERT_TRUE(plat::atomicWrite(left.back(), "x"));
  }
  ASSERT_EQ(upload("inst/first.bin", content)->errorcode(), 0);
  auto u = upload(webpath, content);
  ASSERT_EQ(u->errorcode(), 0) << u->strError();
  EXPECT_TRUE(logged(webpath, "文件秒传成功:"));
  for (const auto& f : left) EXPECT_FALSE(plat::fileExists(f)) << f;
}

// A difference upload whose matcher gave up sends the file plain; cut part
// way, its next attempt resumes that plain stream at the service's offset
// instead of aborting it (and the one after starting from zero).
TEST_P(UploadE2E, ACutPlainUploadAfterAFallbackResumesAtTheServersOffset) {
  const std::string webpath = "fallback/big.bin";
  ASSERT_EQ(upload(webpath, noise(8 * 1048576, 40))->errorcode(), 0);
  const std::string content = noise(8 * 1048576, 41);  // nothing in common: the matcher gives up
  const std::string local = write("fallback.bin", content);
  ASSERT_TRUE(cloud->hook("POST", "fault",
                          Value(Dictionary{{"kind", Value("stall")}, {"path", Value("/upload_part")},
                                           {"seconds", Value(0.05)}, {"count", Value(1000)}})));
  const int64_t since = cloud->lastSeq();
  manager_->addupload(jobFor(local, webpath));
  ASSERT_TRUE(transtest::waitFor([&] { return parts(since).size() >= 4; }, 60));
  manager_->removeall();  // a stop, as at logout: the session stays
  manager_->reap();
  cloud->hook("DELETE", "faults");
  EXPECT_EQ(recorded(since, "/download_checksum").size(), 1u);
  EXPECT_TRUE(recorded(since, "/upload_checksum_result").empty());
  // Every piece devcloud took has its answer.
  ASSERT_TRUE(transtest::waitFor(
      [&] {
        for (const Value& e : recorded(since, "/upload_part")) {
          if (e["status"].isNull()) return false;
        }
        return true;
      },
      60));
  const int64_t again = cloud->lastSeq();
  auto u = run(jobFor(local, webpath));
  ASSERT_EQ(u->errorcode(), 0) << u->strError();
  EXPECT_TRUE(recorded(again, "/upload_abort").empty());
  auto req = recorded(again, "/upload_req");
  ASSERT_FALSE(req.empty());
  auto ps = parts(again);
  ASSERT_FALSE(ps.empty());
  EXPECT_GT(ps.front().first, 0) << "started over";
  EXPECT_EQ(ps.front().first % 65536, 0);
  EXPECT_EQ(ps.back().last, static_cast<int64_t>(content.size()) - 1);
  EXPECT_EQ(node(webpath)["filehash"].string(), sha1(content));
  EXPECT_FALSE(plat::fileExists(u->cachefile(".qvreset")));
}

// Stopping an upload whose request the server never answers ends it at
// once: the request is cancelled, not waited out (a minute at logout).
TEST_P(UploadE2E, AStopCancelsTheRequestInFlight) {
  const struct {
    const char* path;
    size_t size;
  } cases[] = {{"/upload_init", 5000}, {"/upload_part", 300000}};
  int seed = 50;
  for (const auto& c : cases) {
    const std::string content = noise(c.size, ++seed);
    const std::string webpath = std::string("stall") + c.path;
    ASSERT_TRUE(cloud->hook("POST", "fault",
                            Value(Dictionary{{"kind", Value("stall")}, {"path", Value(c.path)},
                                             {"seconds", Value(120)}})));
    const int64_t since = cloud->lastSeq();
    manager_->addupload(jobFor(write("stall" + std::to_string(seed), content), webpath));
    ASSERT_TRUE(transtest::waitFor([&] { return !recorded(since, c.path).empty(); }, 30)) << c.path;
    std::atomic<bool> joined{false};
    std::thread stopper([&] {
      manager_->removeall();
      manager_->reap();
      joined = true;
    });
    const bool quick = transtest::waitFor([&] { return joined.load(); }, 20);
    stopper.join();
    EXPECT_TRUE(quick) << c.path << ": the stop waited for the server";
    EXPECT_TRUE(recorded(since, "/upload_finish").empty());
    cloud->hook("DELETE", "faults");
  }
}

// An exception out of the sync engine inside an upload (here its finish)
// fails that upload and frees its slot.
class ThrowingFinish : public transtest::ScriptedHandoff {
public:
  using ScriptedHandoff::ScriptedHandoff;
  void finishupload(const std::string&, const std::string&) override {
    if (kind == 0) throw std::runtime_error("database is locked");
    throw 7;
  }
  int kind = 0;
};

TEST_P(UploadE2E, AnUploadThatThrowsFailsAndFreesItsSlot) {
  for (int kind : {0, 1}) {
    auto sync = std::make_shared<ThrowingFinish>(dir_ + "/throw" + std::to_string(kind) + ".db");
    sync->kind = kind;
    auto m = std::make_shared<TransManager>(sync);
    auto job = jobFor(write("throw" + std::to_string(kind), noise(40000, 60 + kind)), "throw/" + std::to_string(kind));
    auto u = std::static_pointer_cast<Upload>(m->addupload(job));
    EXPECT_TRUE(transtest::waitFor([&] { return m->uploadCount() == 0; }, 60)) << kind << ": the slot stays taken";
    m->reap();
    EXPECT_EQ(u->errorcode(), 80) << kind;
  }
}

INSTANTIATE_TEST_SUITE_P(Http, UploadE2E, ::testing::Values(false));

}  // namespace
