#include "platform/ipc/local_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/foundation/file_util.h"

namespace {

class LocalSocketTest : public ::testing::Test {
protected:
  void SetUp() override { dir_ = plat::makeTemporaryDirectory("qv-ipc"); }
  void TearDown() override { plat::removeTree(dir_); }
  std::string path(const char* name = "s.sock") const { return dir_ + "/" + name; }
  std::string dir_;
};

TEST_F(LocalSocketTest, LinesGoBothWaysOnAUserOnlySocket) {
  auto listener = plat::LocalListener::listen(path());
  ASSERT_TRUE(listener);
  struct stat st;
  ASSERT_EQ(::lstat(path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_FALSE(listener->accept()) << "nobody waits yet";
  auto client = plat::LocalConnection::connect(path());
  ASSERT_TRUE(client);
  auto server = listener->accept();
  ASSERT_TRUE(server);
  EXPECT_EQ(server->peerUid(), ::getuid());

  EXPECT_TRUE(client->sendLine("open qvedit://abc"));
  EXPECT_TRUE(client->sendLine("quit"));
  EXPECT_FALSE(client->sendLine("two\nlines")) << "a line feed would split the message";
  EXPECT_EQ(server->readLine(1024, 5).value_or("-"), "open qvedit://abc");
  EXPECT_EQ(server->readLine(1024, 5).value_or("-"), "quit");
  EXPECT_TRUE(server->sendLine("ok"));
  EXPECT_EQ(client->readLine(1024, 5).value_or("-"), "ok");

  client.reset();
  EXPECT_FALSE(server->readLine(1024, 5)) << "end of stream";
}

TEST_F(LocalSocketTest, ReadingIsBoundedInSizeAndTime) {
  auto listener = plat::LocalListener::listen(path());
  ASSERT_TRUE(listener);
  auto client = plat::LocalConnection::connect(path());
  auto server = listener->accept();
  ASSERT_TRUE(client && server);
  EXPECT_FALSE(server->readLine(64, 0.05)) << "no byte within the time";
  ASSERT_TRUE(client->sendLine(std::string(100, 'x')));
  EXPECT_FALSE(server->readLine(64, 5)) << "a line past the limit is refused";
}

TEST_F(LocalSocketTest, OneListenerPerPathAndStaleSocketsReplaced) {
  auto first = plat::LocalListener::listen(path());
  ASSERT_TRUE(first);
  plat::Error e;
  EXPECT_FALSE(plat::LocalListener::listen(path(), &e));
  EXPECT_EQ(e.code(), EADDRINUSE);

  // A socket whose owner is gone: bound, never listening.
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string stale = path("stale.sock");
  std::strcpy(addr.sun_path, stale.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
  EXPECT_FALSE(plat::LocalConnection::connect(stale));
  EXPECT_TRUE(plat::LocalListener::listen(stale));

  // Anything but a socket stays where it is.
  std::string file = path("file");
  std::ofstream(file) << "keep";
  EXPECT_FALSE(plat::LocalListener::listen(file));
  EXPECT_EQ(plat::readFile(file).value_or(""), "keep");

  first.reset();
  EXPECT_FALSE(plat::fileExists(path())) << "the listener removes its socket";
}

TEST_F(LocalSocketTest, RuntimeFolderIsPrivate) {
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  std::string saved = old ? old : "";
  ::chmod(dir_.c_str(), 0700);
  ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  EXPECT_EQ(plat::userRuntimeDirectory("qvtest"), dir_);
  ::chmod(dir_.c_str(), 0755);  // open to others: not used
  std::string fallback = plat::userRuntimeDirectory("qvtest");
  EXPECT_NE(fallback, dir_);
  struct stat st;
  ASSERT_EQ(::lstat(fallback.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  if (old) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  else ::unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
