#include "tests/support/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace testsupport {

std::vector<std::string> childEnvironment(std::vector<std::string> set, std::initializer_list<const char*> keep) {
  for (const char* name : keep) {
    if (const char* v = std::getenv(name)) set.push_back(std::string(name) + "=" + v);
  }
  return set;
}

namespace {
pid_t spawnWith(const std::string& program, std::vector<std::string> args, std::vector<std::string> env,
                posix_spawn_file_actions_t& fa) {
  args.insert(args.begin(), program);
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}
}  // namespace

pid_t spawnChild(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
                 int outFd) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, outFd, 1);
  posix_spawn_file_actions_adddup2(&fa, outFd, 2);
  return spawnWith(program, args, env, fa);
}

pid_t spawnChild(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
                 const std::string& log) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  return spawnWith(program, args, env, fa);
}

int waitExit(pid_t pid, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() >= until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
