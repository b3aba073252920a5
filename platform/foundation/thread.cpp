#include "platform/foundation/thread.h"

#include <pthread.h>
#include <signal.h>

#include "platform/foundation/error.h"
#include "platform/foundation/log.h"

namespace plat {

namespace {
thread_local std::string tName;
}

const std::string& currentThreadName() { return tName; }

void setCurrentThreadName(std::string name) {
  tName = std::move(name);
  std::string shortName = tName.substr(0, 15);  // the kernel keeps 15 bytes
  pthread_setname_np(pthread_self(), shortName.c_str());
}

namespace {
void guarded(const char* what, const std::function<void()>& body) {
  try {
    body();
  } catch (const Exception& e) {
    log("*** %@: uncaught exception '%@', reason: '%@'", std::string(what), e.name(), e.reason());
  } catch (const std::exception& e) {
    log("*** %@: uncaught exception: %s", std::string(what), e.what());
  } catch (...) {
    log("*** %@: uncaught exception of unknown type", std::string(what));
  }
}
}  // namespace

void runGuarded(const std::string& what, const std::function<void()>& body) { guarded(what.c_str(), body); }

void runGuarded(const char* what, const std::function<void()>& body) { guarded(what, body); }

std::thread startThread(std::string name, std::function<void()> body) {
  return std::thread([name = std::move(name), body = std::move(body)]() {
    // The stop signals are for the main thread, which catches them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    setCurrentThreadName(name);
    runGuarded("thread " + name, body);
  });
}

}  // namespace plat
