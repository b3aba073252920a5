// Tests only: an Ed25519 key pair made for the test, standing in for the
// key that signs the update service's packages and installers.
#pragma once

#include <openssl/evp.h>

#include <string>

#include "platform/foundation/value.h"

namespace updatetest {

struct Signer {
  Signer() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_keygen(ctx, &key);
    EVP_PKEY_CTX_free(ctx);
  }
  ~Signer() { EVP_PKEY_free(key); }
  Signer(const Signer&) = delete;
  Signer& operator=(const Signer&) = delete;

  plat::Data publicKey() const {
    plat::Data out(32);
    size_t n = out.size();
    EVP_PKEY_get_raw_public_key(key, out.data(), &n);
    return out;
  }
  std::string sign(const std::string& body) const {
    std::string sig(64, '\0');
    size_t n = sig.size();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key);
    EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &n,
                   reinterpret_cast<const unsigned char*>(body.data()), body.size());
    EVP_MD_CTX_free(ctx);
    return sig;
  }
  EVP_PKEY* key = nullptr;
};

// The raw SHA-256 of a text.
inline std::string sha256(const std::string& body) {
  unsigned char md[32];
  unsigned int n = 0;
  EVP_Digest(body.data(), body.size(), md, &n, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char*>(md), n);
}

inline std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace updatetest
