// UpdateUIResource: asks the update service for newer UI packages. A package
// the service sends waits as "<config>/UI/Temp/<name>.zip", with the
// signature from the reply's "X-Qv-Signature" header beside it as
// "<name>.zip.sig", until the next start unpacks it (Util::
// initLoadResourcFileName, which checks the signature). The MD5 of the
// package last unpacked goes with every request, so an empty reply means the
// client is current.
//
// Per name: nothing downloaded; downloading (into "<name>.zip.part"; the
// waiting package and its signature were removed when the request began);
// downloaded (the part renamed into place once whole, at least one byte and
// a 200 reply); an empty reply, an error reply or a failure ends in nothing
// downloaded. One request per name at a time: a second ask while one runs is
// passed over.
//
// Threads: updateUIResourceFileName may be called from any thread (start-up,
// login completion, the periodic jobs); the requests run on the HTTP
// library's thread and their blocks on the main thread.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "Framework/HCHTTP/HCHTTPRequestDelegate.h"

class HCNetworkQueue;

class UpdateUIResource : public HCHTTPRequestDelegate {
public:
  // A package larger than this is not kept.
  static constexpr unsigned long long kMaxPackageSize = 64ull << 20;
  static constexpr const char* kSignatureHeader = "X-Qv-Signature";

  UpdateUIResource();
  ~UpdateUIResource() override;
  UpdateUIResource(const UpdateUIResource&) = delete;
  UpdateUIResource& operator=(const UpdateUIResource&) = delete;

  // As the constructor, then asks for the package of that name.
  static std::shared_ptr<UpdateUIResource> initUpdateUIResourceFileName(const std::string& name);
  // Queues the request for the package and starts the queue; returns at once.
  void updateUIResourceFileName(const std::string& name);

  // The request's address for a package name, with the client's state now.
  static std::string requestURL(const std::string& name);
  // Requests for packages that have not ended yet (tests wait on it).
  size_t running() const;

private:
  struct Download;
  // The names asked for; shared with the requests' blocks, which may end
  // after this object.
  struct Asking {
    std::mutex mutex;
    std::set<std::string> names;
  };
  static void finished(Asking& asking, const std::shared_ptr<Download>& d, bool ok);

  std::shared_ptr<HCNetworkQueue> networkQueue;
  std::shared_ptr<Asking> asking_ = std::make_shared<Asking>();
};
