// Checks and conversions of text bytes: the one UTF-8 validator, ISO
// Latin-1 to UTF-8, and any other conversion through iconv.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace plat {

// Strict: no overlong forms, no surrogates, nothing past U+10FFFF.
bool isValidUTF8(std::string_view bytes);
std::string latin1ToUTF8(std::string_view bytes);
// `bytes` in the encoding named `from` as bytes in `to` (iconv names);
// none when a character has no form in `to` or the bytes are not `from`.
std::optional<std::string> convertText(std::string_view bytes, const char* to, const char* from);

}  // namespace plat
