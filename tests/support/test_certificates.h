// Certificates for TLS tests, minted when a test program first asks for
// them, so no key material lives in the repository: a test CA, a server
// certificate it signed for localhost and 127.0.0.1, an expired one, one for
// another host, a self-signed one and a client certificate.
#pragma once

#include <string>
#include <vector>

namespace qvtest {

struct CertifiedKey {
  std::string certificatePEM;
  std::string privateKeyPEM;
};

struct CertificateRequest {
  std::string commonName = "localhost";
  std::vector<std::string> dnsNames{"localhost"};
  std::vector<std::string> ipAddresses{"127.0.0.1", "::1"};
  long notBeforeOffsetSeconds = -3600;  // from now
  long notAfterOffsetSeconds = 30L * 24 * 3600;
  bool isCA = false;
  bool clientAuth = false;
};

// Signed by `issuer`, or self-signed when `issuer` is null.
CertifiedKey mintCertificate(const CertificateRequest& request, const CertifiedKey* issuer);

// The certificate and key as PKCS#12 bytes under `password`.
std::vector<unsigned char> toPKCS12(const CertifiedKey& key, const std::string& password);

struct TestCertificates {
  CertifiedKey ca;
  CertifiedKey server;      // CA-signed, localhost / 127.0.0.1 / ::1
  CertifiedKey expired;     // CA-signed, ended yesterday
  CertifiedKey wrongHost;   // CA-signed, for wrong-host.invalid only
  CertifiedKey selfSigned;  // localhost, signed by itself
  CertifiedKey client;      // CA-signed, for client authentication
  CertifiedKey otherCA;     // a CA nobody trusts

  // Minted once per process.
  static const TestCertificates& shared();
};

}  // namespace qvtest
