// The application's strings table (Simplified Chinese): menu titles and the
// notice kinds are keys looked up here, so that no key ever shows.
#pragma once

#include <string>

// The text for `key`; the key itself when the table has none.
std::string NSLocalizedString(const std::string& key);
// Whether the table has the key.
bool hasLocalizedString(const std::string& key);
