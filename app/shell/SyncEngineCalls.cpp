#include "app/shell/SyncEngineCalls.h"

#include <climits>
#include <cstdlib>

#include "app/core/Util.h"

namespace syncengine {

namespace {

bool under(const std::string& path, std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root.empty()) return false;
  return path == root || path.rfind(root + "/", 0) == 0;
}

std::string resolved(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

}  // namespace

bool hasDotSegment(const std::string& path) {
  if (path.find_first_of(std::string("\0\r\n", 3)) != std::string::npos) return true;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    const std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part == "." || part == "..") return true;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return false;
}

std::optional<std::string> localPathOf(SyncManager& s, const std::string& webpath) {
  if (hasDotSegment(webpath)) return std::nullopt;
  const std::string local = s.getnormalpath(webpath);
  std::vector<std::string> roots{s.syncparent()};
  for (const auto& link : s.linkfolder().getlinknodes()) roots.push_back(link.fullpath);
  for (const auto& root : roots) {
    if (!under(local, root)) continue;
    // On disk too: a link below the root must not lead out of it.
    const std::string real = resolved(local);
    if (real.empty() || under(real, resolved(root))) return local;
  }
  return std::nullopt;
}

bool copyTree(const std::string& from, const std::string& to) {
  if (!Util::createfolder(to)) return false;
  auto subs = Util::subpathsAtPath(from);
  if (!subs) return false;
  std::vector<std::string> links;
  for (const auto& sub : *subs) {
    const std::string src = from + "/" + sub;
    if (!Util::checklinkdir(src)) continue;
    auto target = Util::getlinksrcpath(src);
    if (!target || !Util::createlink(to + "/" + sub, *target)) return false;
    links.push_back(sub);
  }
  for (const auto& sub : *subs) {
    bool inLink = false;
    for (const auto& l : links) inLink = inLink || sub == l || sub.rfind(l + "/", 0) == 0;
    if (inLink) continue;
    const std::string src = from + "/" + sub, dst = to + "/" + sub;
    if (Util::isdir(src) ? !Util::createfolder(dst) : !Util::copyfile(src, dst)) return false;
  }
  return true;
}

}  // namespace syncengine
