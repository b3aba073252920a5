#include "app/sync/SyncPath.h"

#include "platform/foundation/case_fold.h"

namespace syncpath {

bool same(std::string_view a, std::string_view b) { return plat::equalFolded(a, b); }

bool below(std::string_view path, std::string_view root) {
  // Folding keeps the number of code points but not always the bytes, so
  // the prefix is compared on the folded texts.
  const std::string p = plat::foldCase(path), r = plat::foldCase(root);
  return p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/';
}

bool within(std::string_view path, std::string_view root) { return same(path, root) || below(path, root); }

std::string restAfter(std::string_view path, std::string_view root) {
  // Folding keeps code points one for one, so the root's length in code
  // points is where the rest begins in the path.
  size_t points = 0;
  for (char c : root) points += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  size_t i = 0;
  while (i < path.size() && points > 0) {
    ++i;
    while (i < path.size() && (static_cast<unsigned char>(path[i]) & 0xC0) == 0x80) ++i;
    --points;
  }
  return std::string(path.substr(i));
}

Range belowRange(std::string_view foldedRoot) {
  // "0" is the byte after "/".
  return {std::string(foldedRoot) + "/", std::string(foldedRoot) + "0"};
}

std::string parentOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

}  // namespace syncpath
