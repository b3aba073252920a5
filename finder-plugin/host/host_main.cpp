// qv-nautilus-host MODULE [--prgname NAME] [emblems PATH... | menu PATH...]
// Loads the extension module as the file manager does and prints what its
// providers answer: one emblem a line, or the menu tree indented. It exits
// 3 when the module lists no provider (it refused to start).
#include <glib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "finder-plugin/host/nautilus_host.h"

namespace {
void print(const std::vector<fphost::HostMenuItem>& items, int depth) {
  for (const auto& i : items) {
    std::printf("%*s%s%s\n", depth * 2, "", i.label.c_str(), i.sensitive ? "" : " (disabled)");
    print(i.submenu, depth + 1);
  }
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s MODULE [--prgname NAME] [emblems|menu PATH...]\n", argv[0]);
    return 64;
  }
  int at = 2;
  std::string prgname = "nautilus";  // the host stands in for the file manager
  if (at + 1 < argc && std::string(argv[at]) == "--prgname") {
    prgname = argv[at + 1];
    at += 2;
  }
  g_set_prgname(prgname.c_str());
  fphost::NautilusHost host;
  std::string error;
  if (!host.load(argv[1], &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("providers %d\n", host.typeCount());
  if (host.typeCount() == 0) return 3;
  if (at < argc) {
    const std::string what = argv[at++];
    std::vector<std::string> paths(argv + at, argv + argc);
    if (what == "emblems") {
      for (const auto& p : paths) {
        for (const auto& e : host.emblemsFor(p)) std::printf("%s %s\n", p.c_str(), e.c_str());
      }
    } else if (what == "menu") {
      print(host.menuFor(paths), 0);
    }
  }
  return 0;
}
