#include "app/trans/lan/LanClient.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/core/AppServices.h"
#include "app/core/SettingsDb.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/sync/SyncCache.h"
#include "app/sync/SyncManager.h"
#include "app/sync/Syncdb.h"
#include "app/trans/PeerDownload.h"
#include "app/trans/TransManager.h"
#include "platform/net/lan_socket.h"

LanSource::LanSource(LanSource&& o) noexcept : fd(o.fd), size(o.size), have(std::move(o.have)) { o.fd = -1; }

LanSource& LanSource::operator=(LanSource&& o) noexcept {
  if (this != &o) {
    if (fd >= 0) ::close(fd);
    fd = o.fd;
    size = o.size;
    have = std::move(o.have);
    o.fd = -1;
  }
  return *this;
}

LanSource::~LanSource() {
  if (fd >= 0) ::close(fd);
}

std::optional<LanSource> openSource(const std::string& path) {
  if (path.empty()) return std::nullopt;
  LanSource s;
  s.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (s.fd < 0) return std::nullopt;
  struct stat st{};
  if (::fstat(s.fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  s.size = static_cast<uint64_t>(st.st_size);
  return s;
}

bool bitmapCovers(const std::vector<uint8_t>& bitmap, uint64_t first, int64_t last) {
  if (last < static_cast<int64_t>(first)) return true;
  const uint64_t from = first / PeerDownload::kBlockSize, to = static_cast<uint64_t>(last) / PeerDownload::kBlockSize;
  for (uint64_t i = from; i <= to; ++i) {
    if (i / 8 >= bitmap.size() || !(bitmap[i / 8] & (1u << (i % 8)))) return false;
  }
  return true;
}

namespace {

class AppLanClient : public LanClient {
public:
  bool lanSwitch() override {
    AppServices& app = Util::getAppDelegate();
    if (!app.bLocal()) return false;
    auto settings = app.settingsdb();
    return !settings || settings->getlocal();
  }

  std::optional<LanSource> findSource(const std::string& filehash) override {
    AppServices& app = Util::getAppDelegate();
    auto sync = app.sync();
    if (sync) {
      if (auto cache = sync->synccache()) {
        const std::string cached = cache->getcache(filehash);
        // A cached copy that can't be opened ends the search.
        if (!cached.empty()) return openSource(cached);
      }
      if (auto s = syncedFile(*sync, filehash)) return s;
    }
    auto trans = app.trans();
    if (!trans) return std::nullopt;
    uint64_t size = 0;
    const std::string path = trans->get_download_index(filehash, size);
    if (path.empty()) return std::nullopt;
    auto s = openSource(path);
    auto state = trans->get_download_state(filehash);
    if (!s || !state) return std::nullopt;
    // The size the job names, not what the target holds yet.
    s->size = size;
    s->have = std::move(state->haveData);
    return s;
  }

  bool holdsWhole(const std::string& filehash) override {
    auto sync = Util::getAppDelegate().sync();
    if (!sync) return false;
    if (auto cache = sync->synccache(); cache && !cache->getcache(filehash).empty()) return true;
    return syncedFile(*sync, filehash).has_value();
  }

  std::optional<LanDownloadState> downloadState(const std::string& filehash) override {
    auto trans = Util::getAppDelegate().trans();
    if (!trans) return std::nullopt;
    auto s = trans->get_download_state(filehash);
    if (!s) return std::nullopt;
    return LanDownloadState{s->bHttpStart, s->bHttpAble, std::move(s->haveData)};
  }

  uint32_t userID() override {
    auto ud = Util::getAppDelegate().userdata();
    return ud ? static_cast<uint32_t>(static_cast<uint64_t>(ud->userID()) & 0xffffffffu) : 0;
  }

  std::vector<std::string> addresses() override { return plat::hostAddresses(); }
  std::string date() override { return Util::getGMTDate(); }

private:
  // A synced file under a root open to the local network, served only while
  // it is what its row says it is: synced, the asked hash, and the size and
  // modification second of the file as synced (a file changed since is not
  // served under its old hash).
  static std::optional<LanSource> syncedFile(SyncManager& sync, const std::string& filehash) {
    if (!sync.bStart()) return std::nullopt;
    auto db = sync.syncdb();
    if (!db) return std::nullopt;
    std::string webpath = db->get_synced_hash(filehash);
    if (webpath.empty()) webpath = db->get_local_hash(filehash);
    if (webpath.empty()) return std::nullopt;
    const SyncFileItem row = db->get_single_file(webpath);
    if (row.status != syncstatus::synced || row.filehash != filehash || !row.file) return std::nullopt;
    auto s = openSource(sync.getnormalpath(webpath));
    if (!s) return std::nullopt;
    struct stat st{};
    if (::fstat(s->fd, &st) != 0 || s->size != row.size || st.st_mtim.tv_sec < 0 ||
        static_cast<uint64_t>(st.st_mtim.tv_sec) != row.last)
      return std::nullopt;
    return s;
  }
};

}  // namespace

std::shared_ptr<LanClient> makeAppLanClient() { return std::make_shared<AppLanClient>(); }
