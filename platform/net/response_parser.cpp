#include "platform/net/response_parser.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace plat {

namespace {
constexpr size_t kMaxChunkLine = 4096;

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

// Whether a comma-separated header value names the token.
bool listHas(const std::string& value, std::string_view token) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    if (equalsIgnoringCase(trim(std::string_view(value).substr(start, comma - start)), token)) return true;
    start = comma + 1;
  }
  return false;
}
}  // namespace

ResponseParser::ResponseParser(std::string requestMethod, Limits limits)
    : method_(std::move(requestMethod)), limits_(limits) {}

bool ResponseParser::fail(std::string text) {
  state_ = State::Failed;
  error_ = std::move(text);
  return false;
}

// Collects one line (CRLF or a bare LF ends it) across feeds; `complete` says
// whether it ended. Lines count against the head limit.
bool ResponseParser::takeLine(const char* data, size_t size, size_t& used, std::string& line, bool& complete) {
  const char* nl = static_cast<const char*>(memchr(data + used, '\n', size - used));
  size_t end = nl ? static_cast<size_t>(nl - data) : size;
  size_t take = end - used;
  headBytes_ += take + (nl ? 1 : 0);
  if (headBytes_ > limits_.maxHeadBytes) return fail("The response head is too large");
  line.append(data + used, take);
  used = nl ? end + 1 : end;
  complete = nl != nullptr;
  if (complete && !line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

size_t ResponseParser::feed(const char* data, size_t size, std::string& body) {
  size_t used = 0;
  while (used < size && state_ != State::Done && state_ != State::Failed) {
    size_t before = used;
    if (state_ == State::StatusLine || state_ == State::Headers) {
      bool complete = false;
      if (!takeLine(data, size, used, line_, complete)) break;
      if (complete) {
        std::string line;
        line.swap(line_);
        if (!headLine(line)) break;
      }
    } else if (mode_ == BodyMode::Fixed || mode_ == BodyMode::UntilClose ||
               (mode_ == BodyMode::Chunked && chunk_ == ChunkState::Data)) {
      size_t n = size - used;
      if (mode_ != BodyMode::UntilClose) n = static_cast<size_t>(std::min<uint64_t>(n, remaining_));
      body.append(data + used, n);
      used += n;
      bodyBytes_ += n;
      if (mode_ != BodyMode::UntilClose) {
        remaining_ -= n;
        if (remaining_ == 0) {
          if (mode_ == BodyMode::Fixed)
            state_ = State::Done;
          else
            chunk_ = ChunkState::DataEnd;
        }
      }
    } else {  // chunk framing lines
      bool complete = false;
      const char* nl = static_cast<const char*>(memchr(data + used, '\n', size - used));
      size_t end = nl ? static_cast<size_t>(nl - data) : size;
      if (chunk_ == ChunkState::Trailers) {
        if (!takeLine(data, size, used, line_, complete)) break;
      } else {
        line_.append(data + used, end - used);
        used = nl ? end + 1 : end;
        complete = nl != nullptr;
        if (complete && !line_.empty() && line_.back() == '\r') line_.pop_back();
        if (line_.size() > kMaxChunkLine) {
          fail("A chunk size line is too long");
          break;
        }
      }
      if (complete) {
        std::string line;
        line.swap(line_);
        if (chunk_ == ChunkState::DataEnd) {
          if (!line.empty()) {
            fail("A chunk does not end where its size says");
            break;
          }
          chunk_ = ChunkState::Size;
        } else if (chunk_ == ChunkState::Size) {
          std::string_view digits(line);
          digits = digits.substr(0, digits.find(';'));
          std::string d = trim(digits);
          if (d.empty() || d.size() > 15 || !std::all_of(d.begin(), d.end(), [](unsigned char c) { return std::isxdigit(c); })) {
            fail("A chunk size is not a hexadecimal number");
            break;
          }
          remaining_ = std::stoull(d, nullptr, 16);
          if (remaining_ == 0) {
            chunk_ = ChunkState::Trailers;
            headBytes_ = 0;
          } else {
            chunk_ = ChunkState::Data;
          }
        } else {  // trailers: dropped, the end is the empty line
          if (line.empty()) state_ = State::Done;
        }
      }
    }
    seen_ += used - before;
  }
  return used;
}

bool ResponseParser::headLine(const std::string& line) {
  if (state_ == State::StatusLine) {
    // Some servers send a blank line before the status line: one is let
    // through, counted in lines so that the pieces the bytes come in don't matter.
    if (line.empty() && !blankLineSkipped_ && interim_ == 0) {
      blankLineSkipped_ = true;
      return true;
    }
    if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || !std::isdigit(static_cast<unsigned char>(line[7])) ||
        line[8] != ' ')
      return fail("The status line is not HTTP/1.x");
    std::string code = line.substr(9, 3);
    if (!std::all_of(code.begin(), code.end(), [](unsigned char c) { return std::isdigit(c); }) ||
        (line.size() > 12 && line[12] != ' '))
      return fail("The status code is not a number");
    int status = std::stoi(code);
    if (status < 100) return fail("The status code is not a number");
    std::string version = line.substr(0, 8);
    if (version != kHTTPVersion1_0) version = kHTTPVersion1_1;
    response_ = HTTPMessage::createResponse(status, line, version);
    response_.setHeaderComplete(false);
    headerCount_ = 0;
    state_ = State::Headers;
    return true;
  }
  if (line.empty()) return endOfHead();
  if (line[0] == ' ' || line[0] == '\t') {
    // Obsolete folding: continues the previous value.
    if (response_.fields_.empty()) return fail("A header line starts with white space");
    // Checked like any other line: a CR or NUL hidden in a continuation
    // would otherwise reach the stored value.
    std::string more = trim(line);
    if (!isValidHeaderValue(more)) return fail("A header value holds CR or NUL");
    auto& value = response_.fields_.back().second;
    value += ' ';
    value += more;
    return true;
  }
  size_t colon = line.find(':');
  if (colon == std::string::npos) return fail("A header line has no colon");
  std::string name = line.substr(0, colon);
  std::string value = trim(std::string_view(line).substr(colon + 1));
  if (!isHTTPToken(name)) return fail("A header name is not a token");
  // A refused value fails the response: dropping it silently could change
  // the framing (a Transfer-Encoding that vanishes) or what is stored.
  if (!isValidHeaderValue(value)) return fail("A header value holds CR or NUL");
  if (++headerCount_ > limits_.maxHeaderCount) return fail("The response has too many header fields");
  if (!response_.addHeaderFieldValue(name, value)) return fail("A header field is refused");
  return true;
}

bool ResponseParser::endOfHead() {
  int status = response_.statusCode();
  if (status >= 100 && status < 200 && status != 101) {
    // An interim answer (100 Continue, 102, 103): the real one follows.
    if (++interim_ > 16) return fail("The server sends nothing but interim responses");
    state_ = State::StatusLine;
    headBytes_ = 0;
    return true;
  }
  response_.setHeaderComplete(true);
  headComplete_ = true;
  if (!chooseBody()) return false;
  state_ = mode_ == BodyMode::None ? State::Done : State::Body;
  return true;
}

bool ResponseParser::chooseBody() {
  int status = response_.statusCode();
  if (equalsIgnoringCase(method_, "HEAD") || status == 204 || status == 304 || status < 200) {
    mode_ = BodyMode::None;
    return true;
  }
  if (equalsIgnoringCase(method_, "CONNECT") && status >= 200 && status < 300) {
    mode_ = BodyMode::None;
    return true;
  }
  auto te = response_.headerFieldValue("Transfer-Encoding");
  auto lengths = response_.headerFieldValues("Content-Length");
  if (te) {
    framingConflict_ = !lengths.empty();
    std::string v = *te;
    size_t comma = v.rfind(',');
    std::string last = trim(comma == std::string::npos ? v : v.substr(comma + 1));
    mode_ = equalsIgnoringCase(last, "chunked") ? BodyMode::Chunked : BodyMode::UntilClose;
    chunk_ = ChunkState::Size;
    return true;
  }
  if (!lengths.empty()) {
    std::optional<uint64_t> length;
    for (const auto& raw : lengths) {
      // "Content-Length: 5, 5" is one length written twice.
      size_t start = 0;
      while (start <= raw.size()) {
        size_t comma = raw.find(',', start);
        if (comma == std::string::npos) comma = raw.size();
        auto parsed = parseHTTPLength(trim(std::string_view(raw).substr(start, comma - start)));
        if (!parsed) return fail("The Content-Length is not a number");
        uint64_t n = *parsed;
        if (length && *length != n) return fail("The response has two different Content-Length values");
        length = n;
        start = comma + 1;
      }
    }
    contentLength_ = length;
    remaining_ = *length;
    mode_ = *length == 0 ? BodyMode::None : BodyMode::Fixed;
    return true;
  }
  mode_ = BodyMode::UntilClose;
  return true;
}

uint64_t ResponseParser::directBodyBytes() const {
  if (state_ != State::Body) return 0;
  if (mode_ == BodyMode::UntilClose) return UINT64_MAX;
  if (mode_ == BodyMode::Fixed || (mode_ == BodyMode::Chunked && chunk_ == ChunkState::Data)) return remaining_;
  return 0;
}

void ResponseParser::takeDirectBody(size_t n) {
  n = static_cast<size_t>(std::min<uint64_t>(n, directBodyBytes()));
  seen_ += n;
  bodyBytes_ += n;
  if (mode_ == BodyMode::UntilClose) return;
  remaining_ -= n;
  if (remaining_ == 0) {
    if (mode_ == BodyMode::Fixed)
      state_ = State::Done;
    else
      chunk_ = ChunkState::DataEnd;
  }
}

bool ResponseParser::finish() {
  if (state_ == State::Done) return true;
  if (state_ == State::Failed) return false;
  if (state_ == State::Body && mode_ == BodyMode::UntilClose) {
    state_ = State::Done;
    return true;
  }
  if (seen_ == 0) return fail("The connection closed before any response");
  if (!headComplete_) return fail("The connection closed in the middle of the response head");
  return fail("The connection closed before the end of the response body");
}

bool ResponseParser::keepAlive() const {
  if (!headComplete_ || mode_ == BodyMode::UntilClose || framingConflict_) return false;
  if (response_.statusCode() == 101) return false;
  auto conn = response_.headerFieldValue("Connection");
  if (conn && listHas(*conn, "close")) return false;
  if (response_.version() == kHTTPVersion1_0) return conn && listHas(*conn, "keep-alive");
  return true;
}

}  // namespace plat
