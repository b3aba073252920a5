// The plug-in's link to the main application: it owns the plug-in's Syncdb,
// polls the named connection "com.quorva.msg" from a thread of its own and
// opens, closes and reopens the lookup as the main application serves,
// stops serving or raises its reset flag; it forwards the submenu's
// actions. Every remote call is bounded in time, so an unresponsive main
// application ends a poll or an action, never the file manager.
//
// States of the lookup: closed (until a poll finds the main application
// serving a signed-in mount), open (while it keeps serving), closed again
// when the connection disappears; reopened with fresh paths after each
// raised reset flag.
//
// Threads: the polling thread runs linkclient (and with it setpath and
// close); getstatus and menuhistory run on the file manager's main thread;
// the forwarding calls on the action thread of the submenu.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "finder-plugin/core/Syncdb.h"
#include "platform/foundation/value.h"

namespace finder {

class QVIconOverlayUtils {
public:
  static constexpr const char* kConnectionName = "com.quorva.msg";
  static constexpr double kPollSeconds = 2.0;
  static constexpr double kCallSeconds = 2.0;

  // The shared instance; the first call makes it and starts its thread.
  static QVIconOverlayUtils& sharedInstance();
  // Stops and joins the polling thread of the shared instance, if made
  // (the module is being unloaded).
  static void shutdownShared();

  QVIconOverlayUtils();
  ~QVIconOverlayUtils();
  QVIconOverlayUtils(const QVIconOverlayUtils&) = delete;
  QVIconOverlayUtils& operator=(const QVIconOverlayUtils&) = delete;

  void start();
  void stop();

  // One poll.
  void linkclient();
  // The badge state of a disk path (0 while closed); a state records the
  // path's folder in the history.
  int getstatus(const std::string& path);
  void menuclick(int64_t index, const std::string& path);
  void menusyncnow(const std::string& path);
  void menumklink(const std::string& path);
  void menuhistory(int64_t index);
  // Tells the main application which item the file manager shows selected.
  void finderselect(const std::string& path);

  Syncdb& syncdb() { return syncdb_; }
  // Told on the polling thread after the lookup opened, closed or reloaded.
  void setOnChange(std::function<void()> f);
  // How many times the lookup was (re)loaded.
  int loads() const { return loads_.load(); }

private:
  void run();
  void load(void* proxy);
  void forward(const std::string& method, const plat::Array& args);
  void changed();

  Syncdb syncdb_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::thread thread_;
  std::function<void()> onChange_;
  std::atomic<int> loads_{0};
};

}  // namespace finder
