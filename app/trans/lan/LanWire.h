// The wire of the local-network service, kept free of sockets and of the
// rest of the client so that it can be fuzzed on its own:
// - discovery datagrams (query "neQUORVA", whole-file reply "reQUORVA",
//   partial reply "rxQUORVA"): a 68-byte head (tag, 40-digit content hash,
//   zero-padded dotted IPv4 text, little-endian 32-bit port), the partial
//   reply adding the responder's two download flags, its user id, the bitmap
//   length and the bitmap;
// - the file service's request reader and its three reply heads.
// Readers take the whole received unit and check its length before each
// field: what is short, long, or says more than it holds is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lanwire {

constexpr size_t kHeadSize = 68;
constexpr size_t kPartialHeadSize = 78;
// A partial reply fits in one IPv4 UDP datagram (65507 bytes).
constexpr int64_t kMaxBitmap = 65429;
constexpr size_t kMaxDatagram = kPartialHeadSize + kMaxBitmap;

enum class Kind { kQuery, kWhole, kPartial };

struct Datagram {
  Kind kind = Kind::kQuery;
  std::string hash;     // 40 lowercase hexadecimal digits
  std::string address;  // dotted IPv4 text as sent; may be empty
  uint32_t port = 0;
  // Partial reply only.
  bool bHttpStart = false, bHttpAble = false;
  uint32_t userid = 0;
  std::vector<uint8_t> bitmap;
};

// 40 lowercase hexadecimal digits.
bool isContentHash(std::string_view s);

// The datagram's bytes; nothing when a field does not fit its place (a hash
// that is no content hash, an address longer than 16 bytes, a bitmap longer
// than kMaxBitmap).
std::optional<std::vector<uint8_t>> encode(const Datagram& d);
// One received datagram, whole; nothing when its length is not exactly what
// its tag and its bitmap length say, or a field is malformed (hash, address
// text, a port of 0 or above 65535).
std::optional<Datagram> decode(const uint8_t* bytes, size_t size);

// ---- The file service's requests ----

// Bounds of one request head.
constexpr size_t kMaxRequestHead = 8192;
constexpr size_t kMaxHeaders = 64;

struct Request {
  std::string hash;  // content hash of "/download?filehash=<hash>"
  std::string host;  // the Host value; empty without one
  bool hasRange = false;
  uint64_t first = 0;
  std::optional<uint64_t> last;  // none for "bytes=<first>-"
};

enum class Parse {
  kNeedMore,     // no whole head yet (and still within the bound)
  kRequest,      // a download request: `out` and `consumed` are set
  kNotDownload,  // a well-formed request for anything else: closed, no reply
  kNotFound,     // a download request naming no file: the 404 head
  kBad,          // malformed or over the bounds: closed, no reply
};

// Reads the head at the start of `buffer`. `consumed` is the head's length
// (the service reads no body: a request that announces one is kBad).
Parse parseRequest(std::string_view buffer, Request& out, size_t& consumed);

// Bytes first..last (inclusive) of a file of `size` bytes to send for the
// request: the whole file without Range (last = first - 1 for an empty
// file), the first range of a Range header, its end cut to the file's end.
// Nothing when the range starts past the file's end.
struct Span {
  uint64_t first = 0;
  int64_t last = -1;
  bool partial = false;
};
std::optional<Span> resolve(const Request& r, uint64_t size);

// Reply heads, byte for byte as peers read them. `date` is the GMT date text.
std::string head200(const std::string& host, const std::string& date, uint64_t size);
std::string head206(const std::string& host, const std::string& date, uint64_t first, uint64_t last, uint64_t size);
std::string head404(const std::string& host, const std::string& date);

// The peer URL of a reply: "http://<address>:<port>/download?filehash=<hash>".
std::string peerUrl(const std::string& address, uint32_t port, const std::string& hash);

}  // namespace lanwire
