#include "app/core/QVMenuItem.h"

namespace {
// The integer value of a text, as the platform reads it: leading blanks, a
// sign, the digits up to the first other character; 0 without digits.
int64_t integerValue(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  int64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (v > (INT64_MAX - 9) / 10) return neg ? INT64_MIN : INT64_MAX;
    v = v * 10 + (s[i] - '0');
  }
  return neg ? -v : v;
}
}  // namespace

bool QVMenuItem::setField(const std::string& name, const std::string& text) {
  if (name == "title") {
    setTitle(text);
  } else if (name == "icon") {
    setIcon(text);
  } else if (name == "action") {
    setAction(text);
  } else if (name == "url") {
    setUrl(text);
  } else if (name == "status") {
    setStatus(integerValue(text));
  } else if (name == "sso") {
    setSso(integerValue(text));
  } else if (name == "resize") {
    setResize(integerValue(text));
  } else if (name == "width") {
    setWidth(integerValue(text));
  } else if (name == "height") {
    setHeight(integerValue(text));
  } else {
    return false;
  }
  return true;
}

bool QVMenuItem::appendField(const std::string& name, const std::string& text) {
  if (name == "url") {
    url_ += text;
    return true;
  }
  return setField(name, text);
}
