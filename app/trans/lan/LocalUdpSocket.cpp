#include "app/trans/lan/LocalUdpSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/trans/lan/LanWire.h"
#include "platform/foundation/log.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/thread.h"
#include "platform/net/lan_socket.h"
#include "platform/system/secure_random.h"

namespace {

// IPv4 addresses of this host other than loopback, in the system's order.
std::vector<std::string> broadcastAddresses(const std::vector<std::string>& all) {
  std::vector<std::string> out;
  for (const std::string& a : all) {
    if (a.rfind("127", 0) == 0 || !plat::isIPv4Text(a)) continue;
    out.push_back(a);
  }
  return out;
}

int64_t randomPort() {
  return 10000 + static_cast<int64_t>(plat::secureRandomUInt32() % 55535);
}

}  // namespace

LocalUdpSocket::LocalUdpSocket(std::shared_ptr<LanClient> client, ListenerState listener, uint16_t port)
    : client_(std::move(client)), listener_(std::move(listener)), loop_(plat::RunLoop::current()) {
  m_buffer.resize(65535);
  initport(port);
}

LocalUdpSocket::~LocalUdpSocket() { invalidate(); }

bool LocalUdpSocket::initport(int64_t port) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (port < 10000 || port > 65535) port = randomPort();
    bCreate_ = createport(port);
    if (bCreate_) return true;
    port = randomPort();
  }
  return false;
}

bool LocalUdpSocket::createport(int64_t port) {
  uint16_t bound = 0;
  const int fd = plat::udpBind(static_cast<uint16_t>(port), &bound);
  if (fd < 0) return false;
  udpappSocket_ = fd;
  nPort_ = bound;
  source_ = loop_->addFd(
      fd, plat::RunLoop::kReadable,
      [this](uint32_t) { plat::runGuarded("LocalUdpSocket", [this] { receive(); }); },
      {plat::kCommonRunLoopModes});
  return true;
}

void LocalUdpSocket::invalidate() {
  bCreate_ = false;
  if (source_) loop_->remove(source_);
  source_ = 0;
  if (udpappSocket_ >= 0) ::close(udpappSocket_);
  udpappSocket_ = -1;
}

bool LocalUdpSocket::checkfilehash(const std::string& filehash) {
  if (!bCreate_ || !lanwire::isContentHash(filehash) || !client_->lanSwitch()) return false;
  const int fd = plat::udpBroadcastSocket();
  // A query was due; that none could go is not the asker's concern.
  if (fd < 0) return true;
  lanwire::Datagram q;
  q.kind = lanwire::Kind::kQuery;
  q.hash = filehash;
  q.port = static_cast<uint32_t>(nPort_.load());
  for (const std::string& address : broadcastAddresses(client_->addresses())) {
    q.address = address;
    if (auto bytes = lanwire::encode(q)) {
      plat::udpSendTo(fd, bytes->data(), bytes->size(), "255.255.255.255", static_cast<uint16_t>(q.port));
    }
  }
  ::close(fd);
  return true;
}

void LocalUdpSocket::receive() {
  // A few datagrams per turn, so one busy sender can't hold the thread.
  for (int i = 0; i < 64 && udpappSocket_ >= 0; ++i) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(udpappSocket_, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return;
    // MSG_TRUNC gives the datagram's true length: one longer than the
    // buffer is dropped, never read in part.
    if (static_cast<size_t>(n) > m_buffer.size() || len != sizeof from || from.sin_family != AF_INET) continue;
    callbackEventHandler(from, m_buffer.data(), static_cast<size_t>(n));
  }
}

bool LocalUdpSocket::fromThisHost(const sockaddr_in& from) {
  const std::string sender = plat::ipv4Text(from);
  for (const std::string& a : client_->addresses())
    if (a == sender) return true;
  return false;
}

void LocalUdpSocket::callbackEventHandler(const sockaddr_in& from, const uint8_t* data, size_t size) {
  if (size == 0) return;
  auto d = lanwire::decode(data, size);
  if (!d || !client_->lanSwitch() || fromThisHost(from)) return;
  const std::string sender = plat::ipv4Text(from);
  switch (d->kind) {
    case lanwire::Kind::kQuery:
      answer(from, d->hash, d->port);
      break;
    case lanwire::Kind::kWhole:
      plat::NotificationCenter::defaultCenter().post(
          kUdpAddPeer, plat::Value(plat::Array{lanwire::peerUrl(sender, d->port, d->hash), d->hash}));
      break;
    case lanwire::Kind::kPartial:
      plat::NotificationCenter::defaultCenter().post(
          kUdpAddPeer,
          plat::Value(plat::Array{lanwire::peerUrl(sender, d->port, d->hash), d->hash,
                                  static_cast<long long>(static_cast<int32_t>(d->userid)),
                                  plat::Value(std::move(d->bitmap)), d->bHttpStart, d->bHttpAble}));
      break;
  }
}

void LocalUdpSocket::answer(const sockaddr_in& from, const std::string& hash, uint32_t replyPort) {
  const Listener l = listener_ ? listener_() : Listener{};
  if (!l.bListen || l.nPort <= 0) return;
  lanwire::Datagram reply;
  reply.hash = hash;
  reply.port = static_cast<uint32_t>(l.nPort);
  const auto own = broadcastAddresses(client_->addresses());
  reply.address = own.empty() ? "" : own.front();
  if (client_->holdsWhole(hash)) {
    reply.kind = lanwire::Kind::kWhole;
  } else if (auto s = client_->downloadState(hash)) {
    // A bitmap too long for one datagram is not announced.
    if (s->bitmap.empty() || s->bitmap.size() > static_cast<size_t>(lanwire::kMaxBitmap)) return;
    reply.kind = lanwire::Kind::kPartial;
    reply.bHttpStart = s->bHttpStart;
    reply.bHttpAble = s->bHttpAble;
    reply.userid = client_->userID();
    reply.bitmap = std::move(s->bitmap);
  } else {
    return;
  }
  auto bytes = lanwire::encode(reply);
  if (!bytes) return;
  // To the asking host itself (its sender address), at the port it named.
  sockaddr_in to = from;
  to.sin_port = htons(static_cast<uint16_t>(replyPort));
  plat::udpSendTo(udpappSocket_, bytes->data(), bytes->size(), to);
}
