#include "Framework/JSONDecoder/JDCollection.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "Framework/JSONDecoder/JSONDecoder.h"
#include "platform/foundation/error.h"

using plat::Value;

namespace {

JDRef decode(const std::string& text, bool mutableCollections) {
  JSONDecoder d;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  return mutableCollections ? d.mutableObjectWithUTF8String(p, text.size()) : d.objectWithUTF8String(p, text.size());
}

JDArray& array(const JDRef& r) { return static_cast<JDArray&>(*r); }
JDDictionary& dictionary(const JDRef& r) { return static_cast<JDDictionary&>(*r); }
JDRef str(const char* s) { return JDString::make(s); }

void expectRaise(const std::function<void()>& fn, const char* name, const std::string& reason) {
  try {
    fn();
    ADD_FAILURE() << "no exception, wanted " << reason;
  } catch (const plat::Exception& e) {
    EXPECT_EQ(e.name(), name);
    EXPECT_EQ(e.reason(), reason);
  }
}

TEST(JDCollection, CapacityTable) {
  const std::pair<size_t, size_t> cases[] = {
      {0, 0}, {1, 3}, {2, 3}, {3, 3}, {4, 7}, {6, 7}, {7, 13}, {100, 191}, {144, 191}, {145, 251},
      {355569362, 472907251}, {355569363, SIZE_MAX}, {400000000, SIZE_MAX},
  };
  for (const auto& [count, capacity] : cases) EXPECT_EQ(_JKDictionaryCapacityForCount(count), capacity) << count;
}

TEST(JDCollection, DecodedDictionariesTakeTheirCapacityFromTheTable) {
  EXPECT_EQ(dictionary(decode("{}", false)).capacity(), 0u);
  EXPECT_EQ(dictionary(decode("{\"a\":1}", false)).capacity(), 3u);
  std::string hundred = "{";
  for (int i = 0; i < 100; ++i) hundred += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
  hundred += "}";
  JDRef h = decode(hundred, false);
  EXPECT_EQ(dictionary(h).capacity(), 191u);
  EXPECT_EQ(dictionary(h).count(), 100u);
  EXPECT_EQ(dictionary(h).objectForKey("k57")->toValue(), Value(57LL));
  JDRef dup = decode("{\"a\":1,\"a\":2}", false);
  EXPECT_EQ(dictionary(dup).count(), 1u);
  EXPECT_EQ(dictionary(dup).objectForKey("a")->toValue(), Value(2LL));
}

TEST(JDCollection, EmptyDictionaryAnswersNothing) {
  JDRef d = decode("{}", false);
  EXPECT_EQ(dictionary(d).objectForKey("a"), nullptr);
  EXPECT_EQ(dictionary(d).objectForKey(static_cast<const JDObject*>(nullptr)), nullptr);
  int visits = 0;
  jd_forIn(dictionary(d), [&](JDObject*) { ++visits; });
  EXPECT_EQ(visits, 0);
  EXPECT_EQ(dictionary(d).keyEnumerator()->nextObject(), nullptr);
}

TEST(JDCollection, ArrayExceptions) {
  JDRef imm = decode("[1,2]", false);
  JDRef mut = decode("[1,2]", true);
  JDArray& a = array(imm);
  JDArray& m = array(mut);
  JDObject* buffer[4];
  struct Case {
    std::function<void()> fn;
    const char* name;
    std::string reason;
  } cases[] = {
      {[&] { a.insertObject(str("x"), 0); }, plat::kInternalInconsistencyException,
       "*** -[JDArray insertObject:atIndex:]: mutating method sent to immutable object"},
      {[&] { a.removeObjectAtIndex(0); }, plat::kInternalInconsistencyException,
       "*** -[JDArray removeObjectAtIndex:]: mutating method sent to immutable object"},
      {[&] { a.replaceObjectAtIndex(0, str("x")); }, plat::kInternalInconsistencyException,
       "*** -[JDArray replaceObjectAtIndex:withObject:]: mutating method sent to immutable object"},
      {[&] { a.addObject(nullptr); }, plat::kInternalInconsistencyException,  // immutability is checked first
       "*** -[JDArray insertObject:atIndex:]: mutating method sent to immutable object"},
      {[&] { m.insertObject(nullptr, 0); }, plat::kInvalidArgumentException,
       "*** -[JDArray insertObject:atIndex:]: attempt to insert nil"},
      {[&] { m.replaceObjectAtIndex(0, nullptr); }, plat::kInvalidArgumentException,
       "*** -[JDArray replaceObjectAtIndex:withObject:]: attempt to insert nil"},
      {[&] { m.insertObject(str("x"), 3); }, plat::kRangeException,
       "*** -[JDArray insertObject:atIndex:]: index (3) beyond bounds (3)"},
      {[&] { m.removeObjectAtIndex(2); }, plat::kRangeException,
       "*** -[JDArray removeObjectAtIndex:]: index (2) beyond bounds (2)"},
      {[&] { m.replaceObjectAtIndex(5, str("x")); }, plat::kRangeException,
       "*** -[JDArray replaceObjectAtIndex:withObject:]: index (5) beyond bounds (2)"},
      {[&] { a.objectAtIndex(2); }, plat::kRangeException, "*** -[JDArray objectAtIndex:]: index (2) beyond bounds (2)"},
      {[&] { a.getObjects(nullptr, JDRange{1, 1}); }, plat::kRangeException,
       "*** -[JDArray getObjects:range:]: pointer to objects array is NULL but range length is 2"},
      {[&] { a.getObjects(buffer, JDRange{1, 2}); }, plat::kRangeException,
       "*** -[JDArray getObjects:range:]: index (3) beyond bounds (2)"},
      {[&] { a.getObjects(buffer, JDRange{3, 0}); }, plat::kRangeException,
       "*** -[JDArray getObjects:range:]: index (3) beyond bounds (2)"},
      {[] { JDArray::alloc(); }, plat::kInvalidArgumentException,
       "*** - [JDArray allocWithZone:]: The JDArray class is private to JSONDecoder and should not be used in this "
       "fashion."},
  };
  for (const auto& c : cases) expectRaise(c.fn, c.name, c.reason);
  // Nothing changed when a check failed.
  EXPECT_EQ(m.count(), 2u);
  EXPECT_EQ(m.mutations(), 1u);
  a.getObjects(nullptr, JDRange{0, 0});
  a.getObjects(buffer, JDRange{0, 2});
  EXPECT_EQ(buffer[1]->toValue(), Value(2LL));
}

TEST(JDCollection, ArrayMutationsAndCapacity) {
  JDRef r = decode("[1,2,3]", true);
  JDArray& a = array(r);
  EXPECT_EQ(a.capacity(), 3u);
  EXPECT_EQ(a.mutations(), 1u);
  a.insertObject(str("end"), 3);  // at count: appends
  EXPECT_EQ(a.capacity(), 19u);  // count + 1 reached the capacity: 16 more
  a.insertObject(str("first"), 0);
  a.replaceObjectAtIndex(1, str("one"));
  a.removeObjectAtIndex(2);
  a.removeLastObject();
  EXPECT_EQ(a.mutations(), 6u);
  EXPECT_EQ(r->toValue(), Value(plat::Array{Value("first"), Value("one"), Value(3LL)}));
  EXPECT_EQ(a.capacity(), 19u);  // never shrinks
  EXPECT_EQ(a.lastObject()->toValue(), Value(3LL));
  uint64_t m = UINT64_MAX;
  jd_advanceMutations(m);
  EXPECT_EQ(m, 1u);  // wraps to 1, never 0
}

TEST(JDCollection, CopiesOfImmutableContainersAreThemselves) {
  JDRef imm = decode("[1]", false);
  EXPECT_EQ(imm->copy(), imm);
  JDRef mut = decode("[1]", true);
  JDRef c = mut->copy();
  EXPECT_NE(c, mut);
  EXPECT_FALSE(array(c).isMutable());
  EXPECT_TRUE(c->isEqual(*mut));
  JDRef mc = array(imm).mutableCopy();
  EXPECT_TRUE(array(mc).isMutable());
  array(mc).addObject(str("x"));
  EXPECT_EQ(array(imm).count(), 1u);

  JDRef dimm = decode("{\"a\":1}", false);
  EXPECT_EQ(dimm->copy(), dimm);
  JDRef dmut = decode("{\"a\":1}", true);
  JDRef dc = dmut->copy();
  EXPECT_NE(dc, dmut);
  EXPECT_FALSE(dictionary(dc).isMutable());
  EXPECT_TRUE(dc->isEqual(*dmut));
  EXPECT_TRUE(dictionary(dictionary(dimm).mutableCopy()).isMutable());
}

TEST(JDCollection, DictionaryExceptions) {
  JDRef imm = decode("{\"a\":1}", false);
  JDRef mut = decode("{\"a\":1}", true);
  JDDictionary& d = dictionary(imm);
  JDDictionary& m = dictionary(mut);
  struct Case {
    std::function<void()> fn;
    const char* name;
    std::string reason;
  } cases[] = {
      {[&] { d.setObject(str("v"), str("k")); }, plat::kInternalInconsistencyException,
       "*** -[JDDictionary setObject:forKey:]: mutating method sent to immutable object"},
      {[&] { d.removeObjectForKey(str("a").get()); }, plat::kInternalInconsistencyException,
       "*** -[JDDictionary removeObjectForKey:]: mutating method sent to immutable object"},
      {[&] { m.setObject(str("v"), nullptr); }, plat::kInvalidArgumentException,
       "*** -[JDDictionary setObject:forKey:]: attempt to insert nil key"},
      {[&] { m.setObject(nullptr, str("k")); }, plat::kInvalidArgumentException,
       "*** -[JDDictionary setObject:forKey:]: attempt to insert nil value (key: k)"},
      {[&] { m.removeObjectForKey(nullptr); }, plat::kInvalidArgumentException,
       "*** -[JDDictionary removeObjectForKey:]: attempt to remove nil key"},
      {[] { JDDictionary::alloc(); }, plat::kInvalidArgumentException,
       "*** - [JDDictionary allocWithZone:]: The JDDictionary class is private to JSONDecoder and should not be used "
       "in this fashion."},
  };
  for (const auto& c : cases) expectRaise(c.fn, c.name, c.reason);
  EXPECT_EQ(m.count(), 1u);
  EXPECT_EQ(m.mutations(), 1u);
  m.removeObjectForKey(str("absent").get());  // changes nothing
  EXPECT_EQ(m.mutations(), 1u);
}

TEST(JDCollection, MutationDuringEnumerationIsReported) {
  JDRef r = decode("{\"a\":1,\"b\":2}", true);
  JDDictionary& d = dictionary(r);
  int seen = 0;
  try {
    jd_forIn(d, [&](JDObject*) {
      ++seen;
      d.setObject(str("v"), JDString::make("new" + std::to_string(seen)));
    });
    ADD_FAILURE();
  } catch (const plat::Exception& e) {
    EXPECT_EQ(e.name(), plat::kGenericException);
    EXPECT_NE(e.reason().find("*** Collection <JDDictionary: 0x"), std::string::npos);
    EXPECT_NE(e.reason().find("> was mutated while being enumerated."), std::string::npos);
  }
  EXPECT_EQ(seen, 1);
  JDRef ar = decode("[1,2,3]", true);
  EXPECT_THROW(jd_forIn(array(ar), [&](JDObject*) { array(ar).removeLastObject(); }), plat::Exception);
  // Without mutation every element comes once.
  std::vector<Value> items;
  JDRef big = decode("[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20]", false);
  jd_forIn(array(big), [&](JDObject* o) { items.push_back(o->toValue()); });
  ASSERT_EQ(items.size(), 20u);
  EXPECT_EQ(items[19], Value(20LL));
}

TEST(JDCollection, DictionaryGrowsAndKeepsEveryKeyAcrossRemovals) {
  JDRef r = decode("{}", true);
  JDDictionary& d = dictionary(r);
  EXPECT_EQ(d.capacity(), 0u);
  // Keys whose homes collide in a table of 7 slots: A, B and C share one, X the next.
  std::vector<std::string> home0, home1;
  size_t base = JDString::hashOf("k0") % 7;
  for (int i = 0; home0.size() < 3 || home1.empty(); ++i) {
    std::string k = "k" + std::to_string(i);
    size_t h = JDString::hashOf(k) % 7;
    if (h == base && home0.size() < 3) home0.push_back(k);
    if (h == (base + 1) % 7 && home1.empty()) home1.push_back(k);
  }
  const std::string A = home0[0], B = home0[1], C = home0[2], X = home1[0];
  for (const auto& k : {A, B, X, C}) d.setObject(JDString::make("v" + k), JDString::make(k));
  EXPECT_EQ(d.capacity(), 7u);
  EXPECT_EQ(d.count(), 4u);
  EXPECT_EQ(d.mutations(), 5u);
  // The four fill the run of slots from A's home, in some order.
  auto keyAt = [&](size_t slot) { return d.entryAt(slot % 7).key->toValue().string(); };
  std::set<std::string> run;
  for (size_t i = 0; i < 4; ++i) run.insert(keyAt(base + i));
  EXPECT_EQ(run, (std::set<std::string>{A, B, X, C}));
  // Take out the one in the middle of the cluster.
  const std::string middle = keyAt(base + 1);
  d.removeObjectForKey(JDString::make(middle).get());
  EXPECT_EQ(d.count(), 3u);
  EXPECT_EQ(d.objectForKey(middle), nullptr);
  for (const auto& k : {A, B, X, C}) {
    if (k == middle) continue;
    ASSERT_NE(d.objectForKey(k), nullptr) << k;
    EXPECT_EQ(d.objectForKey(k)->toValue(), Value("v" + k));
  }
  // What follows was re-seated: no gap is left inside the run.
  EXPECT_TRUE(d.entryAt((base + 1) % 7).key);
  EXPECT_TRUE(d.entryAt((base + 2) % 7).key);
  EXPECT_FALSE(d.entryAt((base + 3) % 7).key);
  d.setObject(JDString::make("v" + middle), JDString::make(middle));
  // Replacing keeps one entry per key.
  d.setObject(str("again"), JDString::make(C));
  EXPECT_EQ(d.count(), 4u);
  EXPECT_EQ(d.objectForKey(C)->toValue(), Value("again"));
  // Keys and objects in slot order, through every road.
  JDObject* keys[4];
  JDObject* objects[4];
  d.getObjects(objects, keys);
  d.getObjects(nullptr, keys);
  auto e = d.keyEnumerator();
  std::vector<JDRef> all = e->allObjects();
  ASSERT_EQ(all.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(all[i].get(), keys[i]);
    EXPECT_EQ(d.objectForKey(keys[i]), objects[i]);
  }
  EXPECT_EQ(e->nextObject(), nullptr);
  EXPECT_EQ(r->toValue()[B], Value("v" + B));
  EXPECT_EQ(r->toValue().count(), 4u);
}

TEST(JDCollection, FastEnumerationCountsSlots) {
  JDRef r = decode("{\"a\":1,\"b\":2}", false);  // 2 keys in 3 slots
  JDDictionary& d = dictionary(r);
  JDFastEnumerationState state;
  JDObject* buffer[1];
  size_t keys = 0, calls = 0;
  while (unsigned long n = d.countByEnumeratingWithState(&state, buffer, 1)) {
    keys += n;
    ++calls;
    EXPECT_EQ(state.itemsPtr, buffer);
  }
  EXPECT_EQ(keys, 2u);
  EXPECT_EQ(state.state, 3u);  // slots, not keys
  EXPECT_EQ(*state.mutationsPtr, 0u);
  EXPECT_EQ(d.countByEnumeratingWithState(&state, buffer, 1), 0u);

  JDRef a = decode("[1,2,3]", true);
  JDFastEnumerationState as;
  JDObject* items[2];
  EXPECT_EQ(array(a).countByEnumeratingWithState(&as, items, 2), 2u);
  EXPECT_EQ(*as.mutationsPtr, 1u);
  EXPECT_EQ(array(a).countByEnumeratingWithState(&as, items, 2), 1u);
  EXPECT_EQ(items[0]->toValue(), Value(3LL));
  EXPECT_EQ(array(a).countByEnumeratingWithState(&as, items, 2), 0u);
  // The counter handed out is the array's own: a mutation shows through it.
  array(a).addObject(JDString::make("x"));
  EXPECT_EQ(*as.mutationsPtr, 2u);
}

}  // namespace
