#include "qvedit/EditURL.h"

#include <vector>

#include "Framework/Staticclass/NSStringExpand.h"

namespace {

constexpr size_t kMaxURL = 16384;
constexpr size_t kMaxToken = 512;

std::optional<EditLink> refuse(std::string* why, const char* text) {
  if (why) *why = text;
  return std::nullopt;
}

bool hasControl(std::string_view s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (true) {
    size_t at = s.find(sep, start);
    out.push_back(s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) return out;
    start = at + 1;
  }
}

// Token characters: it goes unescaped into a form body, so "&", "=" and
// blanks would add fields of their own.
bool tokenChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.' || c == '~';
}

}  // namespace

std::optional<EditLink> parseEditURL(std::string_view url, std::string* why) {
  if (url.size() > kMaxURL) return refuse(why, "the address is too long");
  std::string prefix = std::string(kEditScheme) + "://";
  if (url.size() < prefix.size()) return refuse(why, "not a qvedit:// address");
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != prefix[i]) return refuse(why, "not a qvedit:// address");
  }
  std::string_view payload = url.substr(prefix.size());
  // Browsers may add a slash after an address with no path.
  if (!payload.empty() && payload.back() == '/') payload.remove_suffix(1);
  auto unescaped = NSStringExpand::stringByReplacingPercentEscapes(payload);
  if (!unescaped || unescaped->empty()) return refuse(why, "the address carries no data");
  auto text = NSStringExpand::base64Decoded(*unescaped);
  if (!text || text->empty()) return refuse(why, "the address is not Base64 of UTF-8 text");

  auto fields = split(*text, '|');
  if (fields.size() != 3) return refuse(why, "the address must hold exactly three fields");

  std::string_view mount = fields[0];
  if (mount.empty() || mount.size() > 18 || mount.find_first_not_of("0123456789") != std::string_view::npos) {
    return refuse(why, "the mount id is not a decimal number");
  }
  EditLink link;
  link.mountId = std::stoll(std::string(mount));

  std::string_view path = fields[1];
  if (path.empty()) return refuse(why, "the cloud path is empty");
  if (hasControl(path)) return refuse(why, "the cloud path holds a control character");
  if (path.back() == '/') return refuse(why, "the cloud path ends in \"/\"");
  std::string_view inner = path.front() == '/' ? path.substr(1) : path;
  for (std::string_view piece : split(inner, '/')) {
    if (piece.empty()) return refuse(why, "the cloud path has an empty component");
    if (piece == "." || piece == "..") return refuse(why, "the cloud path has a \".\" or \"..\" component");
  }
  link.webpath = std::string(path);

  std::string_view token = fields[2];
  if (token.empty() || token.size() > kMaxToken) return refuse(why, "the refresh token is missing or too long");
  for (unsigned char c : token) {
    if (!tokenChar(c)) return refuse(why, "the refresh token holds a character it can't have");
  }
  link.refreshToken = std::string(token);
  return link;
}
