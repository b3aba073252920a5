// The messages of the named connection: one JSON array a line, made of
// nulls, booleans, integers, texts and arrays of these. A call is
// ["method", arguments...]; its answer is [] or [result]. The reader is
// bounded (length, nesting, element count) and answers nothing for a line
// that is not exactly such a message, so a malformed one is dropped whole.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace plat {

struct MessageLimits {
  size_t maxBytes = 65536;
  int maxDepth = 4;
  size_t maxElements = 4096;
};

// Null, booleans, integers, texts (valid UTF-8) and arrays of these; any
// other kind (a dictionary, a date, a fraction) gives nothing.
std::optional<std::string> encodeMessage(const Value& message);
// The array the line holds; nothing when the line is not a message.
std::optional<Array> decodeMessage(std::string_view line, const MessageLimits& limits = {});

}  // namespace plat
