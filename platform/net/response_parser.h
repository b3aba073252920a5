// Reads one HTTP/1.1 response from the bytes of a connection, fed in pieces
// of any size. States: StatusLine -> Headers -> (1xx: StatusLine again) ->
// Body (Fixed | Chunked: ChunkSize, ChunkData, ChunkEnd, Trailers | UntilClose)
// -> Done; any fault -> Failed. The body comes out as it arrives, without its
// chunk framing. Bytes after the end of the response are left unconsumed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/http_message.h"

namespace plat {

class ResponseParser {
public:
  struct Limits {
    size_t maxHeadBytes = 64 * 1024;  // one response head (and chunk trailers)
    size_t maxHeaderCount = 128;
  };
  enum class State { StatusLine, Headers, Body, Done, Failed };

  // `requestMethod` decides whether a body follows (none for HEAD; none
  // after a 2xx answer to CONNECT).
  explicit ResponseParser(std::string requestMethod, Limits limits);
  explicit ResponseParser(std::string requestMethod) : ResponseParser(std::move(requestMethod), Limits{}) {}

  // Consumes bytes from `data`, appending body bytes to `body`; returns the
  // number consumed (fewer than `size` only once Done or Failed).
  size_t feed(const char* data, size_t size, std::string& body);
  // Body bytes that may be taken next as they stand, without going through
  // feed() (0 when framing or the head comes next): lets a reader put them
  // straight where they belong.
  uint64_t directBodyBytes() const;
  // `n` (at most directBodyBytes()) such bytes were taken.
  void takeDirectBody(size_t n);
  // The connection has ended. True when that ends the response (a body that
  // runs until the close); false, Failed, when the response was incomplete.
  bool finish();

  State state() const { return state_; }
  bool isDone() const { return state_ == State::Done; }
  bool isFailed() const { return state_ == State::Failed; }
  bool headComplete() const { return headComplete_; }
  // Valid once headComplete().
  const HTTPMessage& response() const { return response_; }
  const std::string& errorText() const { return error_; }
  // Bytes of the connection seen so far (interim responses included).
  uint64_t bytesSeen() const { return seen_; }
  uint64_t bodyBytes() const { return bodyBytes_; }
  std::optional<uint64_t> contentLength() const { return contentLength_; }
  bool isChunked() const { return mode_ == BodyMode::Chunked; }
  bool isCloseDelimited() const { return mode_ == BodyMode::UntilClose; }
  // The server lets the connection carry another request after this one.
  bool keepAlive() const;

private:
  enum class BodyMode { None, Fixed, Chunked, UntilClose };
  enum class ChunkState { Size, Data, DataEnd, Trailers };
  bool fail(std::string text);
  bool takeLine(const char* data, size_t size, size_t& used, std::string& line, bool& complete);
  bool headLine(const std::string& line);
  bool endOfHead();
  bool chooseBody();

  std::string method_;
  Limits limits_;
  State state_ = State::StatusLine;
  HTTPMessage response_ = HTTPMessage::createResponse(0, "");
  bool headComplete_ = false;
  std::string line_;
  size_t headBytes_ = 0;
  size_t headerCount_ = 0;
  int interim_ = 0;
  bool blankLineSkipped_ = false;
  BodyMode mode_ = BodyMode::None;
  ChunkState chunk_ = ChunkState::Size;
  uint64_t remaining_ = 0;
  std::optional<uint64_t> contentLength_;
  bool framingConflict_ = false;
  uint64_t seen_ = 0;
  uint64_t bodyBytes_ = 0;
  std::string error_;
};

}  // namespace plat
