// LanClient: what the local-network service asks of the rest of the client
// (the settings' switch, the file cache, the synced files, the running
// downloads, the signed-in user, the host's addresses). AppLanClient answers
// from the application object; each call takes the locks of the part it
// reads (cache lock, database queue, download lock) and none of its own.
// Any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A source the file service can send from: an open descriptor of its own.
struct LanSource {
  LanSource() = default;
  LanSource(LanSource&& o) noexcept;
  LanSource& operator=(LanSource&& o) noexcept;
  LanSource(const LanSource&) = delete;
  LanSource& operator=(const LanSource&) = delete;
  ~LanSource();

  int fd = -1;
  uint64_t size = 0;
  // A running download: the blocks it holds; only those may be served.
  std::optional<std::vector<uint8_t>> have;
};

// What a partial answer tells of a running download.
struct LanDownloadState {
  bool bHttpStart = false, bHttpAble = false;
  std::vector<uint8_t> bitmap;
};

class LanClient {
public:
  virtual ~LanClient() = default;
  // The settings' local-network switch: nothing is served, asked or answered
  // while it is off.
  virtual bool lanSwitch() = 0;
  // Where the file service finds the content, first hit wins: the file
  // cache, a synced file that still holds it, a running download. Nothing
  // when none has it (or the first that names it can't be opened).
  virtual std::optional<LanSource> findSource(const std::string& filehash) = 0;
  // Whether findSource would find the whole file (cache or synced file).
  virtual bool holdsWhole(const std::string& filehash) = 0;
  // The first running download of that content, read under the download lock.
  virtual std::optional<LanDownloadState> downloadState(const std::string& filehash) = 0;
  // The low 32 bits of the signed-in user id.
  virtual uint32_t userID() = 0;
  // This host's addresses (plat::hostAddresses unless a test says otherwise).
  virtual std::vector<std::string> addresses() = 0;
  // The GMT date text for the reply heads.
  virtual std::string date() = 0;
};

// The client of the application object (Util::getAppDelegate()).
std::shared_ptr<LanClient> makeAppLanClient();

// Opens a regular file for reading: its size, or nothing.
std::optional<LanSource> openSource(const std::string& path);
// The block bitmap covers [first, last] of a file (1 MiB blocks).
bool bitmapCovers(const std::vector<uint8_t>& bitmap, uint64_t first, int64_t last);
