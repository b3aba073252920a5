#include "tests/support/virtual_display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qvtest {

namespace {

// A child that ends with this process, however this process ends.
pid_t forkTied() {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
  }
  return pid;
}

// Xvfb on a display number it chose; the number, or -1.
int startXvfb(pid_t* server) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  *server = forkTied();
  if (*server < 0) return -1;
  if (*server == 0) {
    // The write end without close-on-exec, for Xvfb to write the number to.
    const int fd = ::dup(fds[1]);
    const int quiet = ::open("/dev/null", O_WRONLY);
    if (quiet >= 0) {
      ::dup2(quiet, 1);
      ::dup2(quiet, 2);
    }
    const std::string number = std::to_string(fd);
    ::execlp("Xvfb", "Xvfb", "-displayfd", number.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  // The number comes once the server takes clients; a loaded machine is slow.
  std::string text;
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 60000) <= 0) break;
    char buf[32];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.find('\n') != std::string::npos) break;
  }
  ::close(fds[0]);
  if (text.empty() || text.find('\n') == std::string::npos) return -1;
  return std::atoi(text.c_str());
}

int exitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

}  // namespace

std::optional<int> runOnDisplay(int argc, char** argv) {
  // ctest lists the cases without a display.
  const bool listing = argc > 1 && std::string(argv[1]).rfind("--gtest_list_tests", 0) == 0;
  if (listing || std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")) return std::nullopt;
  pid_t server = -1;
  const int display = startXvfb(&server);
  if (display < 0) {
    std::fprintf(stderr, "Xvfb did not start (package xvfb)\n");
    if (server > 0) {
      ::kill(server, SIGTERM);
      ::waitpid(server, nullptr, 0);
    }
    return 127;
  }
  const std::string name = ":" + std::to_string(display);
  ::setenv("DISPLAY", name.c_str(), 1);
  const pid_t cases = forkTied();
  if (cases == 0) return std::nullopt;
  int status = 0;
  if (cases < 0) {
    status = 127 << 8;
  } else {
    while (::waitpid(cases, &status, 0) < 0 && errno == EINTR) {
    }
  }
  // The server goes after every client has.
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  return exitStatus(status);
}

}  // namespace qvtest
