// The writing half of the decoder family: a value graph to UTF-8 JSON text,
// compact or pretty, as a string or as bytes. One serializer serves one call;
// the JDSerializing functions make their own.
//
// Identity stands in for the platform's object identity: a value is the
// Value node at one address of the graph, so a node shared by two containers
// (a shared sub-array) is one object and its text is copied from the cache
// the second time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

enum : uint64_t {
  JDSerializeOptionNone = 0,
  JDSerializeOptionPretty = 1,
  JDSerializeOptionEscapeNonASCII = 2,
  JDSerializeOptionEscapeSlash = 16,
};

enum : uint64_t {
  JDEncodeOptionOutputData = 1,
  JDEncodeOptionOutputString = 2,
  JDEncodeOptionOutputMask = 7,
  JDEncodeOptionCollectionObj = 8,
  JDEncodeOptionStringObj = 16,
  JDEncodeOptionStringObjTrimQuotes = 32,
};

// The delegate form of the unsupported-class formatter: the selector names
// one of its methods, which takes the value and returns a replacement or
// nothing.
class JDSerializerDelegate {
public:
  virtual ~JDSerializerDelegate() = default;
  virtual bool respondsToSelector(const std::string& selector) const = 0;
  virtual std::optional<plat::Value> performSelector(const std::string& selector, const plat::Value& object) = 0;
};

struct JDEncodeState;

class JDSerializer {
public:
  using FormatterBlock = std::function<std::optional<plat::Value>(const plat::Value&)>;
  // Nesting beyond this fails the call instead of exhausting the stack.
  static constexpr int kMaxDepth = 512;

  JDSerializer();
  ~JDSerializer();
  JDSerializer(const JDSerializer&) = delete;
  JDSerializer& operator=(const JDSerializer&) = delete;

  // A String value (result-type bits 2) or a Data value (bits 1); nothing on
  // failure, the first error then in `error`. Violated preconditions raise.
  static std::optional<plat::Value> serializeObject(const plat::Value& object, uint64_t options, uint64_t encodeOption,
                                                    const FormatterBlock& block, JDSerializerDelegate* delegate,
                                                    const std::string& selector, plat::Error* error);
  std::optional<plat::Value> serializeObjectWith(const plat::Value& object, uint64_t options, uint64_t encodeOption,
                                                 const FormatterBlock& block, JDSerializerDelegate* delegate,
                                                 const std::string& selector, plat::Error* error);
  // The same for result-type bits 2 (text) and 1 (bytes): the result is
  // handed over as it was made, without a Value around it.
  static std::optional<std::string> serializeText(const plat::Value& object, uint64_t options, uint64_t encodeOption,
                                                  const FormatterBlock& block, JDSerializerDelegate* delegate,
                                                  const std::string& selector, plat::Error* error);
  static std::optional<plat::Data> serializeData(const plat::Value& object, uint64_t options, uint64_t encodeOption,
                                                 const FormatterBlock& block, JDSerializerDelegate* delegate,
                                                 const std::string& selector, plat::Error* error);
  void releaseState();

private:
  template <class Out>
  std::optional<Out> encode(const plat::Value& object, uint64_t options, uint64_t encodeOption,
                            const FormatterBlock& block, JDSerializerDelegate* delegate, const std::string& selector,
                            plat::Error* error);
  std::unique_ptr<JDEncodeState> encodeState;
};

namespace JDSerializing {
// NSString(JDSerializing): the string as one JSON string.
std::optional<plat::Data> JSONData(std::string_view string);
std::optional<plat::Data> JSONDataWithOptions(std::string_view string, uint64_t options, bool includeQuotes,
                                              plat::Error* error);
std::optional<std::string> JSONString(std::string_view string);
std::optional<std::string> JSONStringWithOptions(std::string_view string, uint64_t options, bool includeQuotes,
                                                 plat::Error* error);

// NSArray(JDSerializing) and NSDictionary(JDSerializing), with the block
// additions: the value must be an array or a dictionary.
std::optional<plat::Data> collectionJSONData(const plat::Value& collection);
std::optional<plat::Data> collectionJSONDataWithOptions(const plat::Value& collection, uint64_t options,
                                                        plat::Error* error);
std::optional<plat::Data> collectionJSONDataWithOptions(const plat::Value& collection, uint64_t options,
                                                        JDSerializerDelegate* delegate, const std::string& selector,
                                                        plat::Error* error);
std::optional<plat::Data> collectionJSONDataWithOptions(const plat::Value& collection, uint64_t options,
                                                        const JDSerializer::FormatterBlock& block, plat::Error* error);
std::optional<std::string> collectionJSONString(const plat::Value& collection);
std::optional<std::string> collectionJSONStringWithOptions(const plat::Value& collection, uint64_t options,
                                                           plat::Error* error);
std::optional<std::string> collectionJSONStringWithOptions(const plat::Value& collection, uint64_t options,
                                                           JDSerializerDelegate* delegate, const std::string& selector,
                                                           plat::Error* error);
std::optional<std::string> collectionJSONStringWithOptions(const plat::Value& collection, uint64_t options,
                                                           const JDSerializer::FormatterBlock& block,
                                                           plat::Error* error);
}  // namespace JDSerializing
