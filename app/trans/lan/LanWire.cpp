#include "app/trans/lan/LanWire.h"

#include <cstdio>
#include <cstring>

namespace lanwire {

namespace {

constexpr char kQueryTag[] = "neQUORVA";
constexpr char kWholeTag[] = "reQUORVA";
constexpr char kPartialTag[] = "rxQUORVA";
constexpr size_t kTagSize = 8, kHashAt = 8, kHashSize = 40, kAddrAt = 48, kAddrSize = 16, kPortAt = 64;
constexpr size_t kStartAt = 68, kAbleAt = 69, kUserAt = 70, kCountAt = 74;

void put32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const uint8_t* at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(at[i]) << (8 * i);
  return v;
}

// The address field: dotted text, then zero bytes to its end; the empty text
// is allowed (a sender without an address of its own).
std::optional<std::string> readAddress(const uint8_t* at) {
  size_t n = 0;
  while (n < kAddrSize && at[n] != 0) {
    if (!((at[n] >= '0' && at[n] <= '9') || at[n] == '.')) return std::nullopt;
    ++n;
  }
  for (size_t i = n; i < kAddrSize; ++i)
    if (at[i] != 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(at), n);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool isContentHash(std::string_view s) {
  if (s.size() != kHashSize) return false;
  for (char c : s)
    if (!isDigit(c) && !(c >= 'a' && c <= 'f')) return false;
  return true;
}

std::optional<std::vector<uint8_t>> encode(const Datagram& d) {
  if (!isContentHash(d.hash) || d.address.size() > kAddrSize) return std::nullopt;
  const bool partial = d.kind == Kind::kPartial;
  if (partial && d.bitmap.size() > static_cast<size_t>(kMaxBitmap)) return std::nullopt;
  std::vector<uint8_t> out(partial ? kPartialHeadSize + d.bitmap.size() : kHeadSize, 0);
  const char* tag = d.kind == Kind::kQuery ? kQueryTag : d.kind == Kind::kWhole ? kWholeTag : kPartialTag;
  std::memcpy(out.data(), tag, kTagSize);
  std::memcpy(out.data() + kHashAt, d.hash.data(), kHashSize);
  std::memcpy(out.data() + kAddrAt, d.address.data(), d.address.size());
  put32(out.data() + kPortAt, d.port);
  if (partial) {
    out[kStartAt] = d.bHttpStart ? 1 : 0;
    out[kAbleAt] = d.bHttpAble ? 1 : 0;
    put32(out.data() + kUserAt, d.userid);
    put32(out.data() + kCountAt, static_cast<uint32_t>(d.bitmap.size()));
    if (!d.bitmap.empty()) std::memcpy(out.data() + kPartialHeadSize, d.bitmap.data(), d.bitmap.size());
  }
  return out;
}

std::optional<Datagram> decode(const uint8_t* bytes, size_t size) {
  if (!bytes || size < kHeadSize) return std::nullopt;
  Datagram d;
  if (std::memcmp(bytes, kQueryTag, kTagSize) == 0) {
    d.kind = Kind::kQuery;
  } else if (std::memcmp(bytes, kWholeTag, kTagSize) == 0) {
    d.kind = Kind::kWhole;
  } else if (std::memcmp(bytes, kPartialTag, kTagSize) == 0) {
    d.kind = Kind::kPartial;
  } else {
    return std::nullopt;
  }
  size_t expected = kHeadSize;
  if (d.kind == Kind::kPartial) {
    if (size < kPartialHeadSize) return std::nullopt;
    const int32_t n = static_cast<int32_t>(get32(bytes + kCountAt));
    if (n < 0 || n > kMaxBitmap) return std::nullopt;
    expected = kPartialHeadSize + static_cast<size_t>(n);
  }
  if (size != expected) return std::nullopt;
  d.hash.assign(reinterpret_cast<const char*>(bytes + kHashAt), kHashSize);
  if (!isContentHash(d.hash)) return std::nullopt;
  auto address = readAddress(bytes + kAddrAt);
  if (!address) return std::nullopt;
  d.address = std::move(*address);
  d.port = get32(bytes + kPortAt);
  if (d.port == 0 || d.port > 65535) return std::nullopt;
  if (d.kind == Kind::kPartial) {
    d.bHttpStart = bytes[kStartAt] & 1;
    d.bHttpAble = bytes[kAbleAt] & 1;
    d.userid = get32(bytes + kUserAt);
    d.bitmap.assign(bytes + kPartialHeadSize, bytes + size);
  }
  return d;
}

// ---- Requests ----

namespace {

constexpr std::string_view kCrlf = "\r\n";
constexpr std::string_view kTarget = "/download?filehash=";

bool isTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isValueChar(char c) { return c == '\t' || (c >= 0x20 && c <= 0x7e); }

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view trim(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return v;
}

// Up to 18 digits: no value read here overflows.
std::optional<uint64_t> number(std::string_view s) {
  if (s.empty() || s.size() > 18) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (!isDigit(c)) return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return v;
}

// "bytes=<first>-[<last>]", further ranges after a comma ignored (only the
// first of a multi-range header is served).
bool parseRange(std::string_view v, Request& out) {
  constexpr std::string_view kUnit = "bytes=";
  if (v.size() < kUnit.size() || !equalsNoCase(v.substr(0, kUnit.size()), kUnit)) return false;
  v.remove_prefix(kUnit.size());
  if (const size_t comma = v.find(','); comma != std::string_view::npos) v = v.substr(0, comma);
  v = trim(v);
  const size_t dash = v.find('-');
  if (dash == std::string_view::npos) return false;
  auto first = number(v.substr(0, dash));
  if (!first) return false;
  const std::string_view rest = v.substr(dash + 1);
  std::optional<uint64_t> last;
  if (!rest.empty()) {
    last = number(rest);
    if (!last || *last < *first) return false;
  }
  out.hasRange = true;
  out.first = *first;
  out.last = last;
  return true;
}

}  // namespace

Parse parseRequest(std::string_view buffer, Request& out, size_t& consumed) {
  const size_t end = buffer.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    return buffer.size() >= kMaxRequestHead ? Parse::kBad : Parse::kNeedMore;
  }
  if (end + 4 > kMaxRequestHead) return Parse::kBad;
  consumed = end + 4;
  std::string_view head = buffer.substr(0, end + 2);  // every line ends in CRLF
  out = Request();

  // Request line: "GET <target> HTTP/1.1" (or 1.0).
  size_t eol = head.find(kCrlf);
  const std::string_view line = head.substr(0, eol);
  head.remove_prefix(eol + 2);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) return Parse::kBad;
  const std::string_view method = line.substr(0, sp1), target = line.substr(sp1 + 1, sp2 - sp1 - 1),
                         version = line.substr(sp2 + 1);
  if (method.empty() || version.size() != 8 || version.substr(0, 7) != "HTTP/1." ||
      (version[7] != '0' && version[7] != '1'))
    return Parse::kBad;
  for (char c : method)
    if (!isTokenChar(c)) return Parse::kBad;
  for (char c : target)
    if (c <= 0x20 || c >= 0x7f) return Parse::kBad;

  // Headers: "Name: value", no folded lines, bounded in number.
  bool sawHost = false, sawRange = false, badRange = false;
  size_t count = 0;
  while (!head.empty()) {
    eol = head.find(kCrlf);
    const std::string_view h = head.substr(0, eol);
    head.remove_prefix(eol + 2);
    if (++count > kMaxHeaders) return Parse::kBad;
    const size_t colon = h.find(':');
    if (colon == 0 || colon == std::string_view::npos) return Parse::kBad;
    const std::string_view name = h.substr(0, colon);
    for (char c : name)
      if (!isTokenChar(c)) return Parse::kBad;
    const std::string_view value = trim(h.substr(colon + 1));
    for (char c : value)
      if (!isValueChar(c)) return Parse::kBad;
    if (equalsNoCase(name, "Content-Length") || equalsNoCase(name, "Transfer-Encoding")) {
      // A body the service would not read would be taken for the next request.
      if (!(equalsNoCase(name, "Content-Length") && value == "0")) return Parse::kBad;
    } else if (equalsNoCase(name, "Host")) {
      if (sawHost) return Parse::kBad;
      sawHost = true;
      out.host.assign(value);
    } else if (equalsNoCase(name, "Range")) {
      if (sawRange) badRange = true;
      sawRange = true;
      if (!badRange && !parseRange(value, out)) badRange = true;
    }
  }

  if (method != "GET" || target.substr(0, kTarget.size()) != kTarget) return Parse::kNotDownload;
  const std::string_view hash = target.substr(kTarget.size());
  if (!isContentHash(hash) || badRange) {
    out.hash.assign(hash.substr(0, 40));
    return Parse::kNotFound;
  }
  out.hash.assign(hash);
  return Parse::kRequest;
}

std::optional<Span> resolve(const Request& r, uint64_t size) {
  Span s;
  if (!r.hasRange) {
    s.first = 0;
    s.last = static_cast<int64_t>(size) - 1;
    return s;
  }
  if (r.first >= size) return std::nullopt;
  s.partial = true;
  s.first = r.first;
  s.last = static_cast<int64_t>(r.last && *r.last < size ? *r.last : size - 1);
  return s;
}

std::string head200(const std::string& host, const std::string& date, uint64_t size) {
  char n[32];
  std::snprintf(n, sizeof n, "%llu", static_cast<unsigned long long>(size));
  return "HTTP/1.1 200 OK\r\nServer: " + host + "\r\nDate: " + date + "\r\nContent-Length: " + n +
         "\r\nContent-Type: close\r\n\r\n";
}

std::string head206(const std::string& host, const std::string& date, uint64_t first, uint64_t last, uint64_t size) {
  char range[96], length[32];
  std::snprintf(range, sizeof range, "%llu-%llu/%llu", static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(last), static_cast<unsigned long long>(size));
  std::snprintf(length, sizeof length, "%llu", static_cast<unsigned long long>(last - first + 1));
  return "HTTP/1.1 206 Partial Content\r\nServer: " + host + "\r\nDate: " + date + "\r\nContent-Range: bytes " + range +
         "\r\nAccept-Ranges: bytes\r\nContent-Length: " + length + "\r\nContent-Type: close\r\n\r\n";
}

std::string head404(const std::string& host, const std::string& date) {
  return "HTTP/1.1 404  Not Found\r\nDate: " + date + "\r\nServer: " + host + "\r\nContent-Type: close\r\n\r\n";
}

std::string peerUrl(const std::string& address, uint32_t port, const std::string& hash) {
  return "http://" + address + ":" + std::to_string(port) + "/download?filehash=" + hash;
}

}  // namespace lanwire
