// The program that the desktop starts for addresses of a URL scheme: a
// desktop entry in "<data home>/applications" naming the program, made the
// scheme's handler with xdg-mime.
#pragma once

#include <string>
#include <vector>

namespace plat {

struct SchemeHandler {
  std::string entryName;  // the desktop entry's file name, "qvedit.desktop"
  std::string name;       // Name=
  std::string comment;    // Comment=
  std::string scheme;     // "qvedit": x-scheme-handler/qvedit
  // The program and the options the entry starts it with; the address
  // follows them.
  std::vector<std::string> command;
};

// "<data home>/applications/<entry name>".
std::string desktopEntryPath(const std::string& entryName);
// Writes the entry and makes it the scheme's handler; false with the reason.
bool registerSchemeHandler(const SchemeHandler& handler, std::string* error);

}  // namespace plat
