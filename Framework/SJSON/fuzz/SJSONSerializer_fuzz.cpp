// libFuzzer target: whatever the scanner-based reader reads, the writer
// writes (refusing only what JSON cannot hold) as text that reads back to the
// same strings, keys and structure. Numbers need only stay numbers: the
// reader clamps integers past 64 bits, which its own tests cover.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Framework/SJSON/SJSONDeserializer.h"
#include "Framework/SJSON/SJSONSerializer.h"

namespace {
bool holdsNonFinite(const plat::Value& v) {
  if (v.isNumber()) return v.number().isFloating() && !std::isfinite(v.doubleValue());
  if (const plat::Decimal* d = v.decimal()) return d->isNaN();
  if (v.isArray()) {
    for (const auto& x : v.array())
      if (holdsNonFinite(x)) return true;
  }
  if (v.isDictionary()) {
    for (const auto& [k, x] : v.dictionary())
      if (holdsNonFinite(x)) return true;
  }
  return false;
}

bool sameShape(const plat::Value& a, const plat::Value& b) {
  if (a.isNumeric() || b.isNumeric()) return a.isNumeric() && b.isNumeric();
  if (a.kind() != b.kind()) return false;
  if (a.isArray()) {
    if (a.count() != b.count()) return false;
    for (size_t i = 0; i < a.count(); ++i)
      if (!sameShape(a[i], b[i])) return false;
    return true;
  }
  if (a.isDictionary()) {
    if (a.count() != b.count()) return false;
    auto i = a.dictionary().begin();
    auto j = b.dictionary().begin();
    for (; i != a.dictionary().end(); ++i, ++j)
      if (i->first != j->first || !sameShape(i->second, j->second)) return false;
    return true;
  }
  return a == b;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  auto serializer = SJSONSerializer::serializer();
  serializer->setOptions(data[0] & 1);
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  auto value = SJSONDeserializer::deserializer()->deserialize(text);
  if (!value) return 0;
  auto written = serializer->serializeObject(*value);
  if (!written) {
    if (!holdsNonFinite(*value)) abort();
    return 0;
  }
  auto back = SJSONDeserializer::deserializer()->deserialize(&*written);
  if (!back || !sameShape(*back, *value)) abort();
  return 0;
}
