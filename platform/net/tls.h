// TLS for the HTTP stream, over OpenSSL: the settings a stream carries, a
// client identity (certificate, key and chain), and a session on a
// non-blocking socket. Peers are verified against the system's CA store
// unless the settings name CAs of their own (tests) or switch checking off;
// whenever the chain is checked the host name is checked too. TLS 1.2 at least.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"

struct ssl_st;
struct x509_st;
struct evp_pkey_st;
struct stack_st_X509;

namespace plat {

// The domain and codes of TLS failures, as the HTTP library knows them.
inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";
enum : long {
  errSSLProtocol = -9800,
  errSSLClosedAbort = -9806,
  errSSLXCertChainInvalid = -9807,
  errSSLNoRootCert = -9813,
  errSSLCertExpired = -9814,
};

class ClientIdentity {
public:
  // The first certificate of `certificatesPEM` is the client's; any further
  // ones go with it as its chain.
  static std::shared_ptr<const ClientIdentity> fromPEM(std::string_view certificatesPEM, std::string_view privateKeyPEM,
                                                       Error* error = nullptr);
  static std::shared_ptr<const ClientIdentity> fromPKCS12(const Data& pkcs12, std::string_view password,
                                                          Error* error = nullptr);
  ~ClientIdentity();
  ClientIdentity(const ClientIdentity&) = delete;
  ClientIdentity& operator=(const ClientIdentity&) = delete;

  // SHA-256 of the certificate, in hex: tells identities apart.
  const std::string& fingerprint() const { return fingerprint_; }
  x509_st* certificate() const { return cert_; }
  evp_pkey_st* privateKey() const { return key_; }
  stack_st_X509* chain() const { return chain_; }

private:
  ClientIdentity() = default;
  x509_st* cert_ = nullptr;
  evp_pkey_st* key_ = nullptr;
  stack_st_X509* chain_ = nullptr;
  std::string fingerprint_;
};

struct SSLSettings {
  // Off: any certificate and any name is taken (nothing is checked at all).
  bool validatesCertificateChain = true;
  bool allowsExpiredCertificates = false;
  bool allowsAnyRoot = false;
  // The name sent in SNI and checked against the certificate; the URL's host
  // when not set.
  std::optional<std::string> peerName{};
  // PEM certificates of the CAs to trust instead of the system's store.
  std::string trustedCertificatesPEM{};
  std::shared_ptr<const ClientIdentity> clientIdentity{};

  // Tells settings apart for connection reuse (the peer name is part of it).
  std::string key() const;
};

// One TLS session on a connected non-blocking socket. Writes never raise
// SIGPIPE.
class TLSSession {
public:
  enum class IO { Done, WantRead, WantWrite, Closed, Failed };

  static std::unique_ptr<TLSSession> create(int fd, const SSLSettings& settings, const std::string& host,
                                            Error* error);
  ~TLSSession();
  TLSSession(const TLSSession&) = delete;
  TLSSession& operator=(const TLSSession&) = delete;

  // Drives the handshake; on Failed, `error` says why (certificate faults
  // with their own codes).
  IO handshake(Error* error);
  // Bytes moved (> 0) with Done; otherwise the state.
  IO read(char* buffer, size_t size, size_t& moved, Error* error);
  IO write(const char* buffer, size_t size, size_t& moved, Error* error);
  bool hasPendingBytes() const;
  // The peer's certificate subject, for logs and tests.
  std::string peerSubject() const;

private:
  TLSSession() = default;
  IO ioResult(int ret, Error* error, bool handshaking);
  ssl_st* ssl_ = nullptr;
  std::string host_;
};

}  // namespace plat
