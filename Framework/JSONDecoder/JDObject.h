// The objects the decoder family hands out: shared, reference-counted
// objects with identity (a string that came from the decoder's cache is the
// very object the cache holds), so equal strings of one document can be one
// object and an immutable container's copy can be itself. toValue() gives
// the plain plat::Value tree that the rest of the system reads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

class JDObject;
// One reference to an object; null stands for nil.
using JDRef = std::shared_ptr<JDObject>;

class JDObject : public std::enable_shared_from_this<JDObject> {
public:
  enum class Kind { Null, Boolean, Number, String, Array, Dictionary };
  virtual ~JDObject() = default;
  JDObject(const JDObject&) = delete;
  JDObject& operator=(const JDObject&) = delete;

  virtual Kind kind() const = 0;
  virtual const char* className() const = 0;
  // As CFHash and CFEqual: equal objects have equal hashes.
  virtual uint64_t hash() const = 0;
  virtual bool isEqual(const JDObject& other) const = 0;
  // Immutable objects answer themselves.
  virtual JDRef copy() const { return std::const_pointer_cast<JDObject>(shared_from_this()); }
  virtual plat::Value toValue() const = 0;
  // What "%@" prints.
  std::string description() const { return toValue().description(); }

protected:
  JDObject() = default;
};

class JDString final : public JDObject {
public:
  static JDRef make(std::string_view utf8);
  // The one shared empty string.
  static const JDRef& empty();
  static uint64_t hashOf(std::string_view utf8);

  explicit JDString(std::string_view utf8) : value_(utf8) {}
  const std::string& value() const { return value_; }
  Kind kind() const override { return Kind::String; }
  const char* className() const override { return "JDString"; }
  uint64_t hash() const override { return hashOf(value_); }
  bool isEqual(const JDObject& other) const override;
  plat::Value toValue() const override { return plat::Value(value_); }

private:
  std::string value_;
};

class JDNumber final : public JDObject {
public:
  static JDRef make(plat::Number n) { return std::make_shared<JDNumber>(n); }
  explicit JDNumber(plat::Number n) : value_(n) {}
  const plat::Number& value() const { return value_; }
  Kind kind() const override { return Kind::Number; }
  const char* className() const override { return "JDNumber"; }
  uint64_t hash() const override;
  bool isEqual(const JDObject& other) const override;
  plat::Value toValue() const override { return plat::Value(value_); }

private:
  plat::Number value_;
};

// The two shared boolean constants.
class JDBoolean final : public JDObject {
public:
  static const JDRef& trueValue();
  static const JDRef& falseValue();
  explicit JDBoolean(bool b) : value_(b) {}
  bool value() const { return value_; }
  Kind kind() const override { return Kind::Boolean; }
  const char* className() const override { return "JDBoolean"; }
  uint64_t hash() const override { return value_ ? 1 : 0; }
  bool isEqual(const JDObject& other) const override { return &other == this; }
  plat::Value toValue() const override { return plat::Value(value_); }

private:
  bool value_;
};

// The shared null singleton.
class JDNull final : public JDObject {
public:
  static const JDRef& null();
  JDNull() = default;
  Kind kind() const override { return Kind::Null; }
  const char* className() const override { return "JDNull"; }
  uint64_t hash() const override { return 0x4E554C4CULL; }
  bool isEqual(const JDObject& other) const override { return &other == this; }
  plat::Value toValue() const override { return plat::Value(); }
};
