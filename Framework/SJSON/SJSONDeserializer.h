// The front of the scanner-based JSON reader: the body of every successful
// service reply is read with SJSONDeserializer::deserializer() and
// deserialize(data, nullptr). An empty optional is nil (no result); a null
// Value is the JSON null.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "Framework/SJSON/SJSONScanner.h"

inline constexpr const char* kJSONDeserializerErrorDomain = "SJSONDeserializerErrorDomain";

enum {
  kJSONDeserializerErrorCode_NothingToDeserialize = -11,
};

class SJSONDeserializer {
public:
  using CompletionBlock = std::function<void(std::optional<plat::Value> result, const plat::Error* error)>;

  static std::unique_ptr<SJSONDeserializer> deserializer() { return std::make_unique<SJSONDeserializer>(); }

  // Made with default settings on first use.
  const std::shared_ptr<SJSONScanner>& scanner();
  void setScanner(std::shared_ptr<SJSONScanner> scanner) { scanner_ = std::move(scanner); }
  // The scanner's, not stored here.
  std::optional<plat::Value> nullObject() { return scanner()->nullObject(); }
  void setNullObject(std::optional<plat::Value> v) { scanner()->setNullObject(std::move(v)); }
  unsigned long allowedEncoding() { return scanner()->allowedEncoding(); }
  void setAllowedEncoding(unsigned long e) { scanner()->setAllowedEncoding(e); }
  // Stored only: the scanner keeps options of its own.
  unsigned long options() const { return options_; }
  void setOptions(unsigned long o) { options_ = o; }

  // Null data stands for nil data.
  std::optional<plat::Value> deserialize(const plat::Data* data, plat::Error* outError = nullptr);
  std::optional<plat::Value> deserialize(std::string_view bytes, plat::Error* outError = nullptr);
  std::optional<plat::Value> deserializeAsDictionary(const plat::Data* data, plat::Error* outError = nullptr);
  std::optional<plat::Value> deserializeAsDictionary(std::string_view bytes, plat::Error* outError = nullptr);
  std::optional<plat::Value> deserializeAsArray(const plat::Data* data, plat::Error* outError = nullptr);
  std::optional<plat::Value> deserializeAsArray(std::string_view bytes, plat::Error* outError = nullptr);

  // The scan runs on the main thread's run loop and the block is called
  // there afterwards; nil or empty data calls the block at once.
  void deserializeAsDictionary(std::shared_ptr<const plat::Data> data, CompletionBlock block);
  void deserializeAsArray(std::shared_ptr<const plat::Data> data, CompletionBlock block);

private:
  enum class Top { Any, Dictionary, Array };
  std::optional<plat::Value> run(const uint8_t* bytes, size_t length, bool isNil, Top top, plat::Error* outError);
  void runLater(std::shared_ptr<const plat::Data> data, Top top, CompletionBlock block);

  std::shared_ptr<SJSONScanner> scanner_;
  unsigned long options_ = 0;
};
