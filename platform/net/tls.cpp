#include "platform/net/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/foundation/format.h"

namespace plat {

namespace {

std::string opensslErrors() {
  std::string text;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text;
}

Error tlsError(long code, std::string text) {
  return Error::withDescription(kOSStatusErrorDomain, code, std::move(text));
}

// A socket BIO that sends with MSG_NOSIGNAL, so a peer that went away gives
// EPIPE instead of killing the process.
BIO_METHOD* socketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "plat socket");
    BIO_meth_set_write(m, [](BIO* b, const char* data, int n) -> int {
      BIO_clear_retry_flags(b);
      ssize_t r = ::send(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b))), data, n, MSG_NOSIGNAL);
      if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(b);
      return static_cast<int>(r);
    });
    BIO_meth_set_read(m, [](BIO* b, char* data, int n) -> int {
      BIO_clear_retry_flags(b);
      ssize_t r = ::recv(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b))), data, n, 0);
      if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(b);
      return static_cast<int>(r);
    });
    BIO_meth_set_ctrl(m, [](BIO*, int cmd, long, void*) -> long { return cmd == BIO_CTRL_FLUSH ? 1 : 0; });
    BIO_meth_set_create(m, [](BIO* b) -> int {
      BIO_set_init(b, 1);
      return 1;
    });
    return m;
  }();
  return method;
}

struct VerifyPolicy {
  bool allowsExpired = false;
  bool allowsAnyRoot = false;
};
int policyIndex() {
  static int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int verifyCallback(int ok, X509_STORE_CTX* store) {
  if (ok) return 1;
  SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* policy = static_cast<VerifyPolicy*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), policyIndex()));
  int err = X509_STORE_CTX_get_error(store);
  if (policy && policy->allowsExpired && (err == X509_V_ERR_CERT_HAS_EXPIRED || err == X509_V_ERR_CERT_NOT_YET_VALID))
    return 1;
  if (policy && policy->allowsAnyRoot &&
      (err == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT || err == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
       err == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY || err == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
       err == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE))
    return 1;
  return 0;
}

struct ContextEntry {
  SSL_CTX* ctx = nullptr;
  std::unique_ptr<VerifyPolicy> policy;
};

// Contexts are costly to make (the CA store is loaded), so one is kept per
// distinct settings for the life of the process.
SSL_CTX* contextFor(const SSLSettings& s, Error* error) {
  static std::mutex mutex;
  // Kept for the life of the process, and never torn down under running streams.
  static auto* contexts = new std::map<std::string, ContextEntry>();
  SSLSettings keyed = s;
  keyed.peerName.reset();
  std::string key = keyed.key();
  std::lock_guard lock(mutex);
  auto it = contexts->find(key);
  if (it != contexts->end()) return it->second.ctx;

  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) {
    setError(error, tlsError(errSSLProtocol, "TLS context: " + opensslErrors()));
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  auto policy = std::make_unique<VerifyPolicy>(VerifyPolicy{s.allowsExpiredCertificates, s.allowsAnyRoot});
  SSL_CTX_set_ex_data(ctx, policyIndex(), policy.get());
  if (s.validatesCertificateChain) {
    bool loaded;
    if (!s.trustedCertificatesPEM.empty()) {
      X509_STORE* store = SSL_CTX_get_cert_store(ctx);
      BIO* bio = BIO_new_mem_buf(s.trustedCertificatesPEM.data(), static_cast<int>(s.trustedCertificatesPEM.size()));
      int count = 0;
      while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        X509_STORE_add_cert(store, cert);
        X509_free(cert);
        ++count;
      }
      ERR_clear_error();
      BIO_free(bio);
      loaded = count > 0;
    } else {
      loaded = SSL_CTX_set_default_verify_paths(ctx) == 1;
    }
    if (!loaded) {
      setError(error, tlsError(errSSLNoRootCert, "No trusted certificates could be loaded"));
      SSL_CTX_free(ctx);
      return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, verifyCallback);
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  }
  if (s.clientIdentity) {
    const auto& id = *s.clientIdentity;
    if (SSL_CTX_use_certificate(ctx, id.certificate()) != 1 || SSL_CTX_use_PrivateKey(ctx, id.privateKey()) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
      setError(error, tlsError(errSSLProtocol, "The client identity can't be used: " + opensslErrors()));
      SSL_CTX_free(ctx);
      return nullptr;
    }
    if (id.chain()) {
      for (int i = 0; i < sk_X509_num(id.chain()); ++i) SSL_CTX_add1_chain_cert(ctx, sk_X509_value(id.chain(), i));
    }
  }
  (*contexts)[key] = ContextEntry{ctx, std::move(policy)};
  return ctx;
}

bool isIPAddress(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

std::shared_ptr<const ClientIdentity> ClientIdentity::fromPEM(std::string_view certificatesPEM,
                                                              std::string_view privateKeyPEM, Error* error) {
  std::shared_ptr<ClientIdentity> id(new ClientIdentity());
  BIO* bio = BIO_new_mem_buf(certificatesPEM.data(), static_cast<int>(certificatesPEM.size()));
  id->cert_ = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  while (X509* extra = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    if (!id->chain_) id->chain_ = sk_X509_new_null();
    sk_X509_push(id->chain_, extra);
  }
  BIO_free(bio);
  bio = BIO_new_mem_buf(privateKeyPEM.data(), static_cast<int>(privateKeyPEM.size()));
  id->key_ = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  ERR_clear_error();
  if (!id->cert_ || !id->key_ || X509_check_private_key(id->cert_, id->key_) != 1) {
    ERR_clear_error();
    setError(error, tlsError(errSSLProtocol, "The certificate and key do not make an identity"));
    return nullptr;
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  X509_digest(id->cert_, EVP_sha256(), md, &n);
  for (unsigned i = 0; i < n; ++i) id->fingerprint_ += format("%02x", md[i]);
  return id;
}

std::shared_ptr<const ClientIdentity> ClientIdentity::fromPKCS12(const Data& pkcs12, std::string_view password,
                                                                 Error* error) {
  const unsigned char* p = pkcs12.data();
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(pkcs12.size()));
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* ca = nullptr;
  std::string pass(password);
  bool ok = p12 && PKCS12_parse(p12, pass.c_str(), &key, &cert, &ca) == 1 && cert && key;
  if (p12) PKCS12_free(p12);
  ERR_clear_error();
  if (!ok) {
    EVP_PKEY_free(key);
    X509_free(cert);
    sk_X509_pop_free(ca, X509_free);
    setError(error, tlsError(errSSLProtocol, "The PKCS#12 data can't be read"));
    return nullptr;
  }
  std::shared_ptr<ClientIdentity> id(new ClientIdentity());
  id->cert_ = cert;
  id->key_ = key;
  id->chain_ = ca;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  X509_digest(cert, EVP_sha256(), md, &n);
  for (unsigned i = 0; i < n; ++i) id->fingerprint_ += format("%02x", md[i]);
  return id;
}

ClientIdentity::~ClientIdentity() {
  X509_free(cert_);
  EVP_PKEY_free(key_);
  if (chain_) sk_X509_pop_free(chain_, X509_free);
}

std::string SSLSettings::key() const {
  std::string k = format("v%d e%d r%d", validatesCertificateChain, allowsExpiredCertificates, allowsAnyRoot);
  if (peerName) k += " n=" + *peerName;
  if (!trustedCertificatesPEM.empty()) {
    unsigned char md[32];
    unsigned int n = 0;
    EVP_Digest(trustedCertificatesPEM.data(), trustedCertificatesPEM.size(), md, &n, EVP_sha256(), nullptr);
    k += " ca=";
    for (unsigned i = 0; i < n; ++i) k += format("%02x", md[i]);
  }
  if (clientIdentity) k += " id=" + clientIdentity->fingerprint();
  return k;
}

std::unique_ptr<TLSSession> TLSSession::create(int fd, const SSLSettings& settings, const std::string& host,
                                               Error* error) {
  SSL_CTX* ctx = contextFor(settings, error);
  if (!ctx) return nullptr;
  std::unique_ptr<TLSSession> s(new TLSSession());
  s->ssl_ = SSL_new(ctx);
  s->host_ = settings.peerName.value_or(host);
  BIO* bio = BIO_new(socketMethod());
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  SSL_set_bio(s->ssl_, bio, bio);
  if (!isIPAddress(s->host_)) SSL_set_tlsext_host_name(s->ssl_, s->host_.c_str());
  if (settings.validatesCertificateChain) {
    X509_VERIFY_PARAM* param = SSL_get0_param(s->ssl_);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    int ok = isIPAddress(s->host_) ? X509_VERIFY_PARAM_set1_ip_asc(param, s->host_.c_str())
                                   : X509_VERIFY_PARAM_set1_host(param, s->host_.c_str(), 0);
    if (ok != 1) {
      setError(error, tlsError(errSSLXCertChainInvalid, "The host name can't be checked: " + s->host_));
      return nullptr;
    }
  }
  SSL_set_connect_state(s->ssl_);
  return s;
}

TLSSession::~TLSSession() {
  if (ssl_) SSL_free(ssl_);
}

TLSSession::IO TLSSession::ioResult(int ret, Error* error, bool handshaking) {
  int e = SSL_get_error(ssl_, ret);
  switch (e) {
    case SSL_ERROR_WANT_READ:
      return IO::WantRead;
    case SSL_ERROR_WANT_WRITE:
      return IO::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
      return IO::Closed;
    default:
      break;
  }
  long verify = SSL_get_verify_result(ssl_);
  if (handshaking && verify != X509_V_OK) {
    long code = errSSLXCertChainInvalid;
    switch (verify) {
      case X509_V_ERR_CERT_HAS_EXPIRED:
      case X509_V_ERR_CERT_NOT_YET_VALID:
        code = errSSLCertExpired;
        break;
      case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        code = errSSLNoRootCert;
        break;
      default:
        break;
    }
    ERR_clear_error();
    setError(error, tlsError(code, format("The certificate of %@ is not trusted: %@", host_,
                                          X509_verify_cert_error_string(verify))));
    return IO::Failed;
  }
  if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
    int err = errno;
    ERR_clear_error();
    // An end of file without close_notify: the peer dropped the connection.
    if (err == 0 || err == ECONNRESET || err == EPIPE) {
      if (!handshaking) return IO::Closed;
      setError(error, tlsError(errSSLClosedAbort, "The server closed the connection during the TLS handshake"));
      return IO::Failed;
    }
    setError(error, Error::withDescription("NSPOSIXErrorDomain", err, strerror(err)));
    return IO::Failed;
  }
  std::string text = opensslErrors();
  setError(error, tlsError(handshaking ? errSSLProtocol : errSSLClosedAbort,
                           (handshaking ? "The TLS handshake failed: " : "TLS failure: ") + text));
  return IO::Failed;
}

TLSSession::IO TLSSession::handshake(Error* error) {
  ERR_clear_error();
  int r = SSL_do_handshake(ssl_);
  if (r == 1) return IO::Done;
  return ioResult(r, error, true);
}

TLSSession::IO TLSSession::read(char* buffer, size_t size, size_t& moved, Error* error) {
  ERR_clear_error();
  moved = 0;
  int r = SSL_read_ex(ssl_, buffer, size, &moved) == 1 ? 1 : 0;
  if (r == 1) return IO::Done;
  return ioResult(r, error, false);
}

TLSSession::IO TLSSession::write(const char* buffer, size_t size, size_t& moved, Error* error) {
  ERR_clear_error();
  moved = 0;
  int r = SSL_write_ex(ssl_, buffer, size, &moved) == 1 ? 1 : 0;
  if (r == 1) return IO::Done;
  IO io = ioResult(r, error, false);
  if (io == IO::Closed) {
    setError(error, Error::withDescription("NSPOSIXErrorDomain", EPIPE, strerror(EPIPE)));
    return IO::Failed;
  }
  return io;
}

bool TLSSession::hasPendingBytes() const { return SSL_pending(ssl_) > 0; }

std::string TLSSession::peerSubject() const {
  X509* cert = SSL_get1_peer_certificate(ssl_);
  if (!cert) return "";
  char buf[512];
  X509_NAME_oneline(X509_get_subject_name(cert), buf, sizeof buf);
  X509_free(cert);
  return buf;
}

}  // namespace plat
