// A serializer that passes every value, at every depth, through named
// converters before writing it: a test block names the converter for a value
// (or none), the converter returns a replacement value or, as a Data value,
// ready JSON bytes that are inserted unchanged.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Framework/SJSON/SJSONSerializer.h"

class SFilteringJSONSerializer : public SJSONSerializer {
public:
  using Test = std::function<std::optional<std::string>(const plat::Value&)>;
  using Converter = std::function<std::optional<plat::Value>(const plat::Value&)>;

  SFilteringJSONSerializer() = default;

  void addTest(Test test) { tests_.push_back(std::move(test)); }
  void addConverter(Converter converter, const std::string& name) { convertersByName_[name] = std::move(converter); }
  const std::vector<Test>& tests() const { return tests_; }
  void setTests(std::vector<Test> t) { tests_ = std::move(t); }
  const std::map<std::string, Converter>& convertersByName() const { return convertersByName_; }
  void setConvertersByName(std::map<std::string, Converter> c) { convertersByName_ = std::move(c); }

protected:
  bool write(const plat::Value& object, plat::Data& out, int depth) override;

private:
  std::vector<Test> tests_;
  std::map<std::string, Converter> convertersByName_;
};
