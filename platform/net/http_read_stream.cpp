#include "platform/net/http_read_stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/foundation/clock.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "platform/net/connection.h"

namespace plat {

namespace {
constexpr size_t kReadSize = 256 * 1024;
constexpr size_t kBodyFrame = 256 * 1024;
// Past this much unread body the socket is left alone until the client reads.
constexpr size_t kMaxBuffered = 1024 * 1024;
constexpr double kDefaultIdleSeconds = 60;

double now() { return currentClock().monotonic(); }

std::string base64(const std::string& in) {
  static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (uint8_t)in[i] << 16 | (uint8_t)in[i + 1] << 8 | (uint8_t)in[i + 2];
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
  }
  if (i + 1 == in.size()) {
    unsigned v = (uint8_t)in[i] << 16;
    out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    unsigned v = (uint8_t)in[i] << 16 | (uint8_t)in[i + 1] << 8;
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
  }
  return out;
}

Error cfError(long code, std::string text, std::shared_ptr<const Error> underlying = nullptr) {
  return Error::withDescription(kCFErrorDomainCFNetwork, code, std::move(text), std::move(underlying));
}

bool isPOSIX(const Error& e, int code) { return e.domain() == kPOSIXErrorDomain && e.code() == code; }

// "Keep-Alive: timeout=5, max=100" -> 5
std::optional<double> keepAliveTimeout(const HTTPMessage& response) {
  auto v = response.headerFieldValue("Keep-Alive");
  if (!v) return std::nullopt;
  std::string s = *v;
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t at = s.find("timeout=");
  if (at == std::string::npos) return std::nullopt;
  return std::atof(s.c_str() + at + 8);
}
}  // namespace

long DataBodySource::read(uint8_t* buffer, size_t size) {
  size_t n = std::min(size, data_->size() - at_);
  if (n > 0) memcpy(buffer, data_->data() + at_, n);
  at_ += n;
  return static_cast<long>(n);
}

std::unique_ptr<FileBodySource> FileBodySource::open(const std::string& path, Error* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    int err = errno;
    if (fd >= 0) ::close(fd);
    setError(error, Error::withDescription(kPOSIXErrorDomain, err, strerror(err)));
    return nullptr;
  }
  return std::unique_ptr<FileBodySource>(new FileBodySource(fd, static_cast<uint64_t>(st.st_size)));
}

FileBodySource::~FileBodySource() { ::close(fd_); }

long FileBodySource::read(uint8_t* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

std::string ProxySettings::key() const {
  return format("%@ %@:%d %@", type == Type::SOCKS5 ? "socks5" : "http", host, port, username);
}

// Storage of finished streams' body buffers, kept for the next streams. A
// fresh buffer is fresh pages from the system, faulted in and zeroed as it
// fills and handed back when freed, and it doubles (copying) up to its size
// on every response: for one request after another that cost more than
// the bytes themselves. A few are kept, none larger than a full buffer.
class BufferCache {
public:
  static constexpr size_t kKept = 2;
  static constexpr size_t kLargest = 4 * 1024 * 1024;
  static BufferCache& shared() {
    static BufferCache* cache = new BufferCache;  // never destroyed: streams may end at exit
    return *cache;
  }
  // The largest kept buffer, if any; cap is set to its size.
  std::unique_ptr<char[]> take(size_t& cap) {
    std::lock_guard lock(mutex_);
    if (count_ == 0) return nullptr;
    size_t best = 0;
    for (size_t i = 1; i < count_; ++i) {
      if (kept_[i].cap > kept_[best].cap) best = i;
    }
    cap = kept_[best].cap;
    auto b = std::move(kept_[best].buf);
    kept_[best] = std::move(kept_[--count_]);
    return b;
  }
  void give(std::unique_ptr<char[]> b, size_t cap) {
    if (!b || cap > kLargest) return;
    std::lock_guard lock(mutex_);
    if (count_ < kKept) {
      kept_[count_++] = {std::move(b), cap};
      return;
    }
    // Full: keep the larger ones.
    size_t smallest = 0;
    for (size_t i = 1; i < kKept; ++i) {
      if (kept_[i].cap < kept_[smallest].cap) smallest = i;
    }
    if (kept_[smallest].cap < cap) kept_[smallest] = {std::move(b), cap};
  }

private:
  struct Kept {
    std::unique_ptr<char[]> buf;
    size_t cap = 0;
  };
  std::mutex mutex_;
  Kept kept_[kKept];
  size_t count_ = 0;
};

// Unread body bytes: filled at the tail (straight from the socket when it
// can be), read from the head, never shrunk; its storage goes back to the
// cache when the stream ends.
class ByteBuffer {
public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { BufferCache::shared().give(std::move(buf_), cap_); }
  size_t size() const { return end_ - start_; }
  const char* data() const { return buf_.get() + start_; }
  char* prepare(size_t n) {
    if (!buf_) buf_ = BufferCache::shared().take(cap_);
    if (cap_ - end_ < n) {
      size_t have = size();
      if (cap_ - have >= n && start_ > 0) {
        memmove(buf_.get(), data(), have);
      } else {
        size_t cap = std::max(cap_ * 2, have + n);
        auto bigger = std::make_unique_for_overwrite<char[]>(cap);
        if (have) memcpy(bigger.get(), data(), have);
        buf_ = std::move(bigger);
        cap_ = cap;
      }
      start_ = 0;
      end_ = have;
    }
    return buf_.get() + end_;
  }
  void commit(size_t n) { end_ += n; }
  void append(const char* d, size_t n) {
    if (n == 0) return;
    memcpy(prepare(n), d, n);
    commit(n);
  }
  void consume(size_t n) {
    start_ += n;
    if (start_ == end_) start_ = end_ = 0;
  }

private:
  std::unique_ptr<char[]> buf_;
  size_t cap_ = 0, start_ = 0, end_ = 0;
};

// Stands in for a message without a URL, which open() refuses.
const URL& placeholderURL() {
  static const URL& url = *new URL(*URL::parse("http://localhost/"));
  return url;
}

struct HTTPReadStream::Private {
  Private(const HTTPMessage& r, std::unique_ptr<BodySource> b)
      : request(r), body(std::move(b)), url(request.url() ? *request.url() : placeholderURL()) {}
  HTTPMessage request;
  std::unique_ptr<BodySource> body;
  URL url;
  SSLSettings ssl;
  std::optional<ProxySettings> proxy;
  bool persistent = false;
  std::optional<int64_t> connectionID;
  ResponseParser::Limits limits;

  Phase phase = Phase::Idle;
  Status status = Status::NotOpen;
  std::shared_ptr<RunLoop> loop;
  std::vector<std::string> modes;
  RunLoop::SourceId source = 0;
  int sourceFd = -1;
  uint32_t sourceEvents = 0;
  bool kickPosted = false;

  std::vector<ResolvedAddress> addrs;
  size_t nextAddr = 0;
  std::optional<Error> lastConnectError;
  bool resolvedPending = false;
  std::optional<Error> resolveError;

  std::unique_ptr<Connection> conn;
  bool reused = false;
  uint64_t serial = 0;
  bool wantWrite = false;  // TLS asked for a writable socket
  bool wantRead = false;

  // handshake bytes (SOCKS, CONNECT)
  std::string out;
  size_t outAt = 0;
  std::string in;
  int socksStep = 0;

  // the request
  bool justCheckedAlive = false;  // a kept connection, polled as its request starts
  bool chunked = false;
  std::optional<uint64_t> bodyLength;
  uint64_t bodyRead = 0;  // taken from the source
  bool bodySourceDone = true;
  bool sendDone = false;
  size_t framePrefix = 0, framePayload = 0;  // of the frame in `out`
  uint64_t bytesWritten = 0;
  bool peerEOF = false;

  std::unique_ptr<ResponseParser> parser;
  std::shared_ptr<const HTTPMessage> head;
  ByteBuffer bodyBuf;
  std::string scratch;  // body bytes that came through the parser
  bool bufferFull = false;
  // A failure that came while body bytes were still unread: they are read
  // first, then the failure is told.
  bool errorPending = false;

  uint32_t clientEvents = 0;
  std::shared_ptr<Client> client;
  uint32_t owed = 0;
  bool endDelivered = false, errorDelivered = false, openDelivered = false;
  bool headEventOwed = false;  // the head came: one has-bytes event even without body bytes
  std::optional<Error> error;
  double lastActivity = 0;
  uint64_t progress = 0;

  size_t buffered() const { return bodyBuf.size(); }
};

std::shared_ptr<HTTPReadStream> HTTPReadStream::create(const HTTPMessage& request, std::unique_ptr<BodySource> body) {
  return std::shared_ptr<HTTPReadStream>(new HTTPReadStream(request, std::move(body)));
}

HTTPReadStream::HTTPReadStream(const HTTPMessage& request, std::unique_ptr<BodySource> body)
    : p_(std::make_unique<Private>(request, std::move(body))) {
  if (!p_->body && !request.body().empty()) p_->body = std::make_unique<DataBodySource>(request.body());
  p_->lastActivity = now();
  ++p_->progress;
}

HTTPReadStream::~HTTPReadStream() {
  std::lock_guard lock(mutex_);
  removeSourceLocked();
  p_->conn.reset();
}

void HTTPReadStream::setSSLSettings(SSLSettings settings) {
  std::lock_guard lock(mutex_);
  p_->ssl = std::move(settings);
}
void HTTPReadStream::setProxy(std::optional<ProxySettings> proxy) {
  std::lock_guard lock(mutex_);
  p_->proxy = std::move(proxy);
}
void HTTPReadStream::setAttemptPersistentConnection(bool attempt) {
  std::lock_guard lock(mutex_);
  p_->persistent = attempt;
}
void HTTPReadStream::setConnectionID(int64_t id) {
  std::lock_guard lock(mutex_);
  p_->connectionID = id;
}
void HTTPReadStream::setResponseLimits(ResponseParser::Limits limits) {
  std::lock_guard lock(mutex_);
  p_->limits = limits;
}

void HTTPReadStream::setClient(uint32_t events, Client client) {
  std::lock_guard lock(mutex_);
  p_->clientEvents = client ? events : 0;
  p_->client = client ? std::make_shared<Client>(std::move(client)) : nullptr;
}

void HTTPReadStream::scheduleInRunLoop(const std::shared_ptr<RunLoop>& loop, const std::string& mode) {
  {
    std::lock_guard lock(mutex_);
    if (!loop) return;
    if (p_->loop && p_->loop != loop) {
      log("HTTPReadStream: already scheduled on another run loop");
      return;
    }
    p_->loop = loop;
    if (std::find(p_->modes.begin(), p_->modes.end(), mode) != p_->modes.end()) return;
    p_->modes.push_back(mode);
    removeSourceLocked();  // registered again with the new modes
    if (p_->phase != Phase::Idle) {
      updateInterestLocked();
      postKickLocked();
    }
  }
}

void HTTPReadStream::unscheduleFromRunLoop(const std::shared_ptr<RunLoop>& loop, const std::string& mode) {
  std::lock_guard lock(mutex_);
  if (!loop || p_->loop != loop) return;
  std::erase(p_->modes, mode);
  removeSourceLocked();
  if (p_->modes.empty()) {
    p_->loop.reset();
    p_->kickPosted = false;
  } else {
    updateInterestLocked();
  }
}

bool HTTPReadStream::open() {
  {
    std::lock_guard lock(mutex_);
    auto& p = *p_;
    if (p.phase != Phase::Idle || !p.request.isRequest() || !p.request.url()) return false;
    if ((p.url.scheme() != "http" && p.url.scheme() != "https") || p.url.host().empty()) return false;
    if (p.proxy && (p.proxy->host.empty() || p.proxy->port <= 0)) return false;
    // SOCKS5 writes each of these behind a one-byte length: a longer one
    // would go out cut, or spill into the next field.
    if (p.proxy && p.proxy->type == ProxySettings::Type::SOCKS5 &&
        (p.proxy->username.size() > 255 || p.proxy->password.size() > 255 || p.url.host().size() > 255))
      return false;
    // A length the caller declared must be one, or the body can't be framed.
    if (auto declared = p.request.headerFieldValue("Content-Length"); declared && !parseHTTPLength(*declared))
      return false;
    // HTTP/1.0 has no chunks: a body of unknown length can't be framed.
    if (p.body && !p.body->length() && p.request.version() == kHTTPVersion1_0 &&
        !p.request.hasHeaderField("Content-Length"))
      return false;
    p.status = Status::Opening;
    p.lastActivity = now();
    ++p.progress;
    p.parser = std::make_unique<ResponseParser>(p.request.method(), p.limits);
    if (p.persistent) {
      if (auto c = ConnectionRegistry::shared().takeIdle(connectionKeyLocked())) {
        p.conn = std::move(c);
        p.reused = true;
        p.justCheckedAlive = true;
        p.serial = p.conn->serial();
        startSendingLocked();
        if (p.loop && p.loop->isCurrent() && !p.modes.empty()) {
          // On the loop's own thread the request goes out now: the socket
          // was found alive and writable a moment ago. The events wait for
          // the loop, so no callback runs inside open().
          pumpLocked();
          if (p.owed & p.clientEvents) postKickLocked();
        } else {
          updateInterestLocked();
          postKickLocked();
        }
        return true;
      }
    }
    p.phase = Phase::Resolving;
  }
  std::string host;
  int port;
  {
    std::lock_guard lock(mutex_);
    host = p_->proxy ? p_->proxy->host : p_->url.host();
    port = p_->proxy ? p_->proxy->port : p_->url.effectivePort();
  }
  std::weak_ptr<HTTPReadStream> weak = weak_from_this();
  resolveHost(host, port, [weak](std::vector<ResolvedAddress> addrs, std::optional<Error> error) {
    if (auto self = weak.lock()) self->onResolved(std::move(addrs), std::move(error));
  });
  return true;
}

void HTTPReadStream::onResolved(std::vector<ResolvedAddress> addrs, std::optional<Error> error) {
  std::lock_guard lock(mutex_);
  if (p_->phase != Phase::Resolving) return;
  p_->addrs = std::move(addrs);
  p_->resolveError = std::move(error);
  p_->resolvedPending = true;
  postKickLocked();
}

void HTTPReadStream::close() {
  std::unique_ptr<Connection> drop;
  std::lock_guard lock(mutex_);
  removeSourceLocked();
  drop = std::move(p_->conn);
  if (p_->phase != Phase::Closed) {
    p_->phase = Phase::Closed;
    p_->status = Status::Closed;
  }
  p_->owed = 0;
}

HTTPReadStream::Status HTTPReadStream::status() const {
  std::lock_guard lock(mutex_);
  return p_->status;
}

bool HTTPReadStream::hasBytesAvailable() const {
  std::lock_guard lock(mutex_);
  return p_->status != Status::Error && p_->buffered() > 0;
}

long HTTPReadStream::read(uint8_t* buffer, size_t size) {
  PLAT_PARAMETER_ASSERT(buffer != nullptr || size == 0);
  std::lock_guard lock(mutex_);
  auto& p = *p_;
  if (p.status == Status::Error) return -1;
  if (p.status == Status::Closed) return 0;
  size_t n = std::min(size, p.buffered());
  if (n > 0) {
    memcpy(buffer, p.bodyBuf.data(), n);
    p.bodyBuf.consume(n);
  }
  if (p.buffered() > 0) {
    p.owed |= kEventHasBytesAvailable;
    postKickLocked();
  } else if (p.errorPending) {
    p.errorPending = false;
    p.status = Status::Error;
    p.owed |= kEventErrorOccurred;
    postKickLocked();
  } else if (p.phase == Phase::Done && !p.endDelivered) {
    p.status = Status::AtEnd;
    p.owed |= kEventEndEncountered;
    postKickLocked();
  }
  if (p.bufferFull && p.buffered() < kMaxBuffered / 2) {
    p.bufferFull = false;
    updateInterestLocked();
    postKickLocked();  // TLS may hold decrypted bytes that no socket event will announce
  }
  return static_cast<long>(n);
}

std::optional<Error> HTTPReadStream::error() const {
  std::lock_guard lock(mutex_);
  return p_->error;
}

std::shared_ptr<const HTTPMessage> HTTPReadStream::responseHeader() const {
  std::lock_guard lock(mutex_);
  return p_->head;
}

uint64_t HTTPReadStream::requestBytesWritten() const {
  std::lock_guard lock(mutex_);
  return p_->bytesWritten;
}

double HTTPReadStream::lastActivityTime() const {
  std::lock_guard lock(mutex_);
  return p_->lastActivity;
}

uint64_t HTTPReadStream::progressMarker() const {
  std::lock_guard lock(mutex_);
  return p_->progress;
}

bool HTTPReadStream::connectionWasReused() const {
  std::lock_guard lock(mutex_);
  return p_->reused;
}

uint64_t HTTPReadStream::connectionSerial() const {
  std::lock_guard lock(mutex_);
  return p_->serial;
}

std::string HTTPReadStream::connectionKeyLocked() const {
  const auto& p = *p_;
  std::string key = p.url.scheme() + "://" + p.url.host() + ":" + std::to_string(p.url.effectivePort());
  if (p.url.isHTTPS()) key += " tls[" + p.ssl.key() + "]";
  if (p.proxy) key += " proxy[" + p.proxy->key() + "]";
  key += " id=" + (p.connectionID ? std::to_string(*p.connectionID) : std::string("-"));
  return key;
}

size_t HTTPReadStream::closeIdleConnections(int64_t connectionID) {
  return ConnectionRegistry::shared().closeIdleWithKeySuffix(" id=" + std::to_string(connectionID));
}

// --- run loop plumbing -------------------------------------------------------

void HTTPReadStream::removeSourceLocked() {
  if (p_->source && p_->loop) p_->loop->remove(p_->source);
  p_->source = 0;
  p_->sourceFd = -1;
  p_->sourceEvents = 0;
}

void HTTPReadStream::updateInterestLocked() {
  auto& p = *p_;
  uint32_t want = 0;
  int fd = p.conn ? p.conn->fd() : -1;
  switch (p.phase) {
    case Phase::Connecting:
      want = RunLoop::kWritable;
      break;
    case Phase::SOCKS:
    case Phase::Tunnel:
      want = p.outAt < p.out.size() ? RunLoop::kWritable : RunLoop::kReadable;
      break;
    case Phase::TLS:
      want = p.wantWrite ? RunLoop::kWritable : RunLoop::kReadable;
      break;
    case Phase::Sending:
      want = RunLoop::kWritable | (p.peerEOF ? 0u : static_cast<uint32_t>(RunLoop::kReadable));
      break;
    case Phase::Receiving:
      want = p.bufferFull ? 0u : static_cast<uint32_t>(p.wantWrite ? RunLoop::kWritable : RunLoop::kReadable);
      break;
    default:
      break;
  }
  if (fd < 0 || want == 0 || !p.loop || p.modes.empty()) {
    removeSourceLocked();
    return;
  }
  if (p.source && p.sourceFd == fd) {
    if (p.sourceEvents != want) {
      p.loop->setFdEvents(p.source, want);
      p.sourceEvents = want;
    }
    return;
  }
  removeSourceLocked();
  std::weak_ptr<HTTPReadStream> weak = weak_from_this();
  p.source = p.loop->addFd(
      fd, want,
      [weak](uint32_t events) {
        if (auto self = weak.lock()) self->onIO(events);
      },
      p.modes);
  p.sourceFd = fd;
  p.sourceEvents = want;
}

void HTTPReadStream::postKickLocked() {
  auto& p = *p_;
  if (p.kickPosted || !p.loop || p.modes.empty()) return;
  p.kickPosted = true;
  std::weak_ptr<HTTPReadStream> weak = weak_from_this();
  p.loop->perform(
      [weak] {
        if (auto self = weak.lock()) self->kick();
      },
      p.modes);
}

void HTTPReadStream::kick() {
  {
    std::lock_guard lock(mutex_);
    p_->kickPosted = false;
    if (p_->phase == Phase::Closed) return;
    pumpLocked();
  }
  deliver();
}

void HTTPReadStream::onIO(uint32_t) {
  {
    std::lock_guard lock(mutex_);
    if (p_->phase == Phase::Closed) return;
    pumpLocked();
  }
  deliver();
}

void HTTPReadStream::deliver() {
  auto self = shared_from_this();  // a callback may drop the last outside reference
  for (uint32_t ev : {kEventOpenCompleted, kEventHasBytesAvailable, kEventEndEncountered, kEventErrorOccurred}) {
    std::shared_ptr<Client> client;
    {
      std::lock_guard lock(mutex_);
      auto& p = *p_;
      if (!(p.owed & ev)) continue;
      p.owed &= ~ev;
      if (p.phase == Phase::Closed) return;
      if (ev == kEventHasBytesAvailable) {
        if (p.status == Status::Error || (p.buffered() == 0 && !p.headEventOwed)) continue;
        p.headEventOwed = false;
      }
      if (ev == kEventEndEncountered) {
        if (p.endDelivered || p.buffered() > 0) continue;
        p.endDelivered = true;
      }
      if (ev == kEventErrorOccurred) {
        if (p.errorDelivered) continue;
        p.errorDelivered = true;
      }
      if (ev == kEventOpenCompleted) {
        if (p.openDelivered) continue;
        p.openDelivered = true;
      }
      if (!(p.clientEvents & ev) || !p.client) continue;
      client = p.client;
    }
    (*client)(ev);
  }
}

// --- the exchange ------------------------------------------------------------

void HTTPReadStream::pumpLocked() {
  auto& p = *p_;
  if (!p.loop) return;  // nothing moves while unscheduled
  for (int round = 0; round < 64; ++round) {
    Phase before = p.phase;
    switch (p.phase) {
      case Phase::Resolving:
        if (!p.resolvedPending) break;
        p.resolvedPending = false;
        if (p.resolveError) {
          failLocked(*p.resolveError);
          break;
        }
        p.phase = Phase::Connecting;
        connectNextLocked();
        break;
      case Phase::Connecting: {
        if (!p.conn) break;
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(p.conn->fd(), SOL_SOCKET, SO_ERROR, &err, &len);
        if (err == 0) {
          // Connected once a write would not block.
          sockaddr_storage peer{};
          socklen_t plen = sizeof peer;
          if (getpeername(p.conn->fd(), reinterpret_cast<sockaddr*>(&peer), &plen) != 0) {
            if (errno == ENOTCONN) break;  // still connecting
            err = errno;
          }
        }
        if (err != 0) {
          p.lastConnectError = Error::withDescription(kPOSIXErrorDomain, err, strerror(err));
          p.conn.reset();
          connectNextLocked();
          break;
        }
        afterConnectLocked();
        break;
      }
      case Phase::SOCKS:
      case Phase::Tunnel:
      case Phase::TLS:
      case Phase::Sending:
        if (p.phase == Phase::TLS) {
          Error e;
          p.wantWrite = false;
          auto io = p.conn->tls()->handshake(&e);
          if (io == TLSSession::IO::Done) {
            startSendingLocked();
          } else if (io == TLSSession::IO::WantWrite) {
            p.wantWrite = true;
          } else if (io == TLSSession::IO::Failed || io == TLSSession::IO::Closed) {
            failLocked(e.domain().empty() ? Error::withDescription(kOSStatusErrorDomain, errSSLClosedAbort,
                                                                    "The TLS handshake failed")
                                          : e);
          }
          break;
        }
        if (p.phase == Phase::Sending) {
          // Read too: a server may answer (or hang up) before the body is all
          // out; not on the first turn of a kept connection that was found
          // alive a moment ago, when nothing has been sent to answer.
          if (!p.peerEOF && !p.justCheckedAlive) readResponseLocked();
          p.justCheckedAlive = false;
          // A few frames per turn, so reading and other sources get their turn.
          for (int frames = 0; frames < 16 && p.phase == Phase::Sending; ++frames) {
            if (!flushOutLocked() || p.phase != Phase::Sending) break;
            if (!fillBodyFrameLocked()) {
              if (p.phase == Phase::Sending) {
                p.sendDone = true;
                p.phase = Phase::Receiving;
              }
              break;
            }
          }
          break;
        }
        // SOCKS and CONNECT: write what is queued, then read the answer.
        if (!flushOutLocked()) break;
        {
          char buf[4096];
          size_t moved = 0;
          Error e;
          auto io = p.conn->read(buf, p.phase == Phase::SOCKS ? 1 : sizeof buf, moved, &e);
          if (io == Connection::IO::WantRead || io == Connection::IO::WantWrite) break;
          if (io != Connection::IO::Done) {
            if (p.phase == Phase::SOCKS)
              failLocked(cfError(kCFSOCKS5ErrorBadState, "The SOCKS proxy closed the connection"));
            else
              failLocked(cfError(kCFErrorHTTPConnectionLost, "The proxy closed the connection",
                                 io == Connection::IO::Failed ? std::make_shared<Error>(e) : nullptr));
            break;
          }
          p.lastActivity = now();
          ++p.progress;
          if (p.phase == Phase::Tunnel) {
            std::string body;
            size_t used = p.parser->feed(buf, moved, body);
            if (p.parser->isFailed()) {
              failLocked(cfError(kCFErrorHTTPParseFailure, "The proxy's answer to CONNECT is not HTTP: " +
                                                               p.parser->errorText()));
              break;
            }
            if (!p.parser->headComplete()) break;
            int status = p.parser->response().statusCode();
            if (status >= 200 && status < 300) {
              if (used != moved) {
                failLocked(cfError(kCFErrorHTTPParseFailure, "The proxy sent bytes before the tunnel was up"));
                break;
              }
              p.parser = std::make_unique<ResponseParser>(p.request.method(), p.limits);
              startTLSOrSendLocked();
            } else {
              // The proxy's refusal is the answer to hand up.
              p.phase = Phase::Receiving;
              p.sendDone = false;
              p.bodyBuf.append(body.data(), body.size());
              headArrivedLocked();
              if (p.parser->isDone()) finishResponseLocked(false);
            }
            break;
          }
          // SOCKS5, one byte at a time (the answers are short).
          p.in.push_back(buf[0]);
          auto& in = p.in;
          const auto& px = *p.proxy;
          if (p.socksStep == 0 && in.size() == 2) {
            if (in[0] != 5) {
              failLocked(cfError(kCFSOCKS5ErrorBadState, "The proxy does not speak SOCKS5"));
            } else if (static_cast<uint8_t>(in[1]) == 0) {
              p.socksStep = 2;
            } else if (static_cast<uint8_t>(in[1]) == 2 && !px.username.empty()) {
              p.socksStep = 1;
              p.out = std::string("\x01", 1) + static_cast<char>(px.username.size()) + px.username +
                      static_cast<char>(px.password.size()) + px.password;
              p.outAt = 0;
            } else if (static_cast<uint8_t>(in[1]) == 0xff) {
              failLocked(cfError(kCFSOCKS5ErrorNoAcceptableMethod, "The SOCKS proxy accepts none of our methods"));
            } else {
              failLocked(cfError(kCFSOCKS5ErrorUnsupportedNegotiationMethod, "The SOCKS proxy chose an unknown method"));
            }
            in.clear();
          } else if (p.socksStep == 1 && in.size() == 2) {
            if (in[1] != 0)
              failLocked(cfError(kCFSOCKS5ErrorBadCredentials, "The SOCKS proxy refused the user name and password"));
            else
              p.socksStep = 2;
            in.clear();
          } else if (p.socksStep == 3 && in.size() >= 5) {
            uint8_t atyp = static_cast<uint8_t>(in[3]);
            size_t need = atyp == 1 ? 10 : atyp == 4 ? 22 : atyp == 3 ? 7 + static_cast<uint8_t>(in[4]) : 0;
            if (in[0] != 5 || need == 0) {
              failLocked(cfError(kCFSOCKS5ErrorBadResponseAddr, "The SOCKS proxy's answer is malformed"));
            } else if (in[1] != 0) {
              failLocked(cfError(kCFSOCKS5ErrorBadState,
                                 format("The SOCKS proxy could not connect (reply %d)", static_cast<int>(in[1]))));
            } else if (in.size() == need) {
              in.clear();
              startTLSOrSendLocked();
            }
          }
          if (p.phase == Phase::SOCKS && p.socksStep == 2) {
            // CONNECT by name: the proxy resolves it.
            std::string host = p.url.host();
            uint16_t port = static_cast<uint16_t>(p.url.effectivePort());
            std::string req("\x05\x01\x00", 3);
            unsigned char a6[16];
            unsigned char a4[4];
            if (inet_pton(AF_INET, host.c_str(), a4) == 1) {
              req += '\x01';
              req.append(reinterpret_cast<char*>(a4), 4);
            } else if (inet_pton(AF_INET6, host.c_str(), a6) == 1) {
              req += '\x04';
              req.append(reinterpret_cast<char*>(a6), 16);
            } else {
              req += '\x03';
              req += static_cast<char>(host.size());  // at most 255, checked by open()
              req += host;
            }
            req += static_cast<char>(port >> 8);
            req += static_cast<char>(port & 0xff);
            p.out = req;
            p.outAt = 0;
            p.socksStep = 3;
          }
        }
        break;
      case Phase::Receiving:
        if (!p.bufferFull) readResponseLocked();
        break;
      default:
        break;
    }
    // The answer to a request that has just gone out can't be there yet:
    // the socket tells when it is (bytes held inside TLS it can't tell).
    if (before == Phase::Sending && p.phase == Phase::Receiving && p.conn && !p.conn->hasPendingBytes()) break;
    // Keep going while a phase completed in this round (the next one may be
    // able to move without waiting for the socket).
    if (p.phase == before || p.phase == Phase::Done || p.phase == Phase::Failed || p.phase == Phase::Closed) {
      if (p.phase == before && p.phase == Phase::Receiving && !p.bufferFull && p.conn && p.conn->hasPendingBytes())
        continue;
      break;
    }
  }
  updateInterestLocked();
}

void HTTPReadStream::connectNextLocked() {
  auto& p = *p_;
  while (p.nextAddr < p.addrs.size()) {
    const auto& a = p.addrs[p.nextAddr++];
    int fd = ::socket(a.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      p.lastConnectError = Error::withDescription(kPOSIXErrorDomain, errno, strerror(errno));
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&a.address), a.length);
    if (r == 0 || errno == EINPROGRESS) {
      p.conn = std::make_unique<Connection>(fd, connectionKeyLocked());
      p.serial = p.conn->serial();
      if (r == 0) afterConnectLocked();
      return;
    }
    p.lastConnectError = Error::withDescription(kPOSIXErrorDomain, errno, strerror(errno));
    ::close(fd);
  }
  failLocked(p.lastConnectError ? *p.lastConnectError
                                : Error::withDescription(kPOSIXErrorDomain, ECONNREFUSED, strerror(ECONNREFUSED)));
}

void HTTPReadStream::afterConnectLocked() {
  auto& p = *p_;
  p.lastActivity = now();
  ++p.progress;
  if (p.proxy && p.proxy->type == ProxySettings::Type::SOCKS5) {
    p.phase = Phase::SOCKS;
    p.socksStep = 0;
    p.out = p.proxy->username.empty() ? std::string("\x05\x01\x00", 3) : std::string("\x05\x02\x00\x02", 4);
    p.outAt = 0;
    return;
  }
  if (p.proxy && p.url.isHTTPS()) {
    p.phase = Phase::Tunnel;
    std::string authority = (p.url.isIPv6Host() ? "[" + p.url.host() + "]" : p.url.host()) + ":" +
                            std::to_string(p.url.effectivePort());
    p.out = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (auto auth = p.request.headerFieldValue("Proxy-Authorization"))
      p.out += "Proxy-Authorization: " + *auth + "\r\n";
    else if (!p.proxy->username.empty())
      p.out += "Proxy-Authorization: Basic " + base64(p.proxy->username + ":" + p.proxy->password) + "\r\n";
    p.out += "\r\n";
    p.outAt = 0;
    p.parser = std::make_unique<ResponseParser>("CONNECT", p.limits);
    return;
  }
  startTLSOrSendLocked();
}

void HTTPReadStream::startTLSOrSendLocked() {
  auto& p = *p_;
  if (!p.url.isHTTPS()) {
    startSendingLocked();
    return;
  }
  Error e;
  auto tls = TLSSession::create(p.conn->fd(), p.ssl, p.url.host(), &e);
  if (!tls) {
    failLocked(e);
    return;
  }
  p.conn->startTLS(std::move(tls));
  p.phase = Phase::TLS;
}

std::string HTTPReadStream::buildHeadLocked() {
  auto& p = *p_;
  bool absolute = p.proxy && p.proxy->type == ProxySettings::Type::HTTP && !p.url.isHTTPS();
  std::string head;
  head.reserve(256);
  head.append(p.request.method()).append(" ");
  head.append(absolute ? p.url.absoluteFormTarget() : p.url.requestTarget());
  head.append(" ").append(p.request.version()).append("\r\n");
  if (!p.request.hasHeaderField("Host")) head.append("Host: ").append(p.url.hostHeader()).append("\r\n");
  for (const auto& [name, value] : p.request.headerFields()) {
    // Credentials for a proxy are for the proxy alone.
    if (!absolute && equalsIgnoringCase(name, "Proxy-Authorization")) continue;
    head.append(name).append(": ").append(value).append("\r\n");
  }
  if (absolute && !p.proxy->username.empty() && !p.request.hasHeaderField("Proxy-Authorization"))
    head += "Proxy-Authorization: Basic " + base64(p.proxy->username + ":" + p.proxy->password) + "\r\n";
  p.chunked = false;
  p.bodyLength.reset();
  if (p.body) {
    auto declared = p.request.headerFieldValue("Content-Length");
    if (declared) {
      p.bodyLength = parseHTTPLength(*declared);  // checked by open()
    } else if (auto te = p.request.headerFieldValue("Transfer-Encoding")) {
      p.chunked = true;
    } else if (auto n = p.body->length()) {
      p.bodyLength = *n;
      head += "Content-Length: " + std::to_string(*n) + "\r\n";
    } else {
      p.chunked = true;
      head += "Transfer-Encoding: chunked\r\n";
    }
    p.bodySourceDone = false;
  }
  return head + "\r\n";
}

void HTTPReadStream::startSendingLocked() {
  auto& p = *p_;
  p.phase = Phase::Sending;
  p.status = Status::Open;
  p.owed |= kEventOpenCompleted;
  p.out = buildHeadLocked();
  p.outAt = 0;
  p.framePrefix = p.framePayload = 0;
  p.lastActivity = now();
  ++p.progress;
}

// Writes what is queued in `out`; true when all of it went. Body payload in
// a frame is counted as it goes out, chunk framing is not.
bool HTTPReadStream::flushOutLocked() {
  auto& p = *p_;
  while (p.outAt < p.out.size()) {
    size_t moved = 0;
    Error e;
    p.wantWrite = false;
    auto io = p.conn->write(p.out.data() + p.outAt, p.out.size() - p.outAt, moved, &e);
    if (io == Connection::IO::Done) {
      size_t from = p.outAt, to = p.outAt + moved;
      size_t payloadFrom = std::clamp(from, p.framePrefix, p.framePrefix + p.framePayload);
      size_t payloadTo = std::clamp(to, p.framePrefix, p.framePrefix + p.framePayload);
      p.bytesWritten += payloadTo - payloadFrom;
      p.outAt = to;
      p.lastActivity = now();
      ++p.progress;
      continue;
    }
    if (io == Connection::IO::WantWrite) return false;
    if (io == Connection::IO::WantRead) {
      p.wantRead = true;
      return false;
    }
    if (p.phase == Phase::Sending && p.parser->bytesSeen() == 0) {
      failConnectionLostLocked(io == Connection::IO::Failed ? &e : nullptr, "The connection closed while the request was sent");
    } else {
      failLocked(e.domain().empty() ? cfError(kCFErrorHTTPConnectionLost, "The connection closed") : e);
    }
    return false;
  }
  p.out.clear();
  p.outAt = 0;
  p.framePrefix = p.framePayload = 0;
  return true;
}

// Queues the next piece of the body; false when the body is all out.
bool HTTPReadStream::fillBodyFrameLocked() {
  auto& p = *p_;
  if (!p.body || p.bodySourceDone) return false;
  size_t want = kBodyFrame;
  if (p.bodyLength) want = static_cast<size_t>(std::min<uint64_t>(want, *p.bodyLength - p.bodyRead));
  std::string payload(want, '\0');
  long n = want ? p.body->read(reinterpret_cast<uint8_t*>(payload.data()), want) : 0;
  if (n < 0) {
    failLocked(Error::withDescription(kPOSIXErrorDomain, EIO, "The request body could not be read"));
    return false;
  }
  payload.resize(static_cast<size_t>(n));
  p.bodyRead += static_cast<uint64_t>(n);
  if (p.bodyLength && n == 0 && p.bodyRead < *p.bodyLength) {
    failLocked(Error::withDescription(kPOSIXErrorDomain, EIO, "The request body ended before its Content-Length"));
    return false;
  }
  bool last = n == 0 || (p.bodyLength && p.bodyRead == *p.bodyLength);
  if (p.chunked) {
    std::string prefix = n > 0 ? format("%lx\r\n", n) : std::string();
    std::string suffix = n > 0 ? "\r\n" : "";
    if (n == 0) suffix = "0\r\n\r\n";
    p.framePrefix = prefix.size();
    p.framePayload = static_cast<size_t>(n);
    p.out = prefix + payload + suffix;
    if (n == 0) p.bodySourceDone = true;
  } else {
    p.framePrefix = 0;
    p.framePayload = static_cast<size_t>(n);
    p.out = std::move(payload);
    if (last) p.bodySourceDone = true;
  }
  p.outAt = 0;
  if (p.out.empty()) return false;
  return true;
}

void HTTPReadStream::readResponseLocked() {
  auto& p = *p_;
  static thread_local auto buf = std::make_unique_for_overwrite<char[]>(kReadSize);
  while (p.conn && (p.phase == Phase::Sending || p.phase == Phase::Receiving)) {
    if (p.buffered() >= kMaxBuffered) {
      p.bufferFull = true;
      return;
    }
    // Plain body bytes go straight into the body buffer; the rest is parsed.
    uint64_t direct = p.parser->directBodyBytes();
    size_t want = direct ? static_cast<size_t>(std::min<uint64_t>(kReadSize, direct)) : kReadSize;
    char* into = direct ? p.bodyBuf.prepare(want) : buf.get();
    size_t moved = 0;
    Error e;
    p.wantWrite = false;
    auto io = p.conn->read(into, want, moved, &e);
    if (io == Connection::IO::WantRead) return;
    if (io == Connection::IO::WantWrite) {
      p.wantWrite = true;
      return;
    }
    if (io == Connection::IO::Closed || io == Connection::IO::Failed) {
      bool reset = io == Connection::IO::Failed && (isPOSIX(e, ECONNRESET) || isPOSIX(e, EPIPE));
      if (p.parser->bytesSeen() == 0 && (io == Connection::IO::Closed || reset)) {
        if (p.phase == Phase::Sending && io == Connection::IO::Closed) {
          // The server may still read what we send; its answer (or the end) comes later.
          p.peerEOF = true;
          if (!p.reused) return;
        }
        failConnectionLostLocked(reset ? &e : nullptr, "The connection closed before any response");
        return;
      }
      if (io == Connection::IO::Failed && !reset) {
        failLocked(e);
        return;
      }
      if (p.parser->finish()) {
        if (!p.head) headArrivedLocked();
        finishResponseLocked(false);
      } else {
        failLocked(cfError(kCFErrorHTTPConnectionLost, p.parser->errorText()));
      }
      return;
    }
    p.lastActivity = now();
    ++p.progress;
    size_t used = moved;
    if (direct) {
      p.bodyBuf.commit(moved);
      p.parser->takeDirectBody(moved);
      p.owed |= kEventHasBytesAvailable;
    } else {
      p.scratch.clear();
      used = p.parser->feed(buf.get(), moved, p.scratch);
      if (p.parser->isFailed()) {
        failLocked(cfError(kCFErrorHTTPParseFailure, p.parser->errorText()));
        return;
      }
      if (p.parser->headComplete() && !p.head) headArrivedLocked();
      if (!p.scratch.empty()) {
        p.bodyBuf.append(p.scratch.data(), p.scratch.size());
        p.owed |= kEventHasBytesAvailable;
      }
    }
    if (p.parser->isDone()) {
      finishResponseLocked(used == moved && !p.conn->hasPendingBytes());
      return;
    }
  }
}

void HTTPReadStream::headArrivedLocked() {
  auto& p = *p_;
  p.head = std::make_shared<const HTTPMessage>(p.parser->response());
  p.status = Status::Reading;
  // The head is worth an event of its own: the client learns the status
  // before any body byte.
  p.headEventOwed = true;
  p.owed |= kEventHasBytesAvailable;
}

void HTTPReadStream::finishResponseLocked(bool cleanEnd) {
  auto& p = *p_;
  removeSourceLocked();
  auto asked = p.request.headerFieldValue("Connection");
  bool closeAsked = asked && asked->find("close") != std::string::npos;
  bool reusable = cleanEnd && p.persistent && !closeAsked && p.parser->keepAlive() && p.sendDone && !p.peerEOF &&
                  p.phase == Phase::Receiving;
  std::unique_ptr<Connection> conn = std::move(p.conn);
  if (reusable && conn) {
    conn->noteRequestServed();
    double idle = kDefaultIdleSeconds;
    if (auto t = keepAliveTimeout(*p.head)) idle = std::max(0.0, std::min(*t - 1, 300.0));
    ConnectionRegistry::shared().putIdle(std::move(conn), idle);
  }
  conn.reset();
  p.phase = Phase::Done;
  if (p.buffered() == 0) {
    p.status = Status::AtEnd;
    p.owed |= kEventEndEncountered;
  } else {
    p.owed |= kEventHasBytesAvailable;
  }
}

void HTTPReadStream::failConnectionLostLocked(const Error* cause, const char* text) {
  auto& p = *p_;
  auto under = cause ? std::make_shared<const Error>(*cause) : nullptr;
  if (p.reused)
    failLocked(cfError(kCFURLErrorNetworkConnectionLost, "The network connection was lost.", under));
  else
    failLocked(cfError(kCFErrorHTTPConnectionLost, text, under));
}

void HTTPReadStream::failLocked(Error error) {
  auto& p = *p_;
  removeSourceLocked();
  p.conn.reset();
  p.phase = Phase::Failed;
  p.error = std::move(error);
  if (p.buffered() > 0 && p.status == Status::Reading) {
    p.errorPending = true;
    p.owed |= kEventHasBytesAvailable;
    return;
  }
  p.status = Status::Error;
  p.owed |= kEventErrorOccurred;
}

}  // namespace plat
