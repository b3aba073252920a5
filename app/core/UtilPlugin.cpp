// Util: the file manager's plug-in on the desktop. Nautilus loads every
// module of its extension folder when it starts, so installing means a copy
// into that folder (with administrator rights, asked through pkexec) and a
// restart of the file manager; the emblems are redrawn by the plug-in
// itself when its lookup reloads.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>

#include "app/core/AppServices.h"
#include "app/core/Util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"
#include "platform/system/launcher.h"

extern char** environ;

namespace {
std::mutex gMutex;
std::string gExtensionFolder;
std::optional<std::vector<std::string>> gElevation;

constexpr const char* kSystemExtensionFolder = "/usr/lib/x86_64-linux-gnu/nautilus/extensions-4";
constexpr const char* kLoadFailed =
    "Quorva插件加载失败，请到 Quorva软件的设置界面，点击“修复插件” 按钮，进行修复！";

// Runs the program and waits; its exit status, or -1 when it can't start.
int run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool sameFile(const std::string& a, const std::string& b) {
  const auto ha = Util::getfilehash(a), hb = Util::getfilehash(b);
  return ha && hb && *ha == *hb;
}
}  // namespace

std::string Util::ownQuorvaPlugin() { return resourcePath() + "/finder-plugin"; }

std::string Util::pluginExtensionFolder() {
  std::lock_guard<std::mutex> l(gMutex);
  return gExtensionFolder.empty() ? kSystemExtensionFolder : gExtensionFolder;
}

void Util::setPluginExtensionFolder(std::string folder) {
  std::lock_guard<std::mutex> l(gMutex);
  gExtensionFolder = std::move(folder);
}

std::vector<std::string> Util::elevation() {
  std::lock_guard<std::mutex> l(gMutex);
  if (gElevation) return *gElevation;
  if (::geteuid() == 0) return {};
  return {"pkexec"};
}

void Util::setElevation(std::optional<std::vector<std::string>> prefix) {
  std::lock_guard<std::mutex> l(gMutex);
  gElevation = std::move(prefix);
}

void Util::initWithQuorvaPlugin() {
  const std::string own = ownQuorvaPlugin();
  if (!existfile(own + "/" + kPluginModule)) {
    plat::log("no plug-in in %s: the file manager's plug-in is not installed", own.c_str());
    return;
  }
  const std::string installed = pluginExtensionFolder();
  if (existfile(installed + "/" + kPluginModule)) {
    // The module first, and only when it is the same, its emblems.
    bool same = sameFile(installed + "/" + kPluginModule, own + "/" + kPluginModule);
    if (same) {
      const std::string emblems = std::string("/") + kPluginResources + "/icons/hicolor/scalable/emblems/";
      for (const char* name : {"quorva-synced.svg", "quorva-lock.svg", "quorva-edit.svg", "quorva-unsync.svg",
                               "quorva-normally.svg"}) {
        same = same && sameFile(installed + emblems + name, own + emblems + name);
      }
    }
    if (!same) setQuorvaPlugin(own, true);
  } else {
    setQuorvaPlugin(own, false);
  }
  refreshFinder();
  startQVKJload();
}

void Util::setQuorvaPlugin(const std::string& ownPlugin, bool isRemove) {
  // A running file manager keeps the old module: it quits, and starts again
  // in the background with the new one.
  plat::launcher()->launch("nautilus", {"-q"});
  copyFileWithElevatedPrivilegesFromLocation(ownPlugin, pluginExtensionFolder(), isRemove);
  plat::launcher()->launch("nautilus", {"--gapplication-service"});
}

bool Util::copyFileWithElevatedPrivilegesFromLocation(const std::string& from, const std::string& to, bool isRemove) {
  // One request for the rights covers the removal and the copy; nothing is
  // removed or copied before they are granted.
  const std::string module = to + "/" + kPluginModule, resources = to + "/" + kPluginResources;
  std::string script = "set -e; ";
  if (isRemove) script += "/bin/rm -rf \"$1\" \"$2\"; ";
  script += "/bin/mkdir -p \"$3\"; /bin/cp -R \"$4/" + std::string(kPluginModule) + "\" \"$4/" + kPluginResources +
            "\" \"$3/\"";
  std::vector<std::string> argv = elevation();
  for (const char* a : {"/bin/sh", "-c"}) argv.emplace_back(a);
  argv.push_back(script);
  for (const std::string& a : {std::string("sh"), module, resources, to, from}) argv.push_back(a);
  const int rc = run(argv);
  if (rc == 126 || rc == 127) {
    // pkexec: the person dismissed the request or may not have the rights.
    plat::log("Copy Rights Unsuccessful: %d", rc);
    getAppDelegate().notice(kLoadFailed);
    return false;
  }
  if (rc != 0) {
    plat::log("Error: %d", rc);
    return false;
  }
  return existfile(module) && sameFile(module, from + "/" + kPluginModule);
}

void Util::refreshFinder() {
  plat::currentClock().sleepFor(1.0);
  getAppDelegate().setBRemove(true);
}

void Util::startQVKJload() {
  if (!existfile(pluginExtensionFolder() + "/" + kPluginModule)) {
    plat::log("the file manager has no Quorva plug-in to load");
    getAppDelegate().notice(kLoadFailed);
  }
}
