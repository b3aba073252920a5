#include "platform/net/credential_storage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/foundation/file_util.h"

using namespace plat;

TEST(FileCredentialStorage, KeepsOneDefaultPerSpaceInAPrivateFile) {
  std::string dir = makeTemporaryDirectory("qv-cred");
  std::string path = pathJoin(dir, "sub/credentials");
  ProtectionSpace server{"127.0.0.1", 8080, "http", "realm\twith tab", false};
  ProtectionSpace proxy{"127.0.0.1", 8080, "", "realm\twith tab", true};
  {
    FileCredentialStorage s(path);
    EXPECT_FALSE(s.defaultCredential(server));
    ASSERT_TRUE(s.setDefaultCredential({"ann", "pa\nss%"}, server));
    ASSERT_TRUE(s.setDefaultCredential({"bob", "x"}, proxy));
    ASSERT_TRUE(s.setDefaultCredential({"ann2", "second"}, server));
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(pathDirname(path).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  FileCredentialStorage again(path);  // a later run reads what the first kept
  auto c = again.defaultCredential(server);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->user, "ann2");
  EXPECT_EQ(c->password, "second");
  EXPECT_EQ(again.defaultCredential(proxy)->user, "bob");
  ProtectionSpace otherPort = server;
  otherPort.port = 8081;
  EXPECT_FALSE(again.defaultCredential(otherPort));
  again.removeCredential(server);
  EXPECT_FALSE(again.defaultCredential(server));
  EXPECT_TRUE(again.defaultCredential(proxy));
  removeTree(dir);
}
