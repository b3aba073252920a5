// The web menu document: records in document order, the fields as the
// document gives them, and a broken document leaving the last good menu.
#include "app/core/GetMenuXML.h"

#include <gtest/gtest.h>

#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

std::string doc(const std::string& items) { return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><menu>" + items + "</menu>"; }

TEST(GetMenuXML, EachItemBecomesARecordWithItsFields) {
  const auto items = GetMenuXML::parse(doc(R"(
    <item><title>在网页上查看</title><icon>web</icon><status>16</status><url>/storage/file?from=client</url>
      <action>gMain</action><sso>1</sso><resize>1</resize><width>1000</width><height>600</height></item>
    <other><title>not an item field</title></other>
    <item><title>收藏</title><status>abc</status><action>gFavorite</action></item>)"));
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), 2u);
  const QVMenuItem& a = (*items)[0];
  EXPECT_EQ(a.title(), "在网页上查看");
  EXPECT_EQ(a.icon(), "web");
  EXPECT_EQ(a.status(), 16);
  EXPECT_EQ(a.url(), "/storage/file?from=client");
  EXPECT_EQ(a.action(), "gMain");
  EXPECT_EQ((std::vector<int64_t>{a.sso(), a.resize(), a.width(), a.height()}), (std::vector<int64_t>{1, 1, 1000, 600}));
  const QVMenuItem& b = (*items)[1];
  EXPECT_EQ(b.title(), "收藏");
  EXPECT_EQ(b.status(), 0) << "no digits: 0";
  EXPECT_EQ(b.url(), "");
  EXPECT_EQ(b.width(), 0) << "a field the item does not give stays 0";
}

TEST(GetMenuXML, TextInPiecesJoinsTheUrlAndKeepsTheLastPieceOfOtherFields) {
  struct Case {
    const char* item;
    const char* url;
    const char* title;
  } cases[] = {
      {"<url>/a?x=1&amp;y=2</url>", "/a?x=1&y=2", ""},
      {"<url><![CDATA[/c?d]]>&lt;e</url>", "/c?d<e", ""},
      {"<title>A&amp;B</title>", "", "B"},
      {"<title>plain</title><url>/p</url>", "/p", "plain"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item);
    auto items = GetMenuXML::parse(doc(std::string("<item>") + c.item + "</item>"));
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 1u);
    EXPECT_EQ((*items)[0].url(), c.url);
    EXPECT_EQ((*items)[0].title(), c.title);
  }
}

TEST(GetMenuXML, DocumentsThatAreNotWellFormedOrExpandThemselvesAreRefused) {
  const char* refused[] = {
      "<menu><item><title>cut",
      "<menu><item><title>x</item></title></menu>",
      "not xml at all",
      "<menu><item><title>&undeclared;</title></item></menu>",
      "<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
      "<menu><item><title>&b;&b;&b;&b;</title></item></menu>",
      "<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><menu><item><title>&x;</title>"
      "</item></menu>",
  };
  for (const char* text : refused) {
    SCOPED_TRACE(text);
    auto items = GetMenuXML::parse(text);
    EXPECT_FALSE(items && !items->empty() && !(*items)[0].title().empty())
        << "got " << (items && !items->empty() ? (*items)[0].title() : "");
  }
  EXPECT_FALSE(GetMenuXML::parse(doc("<item><title>" + std::string(GetMenuXML::kMaxDocumentSize, 'x') + "</title></item>")));
}

TEST(GetMenuXML, ABrokenDocumentLeavesTheLastGoodMenuAndAMissingOneGivesNone) {
  plat::testing::TempHome home;
  const std::string config = home.path() + "/cfg";
  const std::string path = GetMenuXML::menuPath(config);
  const std::string good = GetMenuXML::lastGoodPath(config);
  plat::makeDirectories(plat::pathDirname(path), 0700);

  EXPECT_TRUE(GetMenuXML(path, good).getMenuArrayInfo().empty()) << "no document, no entries";

  plat::atomicWrite(path, doc("<item><title>one</title></item><item><title>two</title></item>"));
  GetMenuXML first(path, good);
  ASSERT_EQ(first.getMenuArrayInfo().size(), 2u);

  plat::atomicWrite(path, doc("<item><title>three</title></item><item><title>broken"));
  GetMenuXML broken(path, good);
  ASSERT_EQ(broken.getMenuArrayInfo().size(), 2u);
  EXPECT_EQ(broken.getMenuArrayInfo()[1].title(), "two");

  plat::atomicWrite(path, doc("<item><title>four</title></item>"));
  GetMenuXML again = broken.copy();
  ASSERT_EQ(again.getMenuArrayInfo().size(), 1u) << "the copy reads the document anew";
  EXPECT_EQ(again.getMenuArrayInfo()[0].title(), "four");
  plat::atomicWrite(path, "<menu>");
  GetMenuXML afterFour(path, good);
  ASSERT_EQ(afterFour.getMenuArrayInfo().size(), 1u);
  EXPECT_EQ(afterFour.getMenuArrayInfo()[0].title(), "four") << "the last good one is the newest good one";
}

}  // namespace
