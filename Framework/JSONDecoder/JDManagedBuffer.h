// Two small pieces shared by the decoder family: a growable byte buffer that
// starts on storage its caller owns and moves to the heap only when it
// outgrows it, and a reader of one UTF-8 code point with its validity test.
#pragma once

#include <cstddef>
#include <cstdint>

struct JDPtrRange {
  unsigned char* ptr;
  size_t length;  // capacity in bytes
};

enum : uint64_t {
  JDManagedBufferCallerOwned = 1,
  JDManagedBufferOnHeap = 2,
  JDManagedBufferLocationMask = 3,
  JDManagedBufferMustFree = 4,
};

struct JDManagedBuffer {
  JDPtrRange bytes{nullptr, 0};
  uint64_t flags = 0;
  uint64_t growthGranule = 0;  // capacities round up to a multiple; 0 none
};

void jd_managedBuffer_release(JDManagedBuffer* buffer);
void jd_managedBuffer_setToStackBuffer(JDManagedBuffer* buffer, unsigned char* storage, size_t size);
// The buffer's bytes, grown to at least `size` (never shrunk); null when the
// memory could not be had. From the heap the old block is then gone.
unsigned char* jd_managedBuffer_resize(JDManagedBuffer* buffer, size_t size);

enum ConversionResult {
  conversionOK = 0,
  sourceExhausted = 1,  // cut off by the end of the input
  sourceIllegal = 3,
};

inline constexpr uint32_t UNI_REPLACEMENT_CHAR = 0xFFFD;
extern const uint32_t offsetsFromUTF8[6];

// Reads the code point whose lead byte (0x80 or above) is at `source`, never
// at or past `sourceEnd`. `*next` is the byte after what it consumed;
// `*codePoint` is U+FFFD when the result is not conversionOK.
ConversionResult ConvertSingleCodePointInUTF8(const uint8_t* source, const uint8_t* sourceEnd, const uint8_t** next,
                                              uint32_t* codePoint);
bool isLegalUTF8(const uint8_t* source, size_t length);
// Writes the code point as 1 to 4 bytes into [target, targetEnd); surrogates,
// U+0000, noncharacters and values past U+10FFFF are written as U+FFFD.
// Returns the bytes written, 0 when they do not fit.
size_t ConvertUTF32toUTF8(uint32_t codePoint, uint8_t* target, const uint8_t* targetEnd);
// Surrogates, zero and the noncharacters are refused by the reader.
inline bool jd_isIllegalCodePoint(uint32_t c) {
  return (c >= 0xD800 && c <= 0xDFFF) || c == 0 ||
         (c >= 0xFDD0 && c <= 0x10FFFF && (c <= 0xFDEF || (c & 0xFFFE) == 0xFFFE)) || c > 0x10FFFF;
}
