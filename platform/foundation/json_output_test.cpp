#include "platform/foundation/json_output.h"

#include <gtest/gtest.h>

#include <climits>

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
