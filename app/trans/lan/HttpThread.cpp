#include "app/trans/lan/HttpThread.h"

#include <chrono>

#include "platform/foundation/log.h"
#include "platform/foundation/thread.h"

HttpThread::HttpThread(std::shared_ptr<LanClient> client, Options options)
    : client_(std::move(client)), options_(std::move(options)) {}

std::shared_ptr<HttpThread> HttpThread::init(std::shared_ptr<LanClient> client) {
  return init(std::move(client), Options());
}

std::shared_ptr<HttpThread> HttpThread::init(std::shared_ptr<LanClient> client, Options options) {
  std::shared_ptr<HttpThread> t(new HttpThread(std::move(client), std::move(options)));
  t->start();
  return t;
}

HttpThread::~HttpThread() {
  exit();
  join();
}

void HttpThread::start() {
  httpthread_ = plat::startThread("httprun", [this] { httprun(); });
  udpthread_ = plat::startThread("udprun", [this] { udprun(); });
  iconthread_ = plat::startThread("iconrun", [this] { iconrun(); });
}

bool HttpThread::enter(std::shared_ptr<plat::RunLoop>& slot) {
  std::lock_guard<std::mutex> l(mutex_);
  if (exited_) return false;
  slot = plat::RunLoop::current();
  return true;
}

void HttpThread::httprun() {
  if (!enter(httpLoop_)) return;
  auto listen = std::make_shared<HttpListen>(client_, options_.httpPort);
  if (!listen->bListen()) plat::log("LAN file service: port %d not bound", static_cast<int>(options_.httpPort));
  {
    std::lock_guard<std::mutex> l(mutex_);
    httplisten_ = listen;
  }
  ready_.notify_all();
  plat::RunLoop::current()->run();
  // Closed here, on its own loop, whoever still holds a reference.
  listen->closeAll();
  std::lock_guard<std::mutex> l(mutex_);
  httplisten_.reset();
  listen.reset();
}

void HttpThread::udprun() {
  if (!enter(udpLoop_)) return;
  auto udp = std::make_shared<LocalUdpSocket>(
      client_,
      [this] {
        auto l = httplisten();
        return l ? LocalUdpSocket::Listener{l->iscanhttp(), l->nPort()} : LocalUdpSocket::Listener{};
      },
      options_.udpPort);
  {
    std::lock_guard<std::mutex> l(mutex_);
    udpsocket_ = udp;
  }
  ready_.notify_all();
  plat::RunLoop::current()->run();
  udp->invalidate();
  std::lock_guard<std::mutex> l(mutex_);
  udpsocket_.reset();
}

void HttpThread::iconrun() {
  if (!enter(iconLoop_)) return;
  plat::runGuarded("iconrun", [this] {
    if (options_.iconrun) options_.iconrun();
    plat::RunLoop::current()->run();
  });
}

void HttpThread::exit() {
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (exited_) return;
    exited_ = true;
    // A stop performed on each loop: one that has not begun to run yet
    // stops as soon as it does.
    for (auto* loop : {&httpLoop_, &udpLoop_, &iconLoop_}) {
      if (*loop) {
        auto target = *loop;
        target->perform([target] { target->stop(); });
      }
    }
  }
}

void HttpThread::join() {
  std::lock_guard<std::mutex> l(joinMutex_);
  for (std::thread* t : {&httpthread_, &udpthread_, &iconthread_}) {
    if (t->joinable() && t->get_id() != std::this_thread::get_id()) t->join();
  }
}

std::shared_ptr<HttpListen> HttpThread::httplisten() const {
  std::lock_guard<std::mutex> l(mutex_);
  return httplisten_;
}

std::shared_ptr<LocalUdpSocket> HttpThread::udpsocket() const {
  std::lock_guard<std::mutex> l(mutex_);
  return udpsocket_;
}

bool HttpThread::checkfilehash(const std::string& filehash) {
  auto udp = udpsocket();
  return udp && udp->checkfilehash(filehash);
}

bool HttpThread::waitReady(double seconds) const {
  std::unique_lock<std::mutex> l(mutex_);
  return ready_.wait_for(l, std::chrono::duration<double>(seconds), [this] { return httplisten_ && udpsocket_; });
}
