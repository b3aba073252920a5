// libFuzzer target: the decoder must neither crash nor read out of bounds on
// any input, its two roads (the family's objects and plain values) must
// agree, and a text must read as its bytes do. The first byte's low bits are
// the parse options.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "Framework/JSONDecoder/JDManagedBuffer.h"
#include "Framework/JSONDecoder/JSONDecoder.h"
#include "platform/foundation/text_codec.h"

namespace {
// Every text the decoder hands out, keys included, is well-formed UTF-8.
bool wellFormed(const std::string& s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const auto* e = p + s.size();
  while (p < e) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    uint32_t cp;
    if (ConvertSingleCodePointInUTF8(p, e, &p, &cp) != conversionOK) return false;
  }
  return true;
}
bool wellFormed(const plat::Value& v) {
  if (v.isString()) return wellFormed(v.string());
  if (v.isArray()) {
    for (const auto& x : v.array())
      if (!wellFormed(x)) return false;
  } else if (v.isDictionary()) {
    for (const auto& [k, x] : v.dictionary())
      if (!wellFormed(k) || !wellFormed(x)) return false;
  }
  return true;
}
bool hasEncodedSurrogate(const uint8_t* p, size_t n) {
  for (size_t i = 0; i + 1 < n; ++i)
    if (p[i] == 0xED && p[i + 1] >= 0xA0 && p[i + 1] <= 0xBF) return true;
  return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned long options = data[0] & 15;
  const unsigned char* text = data + 1;
  const size_t length = size - 1;

  JSONDecoder decoder(options);
  plat::Error e1, e2;
  JDRef object = decoder.objectWithUTF8String(text, length, &e1);
  std::optional<plat::Value> value = decoder.valueWithUTF8String(text, length, &e2);
  if ((object != nullptr) != value.has_value()) abort();
  if (object && !(object->toValue() == *value)) abort();
  if (value && !wellFormed(*value)) abort();
  if (e1.localizedDescription() != e2.localizedDescription()) abort();
  if (!object && e1.userInfo()[JDAtIndexKey].unsignedLongLongValue() > length) abort();

  // Mutable results take mutations.
  JDRef m = decoder.mutableObjectWithUTF8String(text, length);
  if (m && m->kind() == JDObject::Kind::Array) {
    auto& a = static_cast<JDArray&>(*m);
    a.addObject(JDString::make("x"));
    a.removeObjectAtIndex(0);
    if (a.count()) a.replaceObjectAtIndex(a.count() - 1, JDNull::null());
  } else if (m && m->kind() == JDObject::Kind::Dictionary) {
    auto& d = static_cast<JDDictionary&>(*m);
    std::vector<JDRef> keys = d.keyEnumerator()->allObjects();
    JDRef k = JDString::make("k");
    d.setObject(JDString::make("x"), k);
    for (const JDRef& key : keys)
      if (!key->isEqual(*k)) d.removeObjectForKey(key.get());
    if (d.count() != 1 || d.objectForKey("k") == nullptr) abort();
  }

  // A text gives what its bytes give when they are UTF-8, and the
  // conversion's error when they are not (unless they hold encoded
  // surrogates, which the conversion rewrites).
  plat::Error e3, e4;
  auto fromText = JDDeserializing::objectFromJSONStringWithParseOptions(
      std::string_view(reinterpret_cast<const char*>(text), length), options, &e3);
  if (plat::isValidUTF8(text, length)) {
    const plat::Data bytes(text, text + length);
    auto fromData = JDDeserializing::objectFromJSONDataWithParseOptions(&bytes, options, &e4);
    if (fromText != fromData || e3.localizedDescription() != e4.localizedDescription()) abort();
  } else if (!hasEncodedSurrogate(text, length)) {
    if (fromText || e3.localizedDescription() != "An error occurred converting the contents of a NSString to UTF8.")
      abort();
  }
  return 0;
}
