// The UI packages at start-up: which package is unpacked when, and a
// downloaded package only with a signature by the trusted key.
#include <gtest/gtest.h>

#include "Framework/Staticclass/NSDataExpand.h"
#include "Framework/ZipWrapper/ZipWrapper.h"
#include "app/core/Util.h"
#include "app/core/update_test_signer.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/user_defaults.h"
#include "platform/system/system_test_util.h"

namespace {

using updatetest::Signer;

class UIPackages : public ::testing::Test {
protected:
  void SetUp() override {
    plat::UserDefaults::setStandardPath(home.path() + "/.config/Quorva/defaults");
    resources = home.path() + "/Resources";
    Util::setResourcePath(resources);
    config = home.path() + "/.quorvacfg";
    plat::makeDirectories(config + "/UI/Temp", 0700);
    makePackage(resources + "/UI/start.zip", "start", "bundled login");
    makePackage(resources + "/UI/default.zip", "default", "bundled launchpad");
  }
  void TearDown() override {
    Util::setResourcePath("");
    Util::setUIPackageKey({});
  }

  // A package whose page "<name>/chs/<page>" holds `text`.
  void makePackage(const std::string& zipPath, const std::string& name, const std::string& text) {
    const std::string src = home.path() + "/src-" + name;
    plat::makeDirectories(src, 0700);
    plat::atomicWrite(src + "/page", text);
    plat::makeDirectories(plat::pathDirname(zipPath), 0700);
    ZipWrapper zip;
    ASSERT_TRUE(zip.CreateZipFile2(zipPath));
    ASSERT_TRUE(zip.addFileToZip(src + "/page", name + "/chs/" + (name == "start" ? "login.html" : "launchpad.html")));
    ASSERT_TRUE(zip.CloseZipFile2());
  }
  std::string page(const std::string& name) const {
    return plat::readFile(config + "/UI/" + name + "/chs/" + (name == "start" ? "login.html" : "launchpad.html"))
        .value_or("<none>");
  }
  std::string digest(const std::string& name) const {
    return plat::UserDefaults::standard().stringForKey(name + "quorva");
  }
  static std::string md5Of(const std::string& path) {
    return NSDataExpand::md5Data2String(plat::readFile(path).value_or(""));
  }
  std::string downloaded(const std::string& name) const { return config + "/UI/Temp/" + name + ".zip"; }

  plat::testing::TempHome home;
  std::string resources, config;
};

TEST_F(UIPackages, TheFirstStartUnpacksTheProgramsPackagesAndLaterStartsOnlyWhatIsMissing) {
  makePackage(downloaded("start"), "start", "downloaded login");  // waiting, unsigned
  Util::loadUIPackages();
  EXPECT_EQ(page("start"), "bundled login");
  EXPECT_EQ(page("default"), "bundled launchpad");
  EXPECT_EQ(digest("start"), md5Of(resources + "/UI/start.zip"));
  EXPECT_EQ(plat::UserDefaults::standard().stringForKey("versionquorva"), "2");
  EXPECT_TRUE(plat::fileExists(downloaded("start"))) << "a forced unpack leaves the download alone";

  // Later starts: a present page stays as it is; a missing one comes back.
  plat::atomicWrite(config + "/UI/default/chs/launchpad.html", "edited");
  plat::removeTree(config + "/UI/start/chs/login.html");
  makePackage(resources + "/UI/start.zip", "start", "bundled login 2");
  plat::removeTree(downloaded("start"));
  Util::loadUIPackages();
  EXPECT_EQ(page("default"), "edited");
  EXPECT_EQ(page("start"), "bundled login 2");
  EXPECT_EQ(digest("start"), md5Of(resources + "/UI/start.zip"));
}

TEST_F(UIPackages, ADownloadedPackageIsUnpackedOnlyWithAGoodSignature) {
  Util::loadUIPackages();
  Signer trusted, other;
  const std::string body_path = downloaded("start");
  struct Case {
    const char* what;
    bool withKey;
    const Signer* signer;  // null: no signature file
    bool tamper;
    bool unpacked;
  } cases[] = {
      {"no key trusted", false, &trusted, false, false},
      {"no signature", true, nullptr, false, false},
      {"another key's signature", true, &other, false, false},
      {"changed after signing", true, &trusted, true, false},
      {"signed by the trusted key", true, &trusted, false, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = "downloaded login " + std::to_string(++n);
    makePackage(body_path, "start", text);
    const std::string body = plat::readFile(body_path).value_or("");
    if (c.signer) plat::atomicWrite(body_path + ".sig", c.signer->sign(body));
    if (c.tamper) plat::atomicWrite(body_path, body + std::string(1, '\0'));
    const std::string md5 = md5Of(body_path);
    Util::setUIPackageKey(c.withKey ? trusted.publicKey() : plat::Data());
    const std::string before = page("start");
    const std::string digestBefore = digest("start");

    Util::initLoadResourcFileName("start", "login.html", false);
    EXPECT_EQ(page("start"), c.unpacked ? text : before);
    EXPECT_EQ(digest("start"), c.unpacked ? md5 : digestBefore);
    EXPECT_FALSE(plat::fileExists(body_path)) << "used or refused, the download goes";
    EXPECT_FALSE(plat::fileExists(body_path + ".sig"));
  }
}

// The program ships its key: with none set, the start-up loads the one
// beside the program, which no test key matches.
TEST_F(UIPackages, TheShippedKeyIsTrustedByDefault) {
  const std::string shipped = plat::readFile(std::string(QV_RESOURCES) + "/update-key.pub").value_or("");
  ASSERT_GE(shipped.size(), 64u) << "no update-key.pub beside the program";
  Util::setResourcePath(QV_RESOURCES);
  Util::setUIPackageKey({});
  Util::loadUpdateKey();
  const plat::Data key = Util::uiPackageKey();
  ASSERT_EQ(key.size(), 32u);
  std::string hex;
  for (uint8_t b : key) hex += plat::format("%02x", static_cast<unsigned>(b));
  EXPECT_EQ(hex, shipped.substr(0, 64));

  Signer other;
  const std::string body = "a package";
  EXPECT_FALSE(Util::verifyUpdateSignature(body, other.sign(body))) << "a key of our own is no release key";
  // A key set before (a test's own pair) is kept.
  Util::setUIPackageKey(other.publicKey());
  Util::loadUpdateKey();
  EXPECT_TRUE(Util::verifyUpdateSignature(body, other.sign(body)));
}

}  // namespace
