// SyncTransCache: the transfer folder of the mount, "<config>/<user id>/
// <mount id>/cache", where the transfer engine works: a download writes
// "down_<hash>" (and its block bitmap "down_<hash>.tmp") and leaves
// "down_<hash>_ok" or "down_<hash>_error"; an upload keeps its copy and its
// resume files. This class hands finished downloads to the engine, answers
// the hand-off's questions about earlier results and clears leftovers.
//
// Threads: the engine's run and runcheck threads and the hand-off; it holds
// no state and takes no lock (the transfer threads write the same folder at
// the same time). Names are judged by the entry's own name, never by the
// folder above it.
#pragma once

#include <string>

class SyncTransCache {
public:
  // What receives a finished download ("<folder>/down_<hash>_ok").
  class Manager {
  public:
    virtual ~Manager() = default;
    virtual void finishdownload(const std::string& path) = 0;
  };

  // Longest a listing pass may run, in seconds of plat::Clock.
  static constexpr double kPassBudget = 15;
  // An "_error" result older than this no longer blocks its content.
  static constexpr int64_t kErrorHold = 600;

  // Makes the folder and removes the "_error" results of earlier sessions.
  SyncTransCache(const std::string& cachepath, Manager* manager);
  SyncTransCache(const SyncTransCache&) = delete;
  SyncTransCache& operator=(const SyncTransCache&) = delete;

  const std::string& cachepath() const { return cachepath_; }

  void checkfinish();
  // Removes every entry that is not a finished download; only while nothing
  // is left to sync.
  void timeremovefile();
  bool checkdownloadfinish(const std::string& path) const;
  bool checkdownloaderror(const std::string& path) const;
  void removeerrorfile();
  bool copyfile(const std::string& from, const std::string& to) const;
  void clear();

private:
  const std::string cachepath_;
  Manager* const cachemanager_;  // not owned; outlives this object
};
