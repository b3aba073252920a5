// Percent escapes of local paths, as file URIs and the Trash's info files
// write them: every byte but the unreserved characters and "/" becomes
// "%XX" (upper-case hexadecimal).
#pragma once

#include <optional>
#include <string>

namespace plat {

std::string percentEscapePath(const std::string& path);
// The bytes that the escapes stand for; nothing when an escape is broken.
std::optional<std::string> percentUnescape(const std::string& text);
// 0 to 15 for a hexadecimal digit of either case, else -1.
int hexDigitValue(char c);

}  // namespace plat
