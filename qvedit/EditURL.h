// The edit helper's URL: "qvedit://" followed by the Base64 of
// "<mount id>|<cloud path>|<refresh token>". It is read strictly, since a
// web page makes it and the path names a file that is written and uploaded:
// anything that does not fit makes no job, and `why` says what was wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* kEditScheme = "qvedit";

struct EditLink {
  int64_t mountId = 0;
  std::string webpath;
  std::string refreshToken;
};

std::optional<EditLink> parseEditURL(std::string_view url, std::string* why = nullptr);
