// Class methods shaped like the platform's JSON serialization interface over
// the scanner-based codec, a holder of ready JSON bytes, and dictionary
// constructors over the reader.
#pragma once

#include <optional>
#include <string_view>

#include "Framework/SJSON/SJSONSerializer.h"

// An output stream as the platform's: write returns the bytes it took (which
// may be fewer than offered), 0 when it takes no more, -1 on an error.
class SJSONOutputStream {
public:
  virtual ~SJSONOutputStream() = default;
  virtual long write(const uint8_t* buffer, size_t maxLength) = 0;
};

class SJSONSerialization {
public:
  static bool isValidJSONObject(const plat::Value& object);
  // The writing options are ignored.
  static std::optional<plat::Data> dataWithJSONObject(const plat::Value& object, unsigned long options,
                                                      plat::Error* error = nullptr);
  static std::optional<plat::Value> JSONObjectWithData(const plat::Data& data, unsigned long options,
                                                       plat::Error* error = nullptr);
  // Writes the whole text, going on after partial writes. The bytes written,
  // or -1 when the object cannot be serialized or the stream stops taking
  // bytes before the end.
  static long writeJSONObject(const plat::Value& object, SJSONOutputStream& stream, unsigned long options,
                              plat::Error* error = nullptr);
  // Not offered: always nothing.
  static std::optional<plat::Value> JSONObjectWithStream(SJSONOutputStream*, unsigned long, plat::Error* = nullptr) {
    return std::nullopt;
  }
};

class SJSONSerializedData : public SJSONSerializable {
public:
  explicit SJSONSerializedData(plat::Data data) : data_(std::move(data)) {}
  const plat::Data& data() const { return data_; }
  plat::Data serializedJSONData() const override { return data_; }
  // The serializer's pass-through hook answers the same bytes.
  plat::Data JSONDataRepresentation() const { return data_; }

private:
  plat::Data data_;
};

// NSDictionary(NSDictionary_JSONExtensions): whatever the top-level value is,
// not only a dictionary, is returned.
namespace NSDictionary_JSONExtensions {
std::optional<plat::Value> dictionaryWithJSONData(const plat::Data& data, plat::Error* error = nullptr);
std::optional<plat::Value> dictionaryWithJSONString(std::string_view string, plat::Error* error = nullptr);
}  // namespace NSDictionary_JSONExtensions
