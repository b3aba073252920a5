// Opening addresses and files with the user's default application, and
// starting helper programs, without waiting for them. On Linux the default
// application is found by xdg-open.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/error.h"

namespace plat {

class Launcher {
public:
  virtual ~Launcher() = default;
  // Opens the address (or a file path) with the default application.
  virtual bool openURL(const std::string& url, Error* error = nullptr) = 0;
  // Starts the program with the arguments; true once it is running.
  virtual bool launch(const std::string& program, const std::vector<std::string>& args, Error* error = nullptr) = 0;
  // Shows the file in the file manager without opening it: its folder is
  // opened.
  virtual bool reveal(const std::string& path, Error* error = nullptr);
};

class XdgLauncher : public Launcher {
public:
  // `opener` is the program that opens addresses.
  explicit XdgLauncher(std::string opener = "xdg-open");
  bool openURL(const std::string& url, Error* error = nullptr) override;
  bool launch(const std::string& program, const std::vector<std::string>& args, Error* error = nullptr) override;

private:
  std::string opener_;
};

// Starts the program detached (it is not our child once started, so nobody
// has to wait for it). A program without "/" is looked up in PATH. True when
// the program was executed; false with the reason when it could not be.
bool spawnDetached(const std::string& program, const std::vector<std::string>& args, Error* error = nullptr);

std::shared_ptr<Launcher> launcher();
void setLauncher(std::shared_ptr<Launcher> l);

}  // namespace plat
