#include "tests/support/private_secret_service.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/foundation/file_util.h"
#include "platform/net/credential_storage.h"

extern char** environ;

namespace qvtest {

namespace {

// Starts `args` with `env` added to this process's environment, stdin from
// `input` (written and closed) and output to `log`; -1 when it can't start.
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& input,
            const std::string& log) {
  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> vars(env);
  for (char** e = environ; *e; ++e) {
    std::string v = *e;
    bool replaced = false;
    for (const auto& mine : env) replaced |= v.compare(0, mine.find('=') + 1, mine, 0, mine.find('=') + 1) == 0;
    if (!replaced) vars.push_back(v);
  }
  std::vector<char*> argv, envp;
  std::vector<std::string> argsCopy(args);
  for (auto& a : argsCopy) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  if (rc == 0 && !input.empty()) plat::writeAll(in[1], input.data(), input.size());
  ::close(in[1]);
  return rc == 0 ? pid : -1;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

// Waits (real time) for the condition; false after `seconds`.
template <typename F>
bool waitFor(F done, double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace

PrivateSecretService::PrivateSecretService() {
  dir_ = plat::makeTemporaryDirectory("qv-secrets");
  const std::string run = plat::pathJoin(dir_, "run"), bus = plat::pathJoin(dir_, "bus");
  plat::makeDirectories(run, 0700);
  const std::string log = plat::pathJoin(dir_, "log");
  bus_ = spawn({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + bus}, {}, "", log);
  if (bus_ < 0 || !waitFor([&] { return plat::fileExists(bus); }, 20)) {
    failure_ = "dbus-daemon did not start (package dbus-daemon)";
    return;
  }
  const std::string address = "unix:path=" + bus;
  // The login keyring is made and unlocked with the password read from stdin.
  keyring_ = spawn({"gnome-keyring-daemon", "--foreground", "--components=secrets", "--unlock"},
                   {"HOME=" + dir_, "XDG_RUNTIME_DIR=" + run, "XDG_DATA_HOME=" + plat::pathJoin(dir_, "data"),
                    "XDG_CONFIG_HOME=" + plat::pathJoin(dir_, "config"), "DBUS_SESSION_BUS_ADDRESS=" + address},
                   "test-keyring-password", log);
  if (keyring_ < 0) {
    failure_ = "gnome-keyring-daemon did not start (package gnome-keyring)";
    return;
  }
  if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) oldAddress_ = old;
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  if (!waitFor([] { return plat::secretServiceIsRunning(); }, 30)) {
    failure_ = "the secret service never took its name on the bus: " + plat::readFile(log).value_or("");
  }
}

PrivateSecretService::~PrivateSecretService() {
  if (oldAddress_) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", oldAddress_->c_str(), 1);
  } else {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  stop(keyring_);
  stop(bus_);
  if (!dir_.empty()) plat::removeTree(dir_);
}

}  // namespace qvtest
