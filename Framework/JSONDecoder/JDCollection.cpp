#include "Framework/JSONDecoder/JDCollection.h"

#include <algorithm>
#include <new>

#include "platform/foundation/error.h"
#include "platform/foundation/format.h"

using plat::Exception;

namespace {

const size_t jd_dictionaryCapacities[] = {
    0UL,        3UL,        7UL,        13UL,       23UL,        41UL,        71UL,        127UL,
    191UL,      251UL,      383UL,      631UL,      1087UL,      1723UL,      2803UL,      4523UL,
    7351UL,     11959UL,    19447UL,    31231UL,    50683UL,     81919UL,     132607UL,    214519UL,
    346607UL,   561109UL,   907759UL,   1468927UL,  2376191UL,   3845119UL,   6221311UL,   10066421UL,
    16287743UL, 26354171UL, 42641881UL, 68996069UL, 111638519UL, 180634607UL, 292272623UL, 472907251UL};

[[noreturn]] void raisePrivate(const char* className) {
  throw Exception(plat::kInvalidArgumentException,
                  plat::format("*** - [%@ %@]: The %@ class is private to JSONDecoder and should not be used in this fashion.",
                               className, "allocWithZone:", className));
}

// The slots of a new table, or null when the memory cannot be had.
std::unique_ptr<JDHashTableEntry[]> newTable(size_t capacity) {
  return std::unique_ptr<JDHashTableEntry[]>(new (std::nothrow) JDHashTableEntry[capacity]);
}

}  // namespace

size_t _JKDictionaryCapacityForCount(size_t count) {
  const size_t target = static_cast<size_t>(static_cast<double>(count) * 1.33);
  const size_t* end = std::end(jd_dictionaryCapacities);
  const size_t* p = std::lower_bound(std::begin(jd_dictionaryCapacities), end, target);
  return p == end ? SIZE_MAX : *p;
}

void jd_raiseMutatedWhileEnumerated(const JDObject& collection) {
  throw Exception(plat::kGenericException,
                  plat::format("*** Collection <%@: %p> was mutated while being enumerated.", collection.className(),
                               static_cast<const void*>(&collection)));
}

void JDCollection::checkMutable(const char* selector) const {
  if (mutations_ == 0)
    throw Exception(plat::kInternalInconsistencyException,
                    plat::format("*** -[%@ %@]: mutating method sent to immutable object", className(), selector));
}

// ---- JDArray ----

JDRef _JKArrayCreate(JDRef* objects, size_t count, bool mutableCollection) {
  auto array = std::make_shared<JDArray>(JDArray::Token{});
  array->objects_.reset(new (std::nothrow) JDRef[count]);
  if (!array->objects_) return nullptr;
  array->capacity_ = count;
  array->count_ = count;
  for (size_t i = 0; i < count; ++i) array->objects_[i] = std::move(objects[i]);
  array->mutations_ = mutableCollection ? 1 : 0;
  return array;
}

void JDArray::alloc() { raisePrivate("JDArray"); }

JDArray::~JDArray() = default;

bool JDArray::isEqual(const JDObject& other) const {
  if (other.kind() != Kind::Array) return false;
  const auto& o = static_cast<const JDArray&>(other);
  if (o.count_ != count_) return false;
  for (size_t i = 0; i < count_; ++i)
    if (objects_[i] != o.objects_[i] && !objects_[i]->isEqual(*o.objects_[i])) return false;
  return true;
}

plat::Value JDArray::toValue() const {
  plat::Array a;
  a.reserve(count_);
  for (size_t i = 0; i < count_; ++i) a.push_back(objects_[i]->toValue());
  return plat::Value(std::move(a));
}

void JDArray::raiseBeyondBounds(const char* selector, size_t index, size_t bound) const {
  throw Exception(plat::kRangeException, plat::format("*** -[%@ %@]: index (%lu) beyond bounds (%lu)", className(),
                                                       selector, static_cast<unsigned long>(index),
                                                       static_cast<unsigned long>(bound)));
}

void JDArray::getObjects(JDObject** objects, JDRange range) const {
  if (!objects && range.location + range.length != 0)
    throw Exception(plat::kRangeException,
                    plat::format("*** -[%@ %@]: pointer to objects array is NULL but range length is %lu", className(),
                                 "getObjects:range:", static_cast<unsigned long>(range.location + range.length)));
  if (range.location > count_ || range.length > count_ - range.location)
    raiseBeyondBounds("getObjects:range:", range.location + range.length, count_);
  for (size_t i = 0; i < range.length; ++i) objects[i] = objects_[range.location + i].get();
}

const JDRef& JDArray::objectAtIndex(size_t index) const {
  if (index >= count_) raiseBeyondBounds("objectAtIndex:", index, count_);
  return objects_[index];
}

unsigned long JDArray::countByEnumeratingWithState(JDFastEnumerationState* state, JDObject** buffer,
                                                   unsigned long len) const {
  if (state->state == 0) {
    state->mutationsPtr = &mutations_;
    state->itemsPtr = buffer;
  }
  if (state->state >= count_) return 0;
  unsigned long n = 0;
  while (n < len && state->state < count_) buffer[n++] = objects_[state->state++].get();
  return n;
}

void JDArray::insertObject(JDRef anObject, size_t index) {
  const char* selector = "insertObject:atIndex:";
  checkMutable(selector);
  if (!anObject)
    throw Exception(plat::kInvalidArgumentException,
                    plat::format("*** -[%@ %@]: attempt to insert nil", className(), selector));
  if (index > count_) raiseBeyondBounds(selector, index, count_ + 1);
  if (count_ + 1 >= capacity_) {
    std::unique_ptr<JDRef[]> grown(new (std::nothrow) JDRef[capacity_ + 16]);
    if (!grown) throw Exception(plat::kMallocException, "Unable to resize objects array.");
    for (size_t i = 0; i < count_; ++i) grown[i] = std::move(objects_[i]);
    objects_ = std::move(grown);
    capacity_ += 16;
  }
  ++count_;
  for (size_t i = count_ - 1; i > index; --i) objects_[i] = std::move(objects_[i - 1]);
  objects_[index] = std::move(anObject);
  jd_advanceMutations(mutations_);
}

void JDArray::removeObjectAtIndex(size_t index) {
  const char* selector = "removeObjectAtIndex:";
  checkMutable(selector);
  if (index >= count_) raiseBeyondBounds(selector, index, count_);
  objects_[index].reset();
  for (size_t i = index; i + 1 < count_; ++i) objects_[i] = std::move(objects_[i + 1]);
  objects_[count_ - 1].reset();
  --count_;
  jd_advanceMutations(mutations_);
}

void JDArray::replaceObjectAtIndex(size_t index, JDRef anObject) {
  const char* selector = "replaceObjectAtIndex:withObject:";
  checkMutable(selector);
  if (!anObject)
    throw Exception(plat::kInvalidArgumentException,
                    plat::format("*** -[%@ %@]: attempt to insert nil", className(), selector));
  if (index >= count_) raiseBeyondBounds(selector, index, count_);
  objects_[index] = std::move(anObject);
  jd_advanceMutations(mutations_);
}

void JDArray::removeLastObject() {
  if (count_ == 0) {
    checkMutable("removeObjectAtIndex:");
    return;
  }
  removeObjectAtIndex(count_ - 1);
}

JDRef JDArray::copy() const {
  if (mutations_ == 0) return JDObject::copy();
  std::vector<JDRef> items(objects_.get(), objects_.get() + count_);
  return _JKArrayCreate(items.data(), items.size(), false);
}

JDRef JDArray::mutableCopy() const {
  std::vector<JDRef> items(objects_.get(), objects_.get() + count_);
  return _JKArrayCreate(items.data(), items.size(), true);
}

// ---- JDDictionary ----

JDRef _JKDictionaryCreate(JDRef* keys, const uint64_t* keyHashes, JDRef* objects, size_t count,
                          bool mutableCollection) {
  auto d = std::make_shared<JDDictionary>(JDDictionary::Token{});
  size_t capacity = _JKDictionaryCapacityForCount(count);
  if (capacity == SIZE_MAX) return nullptr;
  d->capacity_ = capacity;
  d->count_ = 0;
  d->entry_ = newTable(capacity);
  if (!d->entry_) return nullptr;
  for (size_t i = 0; i < count; ++i) d->addObject(keyHashes[i], std::move(keys[i]), std::move(objects[i]));
  d->mutations_ = mutableCollection ? 1 : 0;
  return d;
}

void JDDictionary::alloc() { raisePrivate("JDDictionary"); }

JDDictionary::~JDDictionary() = default;

bool JDDictionary::isEqual(const JDObject& other) const {
  if (other.kind() != Kind::Dictionary) return false;
  const auto& o = static_cast<const JDDictionary&>(other);
  if (o.count_ != count_) return false;
  for (size_t i = 0; i < capacity_; ++i) {
    if (!entry_[i].key) continue;
    JDObject* theirs = o.objectForKey(entry_[i].key.get());
    if (!theirs || !(theirs == entry_[i].object.get() || entry_[i].object->isEqual(*theirs))) return false;
  }
  return true;
}

plat::Value JDDictionary::toValue() const {
  std::vector<plat::Dictionary::Entry> entries;
  entries.reserve(count_);
  for (size_t i = 0; i < capacity_; ++i) {
    const auto& e = entry_[i];
    if (!e.key) continue;
    // Keys from the decoder are strings; another key is named by its description.
    std::string key = e.key->kind() == Kind::String ? static_cast<const JDString&>(*e.key).value()
                                                    : e.key->description();
    entries.emplace_back(std::move(key), e.object->toValue());
  }
  return plat::Value(plat::Dictionary::fromEntries(std::move(entries)));
}

JDHashTableEntry* JDDictionary::entryForKey(const JDObject* aKey, uint64_t h) const {
  if (!aKey || capacity_ == 0) return nullptr;
  for (size_t i = 0, slot = h % capacity_; i < capacity_; ++i, slot = (slot + 1) % capacity_) {
    JDHashTableEntry& e = entry_[slot];
    if (!e.key) return nullptr;
    if (e.keyHash == h && (e.key.get() == aKey || e.key->isEqual(*aKey))) return &e;
  }
  return nullptr;
}

void JDDictionary::addObject(uint64_t keyHash, JDRef key, JDRef object) {
  if (capacity_ == 0) return;
  for (size_t i = 0, slot = keyHash % capacity_; i < capacity_; ++i, slot = (slot + 1) % capacity_) {
    JDHashTableEntry& e = entry_[slot];
    if (e.key && e.keyHash == keyHash && (e.key == key || e.key->isEqual(*key))) {
      removeEntry(&e);  // the later of equal keys wins
      // The freed slot may now hold a re-seated entry; probe on from here.
    }
    if (!e.key) {
      e.keyHash = keyHash;
      e.key = std::move(key);
      e.object = std::move(object);
      ++count_;
      return;
    }
  }
  // No slot free: the pair is dropped (its references go with it).
}

void JDDictionary::removeEntry(JDHashTableEntry* entry) {
  entry->key.reset();
  entry->object.reset();
  entry->keyHash = 0;
  --count_;
  // Re-seat the run that follows, so every entry stays reachable from its home.
  size_t slot = static_cast<size_t>(entry - entry_.get());
  for (size_t i = 1; i < capacity_; ++i) {
    size_t s = (slot + i) % capacity_;
    JDHashTableEntry& e = entry_[s];
    if (!e.key) break;
    JDHashTableEntry moved = std::move(e);
    e = JDHashTableEntry{};
    for (size_t j = 0, t = moved.keyHash % capacity_; j < capacity_; ++j, t = (t + 1) % capacity_) {
      if (!entry_[t].key) {
        entry_[t] = std::move(moved);
        break;
      }
    }
  }
}

void JDDictionary::resizeIfNeccessary() {
  size_t needed = _JKDictionaryCapacityForCount(count_ + 1);
  if (needed == SIZE_MAX) throw Exception(plat::kMallocException, "Unable to allocate memory for hash table.");
  if (needed <= capacity_) return;
  auto table = newTable(needed);
  if (!table) throw Exception(plat::kMallocException, "Unable to allocate memory for hash table.");
  std::unique_ptr<JDHashTableEntry[]> old = std::move(entry_);
  size_t oldCapacity = capacity_;
  entry_ = std::move(table);
  capacity_ = needed;
  count_ = 0;
  for (size_t i = 0; i < oldCapacity; ++i)
    if (old[i].key) addObject(old[i].keyHash, std::move(old[i].key), std::move(old[i].object));
}

JDObject* JDDictionary::objectForKey(const JDObject* aKey) const {
  if (!aKey || capacity_ == 0) return nullptr;
  JDHashTableEntry* e = entryForKey(aKey, aKey->hash());
  return e ? e->object.get() : nullptr;
}

JDObject* JDDictionary::objectForKey(std::string_view key) const {
  if (capacity_ == 0) return nullptr;
  uint64_t h = JDString::hashOf(key);
  for (size_t i = 0, slot = h % capacity_; i < capacity_; ++i, slot = (slot + 1) % capacity_) {
    const JDHashTableEntry& e = entry_[slot];
    if (!e.key) return nullptr;
    if (e.keyHash == h && e.key->kind() == Kind::String && static_cast<const JDString&>(*e.key).value() == key)
      return e.object.get();
  }
  return nullptr;
}

void JDDictionary::getObjects(JDObject** objects, JDObject** keys) const {
  size_t n = 0;
  for (size_t i = 0; i < capacity_; ++i) {
    if (!entry_[i].key) continue;
    if (objects) objects[n] = entry_[i].object.get();
    if (keys) keys[n] = entry_[i].key.get();
    ++n;
  }
}

unsigned long JDDictionary::countByEnumeratingWithState(JDFastEnumerationState* state, JDObject** buffer,
                                                        unsigned long len) const {
  if (state->state == 0) {
    state->mutationsPtr = &mutations_;
    state->itemsPtr = buffer;
  }
  if (state->state >= capacity_) return 0;
  unsigned long n = 0;
  while (n < len && state->state < capacity_) {
    const JDHashTableEntry& e = entry_[state->state++];
    if (e.key) buffer[n++] = e.key.get();
  }
  return n;
}

std::unique_ptr<JDDictionaryEnumerator> JDDictionary::keyEnumerator() const {
  return std::make_unique<JDDictionaryEnumerator>(
      std::static_pointer_cast<const JDDictionary>(shared_from_this()));
}

void JDDictionary::setObject(JDRef anObject, JDRef aKey) {
  const char* selector = "setObject:forKey:";
  checkMutable(selector);
  if (!aKey)
    throw Exception(plat::kInvalidArgumentException,
                    plat::format("*** -[%@ %@]: attempt to insert nil key", className(), selector));
  if (!anObject)
    throw Exception(plat::kInvalidArgumentException,
                    plat::format("*** -[%@ %@]: attempt to insert nil value (key: %@)", className(), selector,
                                 aKey->description()));
  resizeIfNeccessary();
  JDRef key = aKey->copy();
  uint64_t h = key->hash();
  addObject(h, std::move(key), std::move(anObject));
  jd_advanceMutations(mutations_);
}

void JDDictionary::removeObjectForKey(const JDObject* aKey) {
  const char* selector = "removeObjectForKey:";
  checkMutable(selector);
  if (!aKey)
    throw Exception(plat::kInvalidArgumentException,
                    plat::format("*** -[%@ %@]: attempt to remove nil key", className(), selector));
  JDHashTableEntry* e = entryForKey(aKey, aKey->hash());
  if (!e) return;
  removeEntry(e);
  jd_advanceMutations(mutations_);
}

JDRef JDDictionary::fromPairs(const JDDictionary& d, bool mutableCollection) {
  std::vector<JDRef> keys, objects;
  std::vector<uint64_t> hashes;
  keys.reserve(d.count_);
  objects.reserve(d.count_);
  hashes.reserve(d.count_);
  for (size_t i = 0; i < d.capacity_; ++i) {
    if (!d.entry_[i].key) continue;
    keys.push_back(d.entry_[i].key);
    objects.push_back(d.entry_[i].object);
    hashes.push_back(d.entry_[i].keyHash);
  }
  return _JKDictionaryCreate(keys.data(), hashes.data(), objects.data(), keys.size(), mutableCollection);
}

JDRef JDDictionary::copy() const {
  if (mutations_ == 0) return JDObject::copy();
  return fromPairs(*this, false);
}

JDRef JDDictionary::mutableCopy() const { return fromPairs(*this, true); }

// ---- JDDictionaryEnumerator ----

JDRef JDDictionaryEnumerator::nextObject() {
  const JDDictionary& d = *collection_;
  while (nextObject_ < d.capacity_) {
    const JDHashTableEntry& e = d.entry_[nextObject_++];
    if (e.key) return e.key;
  }
  return nullptr;
}

std::vector<JDRef> JDDictionaryEnumerator::allObjects() {
  std::vector<JDRef> keys;
  keys.reserve(collection_->count());
  while (keys.size() < collection_->count()) {
    JDRef k = nextObject();
    if (!k) break;
    keys.push_back(std::move(k));
  }
  return keys;
}
