// File flags that the desktop keeps beside the permissions: the locked
// (immutable) flag and the hidden-extension mark. Linux keeps the first as
// the inode's immutable attribute, which only a privileged process may set;
// the second has no meaning to the kernel, so it is kept as the extended
// attribute "user.quorva.extension-hidden" for the file manager extension.
#pragma once

#include <string>

namespace plat {

inline constexpr const char* kExtensionHiddenAttribute = "user.quorva.extension-hidden";

// false when the item is missing or its flags cannot be read.
bool isImmutable(const std::string& path);
// false when the flag could not be changed (for instance without privilege).
bool setImmutable(const std::string& path, bool immutable);

bool isExtensionHidden(const std::string& path);
bool setExtensionHidden(const std::string& path, bool hidden);

}  // namespace plat
