// LocalUdpSocket: LAN discovery on UDP port 14753 (or a random fallback
// port). A download asks, by broadcast, who holds a content hash
// (checkfilehash); a client that holds the whole file answers with a
// whole-file reply, one that is still downloading it with a partial reply
// carrying its block bitmap; each reply becomes a "UdpAddPeer" notice that
// the transfer manager hands to the running download of that hash.
//
// Threads: made, driven and invalidated on the discovery thread of
// HttpThread, where every datagram is handled and every notice posted;
// checkfilehash runs on the asking download's thread and touches only the
// atomics and a sending socket of its own.
//
// States: unbound (no port after 10 tries: nothing asked, nothing heard) or
// bound -> invalidated (its socket closed, on its thread, before it goes).
// Each datagram is read whole and on its own: one that is short, long, says
// more than it holds, comes from this host or bears an unknown tag is
// dropped. Nothing is asked or answered while the settings' switch is off.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/trans/lan/LanClient.h"
#include "platform/foundation/run_loop.h"

class LocalUdpSocket {
public:
  static constexpr uint16_t kPort = 14753;
  static constexpr const char* kUdpAddPeer = "UdpAddPeer";

  // Whether the file service listens, and on which port.
  struct Listener {
    bool bListen = false;
    int64_t nPort = 0;
  };
  using ListenerState = std::function<Listener()>;

  // init: binds on the calling thread's loop, from `port` (0 or a port
  // outside 10000..65535 starts from a random one).
  LocalUdpSocket(std::shared_ptr<LanClient> client, ListenerState listener, uint16_t port = kPort);
  ~LocalUdpSocket();
  LocalUdpSocket(const LocalUdpSocket&) = delete;
  LocalUdpSocket& operator=(const LocalUdpSocket&) = delete;

  bool initport(int64_t port);
  bool createport(int64_t port);
  // Broadcasts the query for a content hash; true when one was due and went.
  bool checkfilehash(const std::string& filehash);
  // One received datagram from `from` (the discovery thread).
  void callbackEventHandler(const sockaddr_in& from, const uint8_t* data, size_t size);
  // Closes the socket and removes it from its loop (its own thread).
  void invalidate();

  bool bCreate() const { return bCreate_.load(); }
  int64_t nPort() const { return nPort_.load(); }

private:
  void receive();
  void answer(const sockaddr_in& from, const std::string& hash, uint32_t replyPort);
  bool fromThisHost(const sockaddr_in& from);

  std::shared_ptr<LanClient> client_;
  ListenerState listener_;
  std::shared_ptr<plat::RunLoop> loop_;
  int udpappSocket_ = -1;
  plat::RunLoop::SourceId source_ = 0;
  std::atomic<bool> bCreate_{false};
  std::atomic<int64_t> nPort_{0};
  std::vector<uint8_t> m_buffer;
};
