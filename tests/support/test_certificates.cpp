#include "tests/support/test_certificates.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace qvtest {

namespace {

template <class T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("certificate minting failed: ") + what);
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

}  // namespace

CertifiedKey mintCertificate(const CertificateRequest& request, const CertifiedKey* issuer) {
  PKey key(EVP_EC_gen("P-256"));
  check(key != nullptr, "key");
  Cert cert(X509_new());
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), request.notBeforeOffsetSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), request.notAfterOffsetSeconds);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Quorva tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(request.commonName.c_str()), -1, -1, 0);

  PKey issuerKey;
  Cert issuerCert;
  if (issuer) {
    Bio b(BIO_new_mem_buf(issuer->certificatePEM.data(), static_cast<int>(issuer->certificatePEM.size())));
    issuerCert.reset(PEM_read_bio_X509(b.get(), nullptr, nullptr, nullptr));
    Bio k(BIO_new_mem_buf(issuer->privateKeyPEM.data(), static_cast<int>(issuer->privateKeyPEM.size())));
    issuerKey.reset(PEM_read_bio_PrivateKey(k.get(), nullptr, nullptr, nullptr));
    check(issuerCert && issuerKey, "issuer");
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuerCert.get()));
  } else {
    X509_set_issuer_name(cert.get(), name);
  }
  X509* signer = issuer ? issuerCert.get() : cert.get();
  addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  if (request.isCA) {
    addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    addExtension(cert.get(), signer, NID_ext_key_usage, request.clientAuth ? "clientAuth" : "serverAuth");
    std::string san;
    auto add = [&](const char* kind, const std::string& name) {
      if (!san.empty()) san += ',';
      san += kind;
      san += name;
    };
    for (const auto& d : request.dnsNames) add("DNS:", d);
    for (const auto& ip : request.ipAddresses) add("IP:", ip);
    if (!san.empty()) addExtension(cert.get(), signer, NID_subject_alt_name, san);
  }
  check(X509_sign(cert.get(), issuer ? issuerKey.get() : key.get(), EVP_sha256()) > 0, "sign");

  CertifiedKey out;
  Bio c(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(c.get(), cert.get());
  out.certificatePEM = bioText(c.get());
  Bio k(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(k.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  out.privateKeyPEM = bioText(k.get());
  return out;
}

std::vector<unsigned char> toPKCS12(const CertifiedKey& key, const std::string& password) {
  Bio c(BIO_new_mem_buf(key.certificatePEM.data(), static_cast<int>(key.certificatePEM.size())));
  Cert cert(PEM_read_bio_X509(c.get(), nullptr, nullptr, nullptr));
  Bio k(BIO_new_mem_buf(key.privateKeyPEM.data(), static_cast<int>(key.privateKeyPEM.size())));
  PKey pkey(PEM_read_bio_PrivateKey(k.get(), nullptr, nullptr, nullptr));
  check(cert && pkey, "pkcs12 input");
  PKCS12* p12 = PKCS12_create(password.c_str(), "quorva", pkey.get(), cert.get(), nullptr, 0, 0, 0, 0, 0);
  check(p12 != nullptr, "pkcs12");
  unsigned char* der = nullptr;
  int n = i2d_PKCS12(p12, &der);
  std::vector<unsigned char> out(der, der + n);
  OPENSSL_free(der);
  PKCS12_free(p12);
  return out;
}

const TestCertificates& TestCertificates::shared() {
  static const TestCertificates certs = [] {
    TestCertificates t;
    CertificateRequest ca{.commonName = "Quorva Test CA", .dnsNames = {}, .ipAddresses = {}, .isCA = true};
    t.ca = mintCertificate(ca, nullptr);
    t.otherCA = mintCertificate(ca, nullptr);
    t.server = mintCertificate(CertificateRequest{}, &t.ca);
    t.expired = mintCertificate(
        CertificateRequest{.notBeforeOffsetSeconds = -10L * 24 * 3600, .notAfterOffsetSeconds = -24L * 3600}, &t.ca);
    t.wrongHost = mintCertificate(
        CertificateRequest{.commonName = "wrong-host.invalid", .dnsNames = {"wrong-host.invalid"}, .ipAddresses = {}},
        &t.ca);
    t.selfSigned = mintCertificate(CertificateRequest{}, nullptr);
    t.client = mintCertificate(
        CertificateRequest{.commonName = "quorva-client", .dnsNames = {}, .ipAddresses = {}, .clientAuth = true}, &t.ca);
    return t;
  }();
  return certs;
}

}  // namespace qvtest
