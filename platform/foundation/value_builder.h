// Builds the arrays and dictionaries of a JSON reader. The elements and
// members of every container still open share two stacks, so each container
// is made once at its exact size. Replies repeat one key layout for every
// item, so a layout met twice becomes a shape whose entries are then made in
// key order at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

namespace plat {

class ValueBuilder {
public:
  // A member of an object being built: its key's bytes where the reader
  // keeps them for the whole scan, or a copy of its own.
  class Member {
  public:
    std::string_view key() const { return owned_ ? std::string_view(ownedKey_) : std::string_view(keyBytes_, keyLength_); }
    void borrowKey(const char* bytes, size_t length) {
      keyBytes_ = bytes;
      keyLength_ = length;
      owned_ = false;
    }
    // The copy, for the reader to fill (a member reused keeps its storage).
    std::string& ownKey() {
      owned_ = true;
      return ownedKey_;
    }
    Value value;

  private:
    const char* keyBytes_ = nullptr;
    size_t keyLength_ = 0;
    std::string ownedKey_;
    bool owned_ = false;
  };

  // ---- arrays ----
  size_t elementMark() const { return elements_.size(); }
  void pushElement(Value v) {
    if (elements_.capacity() == 0) elements_.reserve(16);
    elements_.push_back(std::move(v));
  }
  // The elements pushed since the mark, as one array; the stack is back at the mark.
  Value makeArray(size_t mark);
  void dropElements(size_t mark);

  // ---- objects ----
  size_t memberMark() const { return top_; }
  // A member on top of the stack. The reference holds until the next push;
  // reach it by index (memberMark() before the push) past that.
  Member& pushMember() {
    if (top_ == members_.size()) {
      if (members_.capacity() == 0) members_.reserve(16);
      members_.emplace_back();
    }
    return members_[top_++];
  }
  Member& member(size_t index) { return members_[index]; }
  // Takes back the top member, whose value stores nothing; with
  // `removeKey` the members since the mark with its key go as well.
  void discardMember(size_t mark, bool removeKey);
  // The members since the mark as one dictionary, of equal keys the later;
  // the stack is back at the mark.
  Value makeDictionary(size_t mark);
  // Forgets the members since the mark (an object that failed).
  void dropMembers(size_t mark);

private:
  struct Shape {
    std::vector<std::string> keys;    // in the order of the text
    std::vector<std::string> sorted;  // in the dictionary's order
    std::vector<uint32_t> member;     // the member of the text for each sorted key
  };
  static constexpr size_t kShapes = 8;
  // Entries this builder has put in key order, with no key twice.
  static Value inKeyOrder(std::vector<Dictionary::Entry> sorted);
  void learnShape(const Member* members, const uint32_t* order, size_t n, const std::vector<Dictionary::Entry>& sorted);

  std::vector<Value> elements_;
  // Members above top_ are kept for reuse: an object's members are then
  // neither constructed nor destroyed one by one.
  std::vector<Member> members_;
  size_t top_ = 0;
  std::vector<Shape> shapes_;
  size_t nextShape_ = 0;
  // Hashes of the layouts seen lately: a layout becomes a shape the second
  // time it is met, so a reply with one object pays nothing for shapes. The
  // hash only picks candidates; a shape is used only when its keys match.
  uint64_t recentLayouts_[kShapes] = {};
  size_t nextLayout_ = 0;
};

}  // namespace plat
