// Programs a test starts: their arguments and environment as given, their
// standard output and error into a pipe or a log file.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace testsupport {

// `set`, then those of the named variables of this process that are set.
std::vector<std::string> childEnvironment(std::vector<std::string> set, std::initializer_list<const char*> keep);

// Starts `program` with `args` (without the program's own name) and `env`;
// its output and errors go to `outFd`. -1 when it can't be started.
pid_t spawnChild(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
                 int outFd);
// The same, with the output appended to the file `log` (made 0600).
pid_t spawnChild(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
                 const std::string& log);

// The exit code once the child ends within `seconds`; -1 when it did not
// end in time (it is left running) or ended by a signal.
int waitExit(pid_t pid, double seconds);

}  // namespace testsupport
