// Percent escapes of local paths, as file URIs and the Trash's info files
// write them: every byte but the unreserved characters and "/" becomes
// "%XX" (upper-case hexadecimal).
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/text_codec.h"

namespace plat {

std::string percentEscapePath(const std::string& path);
// The bytes that the escapes stand for; nothing when an escape is broken.
std::optional<std::string> percentUnescape(const std::string& text);

}  // namespace plat
