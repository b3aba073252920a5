#include "platform/foundation/value_builder.h"

#include <gtest/gtest.h>

#include <random>

using plat::Array;
using plat::Dictionary;
using plat::Value;
using plat::ValueBuilder;

namespace {

using Entries = std::vector<Dictionary::Entry>;

// Pushes the entries as members (keys borrowed or copied alternately, so
// reused members switch between the two) and builds the dictionary.
Value build(ValueBuilder& b, const Entries& entries, bool ownFirst = false) {
  const size_t mark = b.memberMark();
  bool own = ownFirst;
  for (const auto& [key, value] : entries) {
    ValueBuilder::Member& m = b.pushMember();
    if (own)
      m.ownKey().assign(key);
    else
      m.borrowKey(key.data(), key.size());
    m.value = value;
    own = !own;
  }
  return b.makeDictionary(mark);
}

TEST(ValueBuilder, DictionariesMatchFromEntriesAcrossRepeatedLayouts) {
  // Each layout comes three times: seen, then learnt, then used.
  const std::vector<Entries> layouts = {
      {{"b", 1}, {"a", 2}, {"c", 3}},
      {{"a", 1}, {"b", 2}, {"c", 3}},  // the same keys in another order
      {{"b", 1}, {"a", 2}, {"d", 3}},  // the same size, one key other
      {{"x", 1}, {"x", 2}},            // the later of equal keys wins
      {{"k", 1}, {"j", 2}, {"k", 3}},
      {},
      {{"only", "one"}},
  };
  ValueBuilder b;
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < layouts.size(); ++i) {
      Entries entries = layouts[i];
      for (auto& e : entries) e.second = Value(e.second.intValue() * 10 + round);
      Value got = build(b, entries, round == 1);
      EXPECT_EQ(got, Value(Dictionary::fromEntries(entries))) << "layout " << i << " round " << round;
    }
  }
  EXPECT_EQ(b.memberMark(), 0u);
}

TEST(ValueBuilder, RandomNestedDocumentsMatchFromEntries) {
  // Few keys, so layouts repeat, collide in size and repeat keys; more than
  // 32 members now and then for the large sort.
  std::mt19937 rng(12345);
  const char* keys[] = {"id", "name", "size", "path", "a", "b"};
  ValueBuilder b;
  for (int doc = 0; doc < 3000; ++doc) {
    const size_t outerMark = b.memberMark();
    const size_t n = rng() % 8 == 0 ? 33 + rng() % 20 : rng() % 5;
    Entries expected;
    std::vector<std::string> storage;
    storage.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      storage.emplace_back(keys[rng() % (doc % 2 ? 6 : 3)]);
      const size_t at = b.memberMark();
      b.pushMember().borrowKey(storage.back().data(), storage.back().size());
      Value v;
      if (rng() % 4 == 0) {
        // A nested object and array, built while the member waits.
        Entries inner = {{keys[rng() % 6], int(i)}, {keys[rng() % 6], doc}};
        const size_t elementMark = b.elementMark();
        b.pushElement(build(b, inner));
        b.pushElement(Value(int(i)));
        v = b.makeArray(elementMark);
        EXPECT_EQ(v, Value(Array{Value(Dictionary::fromEntries(inner)), Value(int(i))}));
      } else {
        v = Value(doc * 100 + int(i));
      }
      b.member(at).value = v;
      expected.emplace_back(storage.back(), v);
    }
    ASSERT_EQ(b.makeDictionary(outerMark), Value(Dictionary::fromEntries(expected))) << "document " << doc;
  }
  EXPECT_EQ(b.memberMark(), 0u);
  EXPECT_EQ(b.elementMark(), 0u);
}

TEST(ValueBuilder, DiscardAndDropLeaveNothingBehind) {
  ValueBuilder b;
  const std::string a = "a", c = "c";
  // Discarding alone keeps an earlier equal key; with removeKey it goes too.
  for (bool removeKey : {false, true}) {
    const size_t mark = b.memberMark();
    auto push = [&](const std::string& k, Value v) {
      ValueBuilder::Member& m = b.pushMember();
      m.borrowKey(k.data(), k.size());
      m.value = std::move(v);
    };
    push(a, 1);
    push(c, 2);
    push(a, 3);
    push(a, Value());
    b.discardMember(mark, removeKey);
    Value got = b.makeDictionary(mark);
    EXPECT_EQ(got, removeKey ? Value(Dictionary{{"c", 2}}) : Value(Dictionary{{"a", 3}, {"c", 2}}));
  }
  // A failed object leaves the stack at its mark; the next one is whole.
  const size_t mark = b.memberMark();
  b.pushMember().ownKey().assign("gone");
  b.member(mark).value = Value("x");
  b.dropMembers(mark);
  EXPECT_EQ(b.memberMark(), mark);
  EXPECT_EQ(build(b, {{"kept", 1}}), Value(Dictionary{{"kept", 1}}));
  b.pushElement(1);
  b.dropElements(0);
  EXPECT_EQ(b.makeArray(0), Value(Array{}));
}

}  // namespace
