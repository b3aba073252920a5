#include "Framework/SJSON/SJSONDeserializer.h"

#include "platform/foundation/run_loop.h"

using plat::Data;
using plat::Error;
using plat::Value;

const std::shared_ptr<SJSONScanner>& SJSONDeserializer::scanner() {
  if (!scanner_) scanner_ = std::make_shared<SJSONScanner>();
  return scanner_;
}

std::optional<Value> SJSONDeserializer::run(const uint8_t* bytes, size_t length, bool isNil, Top top, Error* outError) {
  if (isNil || length == 0) {
    if (outError) *outError = Error(kJSONDeserializerErrorDomain, kJSONDeserializerErrorCode_NothingToDeserialize);
    return std::nullopt;
  }
  SJSONScanner& s = *scanner();
  if (!s.setBytes(bytes, length, nullptr, outError)) return std::nullopt;
  std::optional<Value> result;
  bool ok = top == Top::Dictionary ? s.scanJSONDictionary(&result, outError)
            : top == Top::Array    ? s.scanJSONArray(&result, outError)
                                   : s.scanJSONObject(&result, outError);
  // The bytes were only borrowed for this call.
  s.SDataScanner::setData(nullptr);
  if (!ok) return std::nullopt;
  return result;
}

std::optional<Value> SJSONDeserializer::deserialize(const Data* data, Error* outError) {
  return run(data ? data->data() : nullptr, data ? data->size() : 0, !data, Top::Any, outError);
}

std::optional<Value> SJSONDeserializer::deserialize(std::string_view bytes, Error* outError) {
  return run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), false, Top::Any, outError);
}

std::optional<Value> SJSONDeserializer::deserializeAsDictionary(const Data* data, Error* outError) {
  return run(data ? data->data() : nullptr, data ? data->size() : 0, !data, Top::Dictionary, outError);
}

std::optional<Value> SJSONDeserializer::deserializeAsDictionary(std::string_view bytes, Error* outError) {
  return run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), false, Top::Dictionary, outError);
}

std::optional<Value> SJSONDeserializer::deserializeAsArray(const Data* data, Error* outError) {
  return run(data ? data->data() : nullptr, data ? data->size() : 0, !data, Top::Array, outError);
}

std::optional<Value> SJSONDeserializer::deserializeAsArray(std::string_view bytes, Error* outError) {
  return run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), false, Top::Array, outError);
}

void SJSONDeserializer::runLater(std::shared_ptr<const Data> data, Top top, CompletionBlock block) {
  if (!data || data->empty()) {
    Error e(kJSONDeserializerErrorDomain, kJSONDeserializerErrorCode_NothingToDeserialize);
    block(std::nullopt, &e);
    return;
  }
  std::shared_ptr<SJSONScanner> s = scanner();
  plat::MainThread::perform([s, data, top, block] {
    Error e;
    std::optional<Value> result;
    bool ok = s->setData(data, &e) &&
              (top == Top::Dictionary ? s->scanJSONDictionary(&result, &e) : s->scanJSONArray(&result, &e));
    plat::MainThread::perform([ok, result = std::move(result), e, block] {
      if (ok) {
        block(result, nullptr);
      } else {
        block(std::nullopt, &e);
      }
    });
  });
}

void SJSONDeserializer::deserializeAsDictionary(std::shared_ptr<const Data> data, CompletionBlock block) {
  runLater(std::move(data), Top::Dictionary, std::move(block));
}

void SJSONDeserializer::deserializeAsArray(std::shared_ptr<const Data> data, CompletionBlock block) {
  runLater(std::move(data), Top::Array, std::move(block));
}
