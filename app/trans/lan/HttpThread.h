// HttpThread: the local-network service of one login. It runs three
// threads, each with a run loop of its own: the file-service thread (the
// listener HttpListen and its connections), the discovery thread
// (LocalUdpSocket) and the named-connection thread (the plug-in service,
// run by the body the shell hands in; none yet). Each object is made, driven
// and destroyed on its own thread.
//
// States: running (init: the threads start and make their objects; until
// one has, its getter answers null and a query is not sent) -> exited
// (exit: every loop told to stop; each thread closes its objects on its
// way out) -> joined (join: every thread ended; the ports are free again).
// exit never waits; join waits for the threads and may be called again.
//
// Threads: init and exit from the shell (the main thread or a helper);
// httplisten, udpsocket and checkfilehash from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/trans/LanQuery.h"
#include "app/trans/lan/HttpListen.h"
#include "app/trans/lan/LanClient.h"
#include "app/trans/lan/LocalUdpSocket.h"
#include "platform/foundation/run_loop.h"

class HttpThread : public LanQuery {
public:
  struct Options {
    uint16_t httpPort = HttpListen::kPort;
    uint16_t udpPort = LocalUdpSocket::kPort;
    // Runs on the named-connection thread before its loop; what it sets up
    // lives while the loop runs.
    std::function<void()> iconrun;
  };

  // Makes the service and starts its threads; returns before they have made
  // their objects.
  static std::shared_ptr<HttpThread> init(std::shared_ptr<LanClient> client = makeAppLanClient());
  static std::shared_ptr<HttpThread> init(std::shared_ptr<LanClient> client, Options options);
  ~HttpThread() override;
  HttpThread(const HttpThread&) = delete;
  HttpThread& operator=(const HttpThread&) = delete;

  void exit();
  void join();
  std::shared_ptr<HttpListen> httplisten() const;
  std::shared_ptr<LocalUdpSocket> udpsocket() const;
  bool checkfilehash(const std::string& filehash) override;
  // Waits until both worker objects are made (tests and the start-up log).
  bool waitReady(double seconds) const;

private:
  HttpThread(std::shared_ptr<LanClient> client, Options options);
  void start();
  void httprun();
  void udprun();
  void iconrun();
  // Registers the calling thread's loop, or stops at once when exit came first.
  bool enter(std::shared_ptr<plat::RunLoop>& slot);

  std::shared_ptr<LanClient> client_;
  const Options options_;
  mutable std::mutex mutex_;
  std::mutex joinMutex_;  // one joiner at a time; never held with mutex_
  mutable std::condition_variable ready_;
  bool exited_ = false;
  std::shared_ptr<HttpListen> httplisten_;
  std::shared_ptr<LocalUdpSocket> udpsocket_;
  std::shared_ptr<plat::RunLoop> httpLoop_, udpLoop_, iconLoop_;
  std::thread httpthread_, udpthread_, iconthread_;
};
