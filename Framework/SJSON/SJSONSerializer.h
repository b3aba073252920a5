// The writing half of the scanner-based codec: values to compact JSON as
// UTF-8 bytes. Strings are escaped so the output is always valid JSON (every
// control character included); numbers that JSON cannot hold (NaN, the
// infinities), bytes that are not UTF-8 and nesting deeper than kMaxDepth
// fail the call.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

inline constexpr const char* kSJSONSerializerErrorDomain = "TODO_DOMAIN";

// Ready JSON bytes that the serializer inserts unchanged.
class SJSONSerializable {
public:
  virtual ~SJSONSerializable() = default;
  virtual plat::Data serializedJSONData() const = 0;
};

class SJSONSerializer {
public:
  // Far above any real document, as the readers'.
  static constexpr int kMaxDepth = 512;
  enum : unsigned { kSJSONSerializerOptionEscapeSlash = 1 };

  static std::unique_ptr<SJSONSerializer> serializer() { return std::make_unique<SJSONSerializer>(); }
  virtual ~SJSONSerializer() = default;

  unsigned options() const { return options_; }
  void setOptions(unsigned o) { options_ = o; }

  // Shallow: a container's contents are not examined.
  bool isValidJSONObject(const plat::Value& object) const;
  bool isValidJSONObject(const SJSONSerializable&) const { return true; }

  std::optional<plat::Data> serializeObject(const plat::Value& object, plat::Error* error = nullptr);
  std::optional<plat::Data> serializeObject(const SJSONSerializable& object, plat::Error* error = nullptr);
  std::optional<plat::Data> serializeNull(const plat::Value& object, plat::Error* error = nullptr);
  std::optional<plat::Data> serializeNumber(const plat::Value& number, plat::Error* error = nullptr);
  std::optional<plat::Data> serializeString(const plat::Value& string, plat::Error* error = nullptr);
  std::optional<plat::Data> serializeArray(const plat::Value& array, plat::Error* error = nullptr);
  std::optional<plat::Data> serializeDictionary(const plat::Value& dictionary, plat::Error* error = nullptr);

  // The same text appended to `out`; false (with `out` undefined past its
  // old end) on failure. Kept in one buffer so a document costs no
  // allocation per value.
  bool appendObject(const plat::Value& object, plat::Data& out);

protected:
  // Every value, at any depth, comes through here; a subclass may convert.
  virtual bool write(const plat::Value& object, plat::Data& out, int depth);
  // The writer of the value's own kind, without conversion.
  bool writePlain(const plat::Value& object, plat::Data& out, int depth);

private:
  enum class Only { Any, Null, Number, String, Array, Dictionary };
  std::optional<plat::Data> run(const plat::Value& object, Only only, plat::Error* error);
  bool writeNumber(const plat::Value& number, plat::Data& out);
  bool writeString(std::string_view utf8, plat::Data& out);

  unsigned options_ = 0;
};
