// HCWebPageRequest: downloads an HTML (or CSS) page with the style sheets,
// scripts, images, frames and media it refers to, through a network queue of
// further page requests, and then rewrites the references so the page shows
// without the network: as data URIs (mode 1) or as relative paths to the
// downloaded files (mode 2, for a page stored to a file). Only http and https
// resources are fetched. libxml2 is initialised once and never cleaned up:
// other code in the process may be using it.
//
// The resources of an asynchronous page run through a network queue on the
// network thread and report on the main thread. The queue holds at most
// kMaxInFlight of them: the rest wait as URLs, and each request is made only
// as an earlier one ends. A synchronous page fetches its whole tree one
// request after another on its own thread (the main thread, held in the
// request's own run-loop mode, would never take the queue's reports), from
// a list of the pages whose resources are due, so a deeper tree never
// nests deeper on the stack.
//
// A page tree is bounded whatever its pages say: each URL is fetched once in
// the whole tree (a page or style sheet that names itself is not fetched
// again), the tree fetches at most kMaxResources resources, and pages below
// kMaxDepth are kept as they came, without their own resources.
//
// Locks: a resource request's before its page's, never the reverse (see
// HCHTTPRequestPrivate.h): the page sets up and reads its resources with its
// own lock released.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "Framework/HCHTTP/HCNetworkQueue.h"

enum HCURLReplacementMode { HCDontReplaceURLs = 0, HCReplaceExternalResourcesWithData = 1, HCReplaceExternalResourcesWithLocalURLs = 2 };

class HCWebPageRequest : public HCHTTPRequest {
public:
  static constexpr size_t kMaxResources = 256;
  static constexpr int kMaxDepth = 4;
  // Resource requests of one page that exist at once: the next is made as one ends.
  static constexpr int kMaxInFlight = 4;

  struct Resource {
    std::optional<std::string> contentType;
    std::optional<std::string> dataPath;
    std::optional<plat::Data> data;
  };

  explicit HCWebPageRequest(std::optional<plat::URL> url);
  ~HCWebPageRequest() override;
  static std::shared_ptr<HCWebPageRequest> requestWithURL(std::string_view url);
  // How many page and resource requests exist in the process now.
  static size_t liveRequests();

#define HC_PAGE_PROPERTY(Type, name, Name)  \
public:                                     \
  Type name() const {                       \
    std::lock_guard _l(_cancelledLock);     \
    return _##name;                         \
  }                                         \
  void set##Name(Type value) {              \
    std::lock_guard _l(_cancelledLock);     \
    _##name = std::move(value);             \
  }                                         \
                                            \
private:                                    \
  Type _##name
  HC_PAGE_PROPERTY(int, urlReplacementMode, UrlReplacementMode) = HCDontReplaceURLs;
  HC_PAGE_PROPERTY(bool, shouldIgnoreExternalResourceErrors, ShouldIgnoreExternalResourceErrors) = true;
  HC_PAGE_PROPERTY(std::shared_ptr<HCWebPageRequest>, parentRequest, ParentRequest);
  HC_PAGE_PROPERTY(int, webContentType, WebContentType) = 0;
#undef HC_PAGE_PROPERTY

public:
  std::map<std::string, Resource> resourceList() const;
  std::shared_ptr<HCNetworkQueue> externalResourceQueue() const;

  // The URLs inside "url(" ... ")" of a style text, in order.
  static std::vector<std::string> CSSURLsFromString(std::string_view text);
  // The path of `path` relative to the folder holding `fromPath`.
  static std::string relativePathTo(const std::string& path, const std::string& fromPath);
  // libxml2's name for a string encoding, or none.
  static const char* encodingName(HCStringEncoding encoding);
  std::optional<std::string> contentForExternalURL(const std::string& urlText) const;
  std::string cachePathForRequest(HCHTTPRequest& request) const;

protected:
  std::shared_ptr<HCHTTPRequest> makeCopyTarget() const override;
  void requestFinished() override;
  void markAsFinished() override;

private:
  class Forwarder;
  class QueueHandler;
  friend class Forwarder;
  friend class QueueHandler;

  void finishAsPlainRequest();
  // The trimmed text of a resource URL and where it points, for what may be fetched.
  std::optional<std::pair<std::string, plat::URL>> fetchTarget(const std::string& text) const;
  void addURLToFetch(const std::string& text);
  bool readResourceURLs(void* doc);
  bool updateResourceURLs(void* doc);
  void resourcesFoundLocked();
  void fetchResourcesLater();
  void startFetchingResources();
  bool beginResources();
  std::shared_ptr<HCWebPageRequest> nextResourceRequest();
  void feedResourceQueue();
  void fetchTreeInTurn();
  void resourceEnded(HCHTTPRequest& request);
  void externalResourceFetchSucceeded(HCHTTPRequest& request);
  void externalResourceFetchFailed(HCHTTPRequest& request);
  void finishedFetchingExternalResources();
  void freeDocumentLocked();
  std::optional<std::string> styleText(std::optional<plat::Error>* fileError) const;
  HCWebPageRequest* topPage();

  // What one page tree has fetched, shared by its pages (on several threads).
  struct Tree {
    std::mutex mutex;
    std::set<std::string> claimed;  // absolute URLs without their fragment
  };
  // True when this tree may still fetch `url` (and now counts it as fetched).
  static bool claim(Tree& tree, const plat::URL& url);
  std::shared_ptr<Tree> _tree;
  int _depth = 0;  // 0 for the page the caller made
  // What each resource request takes from its page, read when the resources start.
  struct ResourceSettings {
    plat::Dictionary headers;
    HCCacheDelegate* cache = nullptr;
    int cachePolicy = 0, storagePolicy = 0, mode = 0;
    bool toFile = false, synchronous = false;
  };
  ResourceSettings _settings;
  // Claimed in the tree, not yet requested: the text as written and where it points.
  std::deque<std::pair<std::string, plat::URL>> _pending;
  // A resource of a synchronous tree: its own resources are fetched by the page at the top.
  bool _treeDriven = false;
  // Parsed, with resources of its own that the page at the top has still to fetch.
  bool _parked = false;
  std::map<std::string, Resource> _resourceList;
  std::shared_ptr<HCNetworkQueue> _externalResourceQueue;
  void* _doc = nullptr;  // the parsed HTML, between parsing and rewriting
  std::unique_ptr<Forwarder> _forwarder;
  std::unique_ptr<QueueHandler> _queueHandler;
  // Taken from shouldIgnoreExternalResourceErrors when the resources start.
  bool _resourceFailureEndsPage = true;
  bool _pageEnded = false;
};
