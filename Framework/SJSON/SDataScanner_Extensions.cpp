// Comment scanning and the description of a scan position.
#include <cstring>

#include "Framework/SJSON/SDataScanner.h"
#include "platform/foundation/error.h"
#include "platform/foundation/format.h"

using plat::Value;

namespace {
const uint8_t* findBytes(const uint8_t* p, const uint8_t* e, const char* what) {
  size_t n = std::strlen(what);
  for (; p && static_cast<size_t>(e - p) >= n; ++p)
    if (std::memcmp(p, what, n) == 0) return p;
  return nullptr;
}

// U+000A, U+000C, U+000D, U+0085, U+2028 and U+2029 compared with single
// bytes: only 0x0A, 0x0C, 0x0D and 0x85 can match.
bool isLineEnd(uint8_t c) { return c == 0x0A || c == 0x0C || c == 0x0D || c == 0x85; }
}  // namespace

bool SDataScanner::scanCStyleComment(std::optional<std::string>* outComment) {
  if (bytesRemaining() < 2 || current_[0] != '/' || current_[1] != '*') return false;
  current_ += 2;
  const uint8_t* close = findBytes(current_, end_, "*/");
  if (!close)
    throw plat::Exception(plat::kGenericException, "Started to scan a C style comment but it wasn't terminated.");
  if (findBytes(current_, close, "/*"))
    throw plat::Exception(plat::kGenericException, "C style comments should not be nested.");
  std::optional<std::string> text = decode(current_, close);
  current_ = close;
  if (!scanUTF8String("*/", nullptr))
    throw plat::Exception(plat::kGenericException, "C style comment did not end correctly.");
  if (outComment) *outComment = std::move(text);
  return true;
}

bool SDataScanner::scanCPlusPlusStyleComment(std::optional<std::string>* outComment) {
  if (bytesRemaining() < 2 || current_[0] != '/' || current_[1] != '/') return false;
  current_ += 2;
  const uint8_t* p = current_;
  while (p < end_ && !isLineEnd(*p)) ++p;
  std::optional<std::string> text;
  if (p != current_) text = decode(current_, p);
  current_ = p;
  while (current_ < end_ && isLineEnd(*current_)) ++current_;
  if (outComment) *outComment = std::move(text);
  return true;
}

size_t SDataScanner::lineOfScanLocation() const {
  size_t lines = 0;
  for (const uint8_t* p = start_; p < current_; ++p)
    if (*p == 10 || *p == 13) ++lines;
  return lines;
}

plat::Dictionary SDataScanner::userInfoForScanLocation() const {
  size_t line = 0;
  size_t location = scanLocation();
  ptrdiff_t mark = 0;
  for (size_t i = 0; i < location; ++i) {
    if (start_[i] == 10 || start_[i] == 13) {
      ++line;
      mark = static_cast<ptrdiff_t>(i) - 1;  // one byte before the break, as the position was always counted
    }
  }
  size_t character = static_cast<size_t>(static_cast<ptrdiff_t>(location) - mark);
  size_t from = location > 20 ? location - 20 : 0;
  size_t to = location + 20 < length_ ? location + 20 : length_;
  auto piece = [this](size_t a, size_t b) -> Value {
    auto s = decode(start_ + a, start_ + b);
    return s ? Value(std::move(*s)) : Value();
  };
  Value before = piece(from, location), after = piece(location, to);
  // A piece that cuts a character does not decode and prints as a nil object.
  std::string snippet = plat::format("%@!HERE>!%@", before.isString() ? before : Value("(null)"),
                                     after.isString() ? after : Value("(null)"));
  return plat::Dictionary::fromEntries({
      {"line", Value(static_cast<unsigned long>(line))},
      {"character", Value(static_cast<unsigned long>(character))},
      {"location", Value(static_cast<unsigned long>(location))},
      {"snippet", Value(std::move(snippet))},
  });
}
