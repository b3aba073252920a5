#include "platform/ipc/named_connection.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/foundation/file_util.h"

namespace plat {
namespace {

// Each test has a runtime folder of its own, so names never meet.
class NamedConnectionTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = makeTemporaryDirectory("namedconn");
    ::chmod(dir_.c_str(), 0700);
    const char* old = ::getenv("XDG_RUNTIME_DIR");
    if (old) old_ = old;
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (old_) ::setenv("XDG_RUNTIME_DIR", old_->c_str(), 1); else ::unsetenv("XDG_RUNTIME_DIR");
    removeTree(dir_);
  }
  std::string dir_;
  std::optional<std::string> old_;
};

TEST(RemoteMessage, EncodesAndDecodesEveryKindItCarries) {
  const Value cases[] = {
      Value(Array{}),
      Value(Array{Value("getReset")}),
      Value(Array{Value("menuclick"), Value(static_cast<long long>(-9223372036854775807LL - 1)), Value("/a/'b\"\\\n\t")}),
      Value(Array{Value(true), Value(false), Value(), Value(static_cast<long long>(9223372036854775807LL))}),
      Value(Array{Value(Array{Value("标题"), Value(0x110)}), Value(Array{})}),
      Value(Array{Value(std::string("\x01\x1f", 2)), Value("😀")}),
  };
  for (const Value& v : cases) {
    auto text = encodeMessage(v);
    ASSERT_TRUE(text) << v.description();
    EXPECT_EQ(text->find('\n'), std::string::npos);
    auto back = decodeMessage(*text);
    ASSERT_TRUE(back) << *text;
    EXPECT_EQ(Value(*back), v) << *text;
  }
}

TEST(RemoteMessage, RefusesWhatItDoesNotCarry) {
  EXPECT_FALSE(encodeMessage(Value("not an array")));
  EXPECT_FALSE(encodeMessage(Value(Array{Value(1.5)})));
  EXPECT_FALSE(encodeMessage(Value(Array{Value(Dictionary{{"a", Value(1)}})})));
  EXPECT_FALSE(encodeMessage(Value(Array{Value(std::string("\xff"))})));
}

TEST(RemoteMessage, AMalformedOrOversizedLineIsNothing) {
  const std::string deep = std::string(6, '[') + std::string(6, ']');
  std::string many = "[";
  for (int i = 0; i < 5000; ++i) many += i ? ",1" : "1";
  many += "]";
  const std::string cases[] = {
      "", "{}", "\"text\"", "[", "[1,]", "[,1]", "[1 2]", "[01]", "[1.5]", "[1e3]", "[-]", "[nul]",
      "[\"unterminated]", "[\"\\x\"]", "[\"\\ud800\"]", "[\"\\udc00\"]", "[\"a\tb\"]", "[\"\xff\"]",
      "[99999999999999999999]", "[9223372036854775808]", "[] []", "[]x", deep, many,
  };
  for (const std::string& c : cases) EXPECT_FALSE(decodeMessage(c)) << c;
  EXPECT_TRUE(decodeMessage("[[[[]]]]")) << "four levels are allowed";
  EXPECT_TRUE(decodeMessage("[-9223372036854775808]"));
  EXPECT_FALSE(decodeMessage("[\"" + std::string(70000, 'a') + "\"]")) << "longer than the limit";
}

TEST_F(NamedConnectionTest, CallsReachTheServiceAndAnswersComeBackInOrder) {
  auto server = NamedConnectionServer::start("com.test.msg", [](const std::string& m, const Array& a) -> std::optional<Value> {
    if (m == "echo") return Value(a);
    if (m == "sum") return Value(static_cast<long long>(a[0].longLongValue() + a[1].longLongValue()));
    return std::nullopt;
  });
  ASSERT_TRUE(server);
  auto proxy = RemoteProxy::lookup("com.test.msg");
  ASSERT_TRUE(proxy);
  EXPECT_EQ(proxy->call("sum", {Value(40), Value(2)})->longLongValue(), 42);
  EXPECT_EQ(*proxy->call("echo", {Value("a b"), Value(true)}), Value(Array{Value("a b"), Value(true)}));
  auto none = proxy->call("unknown");
  ASSERT_TRUE(none) << "a method without a result answers []";
  EXPECT_TRUE(none->isNull());
  EXPECT_FALSE(RemoteProxy::lookup("com.test.other")) << "nobody serves that name";
}

TEST_F(NamedConnectionTest, ANameIsHeldByOneServiceAndFreedWhenItStops) {
  auto first = NamedConnectionServer::start("com.test.msg", [](auto&, auto&) { return Value(1); });
  ASSERT_TRUE(first);
  Error error;
  EXPECT_FALSE(NamedConnectionServer::start("com.test.msg", [](auto&, auto&) { return Value(2); }, &error));
  EXPECT_EQ(error.code(), EADDRINUSE);
  EXPECT_EQ(RemoteProxy::lookup("com.test.msg")->call("x")->longLongValue(), 1) << "the first keeps answering";
  first.reset();
  EXPECT_FALSE(RemoteProxy::lookup("com.test.msg"));
  auto second = NamedConnectionServer::start("com.test.msg", [](auto&, auto&) { return Value(2); });
  ASSERT_TRUE(second);
  EXPECT_EQ(RemoteProxy::lookup("com.test.msg")->call("x")->longLongValue(), 2);
}

TEST_F(NamedConnectionTest, AMalformedCallIsDroppedWithoutAnswerAndTheServiceGoesOn) {
  std::atomic<int> calls{0};
  auto server = NamedConnectionServer::start("com.test.msg", [&](auto&, auto&) {
    ++calls;
    return Value("ok");
  });
  ASSERT_TRUE(server);
  const std::string bad[] = {"not json", "[]", "[1]", "[\"m\",", "{\"m\":1}", "[\"m\"," + std::string(70000, '1') + "]"};
  for (const std::string& line : bad) {
    auto c = LocalConnection::connect(server->path());
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->sendLine(line));
    EXPECT_FALSE(c->readLine(1024, 3.0)) << "no answer, the connection closed: " << line.substr(0, 20);
  }
  EXPECT_EQ(calls.load(), 0);
  auto proxy = RemoteProxy::lookup("com.test.msg");
  EXPECT_EQ(proxy->call("m")->string(), "ok");
}

TEST_F(NamedConnectionTest, ACallToAServiceThatDoesNotAnswerEndsInTime) {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  auto server = NamedConnectionServer::start("com.test.msg", [&](auto&, auto&) {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return release; });
    return Value(1);
  });
  ASSERT_TRUE(server);
  auto proxy = RemoteProxy::lookup("com.test.msg");
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(proxy->call("slow", {}, 0.3));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_TRUE(proxy->dead());
  EXPECT_FALSE(proxy->call("again")) << "a dead proxy fails at once";
  {
    std::lock_guard<std::mutex> l(m);
    release = true;
  }
  cv.notify_all();
}

}  // namespace
}  // namespace plat
