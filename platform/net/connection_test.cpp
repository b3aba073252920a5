#include "platform/net/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/foundation/clock.h"

namespace plat {
namespace {

// A connected pair: the Connection owns one end, the test plays the server
// with the other.
struct Pair {
  std::unique_ptr<Connection> connection;
  int peer = -1;
  explicit Pair(const std::string& key) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    connection = std::make_unique<Connection>(fds[0], key);
    peer = fds[1];
  }
  ~Pair() {
    if (peer >= 0) ::close(peer);
  }
};

class ConnectionRegistryTest : public ::testing::Test {
protected:
  void SetUp() override { ConnectionRegistry::shared().closeAllIdle(); }
  void TearDown() override { ConnectionRegistry::shared().closeAllIdle(); }
  ConnectionRegistry& registry = ConnectionRegistry::shared();
};

TEST_F(ConnectionRegistryTest, HandsBackOnlyTheSameKey) {
  Pair a("http://h:80 id=1");
  uint64_t serial = a.connection->serial();
  registry.putIdle(std::move(a.connection), 30);
  EXPECT_FALSE(registry.takeIdle("http://h:80 id=2"));
  auto back = registry.takeIdle("http://h:80 id=1");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->serial(), serial);
  EXPECT_FALSE(registry.takeIdle("http://h:80 id=1"));  // taken means in use
}

TEST_F(ConnectionRegistryTest, DeadOrChattyIdleSocketsAreDropped) {
  auto before = registry.stats();
  Pair closed("k");
  Pair chatty("k");
  registry.putIdle(std::move(closed.connection), 30);
  registry.putIdle(std::move(chatty.connection), 30);
  ::close(closed.peer);
  closed.peer = -1;
  ASSERT_EQ(::write(chatty.peer, "x", 1), 1);  // bytes nobody asked for
  EXPECT_FALSE(registry.takeIdle("k"));
  EXPECT_EQ(registry.stats().stale, before.stale + 2);
  EXPECT_EQ(registry.stats().idle, 0u);
}

TEST_F(ConnectionRegistryTest, IdleTimeRunsOut) {
  auto clock = std::make_shared<ManualClock>();
  ScopedClock scoped(clock);
  Pair shortLived("a");
  Pair longLived("b");
  registry.putIdle(std::move(shortLived.connection), 5);
  registry.putIdle(std::move(longLived.connection), 60);
  clock->advance(4.9);
  EXPECT_EQ(registry.stats().idle, 2u);
  clock->advance(0.2);
  EXPECT_FALSE(registry.takeIdle("a"));
  EXPECT_TRUE(registry.takeIdle("b"));
}

TEST_F(ConnectionRegistryTest, KeepsAFewPerKeyAndTheNewestFirst) {
  std::vector<std::unique_ptr<Pair>> pairs;
  uint64_t newest = 0;
  for (size_t i = 0; i < ConnectionRegistry::kMaxIdlePerKey + 3; ++i) {
    pairs.push_back(std::make_unique<Pair>("many"));
    newest = pairs.back()->connection->serial();
    registry.putIdle(std::move(pairs.back()->connection), 30);
  }
  EXPECT_EQ(registry.stats().idle, ConnectionRegistry::kMaxIdlePerKey);
  auto c = registry.takeIdle("many");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->serial(), newest);
}

}  // namespace
}  // namespace plat
