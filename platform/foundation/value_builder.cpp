#include "platform/foundation/value_builder.h"

#include <algorithm>
#include <iterator>

namespace plat {

Value ValueBuilder::makeArray(size_t mark) {
  Array array(std::make_move_iterator(elements_.begin() + static_cast<ptrdiff_t>(mark)),
              std::make_move_iterator(elements_.end()));
  dropElements(mark);
  return Value(std::move(array));
}

void ValueBuilder::dropElements(size_t mark) {
  elements_.erase(elements_.begin() + static_cast<ptrdiff_t>(mark), elements_.end());
}

void ValueBuilder::discardMember(size_t mark, bool removeKey) {
  --top_;
  members_[top_].value = Value();
  if (!removeKey) return;
  // The discarded member sits above the range rotated, so its key stays put.
  const std::string_view key = members_[top_].key();
  for (size_t i = top_; i-- > mark;) {
    if (members_[i].key() != key) continue;
    std::rotate(members_.begin() + static_cast<ptrdiff_t>(i), members_.begin() + static_cast<ptrdiff_t>(i) + 1,
                members_.begin() + static_cast<ptrdiff_t>(top_));
    members_[--top_].value = Value();
  }
}

void ValueBuilder::dropMembers(size_t mark) {
  for (size_t i = mark; i < top_; ++i) members_[i].value = Value();
  top_ = mark;
}

Value ValueBuilder::makeDictionary(size_t mark) {
  const size_t n = top_ - mark;
  Member* m = members_.data() + mark;
  top_ = mark;  // the values are taken below; the members stay for reuse
  for (Shape& shape : shapes_) {
    if (shape.keys.size() != n) continue;
    size_t i = 0;
    while (i < n && m[i].key() == shape.keys[i]) ++i;
    if (i != n) continue;
    std::vector<Dictionary::Entry> sorted;
    sorted.reserve(n);
    for (size_t j = 0; j < n; ++j) sorted.emplace_back(shape.sorted[j], std::move(m[shape.member[j]].value));
    return inKeyOrder(std::move(sorted));
  }
  // Sort the members by key (stable, so of equal keys the later stays last),
  // then keep the last of each run of equal keys.
  uint32_t small[32];
  std::vector<uint32_t> large;
  uint32_t* order = small;
  if (n > 32) {
    large.resize(n);
    order = large.data();
  }
  for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
  auto less = [m](uint32_t x, uint32_t y) { return m[x].key() < m[y].key(); };
  if (n <= 32) {
    for (size_t i = 1; i < n; ++i) {
      uint32_t v = order[i];
      size_t j = i;
      for (; j > 0 && less(v, order[j - 1]); --j) order[j] = order[j - 1];
      order[j] = v;
    }
  } else {
    std::stable_sort(order, order + n, less);
  }
  std::vector<Dictionary::Entry> sorted;
  sorted.reserve(n);
  bool repeats = false;
  for (size_t k = 0; k < n; ++k) {
    if (k + 1 < n && m[order[k + 1]].key() == m[order[k]].key()) {
      repeats = true;
      continue;
    }
    sorted.emplace_back(std::string(m[order[k]].key()), std::move(m[order[k]].value));
  }
  if (!repeats && n >= 2 && n <= 64) learnShape(m, order, n, sorted);
  return inKeyOrder(std::move(sorted));
}

Value ValueBuilder::inKeyOrder(std::vector<Dictionary::Entry> sorted) {
  Dictionary d;
  d.entries_ = std::move(sorted);
  return Value(std::move(d));
}

void ValueBuilder::learnShape(const Member* m, const uint32_t* order, size_t n,
                              const std::vector<Dictionary::Entry>& sorted) {
  uint64_t h = 0xcbf29ce484222325ULL + n;
  for (const auto& e : sorted)
    for (unsigned char c : e.first) h = (h ^ c) * 0x100000001b3ULL;
  bool seenBefore = false;
  for (uint64_t r : recentLayouts_) seenBefore |= r == h;
  if (!seenBefore) {
    recentLayouts_[nextLayout_] = h;
    nextLayout_ = (nextLayout_ + 1) % kShapes;
    return;
  }
  Shape shape;
  shape.keys.reserve(n);
  shape.sorted.reserve(n);
  shape.member.assign(order, order + n);
  for (size_t i = 0; i < n; ++i) shape.keys.emplace_back(m[i].key());
  for (const auto& e : sorted) shape.sorted.push_back(e.first);
  if (shapes_.size() < kShapes) {
    shapes_.push_back(std::move(shape));
  } else {
    shapes_[nextShape_] = std::move(shape);
    nextShape_ = (nextShape_ + 1) % kShapes;
  }
}

}  // namespace plat
