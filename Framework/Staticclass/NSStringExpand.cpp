#include "Framework/Staticclass/NSStringExpand.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>

#include "Framework/Staticclass/NSDataExpand.h"
#include "platform/foundation/error.h"
#include "platform/foundation/text_codec.h"

namespace NSStringExpand {
namespace {

// Bytes that stay as they are under the platform's percent escaping:
// letters, digits, the RFC 2396 marks and reserved characters.
constexpr std::array<bool, 256> makeKeepTable(std::string_view extra) {
  std::array<bool, 256> t{};
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = true;
  for (int c = '0'; c <= '9'; ++c) t[c] = true;
  for (char c : extra) t[static_cast<unsigned char>(c)] = true;
  return t;
}
constexpr auto kURLLegal = makeKeepTable("-_.!~*'();/?:@&=+$,");
// A cloud path piece also escapes "?": left bare, a name such as "a?b.txt"
// would end the path there and name another file ("#" is escaped already).
constexpr auto kCloudPathLegal = makeKeepTable("-_.!~*'();/:@&=+$,");
// urlEncoded escapes the reserved characters and marks too, except these.
constexpr auto kURLUnreserved = makeKeepTable("-_.~");

std::string escape(std::string_view s, const std::array<bool, 256>& keep) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    auto b = static_cast<unsigned char>(ch);
    if (keep[b]) {
      out += ch;
    } else {
      out += '%';
      out += plat::kUpperHexDigits[b >> 4];
      out += plat::kUpperHexDigits[b & 15];
    }
  }
  return out;
}

std::string toString(const plat::Data& d) { return std::string(d.begin(), d.end()); }

}  // namespace

std::string md5HexDigest(std::string_view s) { return NSDataExpand::md5Data2String(s); }

std::string sha1HexDigest(std::string_view s) { return NSDataExpand::sha1HexDigest(s); }

plat::Data hmac_sha1(std::string_view message, std::string_view key) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  static const unsigned char kNone[1] = {0};
  // A key longer than the block is hashed first (RFC 2104), which also keeps
  // its length within libcrypto's int.
  plat::Data hashedKey;
  if (key.size() > 64) {
    hashedKey.resize(20);
    unsigned int n = 0;
    if (EVP_Digest(key.data(), key.size(), hashedKey.data(), &n, EVP_sha1(), nullptr) != 1 || n != 20)
      throw plat::Exception(plat::kInternalInconsistencyException, "libcrypto digest failed");
    key = std::string_view(reinterpret_cast<const char*>(hashedKey.data()), hashedKey.size());
  }
  const auto* k = key.empty() ? kNone : reinterpret_cast<const unsigned char*>(key.data());
  const auto* m = message.empty() ? kNone : reinterpret_cast<const unsigned char*>(message.data());
  if (!HMAC(EVP_sha1(), k, static_cast<int>(key.size()), m, message.size(), out, &len) || len != 20)
    throw plat::Exception(plat::kInternalInconsistencyException, "libcrypto HMAC failed");
  return plat::Data(out, out + len);
}

std::optional<std::string> base64Decoded(std::string_view s) {
  auto bytes = NSDataExpand::base64Decoded(s);
  if (!bytes) return std::nullopt;
  std::string text = toString(*bytes);
  if (!plat::isValidUTF8(text)) return std::nullopt;
  return text;
}

std::optional<std::string> base64Encoded(std::string_view s) { return NSDataExpand::base64Encoded(s); }

std::string stringByAddingPercentEscapes(std::string_view s) { return escape(s, kURLLegal); }

std::optional<std::string> stringByReplacingPercentEscapes(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    int hi = plat::hexDigitValue(static_cast<unsigned char>(s[i + 1]));
    int lo = plat::hexDigitValue(static_cast<unsigned char>(s[i + 2]));
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  if (!plat::isValidUTF8(out)) return std::nullopt;
  return out;
}

std::string toUtf8(std::string_view s) {
  auto decoded = stringByReplacingPercentEscapes(s);
  return stringByAddingPercentEscapes(decoded ? std::string_view(*decoded) : s);
}

std::optional<std::string> urlDecoded(std::string_view s) {
  std::string plus(s);
  for (char& c : plus)
    if (c == '+') c = ' ';
  return stringByReplacingPercentEscapes(plus);
}

std::string urlEncoded(std::string_view s) { return escape(s, kURLUnreserved); }

std::string getParent(std::string_view s) {
  auto pos = s.rfind('/');
  if (pos == std::string_view::npos) return std::string();
  return std::string(s.substr(0, pos));
}

std::string getFilename(std::string_view s) {
  auto pos = s.rfind('/');
  if (pos == std::string_view::npos) return std::string(s);
  return std::string(s.substr(pos + 1));
}

std::string lastaddslash(std::string_view s) {
  if (!s.empty() && s.back() == '/') return std::string(s);
  return std::string(s) + "/";
}

std::string escapedCloudPath(std::string_view webpath) {
  std::string out;
  size_t start = 0;
  while (true) {
    size_t slash = webpath.find('/', start);
    std::string_view piece = webpath.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    out += '/';
    if (!piece.empty()) out += escape(piece, kCloudPathLegal);
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return out;
}

std::string lastremoveslash(std::string_view s) {
  if (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return std::string(s);
}

std::string replacetojson(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace NSStringExpand
