#include "qvedit/Upload.h"

#include "qvedit/EditFiles.h"
#include "qvedit/EditFixture.h"

namespace edittest {
namespace {

class UploadTest : public EditTest {
protected:
  // A job whose copy holds `content`, signed in as `u`, as an opened job is.
  std::shared_ptr<TransData> jobWith(const User& u, const std::string& path, const std::string& content) {
    auto job = std::make_shared<TransData>();
    job->webpath = path;
    job->mountId = u.mount;
    job->setRefreshToken(u.refresh);
    job->folder = EditFiles::makeJobFolder(home + "/jobs", u.mount, path);
    job->savepath = EditFiles::editFolder(job->folder) + "/" + plat::pathBasename(path);
    writeFile(job->savepath, content);
    return job;
  }
  void run(const std::shared_ptr<TransData>& job) {
    auto up = Upload::initupload(job);
    EXPECT_EQ(job->type, 5);
    up->main();
  }
};

TEST_F(UploadTest, PieceBoundariesAndTheOffsetsAServerAsksFor) {
  User u = newUser({});
  struct {
    size_t size;
    int pieces;
  } cases[] = {{102400, 1}, {102401, 2}, {1, 1}};
  for (const auto& c : cases) {
    std::string content(c.size, 'q');
    content[0] = static_cast<char>('a' + c.pieces);
    auto job = jobWith(u, plat::format("size%zu.bin", c.size), content);
    int64_t since = cloud->lastSeq();
    run(job);
    EXPECT_EQ(job->type, 6) << c.size;
    EXPECT_EQ(countRequests(since, "PUT", "/upload_part"), c.pieces) << c.size;
    EXPECT_EQ(cloudHash(u, job->webpath), NSDataExpand::sha1HexDigest(content));
    EXPECT_FALSE(EditFiles::existfile(EditFiles::uploadSnapshot(job->folder)));
  }
  // A 409 with an offset inside the file: sent again from there.
  auto job = jobWith(u, "rewind.bin", std::string(250000, 'r'));
  fault({{"kind", plat::Value("error")}, {"path", plat::Value("/upload_part")}, {"status", plat::Value(409)},
         {"expect", plat::Value(0)}});
  int64_t since = cloud->lastSeq();
  run(job);
  EXPECT_EQ(job->type, 6);
  EXPECT_EQ(countRequests(since, "PUT", "/upload_part"), 4);
  EXPECT_EQ(cloudHash(u, "rewind.bin"), NSDataExpand::sha1HexDigest(std::string(250000, 'r')));
}

TEST_F(UploadTest, A409OutsideTheFileFailsTheUpload) {
  User u = newUser({});
  for (int64_t expect : {int64_t{250001}, int64_t{999999999}}) {
    auto job = jobWith(u, plat::format("far%ld.bin", static_cast<long>(expect)), std::string(250000, 'f'));
    fault({{"kind", plat::Value("error")}, {"path", plat::Value("/upload_part")}, {"status", plat::Value(409)},
           {"expect", plat::Value(expect)}});
    int64_t since = cloud->lastSeq();
    run(job);
    EXPECT_EQ(job->type, 7) << expect;
    EXPECT_EQ(job->uploadFailure(), Upload::kFailed);
    EXPECT_EQ(countRequests(since, "POST", "/upload_finish"), 0) << "never reported as done";
    cloud->hook("DELETE", "faults");
  }
}

TEST_F(UploadTest, ContentTheServiceHoldsIsNotSentAgainAndNoTokenMeansNoUpload) {
  User u = newUser({{"same.txt", "already there"}});
  auto job = jobWith(u, "same.txt", "already there");
  int64_t since = cloud->lastSeq();
  run(job);
  EXPECT_EQ(job->type, 6);
  EXPECT_EQ(countRequests(since, "PUT", "/upload_init"), 0);

  auto lost = jobWith(u, "lost.txt", "text");
  lost->setRefreshToken("00000000");
  since = cloud->lastSeq();
  run(lost);
  EXPECT_EQ(lost->type, 7);
  EXPECT_EQ(countRequests(since, "PUT", "/lost.txt"), 0) << "no add-file with an empty token";
}

}  // namespace
}  // namespace edittest
