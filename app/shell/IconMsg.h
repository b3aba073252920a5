// IconMsg: what the main application offers the file-manager plug-in over
// the named connection "com.quorva.msg". It keeps no state: every answer is
// read from the application object at the moment of the call, so the
// answers follow the current sign-in. QuorvaMenuItem is the record of one
// entry of the plug-in's submenu.
//
// Threads: every method but onMkLink runs on the connection's thread, one
// call at a time; onMkLink and the resync question run on the main thread
// (menumklink and menusyncnow only schedule them).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace plat {
class NamedConnectionServer;
}

struct QuorvaMenuItem {
  std::string title;
  int64_t status = 0;
};

class IconMsg {
public:
  static constexpr const char* kConnectionName = "com.quorva.msg";

  // The protocol, in its order.
  bool getReset();
  std::string getDbPath();
  std::string getMountname();
  std::optional<std::string> getSyncPath();
  int64_t getOrgID();
  void menuclick(int64_t index, const std::string& path);
  void menuhistory(int64_t index);
  void menusyncnow(const std::string& path);
  void menumklink(const std::string& path);
  std::vector<std::string> getHistory();
  std::vector<QuorvaMenuItem> getMenu();
  void addHistory(const std::string& path);
  // The file manager's selection, as its plug-in sees it: handed to the
  // application's selection check on the main thread; returns at once.
  void finderselect(const std::string& path);

  // Opens the make-link page for a path (main thread).
  static void onMkLink(const std::string& path);
  // The page's address for a path.
  static std::string mkLinkURL(const std::string& configPath, const std::string& path);

  // One call as it comes over the connection; nothing for a method without
  // a result, an unknown method or arguments of the wrong kind.
  std::optional<plat::Value> dispatch(const std::string& method, const plat::Array& args);

  // Registers the connection once for the life of the process (the first
  // login completion); later calls, and a name another process holds,
  // leave it as it is. True when this process serves the name.
  static bool startService();
  static void stopService();  // termination and tests
  static bool serving();
};
