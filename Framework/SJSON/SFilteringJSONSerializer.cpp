#include "Framework/SJSON/SFilteringJSONSerializer.h"

bool SFilteringJSONSerializer::write(const plat::Value& object, plat::Data& out, int depth) {
  // A converter whose replacement holds the value again would loop forever:
  // the depth limit stops it.
  if (depth >= kMaxDepth) return false;
  for (const Test& test : tests_) {
    std::optional<std::string> name = test(object);
    if (!name) continue;
    auto it = convertersByName_.find(*name);
    if (it == convertersByName_.end() || !it->second) continue;
    std::optional<plat::Value> converted = it->second(object);
    if (!converted) continue;
    if (converted->isData()) {
      const plat::Data& d = converted->dataValue();
      out.insert(out.end(), d.begin(), d.end());
      return true;
    }
    const size_t mark = out.size();
    if (writePlain(*converted, out, depth + 1)) return true;
    out.resize(mark);  // its failure is dropped; the search goes on
  }
  return writePlain(object, out, depth);
}
