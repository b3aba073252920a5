#include "platform/foundation/json_output.h"

namespace plat {
namespace {

// Past the writers' own limit (512) they fail anyway; counting stops well
// before the stack could run out.
constexpr int kMaxDepth = 600;

// A leaf's length; numbers at their longest (an integer, or a double as
// "%.17g" writes it; a decimal of 38 digits written out plainly), which
// reserves a little more than is written but costs no look at the number.
inline size_t leafLength(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: return 4;
    case Value::Kind::Bool: return 5;
    case Value::Kind::Number: return 24;
    case Value::Kind::Decimal: return 80;
    case Value::Kind::String: return v.string().size() + 2;
    case Value::Kind::Data: return v.dataValue().size() + 2;
    default: return 0;
  }
}

size_t estimate(const Value& v, const JSONLayout& layout, int depth);

inline size_t childLength(const Value& v, const JSONLayout& layout, int depth) {
  return v.isArray() || v.isDictionary() ? estimate(v, layout, depth) : leafLength(v);
}

size_t estimate(const Value& v, const JSONLayout& layout, int depth) {
  if (depth >= kMaxDepth) return 2;
  size_t n = 2 + layout.indentPerDepth * static_cast<size_t>(depth);
  if (v.isArray()) {
    const size_t around = layout.elementExtra + layout.indentPerDepth * static_cast<size_t>(depth + 1);
    const Array& a = v.array();
    for (const Value* e = a.data(), *end = e + a.size(); e != end; ++e) {
      prefetchAhead(e, end);
      n += around + childLength(*e, layout, depth + 1);
    }
  } else {
    const size_t around = layout.memberExtra + 2 + layout.indentPerDepth * static_cast<size_t>(depth + 1);
    for (const auto& [key, e] : v.dictionary()) n += around + key.size() + childLength(e, layout, depth + 1);
  }
  return n;
}

}  // namespace

size_t jsonLengthEstimate(const Value& value, const JSONLayout& layout) { return childLength(value, layout, 0); }

}  // namespace plat
