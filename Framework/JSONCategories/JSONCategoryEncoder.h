// Picks the writer of the scanner-category codec for any value.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/value.h"

class JSONCategoryEncoder {
public:
  // Nothing for a value JSON cannot hold.
  static std::optional<std::string> jsonStringForValue(const plat::Value& value, long level);
  // The same with the nesting depth carried, for the limit.
  static bool appendValue(const plat::Value& value, long level, int depth, std::string& out);
};
