#include "platform/foundation/json_output.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using namespace plat;

namespace {

// The run ends at the first byte a writer escapes, wherever it falls in or
// around the blocks that are tested many bytes at a time.
TEST(JSONOutput, UnescapedRunEndsAtTheFirstByteToEscape) {
  const struct {
    char byte;
    bool slash;
    bool stops;
  } cases[] = {
      {'\0', false, true}, {'\x1F', false, true}, {'\n', false, true}, {'"', false, true},  {'\\', false, true},
      {'/', true, true},   {'/', false, false},   {' ', false, false}, {'\x7F', false, false},
      {'\x80', false, false}, {'\xE4', false, false}, {'\xFF', true, false},
  };
  for (size_t n = 0; n <= 40; ++n) {
    for (const auto& c : cases) {
      std::string text(n, 'a');
      text.push_back(c.byte);
      text.append(n % 5, 'b');
      const auto* p = reinterpret_cast<const uint8_t*>(text.data());
      const uint8_t* stop = jsonUnescapedRunEnd(p, p + text.size(), c.slash);
      EXPECT_EQ(static_cast<size_t>(stop - p), c.stops ? n : text.size())
          << n << " " << static_cast<int>(static_cast<unsigned char>(c.byte));
    }
  }
}

// Reserved from the estimate, a writer's output never has to grow for text
// that needs no escapes, and the estimate is not far above it (numbers are
// counted at their longest).
TEST(JSONOutput, LengthEstimateCoversTheTextClosely) {
  const Value listingItem(Dictionary{{"hash", "0123456789abcdef0123456789abcdef01234567"},
                                     {"filename", "\xE9\xA1\xB9\xE7\x9B\xAE-12.pdf"},
                                     {"filesize", 4096},
                                     {"dir", false},
                                     {"lock", Value()}});
  const struct {
    Value value;
    std::string compact;  // the text the writers write
  } cases[] = {
      {Value(Array()), "[]"},
      {Value(Dictionary()), "{}"},
      {Value("plain"), "\"plain\""},
      {Value(Dictionary{{"a", 1}, {"bc", Value(Array{Value("x"), Value(), Value(true)})}}),
       "{\"a\":1,\"bc\":[\"x\",null,true]}"},
      {Value(Array{Value(LLONG_MIN), Value(ULLONG_MAX), Value(0), Value(-7)}),
       "[-9223372036854775808,18446744073709551615,0,-7]"},
      {Value(Array{Value(0.1)}), "[0.10000000000000001]"},
      {listingItem,
       "{\"dir\":false,\"filename\":\"\xE9\xA1\xB9\xE7\x9B\xAE-12.pdf\",\"filesize\":4096,\"hash\":"
       "\"0123456789abcdef0123456789abcdef01234567\",\"lock\":null}"},
  };
  for (const auto& c : cases) {
    const size_t estimate = jsonLengthEstimate(c.value);
    EXPECT_GE(estimate, c.compact.size()) << c.compact;
    EXPECT_LE(estimate, 2 * c.compact.size() + 64) << c.compact;
  }
  // Indentation is counted per level.
  const Value nested(Array{Value(Array{Value(Array{Value(1)})})});
  EXPECT_GT(jsonLengthEstimate(nested, {1, 2, 2}), jsonLengthEstimate(nested) + 6);
}

// Long arrays of mixed elements, walked with the blocks of elements ahead
// asked for: each element counts as it does alone.
TEST(JSONOutput, LongMixedArraysCountEveryElementOnce) {
  std::vector<Value> kinds = {
      Value(Dictionary{{"hash", std::string(40, 'a')}, {"name", "short"}, {"size", 12}}),
      Value(Array{Value(std::string(100, 'b')), Value(Dictionary()), Value(Array())}),
      Value(Dictionary()),
      Value(Array()),
      Value(std::string(33, 'c')),
      Value(7),
      Value(),
  };
  Dictionary wide;
  for (int i = 0; i < 40; ++i) wide.set("k" + std::to_string(i), Value(std::string(20 + i, 'w')));
  kinds.push_back(Value(wide));
  for (size_t n : {0u, 1u, 3u, 8u, 9u, 40u, 300u}) {
    Array a;
    size_t expected = 2;
    for (size_t i = 0; i < n; ++i) {
      a.push_back(kinds[(i * 5) % kinds.size()]);
      expected += 1 + jsonLengthEstimate(a.back());
    }
    EXPECT_EQ(jsonLengthEstimate(Value(a)), expected) << n;
  }
}

// A large value is counted in part: the rest is taken to be like it, close
// for a listing of like entries, and bounded for one whose first entries are
// far larger than the rest.
TEST(JSONOutput, LargeValuesAreCountedInPart) {
  Array listing;
  size_t text = 2;  // the brackets
  for (int i = 0; i < 20000; ++i) {
    const std::string name = "file-" + std::to_string(i) + ".pdf";
    listing.push_back(Value(Dictionary{{"filename", name}, {"hash", std::string(40, 'f')}, {"dir", false}}));
    // {"dir":false,"filename":"<name>","hash":"<40>"} and a comma
    text += 1 + 2 + 5 + 1 + 5 + 1 + 10 + 1 + name.size() + 2 + 1 + 6 + 1 + 42 + 1;
  }
  const size_t listed = jsonLengthEstimate(Value(listing));
  EXPECT_GE(listed, text - text / 20);
  EXPECT_LE(listed, 2 * text);

  Array skewed;
  for (int i = 0; i < 5000; ++i) skewed.push_back(Value(std::string(1024, 's')));
  skewed.resize(skewed.size() + 200000);  // nulls
  const size_t whole = 2 + 5000 * (1024 + 3) + 200000 * 5;
  const size_t bounded = jsonLengthEstimate(Value(skewed));
  EXPECT_GE(bounded, 4096u * 1024u);
  EXPECT_LE(bounded, whole + (size_t{64} << 20));
}

// A nesting far past what writers take is not followed down to its end.
TEST(JSONOutput, DeepNestingIsNotFollowed) {
  Value v(Array{});
  for (int i = 0; i < 100000; ++i) v = Value(Array{v});
  EXPECT_LT(jsonLengthEstimate(v), 100000u);
  // Unwind without a recursion as deep as the value.
  while (v.count()) {
    Value inner = v[0];
    v = inner;
  }
}

}  // namespace
