// Bytes from the kernel's cryptographic generator, for keys and nonces that
// an outsider must not be able to guess.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/foundation/value.h"

namespace plat {

// Fills the buffer; raises plat::Exception when the kernel gives no random
// bytes at all (a broken system, not a condition to work around).
void secureRandomBytes(void* buffer, size_t length);
Data secureRandomData(size_t length);
uint32_t secureRandomUInt32();
// `length` random bytes as lowercase hexadecimal digits.
std::string secureRandomHex(size_t length);

}  // namespace plat
