// Conversions of text bytes: ISO Latin-1 to UTF-8, and any other conversion
// through iconv. The UTF-8 validator is text_codec.h's.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/text_codec.h"

namespace plat {

std::string latin1ToUTF8(std::string_view bytes);
// `bytes` in the encoding named `from` as bytes in `to` (iconv names);
// none when a character has no form in `to` or the bytes are not `from`.
std::optional<std::string> convertText(std::string_view bytes, const char* to, const char* from);

}  // namespace plat
