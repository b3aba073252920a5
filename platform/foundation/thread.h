// Every thread of the system starts here: it gets a name (seen in debuggers
// and logs) and runs inside an exception guard that logs what escapes.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace plat {

std::thread startThread(std::string name, std::function<void()> body);

// The name given to the calling thread by startThread ("main" for the main
// thread once MainThread is set up, empty otherwise).
const std::string& currentThreadName();
void setCurrentThreadName(std::string name);

// Runs body, logging and swallowing any exception it throws. `what` names
// the work in the log line.
void runGuarded(const std::string& what, const std::function<void()>& body);
// The same for a fixed name: no string is made unless something is logged.
void runGuarded(const char* what, const std::function<void()>& body);

}  // namespace plat
