// How the sync engine compares cloud paths, the same in its lists and in its
// SQL: letter case is folded by plat::foldCase (every script), and a path
// lies in a root when it equals it or begins with the root followed by "/".
#pragma once

#include <string>
#include <string_view>

namespace syncpath {

// Same path without regard to letter case.
bool same(std::string_view a, std::string_view b);
// `path` equals `root` or lies below it.
bool within(std::string_view path, std::string_view root);
// `path` lies strictly below `root`.
bool below(std::string_view path, std::string_view root);

// What follows `root` in `path` (in the path's own letters), for a path
// within the root: "" or a text beginning with "/".
std::string restAfter(std::string_view path, std::string_view root);

// The range [lo, hi) of folded texts that lie strictly below the folded
// root: exactly the texts that begin with root + "/", with no wildcard to
// escape, and a range an index on the folded path serves.
struct Range {
  std::string lo, hi;
};
Range belowRange(std::string_view foldedRoot);

// The text before the last "/", "" when there is none.
std::string parentOf(std::string_view path);

}  // namespace syncpath
