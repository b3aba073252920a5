#include "Framework/SJSON/SJSONSerialization.h"

#include "Framework/SJSON/SJSONDeserializer.h"

bool SJSONSerialization::isValidJSONObject(const plat::Value& object) {
  return SJSONSerializer::serializer()->isValidJSONObject(object);
}

std::optional<plat::Data> SJSONSerialization::dataWithJSONObject(const plat::Value& object, unsigned long,
                                                                 plat::Error* error) {
  return SJSONSerializer::serializer()->serializeObject(object, error);
}

std::optional<plat::Value> SJSONSerialization::JSONObjectWithData(const plat::Data& data, unsigned long options,
                                                                  plat::Error* error) {
  auto d = SJSONDeserializer::deserializer();
  d->setOptions(options);
  return d->deserialize(&data, error);
}

long SJSONSerialization::writeJSONObject(const plat::Value& object, SJSONOutputStream& stream, unsigned long options,
                                         plat::Error* error) {
  std::optional<plat::Data> data = dataWithJSONObject(object, options, error);
  if (!data) return -1;
  size_t done = 0;
  while (done < data->size()) {
    long n = stream.write(data->data() + done, data->size() - done);
    if (n <= 0 || static_cast<size_t>(n) > data->size() - done) return -1;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

std::optional<plat::Value> NSDictionary_JSONExtensions::dictionaryWithJSONData(const plat::Data& data,
                                                                               plat::Error* error) {
  return SJSONDeserializer::deserializer()->deserialize(&data, error);
}

std::optional<plat::Value> NSDictionary_JSONExtensions::dictionaryWithJSONString(std::string_view string,
                                                                                 plat::Error* error) {
  plat::Data data(string.begin(), string.end());
  return dictionaryWithJSONData(data, error);
}
