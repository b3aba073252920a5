// The LAN file service: HttpListen, the TCP listener (port 24753), and
// HttpServer, one accepted connection, serving a content hash whole or as
// one byte range from what LanClient finds (the file cache, a synced file
// still holding that content, the held blocks of a running download).
// Nothing from the request reaches the file system but the hash, and only
// as a key of those lookups.
//
// Threads: both live on the file-service thread of HttpThread and are made,
// driven and destroyed there; bListen and nPort may be read from any thread.
//
// Listener states: listening (createServer bound and scheduled) ->
// terminated (terminateServer: no further connection; accepted ones go on
// to their end). Its destruction closes every connection.
// Connection states: reading a request head -> sending (the head, then the
// body in chunks of at most 102400 bytes, one per writable event) -> idle
// (the connection stays open for a further request) -> closed. A connection
// is closed by the peer's end or error, a request that is malformed, over
// the bounds or not a download (no reply), a 404 (after its head), a failed
// read of the source, the switch turned off, or kIdleSeconds without
// progress. The listener owns its connections; a closed one is freed on the
// next turn of the loop, after its own callback has returned.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/trans/lan/LanClient.h"
#include "app/trans/lan/LanWire.h"
#include "platform/foundation/run_loop.h"

class HttpListen;

class HttpServer {
public:
  static constexpr size_t kChunk = 102400;
  static constexpr size_t kReadSize = 1024;

  HttpServer(HttpListen& owner, int fd, std::string peer);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Schedules the socket on the current thread's loop; false (closed) when
  // it can't be.
  bool connect();
  void close();
  // Closed with a reset (a peer cut for stalling).
  void abort();
  bool isClosed() const { return fd_ < 0; }
  const std::string& peer() const { return peer_; }
  const std::string& fileHash() const { return fileHash_; }
  double lastActive() const { return lastActive_; }

private:
  void handle(uint32_t events);
  void readFromStreamIntoIncomingBuffer();
  void writeOutgoingBufferToStream();
  // Answers the request at the head of the buffer, if a whole one is there.
  void answer();
  void refuse(const std::string& host);
  bool sending() const;
  void wantWrite(bool on);

  HttpListen& owner_;
  int fd_;
  const std::string peer_;
  plat::RunLoop::SourceId source_ = 0;
  bool writing_ = false;
  std::string incomingDataBuffer_;
  std::string fileHash_;
  std::optional<LanSource> fileHandle_;
  bool bHave_ = true;
  int64_t llBegin_ = 0, llEnd_ = -1;
  std::string httpheader_;
  size_t headerSent_ = 0;
  std::vector<uint8_t> chunk_;
  size_t chunkAt_ = 0, chunkEnd_ = 0;
  double lastActive_ = 0;
};

class HttpListen {
public:
  static constexpr uint16_t kPort = 24753;
  static constexpr size_t kMaxConnections = 64;
  static constexpr size_t kMaxPerPeer = 8;
  static constexpr double kIdleSeconds = 30;

  // init: createServer on the calling thread's loop; bListen NO when it fails.
  explicit HttpListen(std::shared_ptr<LanClient> client, uint16_t port = kPort);
  ~HttpListen();
  HttpListen(const HttpListen&) = delete;
  HttpListen& operator=(const HttpListen&) = delete;

  bool createServer();
  void terminateServer();
  // The listener and every connection closed (its own thread, at the end).
  void closeAll();
  // The listener is bound and the settings' switch is on.
  bool iscanhttp();
  bool bListen() const { return bListen_.load(); }
  int64_t nPort() const { return nPort_.load(); }

  // Loop thread only.
  void handleNewNativeSocket(int fd, const sockaddr_in& peer);
  size_t connectionCount() const { return connections_.size(); }
  LanClient& client() { return *client_; }
  const std::shared_ptr<plat::RunLoop>& loop() const { return loop_; }
  // A connection closed itself: freed on the loop's next turn.
  void closed(HttpServer* connection);

private:
  void acceptAll();
  void sweep();

  std::shared_ptr<LanClient> client_;
  std::shared_ptr<plat::RunLoop> loop_;
  const uint16_t port_;
  int listeningSocket_ = -1;
  plat::RunLoop::SourceId source_ = 0, timer_ = 0;
  std::atomic<bool> bListen_{false};
  std::atomic<int64_t> nPort_{0};
  std::map<HttpServer*, std::unique_ptr<HttpServer>> connections_;
  std::vector<std::unique_ptr<HttpServer>> closing_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
