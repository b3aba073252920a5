#include "app/trans/lan/HttpListen.h"

#include <arpa/inet.h>
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "platform/foundation/clock.h"
#include "platform/foundation/log.h"
#include "platform/foundation/thread.h"
#include "platform/net/lan_socket.h"

namespace {
double now() { return plat::currentClock().monotonic(); }
const plat::RunLoop::Modes kModes{plat::kCommonRunLoopModes};
}  // namespace

// ---- HttpServer ----

HttpServer::HttpServer(HttpListen& owner, int fd, std::string peer)
    : owner_(owner), fd_(fd), peer_(std::move(peer)), lastActive_(now()) {}

HttpServer::~HttpServer() { close(); }

bool HttpServer::connect() {
  if (fd_ < 0) return false;
  source_ = owner_.loop()->addFd(fd_, plat::RunLoop::kReadable, [this](uint32_t ev) { handle(ev); }, kModes);
  return true;
}

void HttpServer::close() {
  if (fd_ < 0) return;
  if (source_) owner_.loop()->remove(source_);
  source_ = 0;
  ::close(fd_);
  fd_ = -1;
  fileHandle_.reset();
  incomingDataBuffer_.clear();
  httpheader_.clear();
  chunk_.clear();
  chunk_.shrink_to_fit();
  owner_.closed(this);
}

void HttpServer::abort() {
  // A reset, so the kernel does not go on holding what the peer never read.
  if (fd_ >= 0) {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  close();
}

bool HttpServer::sending() const {
  return headerSent_ < httpheader_.size() || !bHave_ || (fileHandle_ && llBegin_ <= llEnd_);
}

void HttpServer::wantWrite(bool on) {
  if (on == writing_ || fd_ < 0) return;
  writing_ = on;
  owner_.loop()->setFdEvents(source_, on ? plat::RunLoop::kReadable | plat::RunLoop::kWritable : uint32_t{plat::RunLoop::kReadable});
}

void HttpServer::handle(uint32_t events) {
  plat::runGuarded("HttpServer", [&] {
    if (events & plat::RunLoop::kReadable) readFromStreamIntoIncomingBuffer();
    if (fd_ >= 0 && (events & plat::RunLoop::kWritable)) writeOutgoingBufferToStream();
    if (fd_ >= 0 && (events & (plat::RunLoop::kHangup | plat::RunLoop::kError)) &&
        !(events & plat::RunLoop::kReadable))
      close();
  });
}

void HttpServer::readFromStreamIntoIncomingBuffer() {
  char buf[kReadSize];
  for (;;) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      close();
      return;
    }
    if (n < 0) break;
    lastActive_ = now();
    incomingDataBuffer_.append(buf, static_cast<size_t>(n));
    // A head that outgrows the bound is no request this service answers,
    // and requests queued behind a body are held to the same bound.
    if (incomingDataBuffer_.size() > lanwire::kMaxRequestHead) {
      close();
      return;
    }
  }
  if (!sending()) answer();
}

void HttpServer::refuse(const std::string& host) {
  bHave_ = false;
  fileHandle_.reset();
  httpheader_ = lanwire::head404(host, owner_.client().date());
  headerSent_ = 0;
}

void HttpServer::answer() {
  lanwire::Request r;
  size_t consumed = 0;
  const lanwire::Parse p = lanwire::parseRequest(incomingDataBuffer_, r, consumed);
  if (p == lanwire::Parse::kNeedMore) return;
  if (p == lanwire::Parse::kBad || p == lanwire::Parse::kNotDownload || !owner_.iscanhttp()) {
    close();
    return;
  }
  incomingDataBuffer_.erase(0, consumed);
  fileHash_ = r.hash;
  if (p == lanwire::Parse::kNotFound) {
    refuse(r.host);
  } else {
    auto source = owner_.client().findSource(r.hash);
    auto span = source ? lanwire::resolve(r, source->size) : std::nullopt;
    // Of a running download only the blocks it holds.
    if (span && source->have && !bitmapCovers(*source->have, span->first, span->last)) span.reset();
    if (!span) {
      refuse(r.host);
    } else {
      bHave_ = true;
      llBegin_ = static_cast<int64_t>(span->first);
      llEnd_ = span->last;
      const std::string date = owner_.client().date();
      httpheader_ = span->partial ? lanwire::head206(r.host, date, span->first, static_cast<uint64_t>(span->last),
                                                     source->size)
                                  : lanwire::head200(r.host, date, source->size);
      headerSent_ = 0;
      fileHandle_ = std::move(source);
    }
  }
  chunkAt_ = chunkEnd_ = 0;
  wantWrite(true);
  writeOutgoingBufferToStream();
}

void HttpServer::writeOutgoingBufferToStream() {
  if (fd_ < 0) return;
  if (headerSent_ < httpheader_.size()) {
    const ssize_t n = ::send(fd_, httpheader_.data() + headerSent_, httpheader_.size() - headerSent_,
                             MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      close();
      return;
    }
    if (n > 0) {
      headerSent_ += static_cast<size_t>(n);
      lastActive_ = now();
    }
    if (headerSent_ < httpheader_.size()) return;
    httpheader_.clear();
    headerSent_ = 0;
    // The rest of the body goes with the next writable event.
    if (bHave_ && fileHandle_ && llBegin_ <= llEnd_) return;
  }
  if (!bHave_) {
    close();
    return;
  }
  if (fileHandle_ && llBegin_ <= llEnd_) {
    if (chunkAt_ == chunkEnd_) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(llEnd_ - llBegin_ + 1, kChunk));
      chunk_.resize(kChunk);
      const ssize_t got = ::pread(fileHandle_->fd, chunk_.data(), n, llBegin_);
      if (got <= 0) {
        close();
        return;
      }
      chunkAt_ = 0;
      chunkEnd_ = static_cast<size_t>(got);
    }
    const ssize_t n = ::send(fd_, chunk_.data() + chunkAt_, chunkEnd_ - chunkAt_, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      close();
      return;
    }
    if (n > 0) {
      chunkAt_ += static_cast<size_t>(n);
      llBegin_ += n;
      lastActive_ = now();
    }
    if (llBegin_ <= llEnd_) return;
  }
  // The body is out: the connection waits for a further request.
  fileHandle_.reset();
  chunkAt_ = chunkEnd_ = 0;
  wantWrite(false);
  if (!incomingDataBuffer_.empty()) answer();
}

// ---- HttpListen ----

HttpListen::HttpListen(std::shared_ptr<LanClient> client, uint16_t port)
    : client_(std::move(client)), loop_(plat::RunLoop::current()), port_(port) {
  bListen_ = createServer();
  if (!bListen_) terminateServer();
  timer_ = loop_->addTimer(1, 1, true, [this] { sweep(); }, kModes);
}

HttpListen::~HttpListen() { closeAll(); }

void HttpListen::closeAll() {
  terminateServer();
  if (timer_) loop_->remove(timer_);
  timer_ = 0;
  *alive_ = false;
  // Each connection tells closed() as it goes; none is freed twice.
  while (!connections_.empty()) connections_.begin()->second->close();
  closing_.clear();
}

bool HttpListen::createServer() {
  uint16_t bound = 0;
  listeningSocket_ = plat::tcpListen(port_, &bound, 64);
  if (listeningSocket_ < 0) return false;
  nPort_ = bound;
  source_ = loop_->addFd(
      listeningSocket_, plat::RunLoop::kReadable,
      [this](uint32_t) { plat::runGuarded("serverAcceptCallback", [this] { acceptAll(); }); }, kModes);
  return true;
}

void HttpListen::terminateServer() {
  if (listeningSocket_ < 0) return;
  if (source_) loop_->remove(source_);
  source_ = 0;
  ::close(listeningSocket_);
  listeningSocket_ = -1;
}

bool HttpListen::iscanhttp() { return bListen_ && client_->lanSwitch(); }

void HttpListen::acceptAll() {
  for (int i = 0; i < 16 && listeningSocket_ >= 0; ++i) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(listeningSocket_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    handleNewNativeSocket(fd, peer);
  }
}

void HttpListen::handleNewNativeSocket(int fd, const sockaddr_in& peer) {
  const std::string from = plat::ipv4Text(peer);
  const size_t same = static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(), [&](const auto& c) {
    return c.second->peer() == from;
  }));
  // Bounded per peer and in all; nothing at all while the switch is off.
  if (connections_.size() >= kMaxConnections || same >= kMaxPerPeer || !iscanhttp()) {
    ::close(fd);
    return;
  }
  auto c = std::make_unique<HttpServer>(*this, fd, from);
  HttpServer* raw = c.get();
  connections_.emplace(raw, std::move(c));
  if (!raw->connect()) raw->close();
}

void HttpListen::closed(HttpServer* connection) {
  auto it = connections_.find(connection);
  if (it == connections_.end()) return;
  closing_.push_back(std::move(it->second));
  connections_.erase(it);
  std::weak_ptr<bool> alive = alive_;
  loop_->perform(
      [this, alive] {
        if (auto a = alive.lock(); a && *a) closing_.clear();
      },
      kModes);
}

void HttpListen::sweep() {
  const double t = now();
  std::vector<HttpServer*> stale;
  for (auto& [raw, c] : connections_) {
    if (t - c->lastActive() > kIdleSeconds) stale.push_back(raw);
  }
  for (HttpServer* c : stale) c->abort();
  closing_.clear();
}
