// The one rule by which names are compared without regard to letter case:
// every code point is mapped to its simple lower-case form (Unicode, not
// only ASCII), one code point for one. The sync engine uses it in memory and
// registers it with SQLite, so a path matched in a list and a path matched
// in a table agree for every script.
#pragma once

#include <string>
#include <string_view>

namespace plat {

// The text with every letter lower-cased. Bytes that are not well-formed
// UTF-8 are kept as they are; the number of code points never changes.
std::string foldCase(std::string_view utf8);

// foldCase(a) == foldCase(b), without building both texts when they are ASCII.
bool equalFolded(std::string_view a, std::string_view b);

}  // namespace plat
