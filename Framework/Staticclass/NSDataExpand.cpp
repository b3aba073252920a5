#include "Framework/Staticclass/NSDataExpand.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>

#include "platform/foundation/error.h"

namespace NSDataExpand {
namespace {

const unsigned char kNoBytes[1] = {0};

template <size_t N>
std::array<unsigned char, N> digest(const EVP_MD* md, Bytes data) {
  std::array<unsigned char, N> out{};
  unsigned int len = 0;
  const unsigned char* p = data.empty() ? kNoBytes : data.data();
  if (EVP_Digest(p, data.size(), out.data(), &len, md, nullptr) != 1 || len != N) {
    // Only a libcrypto without the algorithm (a FIPS-only build) gets here;
    // the digests have no failure value to give.
    throw plat::Exception(plat::kInternalInconsistencyException, "libcrypto digest failed");
  }
  return out;
}

std::string hex(const unsigned char* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s(n * 2, '0');
  for (size_t i = 0; i < n; ++i) {
    s[2 * i] = kDigits[bytes[i] >> 4];
    s[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return s;
}

template <size_t N>
std::string hex(const std::array<unsigned char, N>& bytes) {
  return hex(bytes.data(), N);
}

constexpr std::uint32_t kStandardPolynomial = 0xEDB88320u;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decoding table: alphabet values 0-63, kSkip for what may stand anywhere
// ("=" and whitespace), kRefuse for every other byte.
constexpr std::uint8_t kSkip = 99;
constexpr std::uint8_t kRefuse = 100;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = kRefuse;
  for (int i = 0; i < 64; ++i) t[static_cast<std::uint8_t>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  for (char c : {'=', ' ', '\t', '\r', '\n', '\f', '\v'}) t[static_cast<std::uint8_t>(c)] = kSkip;
  return t;
}
constexpr auto kDecode = makeDecodeTable();

}  // namespace

plat::Data md5HexDigest(Bytes data) {
  auto d = digest<16>(EVP_md5(), data);
  return plat::Data(d.begin(), d.end());
}

std::string sha1HexDigest(Bytes data) { return hex(digest<20>(EVP_sha1(), data)); }

struct DigestStream::Context {
  const EVP_MD* md = nullptr;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = false;
  ~Context() { EVP_MD_CTX_free(ctx); }
};

namespace {
// Fetched once for the process: an implicit fetch at every start costs more
// than the digest of a small block.
const EVP_MD* fetched(DigestStream::Algorithm a) {
  static EVP_MD* const sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  static EVP_MD* const md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
  return a == DigestStream::kMD5 ? md5 : sha1;
}
}  // namespace

DigestStream::DigestStream(Algorithm algorithm) : ctx_(std::make_unique<Context>()) {
  ctx_->md = fetched(algorithm);
  reset();
}

DigestStream::~DigestStream() = default;

void DigestStream::reset() {
  ctx_->ok = ctx_->ctx && ctx_->md && EVP_DigestInit_ex(ctx_->ctx, ctx_->md, nullptr) == 1;
}

bool DigestStream::update(Bytes data) {
  if (ctx_->ok && !data.empty()) ctx_->ok = EVP_DigestUpdate(ctx_->ctx, data.data(), data.size()) == 1;
  return ctx_->ok;
}

std::optional<plat::Data> DigestStream::digest() {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  const bool ok = ctx_->ok && EVP_DigestFinal_ex(ctx_->ctx, out, &len) == 1;
  reset();
  if (!ok) return std::nullopt;
  return plat::Data(out, out + len);
}

std::optional<std::string> DigestStream::hexDigest() {
  const auto raw = digest();
  if (!raw) return std::nullopt;
  return hex(raw->data(), raw->size());
}

std::string md5Data2String(Bytes data) { return hex(digest<16>(EVP_md5(), data)); }

std::array<std::uint32_t, 256> generateCRC32Table(std::uint32_t polynomial) {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ polynomial : c >> 1;
    table[n] = c;
  }
  return table;
}

std::uint32_t crc32WithSeed(Bytes data, std::uint32_t seed, std::uint32_t polynomial) {
  if (data.empty()) return seed ^ 0xFFFFFFFFu;
  if (polynomial == kStandardPolynomial) {
    // zlib's CRC is this one with its register pre-inverted; its length is
    // 32-bit, so long data goes in pieces rather than wrapping at 4 GiB.
    uLong c = seed ^ 0xFFFFFFFFu;
    constexpr size_t kPiece = size_t{1} << 30;
    for (size_t off = 0; off < data.size(); off += kPiece) {
      size_t n = std::min(kPiece, data.size() - off);
      c = ::crc32(c, data.data() + off, static_cast<uInt>(n));
    }
    return static_cast<std::uint32_t>(c);
  }
  const auto table = generateCRC32Table(polynomial);
  std::uint32_t c = seed;
  for (std::uint8_t b : data) c = (c >> 8) ^ table[(c ^ b) & 0xFF];
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t crc32(Bytes data) { return crc32WithSeed(data, 0xFFFFFFFFu, kStandardPolynomial); }

std::optional<std::string> base64Encoded(Bytes data) {
  if (data.empty()) return std::nullopt;
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  const std::uint8_t* p = data.data();
  size_t n = data.size();
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    std::uint8_t a = p[i], b = p[i + 1], c = p[i + 2];
    out += kAlphabet[a >> 2];
    out += kAlphabet[((a & 3) << 4) | (b >> 4)];
    out += kAlphabet[((b & 15) << 2) | (c >> 6)];
    out += kAlphabet[c & 63];
  }
  if (n - i == 2) {
    std::uint8_t a = p[i], b = p[i + 1];
    out += kAlphabet[a >> 2];
    out += kAlphabet[((a & 3) << 4) | (b >> 4)];
    out += kAlphabet[(b & 15) << 2];
    out += '=';
  } else if (n - i == 1) {
    std::uint8_t a = p[i];
    out += kAlphabet[a >> 2];
    out += kAlphabet[(a & 3) << 4];
    out += "==";
  }
  return out;
}

std::optional<plat::Data> base64Decoded(std::string_view text) {
  plat::Data out;
  out.reserve(text.size() / 4 * 3 + 3);
  std::uint8_t g[4] = {0, 0, 0, 0};
  int p = 0;
  for (char ch : text) {
    std::uint8_t v = kDecode[static_cast<std::uint8_t>(ch)];
    if (v == kSkip) continue;
    // A byte outside the alphabet means this is not Base64; decoding around
    // it would hand back bytes the sender never meant.
    if (v == kRefuse) return std::nullopt;
    g[p] = v;
    if (p == 3) {
      out.push_back(static_cast<std::uint8_t>((g[0] << 2) | (g[1] >> 4)));
      out.push_back(static_cast<std::uint8_t>((g[1] << 4) | (g[2] >> 2)));
      out.push_back(static_cast<std::uint8_t>((g[2] << 6) | g[3]));
    }
    p = (p + 1) % 4;
  }
  if (p >= 2) out.push_back(static_cast<std::uint8_t>((g[0] << 2) | (g[1] >> 4)));
  if (p == 3) out.push_back(static_cast<std::uint8_t>((g[1] << 4) | (g[2] >> 2)));
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace NSDataExpand
