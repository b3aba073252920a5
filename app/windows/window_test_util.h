// Tests only: what the window tests share: a signed-in application on the
// headless toolkit (against devcloud) and the views of its windows.
#pragma once

#include "Framework/JSONDecoder/JSONDecoder.h"
#include "app/windows/LoginWebWindowController.h"
#include "app/shell/MyTimer.h"
#include "app/windows/WindowControllers.h"
#include "app/interface/HTTPEngine.h"
#include "app/shell/shell_test_util.h"
#include "platform/system/path_escape.h"

namespace shelltest {

inline std::string jsonLogin(const std::string& user, const std::string& password) {
  return R"({"username":")" + user + R"(","password":")" + password + R"("})";
}

// A path as the pages' JSON has it: "/" written "\/".
inline std::string jsonPath(const std::string& path) {
  std::string out;
  for (char c : path) out += c == '/' ? std::string("\\/") : std::string(1, c);
  return out;
}

class WindowTest : public ShellTest {
protected:
  void SetUp() override {
    ShellTest::SetUp();
    ui->setTitleBarHeight(22);
  }

  // Launches and signs in through the login window, syncing home/sync.
  void signIn(const Account& a) {
    if (!app().loginWebWindowController()) launch();
    auto login = app().loginWebWindowController();
    ASSERT_TRUE(login);
    ASSERT_TRUE(login->onBtnLoginUserNameAndPW(jsonLogin(a.username, a.password)));
    ui->answerNextFolderChoice(home() + "/sync");
    ASSERT_TRUE(login->onBtnSelectPathClicked());
    login->setInitInfo(R"({"path":2,"syncnode":false,"overwrite":false})");
    ASSERT_TRUE(until([&] { return signedIn(); }));
  }

  // Sightings of the kind whose text is exactly `text`.
  size_t exactly(const std::string& kind, const std::string& text) const {
    size_t n = 0;
    for (const auto& s : ui->seen()) n += s.kind == kind && s.text == text ? 1 : 0;
    return n;
  }

  std::string syncRoot() const { return home() + "/sync/我的Quorva/"; }
  std::string config() const { return app().userdata()->configPath(); }

  static std::shared_ptr<plat::HeadlessWebView> viewOf(const plat::Window& w) {
    return std::dynamic_pointer_cast<plat::HeadlessWebView>(w.content());
  }
  static std::shared_ptr<plat::HeadlessWebView> viewOf(const NSWindowController& c) { return viewOf(*c.window()); }

  std::shared_ptr<plat::HeadlessToolkit>& ui_ = ui;
};

}  // namespace shelltest
