// The decoder's own containers. Each is born complete from the parser,
// immutable (mutations counter 0) or mutable (counter from 1, advanced by
// every mutation and watched by fast enumeration). Misuse raises the
// platform's exceptions with the texts the collection classes always used.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "Framework/JSONDecoder/JDObject.h"

struct JDRange {
  size_t location;
  size_t length;
};

// The state of one fast enumeration (for...in).
struct JDFastEnumerationState {
  unsigned long state = 0;
  JDObject** itemsPtr = nullptr;
  const uint64_t* mutationsPtr = nullptr;
  unsigned long extra[5] = {};
};

class JDArray;
class JDDictionary;

JDRef _JKArrayCreate(JDRef* objects, size_t count, bool mutableCollection);
// Keys, their hashes and objects of `count` pairs; of equal keys the last wins.
JDRef _JKDictionaryCreate(JDRef* keys, const uint64_t* keyHashes, JDRef* objects, size_t count,
                          bool mutableCollection);
// The first capacity of the table that is at least floor(count * 1.33);
// SIZE_MAX beyond the table's last value.
size_t _JKDictionaryCapacityForCount(size_t count);

// Advances a mutation counter: from the largest value back to 1, never 0.
inline void jd_advanceMutations(uint64_t& m) {
  if (++m == 0) m = 1;
}

// What the array and the dictionary share: a count, a capacity and the
// mutation counter, which is 0 for an immutable collection and which fast
// enumeration watches.
class JDCollection : public JDObject {
public:
  uint64_t hash() const override { return count_; }
  size_t count() const { return count_; }
  size_t capacity() const { return capacity_; }
  uint64_t mutations() const { return mutations_; }
  bool isMutable() const { return mutations_ != 0; }

protected:
  JDCollection() = default;
  // Raises for an immutable collection.
  void checkMutable(const char* selector) const;

  size_t count_ = 0;
  size_t capacity_ = 0;
  uint64_t mutations_ = 0;
};

class JDArray final : public JDCollection {
public:
  // Instances come only from the decoder: this raises.
  [[noreturn]] static void alloc();

  ~JDArray() override;
  Kind kind() const override { return Kind::Array; }
  const char* className() const override { return "JDArray"; }
  bool isEqual(const JDObject& other) const override;
  plat::Value toValue() const override;

  void getObjects(JDObject** objects, JDRange range) const;
  const JDRef& objectAtIndex(size_t index) const;
  unsigned long countByEnumeratingWithState(JDFastEnumerationState* state, JDObject** buffer, unsigned long len) const;
  void insertObject(JDRef anObject, size_t index);
  void removeObjectAtIndex(size_t index);
  void replaceObjectAtIndex(size_t index, JDRef anObject);
  // Built on the primitives, as the collection classes build them.
  void addObject(JDRef anObject) { insertObject(std::move(anObject), count_); }
  void removeLastObject();
  JDRef lastObject() const { return count_ ? objects_[count_ - 1] : nullptr; }

  JDRef copy() const override;
  JDRef mutableCopy() const;

private:
  friend JDRef _JKArrayCreate(JDRef*, size_t, bool);
  struct Token {};

public:
  explicit JDArray(Token) {}

private:
  [[noreturn]] void raiseBeyondBounds(const char* selector, size_t index, size_t bound) const;

  std::unique_ptr<JDRef[]> objects_;
};

struct JDHashTableEntry {
  uint64_t keyHash = 0;
  JDRef key;
  JDRef object;
};

class JDDictionaryEnumerator {
public:
  explicit JDDictionaryEnumerator(std::shared_ptr<const JDDictionary> collection)
      : collection_(std::move(collection)) {}
  // The key of the next occupied slot, or null at the end.
  JDRef nextObject();
  std::vector<JDRef> allObjects();

private:
  std::shared_ptr<const JDDictionary> collection_;
  size_t nextObject_ = 0;
};

class JDDictionary final : public JDCollection {
public:
  [[noreturn]] static void alloc();

  ~JDDictionary() override;
  Kind kind() const override { return Kind::Dictionary; }
  const char* className() const override { return "JDDictionary"; }
  bool isEqual(const JDObject& other) const override;
  plat::Value toValue() const override;

  JDObject* objectForKey(const JDObject* aKey) const;
  JDObject* objectForKey(std::string_view key) const;
  void getObjects(JDObject** objects, JDObject** keys) const;
  unsigned long countByEnumeratingWithState(JDFastEnumerationState* state, JDObject** buffer, unsigned long len) const;
  std::unique_ptr<JDDictionaryEnumerator> keyEnumerator() const;
  void setObject(JDRef anObject, JDRef aKey);
  void removeObjectForKey(const JDObject* aKey);

  JDRef copy() const override;
  JDRef mutableCopy() const;

  // The slots, for those who look at the table itself.
  const JDHashTableEntry& entryAt(size_t slot) const { return entry_[slot]; }

private:
  friend JDRef _JKDictionaryCreate(JDRef*, const uint64_t*, JDRef*, size_t, bool);
  friend class JDDictionaryEnumerator;
  struct Token {};

public:
  explicit JDDictionary(Token) {}

private:
  JDHashTableEntry* entryForKey(const JDObject* aKey, uint64_t hash) const;
  void addObject(uint64_t keyHash, JDRef key, JDRef object);
  void removeEntry(JDHashTableEntry* entry);
  void resizeIfNeccessary();
  static JDRef fromPairs(const JDDictionary& d, bool mutableCollection);

  std::unique_ptr<JDHashTableEntry[]> entry_;
};

[[noreturn]] void jd_raiseMutatedWhileEnumerated(const JDObject& collection);

// Runs a for...in over the array or dictionary (keys), raising as the
// platform does when the collection is mutated while being enumerated.
template <class Collection, class Fn>
void jd_forIn(const Collection& c, Fn&& fn) {
  JDFastEnumerationState state;
  JDObject* buffer[16];
  unsigned long n = c.countByEnumeratingWithState(&state, buffer, 16);
  if (n == 0) return;
  const uint64_t initial = *state.mutationsPtr;
  while (n) {
    for (unsigned long i = 0; i < n; ++i) {
      if (*state.mutationsPtr != initial) jd_raiseMutatedWhileEnumerated(c);
      fn(state.itemsPtr[i]);
    }
    n = c.countByEnumeratingWithState(&state, buffer, 16);
  }
}
