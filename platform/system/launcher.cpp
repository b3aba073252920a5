#include "platform/system/launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/foundation/file_util.h"
#include "platform/system/replaceable.h"

namespace plat {

namespace {

Replaceable<Launcher, XdgLauncher> gLauncher;

std::string resolveProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t pos = 0;
  while (pos <= dirs.size()) {
    size_t colon = dirs.find(':', pos);
    std::string dir = dirs.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
    pos = colon == std::string::npos ? dirs.size() + 1 : colon + 1;
    if (dir.empty()) dir.assign(1, '.');
    std::string candidate = pathJoin(dir, program);
    if (access(candidate.c_str(), X_OK) == 0 && !isDirectory(candidate)) return candidate;
  }
  return {};
}

}  // namespace

bool Launcher::reveal(const std::string& path, Error* error) {
  std::string folder = pathDirname(path);
  return openURL(folder.empty() ? std::string("/") : folder, error);
}

bool spawnDetached(const std::string& program, const std::vector<std::string>& args, Error* error) {
  std::string resolved = resolveProgram(program);
  if (resolved.empty()) {
    setError(error, posixError(ENOENT, "launch", program));
    return false;
  }
  // Everything the children need is made before fork: after it, in a process
  // with other threads, only async-signal-safe calls are allowed.
  std::vector<std::string> argStore;
  argStore.push_back(program);
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The grandchild reports a failed exec through the pipe; a successful exec
  // closes it (close-on-exec) without a word.
  int pipeFd[2];
  if (pipe2(pipeFd, O_CLOEXEC) != 0) {
    setError(error, posixError(errno, "pipe", program));
    return false;
  }
  pid_t child = fork();
  if (child < 0) {
    int e = errno;
    close(pipeFd[0]);
    close(pipeFd[1]);
    setError(error, posixError(e, "fork", program));
    return false;
  }
  if (child == 0) {
    close(pipeFd[0]);
    setsid();
    pid_t grandchild = fork();
    if (grandchild < 0) {
      int e = errno;
      (void)!write(pipeFd[1], &e, sizeof e);
      _exit(1);
    }
    if (grandchild == 0) {
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      int devnull = open("/dev/null", O_RDWR);
      if (devnull >= 0) {
        dup2(devnull, 0);
        if (devnull > 2) close(devnull);
      }
      execv(resolved.c_str(), argv.data());
      int e = errno;
      (void)!write(pipeFd[1], &e, sizeof e);
      _exit(127);
    }
    _exit(0);
  }
  close(pipeFd[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int childErrno = 0;
  ssize_t r;
  do {
    r = read(pipeFd[0], &childErrno, sizeof childErrno);
  } while (r < 0 && errno == EINTR);
  close(pipeFd[0]);
  if (r > 0) {
    setError(error, posixError(childErrno, "launch", program));
    return false;
  }
  return true;
}

XdgLauncher::XdgLauncher(std::string opener) : opener_(std::move(opener)) {}

bool XdgLauncher::openURL(const std::string& url, Error* error) {
  if (url.empty()) {
    setError(error, posixError(EINVAL, "open", url));
    return false;
  }
  // An address that starts with "-" would be read as an option.
  if (url[0] == '-') {
    setError(error, posixError(EINVAL, "open", url));
    return false;
  }
  return spawnDetached(opener_, {url}, error);
}

bool XdgLauncher::launch(const std::string& program, const std::vector<std::string>& args, Error* error) {
  return spawnDetached(program, args, error);
}

std::shared_ptr<Launcher> launcher() { return gLauncher.get(); }

void setLauncher(std::shared_ptr<Launcher> l) { gLauncher.set(std::move(l)); }

}  // namespace plat
