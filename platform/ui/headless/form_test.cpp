// The form's own rules, as every desktop form relies on them: what a
// person's act does to each kind of control, pages, the log's bound.
#include <gtest/gtest.h>

#include "platform/foundation/error.h"
#include "platform/ui/headless/headless_toolkit.h"

namespace plat {
namespace {

using K = Form::Kind;

TEST(Form, APersonsActReachesOnlyControlsThatCanTakeIt) {
  auto form = HeadlessToolkit::make()->makeForm();
  int runs = 0;
  form->add(K::kButton, "b", "OK");
  form->add(K::kCheckBox, "c", "box");
  form->add(K::kEntry, "e");
  form->add(K::kCombo, "p");
  form->setItems("p", {"a", "b"});
  for (const char* id : {"b", "c", "e", "p"}) form->setAction(id, [&] { ++runs; });
  struct Case {
    const char* name;
    std::function<bool()> act;
    bool taken;
  } cases[] = {
      {"button", [&] { return form->click("b"); }, true},
      {"box", [&] { return form->click("c"); }, true},
      {"field", [&] { return form->type("e", "text"); }, true},
      {"list", [&] { return form->choose("p", 1); }, true},
      {"list past its items", [&] { return form->choose("p", 2); }, false},
      {"disabled button", [&] { form->setEnabled("b", false); return form->click("b"); }, false},
      {"hidden box", [&] { form->setVisible("c", false); return form->click("c"); }, false},
  };
  for (const auto& c : cases) {
    const int before = runs;
    EXPECT_EQ(c.act(), c.taken) << c.name;
    EXPECT_EQ(runs, before + (c.taken ? 1 : 0)) << c.name;
  }
  EXPECT_TRUE(form->checked("c")) << "the click flipped it once";
  EXPECT_EQ(form->text("e"), "text");
  EXPECT_EQ(form->selected("p"), 1);
  // The program's own changes run no action.
  const int before = runs;
  form->setChecked("c", false);
  form->setText("e", "other");
  form->setSelected("p", 0);
  EXPECT_EQ(runs, before);
  EXPECT_THROW(form->add(K::kLabel, "b"), Exception);
  EXPECT_THROW(form->text("nothing"), Exception);
}

TEST(Form, OnlyTheShownPagesControlsTakeActs) {
  auto form = HeadlessToolkit::make()->makeForm();
  form->add(K::kButton, "always");
  form->addPage("one");
  form->add(K::kButton, "first");
  form->addPage("two");
  form->add(K::kButton, "second");
  EXPECT_EQ(form->currentPage(), "one");
  EXPECT_TRUE(form->click("always"));
  EXPECT_TRUE(form->click("first"));
  EXPECT_FALSE(form->click("second"));
  form->showPage("two");
  EXPECT_FALSE(form->click("first"));
  EXPECT_TRUE(form->click("second"));
  form->showPage("none such");
  EXPECT_EQ(form->currentPage(), "two");
}

TEST(Form, ALogKeepsItsNewestLinesUpToItsBound) {
  auto form = HeadlessToolkit::make()->makeForm();
  form->add(K::kLog, "log");
  form->setLineLimit("log", 3);
  for (int i = 0; i < 10; ++i) form->appendLine("log", {"line " + std::to_string(i), {0, 1, 0, 1}, 12});
  EXPECT_EQ(form->logText("log"), "line 7\nline 8\nline 9\n");
  form->setLogText("log", "a\nb\nc\nd\ne");
  EXPECT_EQ(form->logText("log"), "c\nd\ne\n");
  form->setLineLimit("log", 1);
  EXPECT_EQ(form->logText("log"), "e\n");
  form->setLogText("log", "");
  EXPECT_EQ(form->lineCount("log"), 0u);
}

TEST(Form, AButtonsTitleColourCoversItsWholeTitle) {
  auto form = HeadlessToolkit::make()->makeForm();
  form->add(K::kButton, "b", "标题");
  form->add(K::kButton, "empty", "");
  EXPECT_EQ(form->textColor("b"), (Color{0, 0, 0, 1})) << "the controls' colour until one is set";
  form->setTextColor("b", {1, 0, 0, 1});
  form->setTextColor("empty", {0, 0, 1, 1});
  EXPECT_EQ(form->textColor("b"), (Color{1, 0, 0, 1}));
  EXPECT_EQ(form->text("empty"), "") << "an empty title stays empty";
  form->setText("b", "新标题");
  EXPECT_EQ(form->textColor("b"), (Color{1, 0, 0, 1})) << "a new title keeps the colour";
}

}  // namespace
}  // namespace plat
