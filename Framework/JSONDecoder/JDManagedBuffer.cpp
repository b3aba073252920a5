#include "Framework/JSONDecoder/JDManagedBuffer.h"

#include <cstdlib>
#include <cstring>

#include "platform/foundation/text_codec.h"

const uint32_t offsetsFromUTF8[6] = {0x00000000UL, 0x00003080UL, 0x000E2080UL,
                                     0x03C82080UL, 0xFA082080UL, 0x82082080UL};

void jd_managedBuffer_release(JDManagedBuffer* buffer) {
  if (buffer->flags & JDManagedBufferMustFree) {
    if (buffer->bytes.ptr) std::free(buffer->bytes.ptr);
    buffer->flags &= ~uint64_t(JDManagedBufferMustFree);
  }
  buffer->bytes.ptr = nullptr;
  buffer->bytes.length = 0;
  buffer->flags &= ~uint64_t(JDManagedBufferLocationMask);
}

void jd_managedBuffer_setToStackBuffer(JDManagedBuffer* buffer, unsigned char* storage, size_t size) {
  jd_managedBuffer_release(buffer);
  buffer->bytes.ptr = storage;
  buffer->bytes.length = size;
  buffer->flags = (buffer->flags & ~uint64_t(JDManagedBufferLocationMask)) | JDManagedBufferCallerOwned;
}

unsigned char* jd_managedBuffer_resize(JDManagedBuffer* buffer, size_t size) {
  uint64_t g = buffer->growthGranule;
  if (g > 0) {
    size_t rounded = size + ((g - size % g) % g);
    if (rounded < size) return nullptr;  // wrapped: no such block, the buffer stays as it is
    size = rounded;
  }
  if (size <= buffer->bytes.length) return buffer->bytes.ptr;
  switch (buffer->flags & JDManagedBufferLocationMask) {
    case JDManagedBufferOnHeap: {
      void* p = std::realloc(buffer->bytes.ptr, size);
      if (!p) {
        std::free(buffer->bytes.ptr);
        buffer->bytes.ptr = nullptr;
        buffer->bytes.length = 0;
        buffer->flags &= ~uint64_t(JDManagedBufferMustFree);
        return nullptr;
      }
      buffer->bytes.ptr = static_cast<unsigned char*>(p);
      break;
    }
    default: {  // caller-owned (or nothing yet)
      auto* p = static_cast<unsigned char*>(std::malloc(size));
      if (!p) return nullptr;
      if (buffer->bytes.ptr && buffer->bytes.length) std::memcpy(p, buffer->bytes.ptr, buffer->bytes.length);
      buffer->bytes.ptr = p;
      buffer->flags = (buffer->flags & ~uint64_t(JDManagedBufferLocationMask)) | JDManagedBufferOnHeap |
                      JDManagedBufferMustFree;
      break;
    }
  }
  buffer->bytes.length = size;
  return buffer->bytes.ptr;
}

// One well-formed sequence of one to four bytes, nothing more.
bool isLegalUTF8(const uint8_t* source, size_t length) {
  return length >= 1 && length <= 4 && plat::utf8SequenceLength(source, source + length) == length;
}

ConversionResult ConvertSingleCodePointInUTF8(const uint8_t* source, const uint8_t* sourceEnd, const uint8_t** next,
                                              uint32_t* codePoint) {
  const uint8_t b = *source;
  size_t e = b < 0xC0 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : b < 0xF8 ? 3 : b < 0xFC ? 4 : b < 0xFE ? 5 : b < 0xFF ? 6 : 32;
  // Only sequences of up to four bytes pass the legality test, so the
  // combining below never reads more than source[3].
  if (static_cast<size_t>(sourceEnd - source) >= e + 1 && isLegalUTF8(source, e + 1)) {
    uint32_t ch = 0;
    const uint8_t* p = source;
    for (size_t i = 0; i < e; ++i) {
      ch += *p++;
      ch <<= 6;
    }
    ch += *p++;
    ch -= offsetsFromUTF8[e];
    *next = p;
    if (jd_isIllegalCodePoint(ch)) {
      *codePoint = UNI_REPLACEMENT_CHAR;
      return sourceIllegal;
    }
    *codePoint = ch;
    return conversionOK;
  }
  const uint8_t* p = source + 1;
  size_t passed = 1;
  while (p < sourceEnd && passed < e + 1 && (*p & 0xC0) == 0x80) ++p, ++passed;
  *next = p;
  *codePoint = UNI_REPLACEMENT_CHAR;
  if (p < sourceEnd && (*p & 0xC0) != 0x80) return sourceIllegal;
  if (static_cast<size_t>(sourceEnd - source) < e + 1) return sourceExhausted;
  return sourceIllegal;
}

size_t ConvertUTF32toUTF8(uint32_t c, uint8_t* target, const uint8_t* targetEnd) {
  if (jd_isIllegalCodePoint(c)) c = UNI_REPLACEMENT_CHAR;
  char bytes[4];
  const size_t n = plat::encodeUTF8(c, bytes);
  if (static_cast<size_t>(targetEnd - target) < n) return 0;
  std::memcpy(target, bytes, n);
  return n;
}
