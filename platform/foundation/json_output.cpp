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

// Counting a large value costs a walk over all of it, as dear as writing it
// (each container and long string is a heap block of its own). Past this
// many values the rest of each container being counted is taken to be like
// the part counted; what that adds is bounded, and a writer's output grows
// past a short estimate anyway.
constexpr long kCountedValues = 4096;
constexpr size_t kMostExtrapolated = size_t{64} << 20;

struct Count {
  const JSONLayout& layout;
  long left = kCountedValues;
  size_t extrapolated = 0;
};

size_t estimate(const Value& v, Count& c, int depth);

inline size_t childLength(const Value& v, Count& c, int depth) {
  --c.left;
  return v.isArray() || v.isDictionary() ? estimate(v, c, depth) : leafLength(v);
}

// The elements not counted, as many again as the average of those counted.
inline void extrapolate(size_t& n, size_t counted, size_t done, size_t all, Count& c) {
  if (done == 0 || done >= all) return;
  const size_t room = kMostExtrapolated - c.extrapolated;
  const double more = static_cast<double>(counted) / static_cast<double>(done) * static_cast<double>(all - done);
  const size_t add = more < static_cast<double>(room) ? static_cast<size_t>(more) : room;
  c.extrapolated += add;
  n += add;
}

size_t estimate(const Value& v, Count& c, int depth) {
  if (depth >= kMaxDepth) return 2;
  const JSONLayout& layout = c.layout;
  size_t n = 2 + layout.indentPerDepth * static_cast<size_t>(depth);
  size_t counted = 0, done = 0;
  if (v.isArray()) {
    const size_t around = layout.elementExtra + layout.indentPerDepth * static_cast<size_t>(depth + 1);
    const Array& a = v.array();
    for (const Value* e = a.data(), *end = e + a.size(); e != end && c.left > 0; ++e, ++done) {
      prefetchAhead(e, end);
      counted += around + childLength(*e, c, depth + 1);
    }
    n += counted;
    extrapolate(n, counted, done, a.size(), c);
  } else {
    const size_t around = layout.memberExtra + 2 + layout.indentPerDepth * static_cast<size_t>(depth + 1);
    const Dictionary& d = v.dictionary();
    for (auto it = d.begin(); it != d.end() && c.left > 0; ++it, ++done) {
      counted += around + it->first.size() + childLength(it->second, c, depth + 1);
    }
    n += counted;
    extrapolate(n, counted, done, d.size(), c);
  }
  return n;
}

}  // namespace

size_t jsonLengthEstimate(const Value& value, const JSONLayout& layout) {
  Count c{layout};
  return childLength(value, c, 0);
}

}  // namespace plat
