// Digests, Base64, URL escaping and the slash operations of cloud paths on
// UTF-8 text. Texts enter the digests as their UTF-8 bytes. Every function
// works only on its arguments; any thread may call them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace NSStringExpand {

// 32 lowercase hex digits: MD5 of the text.
std::string md5HexDigest(std::string_view s);
// 40 lowercase hex digits: SHA-1 of the text.
std::string sha1HexDigest(std::string_view s);
// The 20 raw bytes of HMAC-SHA1 of `message` under `key`; the receiver of
// the original method is the message, its argument the key.
plat::Data hmac_sha1(std::string_view message, std::string_view key);

// The text whose UTF-8 bytes the Base64 decodes to; empty when nothing
// decodes (see NSDataExpand::base64Decoded) or the bytes are not UTF-8.
std::optional<std::string> base64Decoded(std::string_view s);
// Base64 of the text's bytes; empty for the empty text.
std::optional<std::string> base64Encoded(std::string_view s);

// The platform's "add percent escapes" in UTF-8: ASCII letters and digits,
// the marks - _ . ! ~ * ' ( ) and the reserved ; / ? : @ & = + $ , stay; every
// other byte (blank, " # % < > [ \ ] ^ ` { | }, controls, non-ASCII) becomes
// %XX with upper-case hex digits. "#" is escaped so that it can't cut a URL.
std::string stringByAddingPercentEscapes(std::string_view s);
// The platform's "replace percent escapes" in UTF-8: every %XX becomes its
// byte. Empty when a "%" is not followed by two hex digits or the result is
// not valid UTF-8.
std::optional<std::string> stringByReplacingPercentEscapes(std::string_view s);

// Decodes existing escapes, then escapes again with the platform's rule, so
// "%2F" comes back as "/" and a blank as "%20". Text whose escapes don't
// decode is escaped as it stands (its "%" becomes "%25").
std::string toUtf8(std::string_view s);
// "+" becomes a blank, then escapes are decoded; empty for an invalid escape.
std::optional<std::string> urlDecoded(std::string_view s);
// Escaped for a query value or header: only ASCII letters, digits and
// - _ . ~ stay as they are.
std::string urlEncoded(std::string_view s);

// A cloud path as a request target carries it: each "/"-separated piece
// adds "/" and, when not empty, the piece escaped by
// stringByAddingPercentEscapes and with "?" escaped too (the URL would cut the
// path there); "a/b" gives "/a/b", the empty path "/".
std::string escapedCloudPath(std::string_view webpath);
// The text before the last "/", or "" when there is none.
std::string getParent(std::string_view s);
// The text after the last "/", or the whole text when there is none.
std::string getFilename(std::string_view s);
// The text with a trailing "/" (added when missing).
std::string lastaddslash(std::string_view s);
// The text without one trailing "/".
std::string lastremoveslash(std::string_view s);
// Every "/" written as "\/".
std::string replacetojson(std::string_view s);

}  // namespace NSStringExpand
