// Digests, checksums and Base64 of byte data. Every function works only on
// its arguments, so any thread may call any of them at any time.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace NSDataExpand {

using Bytes = std::span<const std::uint8_t>;

inline Bytes bytesOf(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The 16 raw MD5 bytes (no hex text, whatever the name says).
plat::Data md5HexDigest(Bytes data);
inline plat::Data md5HexDigest(std::string_view data) { return md5HexDigest(bytesOf(data)); }

// 40 lowercase hex digits of the SHA-1.
std::string sha1HexDigest(Bytes data);
inline std::string sha1HexDigest(std::string_view data) { return sha1HexDigest(bytesOf(data)); }

// A digest over data that comes in pieces (a file read or written block by
// block, the blocks of a file one after the other). The algorithm is looked
// up once, not at every digest. One thread at a time.
class DigestStream {
public:
  enum Algorithm { kSHA1, kMD5 };
  explicit DigestStream(Algorithm algorithm = kSHA1);
  ~DigestStream();
  DigestStream(const DigestStream&) = delete;
  DigestStream& operator=(const DigestStream&) = delete;
  // False once libcrypto refused a piece: the stream then gives no digest.
  bool update(Bytes data);
  // The raw digest of everything given since the start (20 bytes for SHA-1,
  // 16 for MD5); empty after a refused piece. The stream then starts over.
  std::optional<plat::Data> digest();
  // The same as lowercase hex digits.
  std::optional<std::string> hexDigest();
  void reset();

private:
  struct Context;
  std::unique_ptr<Context> ctx_;
};

// 32 lowercase hex digits of the MD5.
std::string md5Data2String(Bytes data);
inline std::string md5Data2String(std::string_view data) { return md5Data2String(bytesOf(data)); }

// The byte-wise table of a reflected CRC-32 polynomial.
std::array<std::uint32_t, 256> generateCRC32Table(std::uint32_t polynomial);

// Reflected CRC-32: c = seed, then c = (c >> 8) ^ table[(c ^ byte) & 0xFF]
// for each byte, and the result is c ^ 0xFFFFFFFF. Any length, 4 GiB and
// beyond included.
std::uint32_t crc32WithSeed(Bytes data, std::uint32_t seed, std::uint32_t polynomial);
inline std::uint32_t crc32WithSeed(std::string_view data, std::uint32_t seed, std::uint32_t polynomial) {
  return crc32WithSeed(bytesOf(data), seed, polynomial);
}

// The CRC-32 of zlib, PNG and ISO-HDLC (seed 0xFFFFFFFF, polynomial
// 0xEDB88320); 0 for no data. To continue a CRC over more data, pass
// `previous ^ 0xFFFFFFFF` as the seed.
std::uint32_t crc32(Bytes data);
inline std::uint32_t crc32(std::string_view data) { return crc32(bytesOf(data)); }

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks); empty
// for empty data.
std::optional<std::string> base64Encoded(Bytes data);
inline std::optional<std::string> base64Encoded(std::string_view data) { return base64Encoded(bytesOf(data)); }

// The bytes of a Base64 text. Whitespace, line breaks and "=" are skipped
// wherever they stand; any other byte outside the alphabet refuses the whole
// text. Empty when refused or when no byte results.
std::optional<plat::Data> base64Decoded(std::string_view text);

}  // namespace NSDataExpand
