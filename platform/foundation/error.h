// Run-time failures reported as values (Error) and programming errors raised
// as exceptions (Exception), with the system's own domains, names and texts.
#pragma once

#include <exception>
#include <memory>
#include <string>

#include "platform/foundation/value.h"

namespace plat {

// User-info keys, as the system names them.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";

class Error {
public:
  Error() = default;
  Error(std::string domain, long code, Dictionary userInfo = {},
        std::shared_ptr<const Error> underlying = nullptr)
      : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)), underlying_(std::move(underlying)) {}
  // An error whose user info holds just the localized description.
  static Error withDescription(std::string domain, long code, std::string description,
                               std::shared_ptr<const Error> underlying = nullptr);

  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const Dictionary& userInfo() const { return userInfo_; }
  Dictionary& mutableUserInfo() { return userInfo_; }
  // The cause (a platform error under a library error), or null.
  const std::shared_ptr<const Error>& underlyingError() const { return underlying_; }
  void setUnderlyingError(std::shared_ptr<const Error> e) { underlying_ = std::move(e); }

  // The user info's description, or "The operation couldn't be completed.
  // (<domain> error <code>.)" when it has none.
  std::string localizedDescription() const;
  // "Error Domain=<d> Code=<c> \"<description>\""
  std::string description() const;

private:
  std::string domain_;
  long code_ = 0;
  Dictionary userInfo_;
  std::shared_ptr<const Error> underlying_;
};

// Stores the error when the caller asked for one.
inline void setError(Error* out, Error e) {
  if (out) *out = std::move(e);
}

inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

// Exception names used by the system.
inline constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* kRangeException = "NSRangeException";
inline constexpr const char* kGenericException = "NSGenericException";
inline constexpr const char* kMallocException = "NSMallocException";

class Exception : public std::exception {
public:
  Exception(std::string name, std::string reason, Dictionary userInfo = {})
      : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const Dictionary& userInfo() const { return userInfo_; }
  const char* what() const noexcept override { return reason_.c_str(); }

private:
  std::string name_;
  std::string reason_;
  Dictionary userInfo_;
};

// A failed parameter check: "Invalid parameter not satisfying: <condition>".
[[noreturn]] void throwInvalidParameter(const char* condition);

}  // namespace plat

#define PLAT_PARAMETER_ASSERT(cond) \
  do {                              \
    if (!(cond)) ::plat::throwInvalidParameter(#cond); \
  } while (0)
