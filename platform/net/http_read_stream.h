// An HTTP/1.1 exchange as a read stream whose events arrive on the run loop
// (and in the modes) it is scheduled in: the request goes out (head, then
// the body with Content-Length or chunked), the response head becomes
// available, and the body is read from the stream as it arrives, without
// its chunk framing. Events: open-completed, has-bytes, end, error. The end
// means the whole body came; a response cut short ends in an error, never in
// an end.
//
// Phases: Idle -> Resolving -> Connecting -> [SOCKS | Tunnel] -> [TLS] ->
// Sending -> Receiving -> Done; any failure -> Failed; close() -> Closed. A
// connection taken from the registry starts at Sending.
//
// The stream works on the thread of the run loop it is scheduled on, and
// its client callbacks run there, never under the stream's lock, so a
// callback may read, close or drop the stream. Any member may be called from
// another thread as well (a cancel from elsewhere closes it); a callback that
// is already running then still finishes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/run_loop.h"
#include "platform/net/http_message.h"
#include "platform/net/response_parser.h"
#include "platform/net/tls.h"

namespace plat {

struct ResolvedAddress;

// Error domains and codes of stream failures.
inline constexpr const char* kCFErrorDomainCFNetwork = "kCFErrorDomainCFNetwork";
enum : long {
  kCFHostErrorHostNotFound = 1,
  kCFHostErrorUnknown = 2,
  kCFSOCKS5ErrorBadState = 120,
  kCFSOCKS5ErrorBadResponseAddr = 121,
  kCFSOCKS5ErrorBadCredentials = 122,
  kCFSOCKS5ErrorUnsupportedNegotiationMethod = 123,
  kCFSOCKS5ErrorNoAcceptableMethod = 124,
  kCFErrorHTTPConnectionLost = 302,  // the response was cut short
  kCFErrorHTTPParseFailure = 303,    // the response was not HTTP, or over the limits
  kCFURLErrorNetworkConnectionLost = -1005,  // a reused connection died before any answer: try again
};

// Where a request body comes from.
class BodySource {
public:
  virtual ~BodySource() = default;
  // Bytes read (> 0), 0 at the end, < 0 on failure.
  virtual long read(uint8_t* buffer, size_t size) = 0;
  // The whole length when known: sent with Content-Length; else chunked.
  virtual std::optional<uint64_t> length() const = 0;
};

class DataBodySource : public BodySource {
public:
  explicit DataBodySource(Data data) : data_(std::make_shared<const Data>(std::move(data))) {}
  // Read from the caller's buffer, which is not copied and must not change.
  explicit DataBodySource(std::shared_ptr<const Data> data) : data_(data ? std::move(data) : std::make_shared<const Data>()) {}
  long read(uint8_t* buffer, size_t size) override;
  std::optional<uint64_t> length() const override { return data_->size(); }

private:
  std::shared_ptr<const Data> data_;
  size_t at_ = 0;
};

class FileBodySource : public BodySource {
public:
  // Null when the file can't be opened.
  static std::unique_ptr<FileBodySource> open(const std::string& path, Error* error = nullptr);
  ~FileBodySource() override;
  long read(uint8_t* buffer, size_t size) override;
  std::optional<uint64_t> length() const override { return size_; }

private:
  FileBodySource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  int fd_;
  uint64_t size_;
};

struct ProxySettings {
  enum class Type { HTTP, SOCKS5 };
  Type type = Type::HTTP;  // HTTP: absolute-form for http URLs, CONNECT for https
  std::string host{};
  int port = 0;
  std::string username{};  // SOCKS5 user/password, or Basic for the HTTP proxy
  std::string password{};
  std::string key() const;
};

class HTTPReadStream : public std::enable_shared_from_this<HTTPReadStream> {
public:
  enum Event : uint32_t {
    kEventNone = 0,
    kEventOpenCompleted = 1,
    kEventHasBytesAvailable = 2,
    kEventErrorOccurred = 8,
    kEventEndEncountered = 16,
  };
  enum class Status { NotOpen, Opening, Open, Reading, AtEnd, Closed, Error };
  using Client = std::function<void(uint32_t event)>;

  // The message's own body is sent when no body source is given.
  static std::shared_ptr<HTTPReadStream> create(const HTTPMessage& request, std::unique_ptr<BodySource> body = nullptr);
  ~HTTPReadStream();
  HTTPReadStream(const HTTPReadStream&) = delete;
  HTTPReadStream& operator=(const HTTPReadStream&) = delete;

  // Settings, before open().
  void setSSLSettings(SSLSettings settings);
  void setProxy(std::optional<ProxySettings> proxy);
  // Off by default: the connection is closed after the exchange.
  void setAttemptPersistentConnection(bool attempt);
  // Streams with the same id may share a connection; different ids never do.
  void setConnectionID(int64_t id);
  void setResponseLimits(ResponseParser::Limits limits);

  // Events outside the mask are not delivered. An empty client removes it.
  void setClient(uint32_t events, Client client);
  // One run loop at a time; several modes of it. I/O only happens while the
  // stream is scheduled in at least one mode.
  void scheduleInRunLoop(const std::shared_ptr<RunLoop>& loop, const std::string& mode);
  void unscheduleFromRunLoop(const std::shared_ptr<RunLoop>& loop, const std::string& mode);

  // Starts the exchange; false when the URL can't be used (not http or https,
  // no host), the body can't be framed (unknown length over HTTP/1.0) or the
  // stream was opened before.
  bool open();
  void close();

  Status status() const;
  bool hasBytesAvailable() const;
  // Body bytes (> 0); 0 when nothing is buffered (see status() for the end);
  // -1 after an error.
  long read(uint8_t* buffer, size_t size);
  std::optional<Error> error() const;
  // The complete response head, once it has arrived.
  std::shared_ptr<const HTTPMessage> responseHeader() const;
  // Request body bytes written to the connection so far.
  uint64_t requestBytesWritten() const;
  // Monotonic time (of plat::currentClock()) of the last byte moved, or of the start.
  double lastActivityTime() const;
  // Changes whenever bytes move (or the exchange changes phase): lets a
  // waiter measure silence in real time whatever clock the process uses.
  uint64_t progressMarker() const;
  bool connectionWasReused() const;
  // Closes the idle kept connections of streams with that connection id:
  // whoever forgets an id must not leave its sockets open.
  static size_t closeIdleConnections(int64_t connectionID);
  uint64_t connectionSerial() const;

private:
  enum class Phase { Idle, Resolving, Connecting, SOCKS, Tunnel, TLS, Sending, Receiving, Done, Failed, Closed };
  struct Private;

  HTTPReadStream(const HTTPMessage& request, std::unique_ptr<BodySource> body);
  void onResolved(std::vector<ResolvedAddress> addrs, std::optional<Error> error);
  void onIO(uint32_t events);
  void kick();
  void postKickLocked();
  void deliver();
  // All below run with the lock held.
  void pumpLocked();
  void connectNextLocked();
  void afterConnectLocked();
  void startTLSOrSendLocked();
  void startSendingLocked();
  bool flushOutLocked();
  bool fillBodyFrameLocked();
  void readResponseLocked();
  void headArrivedLocked();
  void finishResponseLocked(bool reusable);
  void failLocked(Error error);
  void failConnectionLostLocked(const Error* cause, const char* text);
  void updateInterestLocked();
  void removeSourceLocked();
  std::string connectionKeyLocked() const;
  std::string buildHeadLocked();

  mutable std::mutex mutex_;
  std::unique_ptr<Private> p_;
};

}  // namespace plat
