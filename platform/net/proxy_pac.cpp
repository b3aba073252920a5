#include "platform/net/proxy_pac.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "duktape.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/log.h"
#include "platform/foundation/text_encoding.h"
#include "platform/foundation/thread.h"
#include "platform/net/connection.h"
#include "platform/net/http_read_stream.h"

namespace plat {

namespace {

constexpr size_t kMaxScriptBytes = 1 << 20;
// A PAC script needs little memory; near a larger cap every failed
// allocation costs the engine several collections of the whole heap.
constexpr size_t kMaxHeapBytes = 16 << 20;
constexpr size_t kMaxCacheEntries = 512;

// The limits of the script being run on this thread.
struct Budget {
  double deadline = 0;  // monotonic seconds
  size_t heapBytes = 0;
  bool overrun() const { return currentClock().monotonic() > deadline; }
};
thread_local Budget* currentBudget = nullptr;

std::atomic<unsigned long> lookupsQueued{0}, lookupsInTime{0};

// Memory of the engine, counted against the budget: a script can't grow without bound.
void* budgetAlloc(void* udata, duk_size_t size) {
  auto* b = static_cast<Budget*>(udata);
  // Out of time, nothing more: the engine unwinds instead of collecting.
  if (b->heapBytes + size > kMaxHeapBytes || b->overrun()) return nullptr;
  auto* p = static_cast<size_t*>(std::malloc(size + sizeof(size_t) * 2));
  if (!p) return nullptr;
  *p = size;
  b->heapBytes += size;
  return p + 2;
}
void budgetFree(void* udata, void* ptr) {
  if (!ptr) return;
  auto* p = static_cast<size_t*>(ptr) - 2;
  static_cast<Budget*>(udata)->heapBytes -= *p;
  std::free(p);
}
void* budgetRealloc(void* udata, void* ptr, duk_size_t size) {
  if (!ptr) return budgetAlloc(udata, size);
  if (size == 0) {
    budgetFree(udata, ptr);
    return nullptr;
  }
  auto* b = static_cast<Budget*>(udata);
  auto* p = static_cast<size_t*>(ptr) - 2;
  size_t old = *p;
  if (size > old && (b->heapBytes + (size - old) > kMaxHeapBytes || b->overrun())) return nullptr;
  auto* q = static_cast<size_t*>(std::realloc(p, size + sizeof(size_t) * 2));
  if (!q) return nullptr;
  b->heapBytes = b->heapBytes - old + size;
  *q = size;
  return q + 2;
}

// Every call into the engine runs inside a protected call, so only a fault
// of the engine itself gets here.
void fatal(void*, const char* msg) {
  log("PAC script engine failed: %@", std::string(msg ? msg : ""));
  std::abort();
}

// A name look-up that gives up at the script's deadline; the look-up itself
// may go on, on its helper thread, and its answer is then dropped.
std::optional<std::string> resolveWithin(const std::string& host, double deadline) {
  in_addr a4{};
  if (inet_pton(AF_INET, host.c_str(), &a4) == 1) return host;
  // Out of time: no look-up is queued whose answer nobody would wait for.
  if (deadline - currentClock().monotonic() <= 0) return std::nullopt;
  struct Answer {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::optional<std::string> ip;
  };
  auto answer = std::make_shared<Answer>();
  ++lookupsQueued;
  resolveIPv4(host, [answer](std::optional<std::string> ip) {
    std::lock_guard l(answer->mutex);
    answer->ip = std::move(ip);
    answer->done = true;
    answer->cv.notify_all();
  });
  std::unique_lock l(answer->mutex);
  for (;;) {
    if (answer->done) {
      ++lookupsInTime;
      return answer->ip;
    }
    // The deadline is on the process clock: look at it again at least every 50 ms.
    double left = deadline - currentClock().monotonic();
    if (left <= 0) return std::nullopt;
    answer->cv.wait_for(l, std::chrono::duration<double>(std::min(left, 0.05)));
  }
}

duk_ret_t jsDnsResolve(duk_context* ctx) {
  std::string host = duk_safe_to_string(ctx, 0);
  if (!currentBudget || currentBudget->overrun()) return duk_error(ctx, DUK_ERR_RANGE_ERROR, "execution timeout");
  auto ip = resolveWithin(host, currentBudget->deadline);
  if (ip) {
    duk_push_string(ctx, ip->c_str());
  } else {
    duk_push_null(ctx);
  }
  return 1;
}

duk_ret_t jsMyIpAddress(duk_context* ctx) {
  std::string ip = "127.0.0.1";
  ifaddrs* ifs = nullptr;
  if (getifaddrs(&ifs) == 0) {
    for (ifaddrs* i = ifs; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      auto* sin = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
      if ((ntohl(sin->sin_addr.s_addr) >> 24) == 127) continue;
      char buf[INET_ADDRSTRLEN];
      if (inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) {
        ip = buf;
        break;
      }
    }
    freeifaddrs(ifs);
  }
  duk_push_string(ctx, ip.c_str());
  return 1;
}

// The standard helpers of a PAC script; dnsResolve and myIpAddress are native.
const char* kHelpers = R"JS(
function isPlainHostName(host) { return String(host).indexOf('.') < 0; }
function dnsDomainIs(host, domain) {
  host = String(host).toLowerCase(); domain = String(domain).toLowerCase();
  return host.length >= domain.length && host.substring(host.length - domain.length) === domain;
}
function localHostOrDomainIs(host, hostdom) {
  host = String(host).toLowerCase(); hostdom = String(hostdom).toLowerCase();
  return host === hostdom || (host.indexOf('.') < 0 && hostdom.indexOf(host + '.') === 0);
}
function isResolvable(host) { return dnsResolve(host) !== null; }
function convert_addr(ip) {
  var p = String(ip).split('.');
  return (((p[0] & 255) << 24) | ((p[1] & 255) << 16) | ((p[2] & 255) << 8) | (p[3] & 255)) >>> 0;
}
function isInNet(host, pattern, mask) {
  var ip = /^\d+\.\d+\.\d+\.\d+$/.test(host) ? host : dnsResolve(host);
  if (!ip) return false;
  var m = convert_addr(mask);
  return ((convert_addr(ip) & m) >>> 0) === ((convert_addr(pattern) & m) >>> 0);
}
function dnsDomainLevels(host) { return String(host).split('.').length - 1; }
function shExpMatch(str, shexp) {
  var re = String(shexp).replace(/[.+^${}()|[\]\\\/]/g, '\\$&').replace(/\*/g, '.*').replace(/\?/g, '.');
  return new RegExp('^' + re + '$').test(String(str));
}
var __days = ['SUN', 'MON', 'TUE', 'WED', 'THU', 'FRI', 'SAT'];
var __months = ['JAN', 'FEB', 'MAR', 'APR', 'MAY', 'JUN', 'JUL', 'AUG', 'SEP', 'OCT', 'NOV', 'DEC'];
function __args(a) {
  var list = Array.prototype.slice.call(a), gmt = false;
  if (list.length && list[list.length - 1] === 'GMT') { gmt = true; list.pop(); }
  return { list: list, now: new Date(), gmt: gmt };
}
function __inRange(v, lo, hi) { return lo <= hi ? (v >= lo && v <= hi) : (v >= lo || v <= hi); }
function weekdayRange() {
  var a = __args(arguments), d = a.gmt ? a.now.getUTCDay() : a.now.getDay();
  var lo = __days.indexOf(String(a.list[0]).toUpperCase());
  var hi = a.list.length > 1 ? __days.indexOf(String(a.list[1]).toUpperCase()) : lo;
  return lo >= 0 && hi >= 0 && __inRange(d, lo, hi);
}
function timeRange() {
  var a = __args(arguments), n = a.now, l = a.list.map(Number);
  var s = (a.gmt ? n.getUTCHours() : n.getHours()) * 3600 + (a.gmt ? n.getUTCMinutes() : n.getMinutes()) * 60 +
          (a.gmt ? n.getUTCSeconds() : n.getSeconds());
  if (l.length === 1) return Math.floor(s / 3600) === l[0];
  if (l.length === 2) return l[0] === l[1] ? Math.floor(s / 3600) === l[0] : __inRange(Math.floor(s / 3600), l[0], (l[1] + 23) % 24);
  if (l.length === 4) return __inRange(s, l[0] * 3600 + l[1] * 60, l[2] * 3600 + l[3] * 60 + 59);
  if (l.length === 6) return __inRange(s, l[0] * 3600 + l[1] * 60 + l[2], l[3] * 3600 + l[4] * 60 + l[5]);
  return false;
}
function dateRange() {
  var a = __args(arguments), n = a.now;
  var today = { d: a.gmt ? n.getUTCDate() : n.getDate(), m: a.gmt ? n.getUTCMonth() : n.getMonth(),
                y: a.gmt ? n.getUTCFullYear() : n.getFullYear() };
  // Each argument is a day (1-31), a month name or a year; the first half is the start.
  var parts = a.list.map(function (x) {
    var m = __months.indexOf(String(x).toUpperCase());
    if (m >= 0) return { k: 'm', v: m };
    x = Number(x);
    return x > 31 ? { k: 'y', v: x } : { k: 'd', v: x };
  });
  function key(p, t) {
    var y = t.y, m = t.m, d = t.d;
    p.forEach(function (q) { if (q.k === 'y') y = q.v; else if (q.k === 'm') m = q.v; else d = q.v; });
    var kinds = p.map(function (q) { return q.k; }).join('');
    return { kinds: kinds, v: (kinds.indexOf('y') >= 0 ? y : 0) * 10000 + (kinds.indexOf('m') >= 0 ? m : 0) * 100 +
                             (kinds.indexOf('d') >= 0 ? d : 0) };
  }
  if (parts.length === 0 || parts.length > 6) return false;
  if (parts.length === 1 || parts.length % 2 === 1) {
    return parts.every(function (q) { return q.v === (q.k === 'y' ? today.y : q.k === 'm' ? today.m : today.d); });
  }
  var half = parts.length / 2, lo = key(parts.slice(0, half), today), hi = key(parts.slice(half), today);
  var cur = key(parts.slice(0, half).map(function (q) { return { k: q.k, v: q.k === 'y' ? today.y : q.k === 'm' ? today.m : today.d }; }), today);
  return lo.kinds.indexOf('y') >= 0 ? (cur.v >= lo.v && cur.v <= hi.v) : __inRange(cur.v, lo.v, hi.v);
}
)JS";

std::string pacURLArgument(const URL& url) {
  // A PAC script sees no more of an HTTPS URL than its origin.
  if (url.isHTTPS()) {
    std::string host = url.isIPv6Host() ? "[" + url.host() + "]" : url.host();
    return "https://" + host + (url.port() ? ":" + std::to_string(*url.port()) : "") + "/";
  }
  return url.absoluteFormTarget();
}


// A regular file of at most kMaxScriptBytes, as UTF-8 (else read as ISO Latin-1).
std::optional<std::string> readScriptFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > kMaxScriptBytes) {
    ::close(fd);
    return std::nullopt;
  }
  std::string text;
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > kMaxScriptBytes) break;
  }
  ::close(fd);
  if (text.size() > kMaxScriptBytes) return std::nullopt;
  return isValidUTF8(text) ? text : latin1ToUTF8(text);
}

// One evaluation, as handed to the protected call that runs it: getters
// of the script's globals and of its answer throw inside it, never outside.
struct Run {
  const std::string* script;
  std::string urlArgument, host;
  std::optional<std::string> answer;
  std::string failure;
};

duk_ret_t runScript(duk_context* ctx, void* udata) {
  auto* run = static_cast<Run*>(udata);
  duk_push_c_function(ctx, jsDnsResolve, 1);
  duk_put_global_string(ctx, "dnsResolve");
  duk_push_c_function(ctx, jsMyIpAddress, 0);
  duk_put_global_string(ctx, "myIpAddress");
  duk_eval_string_noresult(ctx, kHelpers);
  duk_eval_lstring_noresult(ctx, run->script->data(), run->script->size());
  duk_get_global_string(ctx, "FindProxyForURL");
  if (!duk_is_function(ctx, -1)) {
    run->failure = "the script has no FindProxyForURL";
    return 0;
  }
  duk_push_lstring(ctx, run->urlArgument.data(), run->urlArgument.size());
  duk_push_lstring(ctx, run->host.data(), run->host.size());
  duk_call(ctx, 2);
  if (duk_is_string(ctx, -1)) {
    duk_size_t n = 0;
    const char* text = duk_get_lstring(ctx, -1, &n);
    run->answer = std::string(text, n);
  } else {
    run->failure = "FindProxyForURL answered no text";
  }
  return 0;
}

duk_ret_t describeError(duk_context* ctx, void* udata) {
  auto* run = static_cast<Run*>(udata);
  duk_size_t n = 0;
  const char* text = duk_safe_to_lstring(ctx, -1, &n);
  run->failure = std::string(text ? text : "", std::min<size_t>(n, 512));
  return 0;
}

}  // namespace

unsigned long pacLookupsQueued() { return lookupsQueued.load(); }
unsigned long pacLookupsAnsweredInTime() { return lookupsInTime.load(); }

}  // namespace plat

extern "C" int qv_duk_exec_timeout_check(void* udata) {
  auto* b = static_cast<plat::Budget*>(udata);
  return b && plat::currentClock().monotonic() > b->deadline ? 1 : 0;
}

namespace plat {

std::vector<ProxyEntry> parsePACAnswer(const std::string& answer, const URL& url) {
  std::vector<ProxyEntry> out;
  size_t at = 0;
  while (at <= answer.size()) {
    size_t semi = answer.find(';', at);
    std::string item = answer.substr(at, semi == std::string::npos ? std::string::npos : semi - at);
    at = semi == std::string::npos ? answer.size() + 1 : semi + 1;
    size_t a = item.find_first_not_of(" \t");
    if (a == std::string::npos) continue;
    item = item.substr(a);
    size_t sp = item.find_first_of(" \t");
    std::string kind = item.substr(0, sp);
    for (char& c : kind) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (kind == "DIRECT") {
      out.push_back(ProxyEntry::ofType(kCFProxyTypeNone));
      continue;
    }
    if (sp == std::string::npos) continue;
    std::string hostPort = item.substr(item.find_first_not_of(" \t", sp));
    hostPort = hostPort.substr(0, hostPort.find_first_of(" \t"));
    size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos || colon == 0) continue;
    std::string host = hostPort.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    int port = std::atoi(hostPort.c_str() + colon + 1);
    if (port <= 0 || port > 65535) continue;
    ProxyEntry e;
    if (kind == "PROXY" || kind == "HTTP") {
      e.type = url.isHTTPS() ? kCFProxyTypeHTTPS : kCFProxyTypeHTTP;
    } else if (kind == "SOCKS" || kind == "SOCKS5") {
      e.type = kCFProxyTypeSOCKS;
    } else {
      continue;  // HTTPS (TLS to the proxy), SOCKS4: not spoken here
    }
    e.host = host;
    e.port = port;
    out.push_back(e);
  }
  return out;
}

std::optional<std::vector<ProxyEntry>> proxiesForAutoConfigurationScript(const std::string& script, const URL& url,
                                                                         double timeLimit, Error* error) {
  Budget budget;
  budget.deadline = currentClock().monotonic() + timeLimit;
  Budget* outer = currentBudget;
  currentBudget = &budget;
  duk_context* ctx = duk_create_heap(budgetAlloc, budgetRealloc, budgetFree, &budget, fatal);
  if (!ctx) {
    currentBudget = outer;
    setError(error, Error::withDescription(kCFErrorDomainCFNetwork, 0, "The PAC engine could not start"));
    return std::nullopt;
  }
  Run run{&script, pacURLArgument(url), url.host(), std::nullopt, {}};
  if (duk_safe_call(ctx, runScript, &run, 0, 1) != DUK_EXEC_SUCCESS) {
    // The error value itself may be a getter that throws: read it safely, bounded.
    if (duk_safe_call(ctx, describeError, &run, 1, 1) != DUK_EXEC_SUCCESS) run.failure = "the script failed";
  }
  std::optional<std::string> answer = std::move(run.answer);
  std::string failure = std::move(run.failure);
  duk_destroy_heap(ctx);
  currentBudget = outer;
  if (!answer) {
    if (budget.overrun()) failure = "the script ran out of time";
    setError(error, Error::withDescription(kCFErrorDomainCFNetwork, 0, "PAC script failed: " + failure));
    return std::nullopt;
  }
  return parsePACAnswer(*answer, url);
}

// --- the evaluator's thread ---------------------------------------------------------------

struct PACEvaluator::Impl {
  struct Job {
    std::string script;
    std::optional<std::string> path;
    URL url;
    Done done;
  };
  mutable std::mutex mutex;
  std::condition_variable wake;
  std::deque<Job> jobs;
  bool stopping = false;
  std::thread thread;
  double limit = 5;
  std::map<std::string, std::optional<std::vector<ProxyEntry>>> cache;
  // Scripts that ran out of time once: later URLs get no answer from them at
  // once, so one such script does not cost every later evaluation its limit.
  std::set<std::string> overran;
  unsigned long evaluations = 0;

  void run() {
    for (;;) {
      Job job{"", std::nullopt, *URL::parse("http://x/"), nullptr};
      {
        std::unique_lock l(mutex);
        wake.wait(l, [&] { return stopping || !jobs.empty(); });
        if (stopping) return;
        job = std::move(jobs.front());
        jobs.pop_front();
      }
      std::optional<std::vector<ProxyEntry>> result;
      if (job.path) {
        auto text = readScriptFile(*job.path);
        if (text) job.script = std::move(*text);
      }
      if (!job.script.empty()) result = evaluateCached(job.script, job.url);
      runGuarded("PAC answer", [&] { job.done(result); });
    }
  }

  std::optional<std::vector<ProxyEntry>> evaluateCached(const std::string& script, const URL& url) {
    // The key is what the script is given: the URL argument and the host (an
    // https URL is cut to its origin before the script sees it). The script's
    // hash and length stand for it; no OpenSSL on this thread.
    const std::string scriptId = std::to_string(std::hash<std::string>{}(script)) + "/" + std::to_string(script.size());
    const std::string key = scriptId + " " + pacURLArgument(url) + " " + url.host();
    double seconds;
    {
      std::lock_guard l(mutex);
      if (auto it = cache.find(key); it != cache.end()) return it->second;
      if (overran.count(scriptId)) return std::nullopt;
      seconds = limit;
      ++evaluations;
    }
    Error e;
    double started = currentClock().monotonic();
    auto result = proxiesForAutoConfigurationScript(script, url, seconds, &e);
    if (!result) log("%@", e.localizedDescription());
    std::lock_guard l(mutex);
    if (!result && currentClock().monotonic() - started >= seconds) {
      if (overran.size() >= kMaxCacheEntries) overran.clear();
      overran.insert(scriptId);
    }
    if (cache.size() >= kMaxCacheEntries) cache.clear();
    // Failures are kept too: a script that overran once would overrun again.
    cache[key] = result;
    return result;
  }
};

PACEvaluator& PACEvaluator::shared() {
  static PACEvaluator e;
  return e;
}

PACEvaluator::PACEvaluator() : impl_(new Impl) {}

PACEvaluator::~PACEvaluator() {
  {
    std::lock_guard l(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  if (impl_->thread.joinable()) impl_->thread.join();
  delete impl_;
}

void PACEvaluator::evaluate(std::string script, URL url, Done done) {
  std::lock_guard l(impl_->mutex);
  if (!impl_->thread.joinable()) impl_->thread = startThread("PAC", [this] { impl_->run(); });
  impl_->jobs.push_back({std::move(script), std::nullopt, std::move(url), std::move(done)});
  impl_->wake.notify_one();
}

void PACEvaluator::evaluateFile(std::string path, URL url, Done done) {
  std::lock_guard l(impl_->mutex);
  if (!impl_->thread.joinable()) impl_->thread = startThread("PAC", [this] { impl_->run(); });
  impl_->jobs.push_back({"", std::move(path), std::move(url), std::move(done)});
  impl_->wake.notify_one();
}

void PACEvaluator::setTimeLimit(double seconds) {
  std::lock_guard l(impl_->mutex);
  impl_->limit = seconds;
}

double PACEvaluator::timeLimit() const {
  std::lock_guard l(impl_->mutex);
  return impl_->limit;
}

void PACEvaluator::clearCache() {
  std::lock_guard l(impl_->mutex);
  impl_->cache.clear();
  impl_->overran.clear();
}

size_t PACEvaluator::cacheSize() const {
  std::lock_guard l(impl_->mutex);
  return impl_->cache.size();
}

unsigned long PACEvaluator::evaluations() const {
  std::lock_guard l(impl_->mutex);
  return impl_->evaluations;
}

}  // namespace plat
