#include "platform/fs/inotify_watch.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>

#include <cstdio>
#include <fstream>

#include "platform/foundation/file_util.h"

namespace {

// Events until one names `name` with a bit of `mask` (or a few seconds pass).
std::vector<plat::InotifyWatch::Event> until(plat::InotifyWatch& w, const std::string& name, uint32_t mask) {
  std::vector<plat::InotifyWatch::Event> all;
  for (int i = 0; i < 50; ++i) {
    pollfd p{w.fd(), POLLIN, 0};
    ::poll(&p, 1, 100);
    for (auto& e : w.readEvents()) {
      bool hit = e.name == name && (e.mask & mask);
      all.push_back(e);
      if (hit) return all;
    }
  }
  return all;
}

bool has(const std::vector<plat::InotifyWatch::Event>& events, const std::string& name, uint32_t mask) {
  for (auto& e : events) {
    if (e.name == name && (e.mask & mask)) return true;
  }
  return false;
}

TEST(InotifyWatch, SeesWritesAndRenamesIntoTheFolder) {
  std::string dir = plat::makeTemporaryDirectory("qv-inotify");
  auto w = plat::InotifyWatch::create();
  ASSERT_TRUE(w);
  int wd = w->addFolder(dir);
  ASSERT_GE(wd, 0);
  EXPECT_EQ(w->addFolder(dir), wd);
  EXPECT_TRUE(w->readEvents().empty());

  { std::ofstream(dir + "/a.txt") << "one"; }
  auto events = until(*w, "a.txt", IN_CLOSE_WRITE);
  EXPECT_TRUE(has(events, "a.txt", IN_CREATE));
  EXPECT_TRUE(has(events, "a.txt", IN_CLOSE_WRITE));
  for (auto& e : events) EXPECT_EQ(e.watch, wd);

  // An editor's save: a new file renamed over the old one.
  { std::ofstream(dir + "/.a.txt.swp") << "two"; }
  ASSERT_EQ(std::rename((dir + "/.a.txt.swp").c_str(), (dir + "/a.txt").c_str()), 0);
  events = until(*w, "a.txt", IN_MOVED_TO);
  EXPECT_TRUE(has(events, ".a.txt.swp", IN_MOVED_FROM));
  EXPECT_TRUE(has(events, "a.txt", IN_MOVED_TO));

  w->removeFolder(wd);
  EXPECT_TRUE(has(until(*w, "", IN_IGNORED), "", IN_IGNORED));
  { std::ofstream(dir + "/b.txt") << "three"; }
  pollfd p{w->fd(), POLLIN, 0};
  ::poll(&p, 1, 100);
  events = w->readEvents();
  EXPECT_FALSE(has(events, "b.txt", IN_CREATE | IN_CLOSE_WRITE)) << "no events after removal";
  EXPECT_LT(w->addFolder(dir + "/b.txt"), 0) << "folders only";
  plat::removeTree(dir);
}

}  // namespace
