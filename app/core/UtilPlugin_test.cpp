// Installing the file manager's plug-in into an extension folder that
// stands in for the system one, with the copy run as real processes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <mutex>

#include "app/core/AppServices.h"
#include "app/core/Util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/system/launcher.h"

namespace {

class RecordingLauncher : public plat::Launcher {
public:
  bool openURL(const std::string&, plat::Error*) override { return true; }
  bool launch(const std::string& program, const std::vector<std::string>& args, plat::Error*) override {
    std::lock_guard<std::mutex> l(m);
    std::string line = program;
    for (const auto& a : args) line += " " + a;
    launched.push_back(line);
    return true;
  }
  std::mutex m;
  std::vector<std::string> launched;
};

class UtilPluginTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = plat::makeTemporaryDirectory("qvplugin");
    Util::setResourcePath(dir_ + "/Resources");
    own_ = Util::ownQuorvaPlugin();
    ext_ = dir_ + "/extensions-4";
    plat::makeDirectories(own_ + "/quorva-finder-plugin/icons/hicolor/scalable/emblems");
    plat::makeDirectories(ext_);
    writeOwn("module v2");
    Util::setPluginExtensionFolder(ext_);
    launcher_ = std::make_shared<RecordingLauncher>();
    plat::setLauncher(launcher_);
    clock_ = std::make_shared<plat::ManualClock>();
    plat::setClock(clock_);
    Util::getAppDelegate().setBRemove(false);
  }
  void TearDown() override {
    plat::setClock(nullptr);
    plat::setLauncher(nullptr);
    Util::setElevation(std::nullopt);
    Util::setPluginExtensionFolder("");
    Util::setResourcePath("");
    plat::removeTree(dir_);
  }
  void writeOwn(const std::string& module) {
    plat::atomicWrite(own_ + "/libquorva-nautilus.so", module);
    for (const char* e : {"quorva-synced", "quorva-lock", "quorva-edit", "quorva-unsync", "quorva-normally"}) {
      plat::atomicWrite(own_ + "/quorva-finder-plugin/icons/hicolor/scalable/emblems/" + e + ".svg", std::string("<svg>") + e + "</svg>");
    }
  }
  void install(const std::string& module, const std::string& synced) {
    plat::makeDirectories(ext_ + "/quorva-finder-plugin/icons/hicolor/scalable/emblems");
    plat::atomicWrite(ext_ + "/libquorva-nautilus.so", module);
    for (const char* e : {"quorva-synced", "quorva-lock", "quorva-edit", "quorva-unsync", "quorva-normally"}) {
      const std::string text = std::string(e) == "quorva-synced" ? synced : std::string("<svg>") + e + "</svg>";
      plat::atomicWrite(ext_ + "/quorva-finder-plugin/icons/hicolor/scalable/emblems/" + e + ".svg", text);
    }
    plat::atomicWrite(ext_ + "/quorva-finder-plugin/left-over", "old");
  }
  std::vector<std::string> launched() {
    std::lock_guard<std::mutex> l(launcher_->m);
    return launcher_->launched;
  }

  std::string dir_, own_, ext_;
  std::shared_ptr<RecordingLauncher> launcher_;
  std::shared_ptr<plat::ManualClock> clock_;
};

const std::vector<std::string> kRestart{"nautilus -q", "nautilus --gapplication-service"};

TEST_F(UtilPluginTest, InstalledWhenAbsentReplacedWhenItDiffersLeftWhenTheSame) {
  struct Case {
    const char* what;
    std::string module, synced;  // installed before; empty: nothing installed
    bool replaced;
  };
  const Case cases[] = {
      {"absent", "", "", true},
      {"the same", "module v2", "<svg>quorva-synced</svg>", false},
      {"the module differs", "module v1", "<svg>quorva-synced</svg>", true},
      {"an emblem differs", "module v2", "<svg>old</svg>", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plat::removeTree(ext_);
    plat::makeDirectories(ext_);
    if (!c.module.empty()) install(c.module, c.synced);
    launcher_->launched.clear();
    Util::getAppDelegate().setBRemove(false);
    const double t0 = clock_->monotonic();
    Util::initWithQuorvaPlugin();
    EXPECT_EQ(plat::readFile(ext_ + "/libquorva-nautilus.so").value_or(""), "module v2");
    EXPECT_EQ(plat::readFile(ext_ + "/quorva-finder-plugin/icons/hicolor/scalable/emblems/quorva-synced.svg").value_or(""),
              "<svg>quorva-synced</svg>");
    EXPECT_EQ(launched(), c.replaced ? kRestart : std::vector<std::string>{});
    // Replaced means removed first: nothing of the old copy is left.
    EXPECT_EQ(plat::fileExists(ext_ + "/quorva-finder-plugin/left-over"), !c.module.empty() && !c.replaced);
    EXPECT_TRUE(Util::getAppDelegate().bRemove()) << "the plug-in redraws in every case";
    EXPECT_GE(clock_->monotonic() - t0, 1.0) << "after a second";
  }
}

TEST_F(UtilPluginTest, RefusedRightsLeaveTheInstalledCopyAlone) {
  install("module v1", "<svg>quorva-synced</svg>");
  // Stands in for pkexec when the person dismisses the request.
  const std::string refuse = dir_ + "/refuse";
  plat::atomicWrite(refuse, "#!/bin/sh\nexit 126\n", 0755);
  Util::setElevation(std::vector<std::string>{refuse});
  EXPECT_FALSE(Util::copyFileWithElevatedPrivilegesFromLocation(own_, ext_, true));
  EXPECT_EQ(plat::readFile(ext_ + "/libquorva-nautilus.so").value_or(""), "module v1");
  EXPECT_TRUE(plat::fileExists(ext_ + "/quorva-finder-plugin/left-over")) << "nothing removed";

  // Rights granted: the same command runs behind the helper.
  Util::setElevation(std::vector<std::string>{"/usr/bin/env"});
  EXPECT_TRUE(Util::copyFileWithElevatedPrivilegesFromLocation(own_, ext_, true));
  EXPECT_EQ(plat::readFile(ext_ + "/libquorva-nautilus.so").value_or(""), "module v2");
  EXPECT_FALSE(plat::fileExists(ext_ + "/quorva-finder-plugin/left-over"));
}

TEST_F(UtilPluginTest, WithoutItsOwnCopyTheProgramInstallsNothing) {
  plat::removeTree(own_);
  Util::initWithQuorvaPlugin();
  EXPECT_FALSE(plat::fileExists(ext_ + "/libquorva-nautilus.so"));
  EXPECT_TRUE(launched().empty());
  EXPECT_FALSE(Util::getAppDelegate().bRemove());
}

}  // namespace
