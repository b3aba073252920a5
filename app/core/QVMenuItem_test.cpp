#include "app/core/QVMenuItem.h"

#include <gtest/gtest.h>

namespace {

TEST(QVMenuItem, NewRecordIsEmpty) {
  QVMenuItem m;
  EXPECT_EQ(m, QVMenuItem());
  EXPECT_EQ(m.title(), "");
  EXPECT_EQ(m.url(), "");
  EXPECT_EQ(m.status() + m.sso() + m.resize() + m.width() + m.height(), 0);
}

TEST(QVMenuItem, FieldsFromTheMenuDocument) {
  QVMenuItem m;
  struct Case {
    const char* name;
    const char* text;
  } fields[] = {{"title", "分享管理"}, {"icon", "share.png"}, {"status", "3"},  {"action", "gMain"},
                {"sso", "1"},        {"resize", " 0"},      {"width", "800px"}, {"height", "-20"}};
  for (const auto& f : fields) EXPECT_TRUE(m.setField(f.name, f.text)) << f.name;
  EXPECT_TRUE(m.appendField("url", "/share?"));
  EXPECT_TRUE(m.appendField("url", "type=1&amp"));
  EXPECT_TRUE(m.appendField("url", ";x=2"));
  EXPECT_FALSE(m.setField("color", "red"));

  EXPECT_EQ(m.title(), "分享管理");
  EXPECT_EQ(m.icon(), "share.png");
  EXPECT_EQ(m.status(), 3);
  EXPECT_EQ(m.action(), "gMain");
  EXPECT_EQ(m.url(), "/share?type=1&amp;x=2");
  EXPECT_EQ(m.sso(), 1);
  EXPECT_EQ(m.resize(), 0);
  EXPECT_EQ(m.width(), 800);
  EXPECT_EQ(m.height(), -20);

  // Only "url" is joined; the others take the last text.
  EXPECT_TRUE(m.appendField("title", "收藏"));
  EXPECT_EQ(m.title(), "收藏");
  EXPECT_TRUE(m.setField("url", "/fresh"));
  EXPECT_EQ(m.url(), "/fresh");
  struct Number {
    const char* text;
    int64_t value;
  } numbers[] = {{"", 0}, {"abc", 0}, {"+7", 7}, {"12.9", 12}, {"99999999999999999999", INT64_MAX}};
  for (const auto& n : numbers) {
    m.setField("width", n.text);
    EXPECT_EQ(m.width(), n.value) << n.text;
  }
}

}  // namespace
