#include "Framework/HCHTTP/HCWebPageRequest.h"

#include <libxml/HTMLparser.h>
#include <libxml/HTMLtree.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/xmlsave.h>
#include <libxml/xpath.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <utility>

#include "Framework/HCHTTP/HCDownloadCache.h"
#include "Framework/HCHTTP/HCHTTPRequestPrivate.h"
#include "platform/foundation/file_util.h"
#include "platform/net/http_authentication.h"

using plat::Data;
using plat::Dictionary;
using plat::Error;
using plat::URL;
using hchttp::requestError;

namespace {

constexpr const char* kResourceXPath =
    "//link/@href|//a/@href|//script/@src|//img/@src|//frame/@src|//iframe/@src|//style|//*/@style|//source/@src|"
    "//video/@poster|//audio/@src";

// Around all libxml2 work of these requests; taken after the page's
// cancelledLock (HCHTTPRequestPrivate.h).
std::recursive_mutex& xmlParsingLock() {
  static std::recursive_mutex lock;
  return lock;
}

// Once for the process, and never undone: other code may be using libxml2,
// and xmlCleanupParser would pull its global state from under it.
void initialiseParserOnce() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string trim(std::string_view s, bool quotes = false) {
  auto drop = [&](char c) { return quotes ? (c == '"' || c == '\'') : isSpace(c); };
  size_t b = 0, e = s.size();
  while (b < e && drop(s[b])) ++b;
  while (e > b && drop(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

std::string nodeText(xmlNodePtr node) {
  xmlChar* c = xmlNodeGetContent(node);
  std::string out = c ? reinterpret_cast<const char*>(c) : "";
  if (c) xmlFree(c);
  return out;
}

void setNodeText(xmlDocPtr doc, xmlNodePtr node, const std::string& text) {
  // The content is taken as markup: special characters go in escaped.
  xmlChar* escaped = xmlEncodeSpecialChars(doc, reinterpret_cast<const xmlChar*>(text.c_str()));
  xmlNodeSetContent(node, escaped);
  xmlFree(escaped);
}

void replaceAll(std::string& text, const std::string& what, const std::string& with) {
  if (what.empty()) return;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
}

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash > at) out.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return out;
}



// What a node matched by the resource expression is, decided once for
// reading the resources and for rewriting them.
enum class NodeKind {
  Style,       // a style element or attribute: the URLs inside its text
  Anchor,      // the href of an "a": never fetched
  StyleSheet,  // the href of a link to a style sheet
  OtherLink,   // the href of any other link: not fetched
  Media,       // the source of a "source" or "audio": fetched unless in a format not kept
  Plain,       // any other reference: fetched
};

NodeKind classify(xmlNodePtr node, const std::string& name, const std::string& parent) {
  if (name == "style") return NodeKind::Style;
  if (parent == "a") return NodeKind::Anchor;
  if (parent == "link") {
    xmlChar* rel = xmlGetNoNsProp(node->parent, reinterpret_cast<const xmlChar*>("rel"));
    bool sheet = rel && hchttp::lowercase(reinterpret_cast<const char*>(rel)) == "stylesheet";
    if (rel) xmlFree(rel);
    return sheet ? NodeKind::StyleSheet : NodeKind::OtherLink;
  }
  if (parent == "source" || parent == "audio") return NodeKind::Media;
  return NodeKind::Plain;
}

bool isUnkeptMedia(const std::string& path) {
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
  std::string ext = hchttp::lowercase(path.substr(dot + 1));
  return ext == "ogg" || ext == "ogv" || ext == "webm";
}

using NodeAction = std::function<void(xmlNodePtr node, NodeKind kind, const std::string& value)>;

// Every node the resource expression matches, from the last to the first,
// with its kind and its text; each is cleared from the result once handled
// (namespace nodes excepted). The error when the walk could not be made.
std::optional<Error> walkResourceNodes(xmlDocPtr doc, const NodeAction& action) {
  xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
  if (!ctx) return requestError(101, "Error: unable to create new XPath context");
  xmlXPathObjectPtr result = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(kResourceXPath), ctx);
  if (!result) {
    xmlXPathFreeContext(ctx);
    return requestError(101, "Error: unable to evaluate XPath expression!");
  }
  xmlNodeSetPtr nodes = result->nodesetval;
  for (int i = nodes ? nodes->nodeNr - 1 : -1; i >= 0; --i) {
    xmlNodePtr node = nodes->nodeTab[i];
    std::string name = hchttp::lowercase(node->name ? reinterpret_cast<const char*>(node->name) : "");
    std::string parent =
        hchttp::lowercase(node->parent && node->parent->name ? reinterpret_cast<const char*>(node->parent->name) : "");
    action(node, classify(node, name, parent), nodeText(node));
    if (node->type != XML_NAMESPACE_DECL) nodes->nodeTab[i] = nullptr;
  }
  xmlXPathFreeObject(result);
  xmlXPathFreeContext(ctx);
  return std::nullopt;
}

}  // namespace

// Passes the events of resource requests on to the page at the top.
class HCWebPageRequest::Forwarder : public HCHTTPRequestDelegate, public HCProgressDelegate {
public:
  explicit Forwarder(HCWebPageRequest* page) : page_(page) {}
  bool respondsToSelector(HCSelector selector) const override {
    switch (selector) {
      case HCSelector::requestStarted:
      case HCSelector::requestDidReceiveResponseHeaders:
      case HCSelector::requestWillRedirectToURL:
      case HCSelector::requestFinished:
      case HCSelector::requestFailed:
      case HCSelector::authenticationNeededForRequest:
      case HCSelector::proxyAuthenticationNeededForRequest: {
        HCHTTPRequestDelegate* d = page_->topPage()->delegate();
        return d && d->respondsToSelector(selector);
      }
      default:
        return false;
    }
  }
  HCHTTPRequestDelegate* d() const { return page_->topPage()->delegate(); }
  void requestStarted(HCHTTPRequest& r) override { if (auto* x = d()) x->requestStarted(r); }
  void requestDidReceiveResponseHeaders(HCHTTPRequest& r, const Dictionary& h) override {
    if (auto* x = d()) x->requestDidReceiveResponseHeaders(r, h);
  }
  void requestWillRedirectToURL(HCHTTPRequest& r, const URL& u) override { if (auto* x = d()) x->requestWillRedirectToURL(r, u); }
  void requestFinished(HCHTTPRequest& r) override { if (auto* x = d()) x->requestFinished(r); }
  void requestFailed(HCHTTPRequest& r) override { if (auto* x = d()) x->requestFailed(r); }
  void authenticationNeededForRequest(HCHTTPRequest& r) override { if (auto* x = d()) x->authenticationNeededForRequest(r); }
  void proxyAuthenticationNeededForRequest(HCHTTPRequest& r) override {
    if (auto* x = d()) x->proxyAuthenticationNeededForRequest(r);
  }
  void requestDidReceiveBytes(HCHTTPRequest& r, long long b) override {
    if (auto* p = page_->topPage()->downloadProgressDelegate()) p->requestDidReceiveBytes(r, b);
  }
  void requestIncrementDownloadSizeBy(HCHTTPRequest& r, long long n) override {
    if (auto* p = page_->topPage()->downloadProgressDelegate()) p->requestIncrementDownloadSizeBy(r, n);
  }
  void requestDidSendBytes(HCHTTPRequest& r, long long b) override {
    if (auto* p = page_->topPage()->uploadProgressDelegate()) p->requestDidSendBytes(r, b);
  }
  void requestIncrementUploadSizeBy(HCHTTPRequest& r, long long n) override {
    if (auto* p = page_->topPage()->uploadProgressDelegate()) p->requestIncrementUploadSizeBy(r, n);
  }

private:
  HCWebPageRequest* page_;
};

// The resource queue's delegate.
class HCWebPageRequest::QueueHandler : public HCHTTPRequestDelegate {
public:
  explicit QueueHandler(HCWebPageRequest* page) : page_(page) {}
  bool respondsToSelector(HCSelector selector) const override {
    return selector == HCSelector::requestFinished || selector == HCSelector::requestFailed ||
           selector == HCSelector::queueFinished;
  }
  // The next waiting resource takes the place of each that ends.
  void requestFinished(HCHTTPRequest& r) override {
    page_->externalResourceFetchSucceeded(r);
    page_->feedResourceQueue();
  }
  void requestFailed(HCHTTPRequest& r) override {
    page_->externalResourceFetchFailed(r);
    page_->feedResourceQueue();
  }
  void queueFinished(HCNetworkQueue&) override { page_->finishedFetchingExternalResources(); }

private:
  HCWebPageRequest* page_;
};

namespace {
std::atomic<size_t> liveRequestCount{0};
}  // namespace

size_t HCWebPageRequest::liveRequests() { return liveRequestCount.load(); }

HCWebPageRequest::HCWebPageRequest(std::optional<URL> url)
    : HCHTTPRequest(std::move(url)), _forwarder(std::make_unique<Forwarder>(this)),
      _queueHandler(std::make_unique<QueueHandler>(this)) {
  ++liveRequestCount;
}

HCWebPageRequest::~HCWebPageRequest() {
  --liveRequestCount;
  if (_externalResourceQueue) {
    _externalResourceQueue->setDelegate(nullptr);
    _externalResourceQueue->cancelAllOperations();
  }
  if (_doc) {
    std::lock_guard x(xmlParsingLock());
    xmlFreeDoc(static_cast<xmlDocPtr>(_doc));
  }
}

std::shared_ptr<HCWebPageRequest> HCWebPageRequest::requestWithURL(std::string_view url) {
  return std::make_shared<HCWebPageRequest>(URL::parse(url));
}

// Called under this request's lock: the new request is shared with nobody
// and is filled in without its own lock (see copySettingsTo).
std::shared_ptr<HCHTTPRequest> HCWebPageRequest::makeCopyTarget() const {
  auto r = std::make_shared<HCWebPageRequest>(_url);
  r->_urlReplacementMode = _urlReplacementMode;
  r->_shouldIgnoreExternalResourceErrors = _shouldIgnoreExternalResourceErrors;
  // A redirected or retried page stays in its tree, at its depth.
  r->_tree = _tree;
  r->_depth = _depth;
  return r;
}

std::map<std::string, HCWebPageRequest::Resource> HCWebPageRequest::resourceList() const {
  std::lock_guard l(_cancelledLock);
  return _resourceList;
}

std::shared_ptr<HCNetworkQueue> HCWebPageRequest::externalResourceQueue() const {
  std::lock_guard l(_cancelledLock);
  return _externalResourceQueue;
}

HCWebPageRequest* HCWebPageRequest::topPage() {
  HCWebPageRequest* p = this;
  while (auto parent = p->parentRequest()) p = parent.get();
  return p;
}

std::vector<std::string> HCWebPageRequest::CSSURLsFromString(std::string_view text) {
  std::vector<std::string> urls;
  std::string low = hchttp::lowercase(std::string(text));
  size_t at = 0;
  for (;;) {
    size_t open = low.find("url(", at);
    if (open == std::string::npos) break;
    open += 4;
    size_t close = low.find(')', open);
    if (close == std::string::npos || close == open) break;
    urls.push_back(trim(trim(trim(text.substr(open, close - open)), true)));
    at = close + 1;
  }
  return urls;
}

std::string HCWebPageRequest::relativePathTo(const std::string& path, const std::string& fromPath) {
  auto to = components(path), from = components(fromPath);
  for (size_t i = 0; i < from.size(); ++i) {
    if (i >= to.size() || to[i] == from[i]) continue;
    std::string out;
    for (size_t j = i + 1; j < from.size(); ++j) out += "../";
    for (size_t j = i; j < to.size(); ++j) out += to[j] + (j + 1 < to.size() ? "/" : "");
    return out;
  }
  return "";
}

const char* HCWebPageRequest::encodingName(HCStringEncoding encoding) {
  xmlCharEncoding e = XML_CHAR_ENCODING_ERROR;
  switch (encoding) {
    case HCASCIIStringEncoding: e = XML_CHAR_ENCODING_ASCII; break;
    case 3: e = XML_CHAR_ENCODING_EUC_JP; break;
    case HCUTF8StringEncoding: e = XML_CHAR_ENCODING_UTF8; break;
    case HCISOLatin1StringEncoding: e = XML_CHAR_ENCODING_8859_1; break;
    case 8: e = XML_CHAR_ENCODING_SHIFT_JIS; break;
    case 9: e = XML_CHAR_ENCODING_8859_2; break;
    case 21: e = XML_CHAR_ENCODING_2022_JP; break;
    case 0x90000100: e = XML_CHAR_ENCODING_UTF16BE; break;
    case 0x94000100: e = XML_CHAR_ENCODING_UTF16LE; break;
    case 0x98000100: e = XML_CHAR_ENCODING_UCS4BE; break;
    case 0x9c000100: e = XML_CHAR_ENCODING_UCS4LE; break;
    default: break;
  }
  return xmlGetCharEncodingName(e);
}

std::optional<std::string> HCWebPageRequest::contentForExternalURL(const std::string& urlText) const {
  std::lock_guard l(_cancelledLock);
  auto it = _resourceList.find(urlText);
  if (it == _resourceList.end()) return std::nullopt;
  const Resource& r = it->second;
  if (_urlReplacementMode == HCReplaceExternalResourcesWithLocalURLs) {
    if (!r.dataPath || !_downloadDestinationPath) return std::nullopt;
    return relativePathTo(*r.dataPath, *_downloadDestinationPath);
  }
  if (!r.contentType) return std::nullopt;
  Data bytes;
  if (r.dataPath) {
    auto text = plat::readFile(*r.dataPath);
    if (!text) return std::nullopt;
    bytes.assign(text->begin(), text->end());
  } else if (r.data) {
    bytes = *r.data;
  }
  if (bytes.empty()) return std::nullopt;
  return "data:" + *r.contentType + ";base64," + base64forData(bytes);
}

std::string HCWebPageRequest::cachePathForRequest(HCHTTPRequest& request) const {
  if (HCCacheDelegate* cache = request.downloadCache()) {
    if (auto p = cache->pathToStoreCachedResponseDataForRequest(request)) return *p;
  }
  std::string hex = plat::hexDigest("MD5", request.url() ? request.url()->absoluteString() : std::string());
  for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string folder = HCDownloadCache::userCachesFolder();
  plat::makeDirectories(folder, 0700);
  return plat::pathJoin(folder, hex + ".html");
}

void HCWebPageRequest::finishAsPlainRequest() {
  _complete = true;
  HCHTTPRequest::requestFinished();
  HCHTTPRequest::markAsFinished();
}

void HCWebPageRequest::markAsFinished() {
  std::lock_guard l(_cancelledLock);
  if (_error) HCHTTPRequest::markAsFinished();
}

std::optional<std::pair<std::string, URL>> HCWebPageRequest::fetchTarget(const std::string& raw) const {
  std::string text = trim(raw);
  if (text.size() <= 4 || hchttp::lowercase(text.substr(0, 5)) == "data:" || !_url) return std::nullopt;
  auto resolved = URL::resolve(text, *_url);
  // A page may name file:, ftp: or javascript: resources; only the web is fetched.
  if (!resolved || (resolved->scheme() != "http" && resolved->scheme() != "https")) return std::nullopt;
  return std::make_pair(std::move(text), std::move(*resolved));
}

void HCWebPageRequest::addURLToFetch(const std::string& raw) {
  // Past the tree's bound no more would be fetched: the list stays small too.
  if (_resourceList.size() >= kMaxResources) return;
  if (auto target = fetchTarget(raw)) _resourceList.emplace(std::move(target->first), Resource{});
}

bool HCWebPageRequest::claim(Tree& tree, const URL& url) {
  std::string key = url.absoluteString();
  key = key.substr(0, key.find('#'));
  std::lock_guard l(tree.mutex);
  if (tree.claimed.size() >= kMaxResources + 1 || !tree.claimed.insert(key).second) return false;
  return true;
}

std::optional<std::string> HCWebPageRequest::styleText(std::optional<Error>* fileError) const {
  if (_downloadDestinationPath) {
    Error e;
    auto text = plat::readFile(*_downloadDestinationPath, &e);
    if (!text && fileError) *fileError = e;
    return text;
  }
  auto data = responseData();
  if (!data) return std::nullopt;
  return std::string(data->begin(), data->end());
}

void HCWebPageRequest::requestFinished() {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  if (_error) return;
  _complete = false;
  // The deepest pages of a tree are kept as they came.
  if (_mainRequest || _didUseCachedResponse || _depth >= kMaxDepth) {
    finishAsPlainRequest();
    return;
  }
  std::string type = hchttp::lowercase(responseHeader("Content-Type").value_or(""));
  type = trim(type.substr(0, type.find(';')));
  if (type == "text/html" || type == "text/xhtml" || type == "text/xhtml+xml" || type == "application/xhtml+xml") {
    _webContentType = 1;
    std::unique_lock x(xmlParsingLock());
    initialiseParserOnce();
    const char* enc = encodingName(_responseEncoding);
    constexpr int kOptions = HTML_PARSE_NONET | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING;
    htmlDocPtr doc = nullptr;
    if (_downloadDestinationPath) {
      doc = htmlReadFile(_downloadDestinationPath->c_str(), enc, kOptions);
    } else if (auto data = responseData()) {
      doc = htmlReadMemory(reinterpret_cast<const char*>(data->data()), static_cast<int>(data->size()),
                           _url->absoluteString().c_str(), enc, kOptions);
    }
    if (!doc) {
      x.unlock();
      failWithError(requestError(101, "Error: unable to parse reponse XML"));
      return;
    }
    _resourceList.clear();
    if (!readResourceURLs(doc) || _resourceList.empty()) {
      xmlFreeDoc(doc);
      x.unlock();
      if (!_error) finishAsPlainRequest();
      return;
    }
    _doc = doc;
    x.unlock();
    resourcesFoundLocked();
    return;
  }
  if (type == "text/css") {
    _webContentType = 2;
    std::optional<Error> fileError;
    auto text = styleText(&fileError);
    if (!text) {
      failWithError(requestError(100, "Unable to read HTML string from response",
                                 fileError ? std::make_shared<const Error>(*fileError) : nullptr));
      return;
    }
    _resourceList.clear();
    for (const auto& u : CSSURLsFromString(*text)) addURLToFetch(u);
    if (_resourceList.empty()) {
      finishAsPlainRequest();
      return;
    }
    resourcesFoundLocked();
    return;
  }
  finishAsPlainRequest();
}

bool HCWebPageRequest::readResourceURLs(void* doc) {
  auto error = walkResourceNodes(static_cast<xmlDocPtr>(doc), [&](xmlNodePtr, NodeKind kind, const std::string& value) {
    switch (kind) {
      case NodeKind::Style:
        for (const auto& u : CSSURLsFromString(value)) addURLToFetch(u);
        break;
      case NodeKind::StyleSheet:
      case NodeKind::Plain:
        addURLToFetch(value);
        break;
      case NodeKind::Media:
        if (auto target = fetchTarget(value);
            target && !isUnkeptMedia(target->second.path()) && _resourceList.size() < kMaxResources) {
          _resourceList.emplace(std::move(target->first), Resource{});
        }
        break;
      case NodeKind::Anchor:
      case NodeKind::OtherLink:
        break;
    }
  });
  if (error) failWithError(error);
  return !error;
}

bool HCWebPageRequest::updateResourceURLs(void* d) {
  xmlDocPtr doc = static_cast<xmlDocPtr>(d);
  auto error = walkResourceNodes(doc, [&](xmlNodePtr node, NodeKind kind, const std::string& value) {
    if (kind == NodeKind::Style) {
      std::string text = value;
      for (const auto& u : CSSURLsFromString(value)) {
        if (auto with = contentForExternalURL(u)) replaceAll(text, u, *with);
      }
      setNodeText(doc, node, text);
    } else if (kind == NodeKind::Anchor) {
      if (_urlReplacementMode == HCReplaceExternalResourcesWithLocalURLs) {
        if (auto abs = URL::resolve(trim(value), *_url)) setNodeText(doc, node, abs->absoluteString());
      }
    } else if (auto with = contentForExternalURL(trim(value))) {
      // A reference not fetched for itself (an icon link) is still rewritten when the same URL was.
      setNodeText(doc, node, *with);
    }
  });
  if (error) failWithError(error);
  return !error;
}

// Called under this page's lock, with its resource list made.
void HCWebPageRequest::resourcesFoundLocked() {
  if (_treeDriven) {
    // The page at the top fetches these in its own turn: the synchronous
    // wait for this request ends here, and the page's end comes later.
    _parked = true;
    _complete = true;
    return;
  }
  fetchResourcesLater();
}

// The resources start from a later turn of the page's run loop, when the
// page's lock is no longer held: a page never holds its own lock while it
// takes one of its resources'.
void HCWebPageRequest::fetchResourcesLater() {
  auto keep = std::static_pointer_cast<HCWebPageRequest>(self());
  if (!keep) return;
  auto loop = _runLoop ? _runLoop : threadForRequest(this);
  loop->perform([keep] { keep->startFetchingResources(); }, {_runLoopMode});
}

// Takes the settings the resources inherit and claims their URLs in the
// tree; false when the page is not to fetch them.
bool HCWebPageRequest::beginResources() {
  std::vector<std::string> texts;
  std::optional<URL> base;
  std::shared_ptr<Tree> tree;
  {
    std::lock_guard l(_cancelledLock);
    if (_cancelled || _error || _pageEnded || !_url) {
      freeDocumentLocked();
      return false;
    }
    for (const auto& [text, entry] : _resourceList) texts.push_back(text);
    base = _url;
    _settings = ResourceSettings{_requestHeaders, _downloadCache, _cachePolicy, _cacheStoragePolicy, _urlReplacementMode,
                                 _downloadDestinationPath.has_value(), _isSynchronous};
    _resourceFailureEndsPage = _shouldIgnoreExternalResourceErrors;
    if (!_tree) {
      // The page the caller made: its own URL counts as fetched already.
      _tree = std::make_shared<Tree>();
      claim(*_tree, *base);
    }
    tree = _tree;
  }
  // Only URLs wait here, no more than the list holds.
  std::deque<std::pair<std::string, URL>> pending;
  for (auto& text : texts) {
    auto target = URL::resolve(text, *base);
    // Fetched once in the whole tree, and no more than its bound.
    if (!target || !claim(*tree, *target)) continue;
    pending.emplace_back(std::move(text), std::move(*target));
  }
  std::lock_guard l(_cancelledLock);
  _pending = std::move(pending);
  return true;
}

// The request for the next waiting resource, or none when none is due.
std::shared_ptr<HCWebPageRequest> HCWebPageRequest::nextResourceRequest() {
  auto page = std::static_pointer_cast<HCWebPageRequest>(self());
  std::optional<std::pair<std::string, URL>> next;
  ResourceSettings s;
  std::shared_ptr<Tree> tree;
  {
    std::lock_guard l(_cancelledLock);
    if (_cancelled || _error || _pageEnded) _pending.clear();
    if (_pending.empty()) return nullptr;
    next = std::move(_pending.front());
    _pending.pop_front();
    s = _settings;
    tree = _tree;
  }
  // Made with the page's lock released: a resource's lock comes before its page's.
  auto r = std::make_shared<HCWebPageRequest>(next->second);
  r->_tree = std::move(tree);
  r->_depth = _depth + 1;
  r->_treeDriven = s.synchronous;
  for (const auto& [k, v] : s.headers) r->addRequestHeader(k, v.string());
  r->setDownloadCache(s.cache);
  r->setCachePolicy(s.cachePolicy);
  r->setCacheStoragePolicy(s.storagePolicy);
  r->setUserInfo(Dictionary{{"Path", plat::Value(next->first)}});
  r->setParentRequest(page);
  r->setUrlReplacementMode(s.mode);
  r->setShouldResetDownloadProgress(false);
  r->setDelegate(_forwarder.get());
  r->setUploadProgressDelegate(_forwarder.get());
  r->setDownloadProgressDelegate(_forwarder.get());
  if (s.toFile) r->setDownloadDestinationPath(cachePathForRequest(*r));
  return r;
}

void HCWebPageRequest::startFetchingResources() {
  if (!beginResources()) return;
  bool synchronous, accurateProgress;
  {
    std::lock_guard l(_cancelledLock);
    synchronous = _isSynchronous;
    accurateProgress = _showAccurateProgress;
  }
  if (synchronous) {
    fetchTreeInTurn();
    return;
  }
  auto queue = HCNetworkQueue::queue();
  queue->setDelegate(_queueHandler.get());
  queue->setShouldCancelAllRequestsOnFailure(_resourceFailureEndsPage);
  queue->setShowAccurateProgress(accurateProgress);
  queue->setMaxConcurrentOperationCount(kMaxInFlight);
  queue->setQueueDidFinishSelector(HCSelector::queueFinished);
  queue->setRequestDidFinishSelector(HCSelector::requestFinished);
  queue->setRequestDidFailSelector(HCSelector::requestFailed);
  // The rest are made as these end (feedResourceQueue).
  for (int i = 0; i < kMaxInFlight; ++i) {
    auto r = nextResourceRequest();
    if (!r) break;
    queue->addOperation(r);
  }
  if (queue->requestsCount() == 0) {
    // Every URL had been fetched elsewhere in the tree already.
    finishedFetchingExternalResources();
    return;
  }
  std::shared_ptr<HCNetworkQueue> previous;
  {
    std::lock_guard l(_cancelledLock);
    previous = std::exchange(_externalResourceQueue, queue);
  }
  if (previous) {
    previous->setDelegate(nullptr);
    previous->cancelAllOperations();
  }
  queue->go();
}

// On the main thread, from the queue's report of an ended resource: the
// queue counts the new request before it looks whether it has run dry.
void HCWebPageRequest::feedResourceQueue() {
  std::shared_ptr<HCNetworkQueue> queue;
  {
    std::lock_guard l(_cancelledLock);
    queue = _externalResourceQueue;
  }
  if (!queue) return;
  if (auto r = nextResourceRequest()) queue->addOperation(r);
}

// The whole of a synchronous tree, fetched by the page at the top. A
// resource page that has resources of its own goes on the list, above the
// page that named it, and ends (and reports to that page) once they have
// been fetched: the stack stays as deep whatever the depth of the tree.
void HCWebPageRequest::fetchTreeInTurn() {
  std::vector<std::shared_ptr<HCWebPageRequest>> pages{std::static_pointer_cast<HCWebPageRequest>(self())};
  while (!pages.empty()) {
    if (isCancelled()) return;
    const std::shared_ptr<HCWebPageRequest> page = pages.back();
    if (auto r = page->nextResourceRequest()) {
      r->startSynchronous();
      bool parked;
      {
        std::lock_guard l(r->_cancelledLock);
        parked = std::exchange(r->_parked, false);
        if (parked) {
          // Under way again until its resources are in.
          r->_complete = false;
          r->_inProgress = true;
        }
      }
      if (parked && r->beginResources()) {
        pages.push_back(std::move(r));
      } else {
        page->resourceEnded(*r);
      }
      continue;
    }
    pages.pop_back();
    page->finishedFetchingExternalResources();
    if (!pages.empty()) pages.back()->resourceEnded(*page);
  }
}

void HCWebPageRequest::resourceEnded(HCHTTPRequest& request) {
  if (request.error()) {
    externalResourceFetchFailed(request);
  } else {
    externalResourceFetchSucceeded(request);
  }
}

// The resource is read before the page's lock is taken.
void HCWebPageRequest::externalResourceFetchSucceeded(HCHTTPRequest& request) {
  const plat::Value path = request.userInfo()["Path"];
  if (!path.isString()) return;
  const std::string contentType = request.responseHeader("Content-Type").value_or("application/octet-stream");
  const std::optional<std::string> dataPath = request.downloadDestinationPath();
  std::optional<Data> data;
  if (!dataPath) data = request.responseData();
  std::lock_guard l(_cancelledLock);
  auto it = _resourceList.find(path.string());
  if (it == _resourceList.end()) return;
  it->second.contentType = contentType;
  if (_downloadDestinationPath) {
    it->second.dataPath = dataPath;
  } else if (data) {
    it->second.data = std::move(data);
  }
}

void HCWebPageRequest::externalResourceFetchFailed(HCHTTPRequest& request) {
  auto keep = self();
  const std::optional<Error> error = request.error();
  std::lock_guard l(_cancelledLock);
  if (!_resourceFailureEndsPage || _pageEnded) return;
  freeDocumentLocked();
  _pageEnded = true;
  failWithError(error);
}

void HCWebPageRequest::freeDocumentLocked() {
  if (!_doc) return;
  std::lock_guard x(xmlParsingLock());
  xmlFreeDoc(static_cast<xmlDocPtr>(_doc));
  _doc = nullptr;
}

void HCWebPageRequest::finishedFetchingExternalResources() {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  if (_pageEnded || _error) return;
  _pageEnded = true;
  if (_urlReplacementMode != HCDontReplaceURLs) {
    if (_webContentType == 2) {
      std::optional<Error> fileError;
      auto text = styleText(&fileError);
      if (!text) {
        failWithError(requestError(101, "Error: unable to read response CSS from disk"));
        return;
      }
      for (const auto& [u, entry] : _resourceList) {
        if (text->find(u) == std::string::npos) continue;
        if (auto with = contentForExternalURL(u)) replaceAll(*text, u, *with);
      }
      if (_downloadDestinationPath) {
        if (!plat::atomicWrite(*_downloadDestinationPath, *text)) {
          failWithError(requestError(101, "Error: unable to write response CSS to disk"));
          return;
        }
      } else {
        hchttp::removeIgnoringCase(_responseHeaders, "Content-Encoding");
        _inflatedResponseData.reset();
        _rawResponseData = Data(text->begin(), text->end());
      }
    } else if (_webContentType == 1 && _doc) {
      std::lock_guard x(xmlParsingLock());
      xmlDocPtr doc = static_cast<xmlDocPtr>(_doc);
      bool ok = updateResourceURLs(doc);
      if (ok) {
        xmlBufferPtr buffer = xmlBufferCreate();
        xmlSaveCtxtPtr save = xmlSaveToBuffer(buffer, reinterpret_cast<const char*>(doc->encoding), XML_SAVE_NO_DECL);
        if (save) {
          xmlSaveDoc(save, doc);
          xmlSaveClose(save);
        }
        std::string out(reinterpret_cast<const char*>(xmlBufferContent(buffer)), xmlBufferLength(buffer));
        xmlBufferFree(buffer);
        if (_downloadDestinationPath) {
          // Written beside and renamed, so a failed save leaves the page as it came.
          if (!save || !plat::atomicWrite(*_downloadDestinationPath, out)) {
            ok = false;
            failWithError(requestError(101, "Error: unable to write response HTML to disk"));
          }
        } else {
          hchttp::removeIgnoringCase(_responseHeaders, "Content-Encoding");
          _inflatedResponseData.reset();
          _rawResponseData = Data(out.begin(), out.end());
        }
        if (ok) hchttp::removeIgnoringCase(_responseHeaders, "Content-Encoding");
      }
      xmlFreeDoc(doc);
      _doc = nullptr;
      if (!ok) return;
    }
  } else {
    freeDocumentLocked();
  }
  if (!_parentRequest) {
    updateProgressIndicator(_downloadProgressDelegate, _contentLength, _contentLength);
  }
  hchttp::removeIgnoringCase(_responseHeaders, "Content-Encoding");
  if (_urlReplacementMode != HCDontReplaceURLs && _downloadCache) _downloadCache->storeResponseForRequest(*this, _secondsToCache);
  finishAsPlainRequest();
}
