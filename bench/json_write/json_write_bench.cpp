// Writing throughput of the JSON writers against RapidJSON's Writer and
// nlohmann/json's dump on the two large documents the client handles: a
// compare reply of 1000 changes with Chinese file names and a listing of
// 10,000 entries. Each library writes the same document from its own tree,
// built once before timing; the figure is output bytes per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "bench/json/json_documents.h"
#include "Framework/JSONCategories/JSONCategories.h"
#include "Framework/JSONDecoder/JDSerializer.h"
#include "Framework/SJSON/SJSONSerializer.h"

namespace {

using plat::Array;
using plat::Dictionary;
using plat::Value;

using jsonbench::hex40;
using jsonbench::kNames;

Value compareTree() {
  Array list;
  for (unsigned i = 0; i < 1000; ++i) {
    std::string name = std::string(kNames[i % 8]) + "_第" + std::to_string(i) + "版.docx";
    std::string path = std::string("/") + kNames[(i / 8) % 8] + "/" + kNames[(i / 64) % 8] + "/" + name;
    list.push_back(Value(Dictionary{{"hash", hex40(i)},
                                    {"fullpath", path},
                                    {"filename", name},
                                    {"filehash", hex40(i + 7)},
                                    {"filesize", static_cast<long long>(1024 + i * 977)},
                                    {"cmd", static_cast<int>(i % 3)},
                                    {"version", static_cast<int>(48000 + i)},
                                    {"last_member_id", static_cast<int>(100 + i % 9)},
                                    {"last_member_name", std::string("张") + kNames[(i + 3) % 8]},
                                    {"dateline", static_cast<long long>(1699990000 + i)},
                                    {"lock", 0},
                                    {"nosync", 0},
                                    {"local", 0},
                                    {"share", static_cast<int>(i % 2)},
                                    {"org_share", 0}}));
  }
  return Value(Dictionary{{"version", 48213}, {"dateline", 1700000000}, {"hasmore", 1}, {"list", Value(list)}});
}

Value listingTree() {
  Array list;
  for (unsigned i = 0; i < 10000; ++i) {
    std::string name = std::string(kNames[i % 8]) + "-" + std::to_string(i) + (i % 10 ? ".pdf" : "");
    list.push_back(Value(Dictionary{{"hash", hex40(i * 3)},
                                    {"fullpath", "/共享/" + name},
                                    {"filename", name},
                                    {"filehash", i % 10 ? hex40(i * 5) : std::string()},
                                    {"filesize", static_cast<long long>(i % 10 ? 4096 + i * 13 : 0)},
                                    {"dir", static_cast<int>(i % 10 == 0)},
                                    {"create_dateline", static_cast<long long>(1600000000 + i)},
                                    {"last_dateline", static_cast<long long>(1690000000 + i)},
                                    {"last_member_name", "李四"},
                                    {"lock", 0},
                                    {"share", 0}}));
  }
  return Value(Dictionary{{"count", 10000}, {"list", Value(list)}});
}

void toRapid(const Value& v, rapidjson::Value& out, rapidjson::Document::AllocatorType& a) {
  switch (v.kind()) {
    case Value::Kind::Null: out.SetNull(); break;
    case Value::Kind::Bool: out.SetBool(v.boolValue()); break;
    case Value::Kind::String: out.SetString(v.string().data(), static_cast<rapidjson::SizeType>(v.string().size()), a); break;
    case Value::Kind::Array:
      out.SetArray();
      for (const auto& e : v.array()) {
        rapidjson::Value x;
        toRapid(e, x, a);
        out.PushBack(x, a);
      }
      break;
    case Value::Kind::Dictionary:
      out.SetObject();
      for (const auto& [k, e] : v.dictionary()) {
        rapidjson::Value key(k.data(), static_cast<rapidjson::SizeType>(k.size()), a);
        rapidjson::Value x;
        toRapid(e, x, a);
        out.AddMember(key, x, a);
      }
      break;
    default: out.SetInt64(v.longLongValue()); break;
  }
}

nlohmann::json toNlohmann(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: return nullptr;
    case Value::Kind::Bool: return v.boolValue();
    case Value::Kind::String: return v.string();
    case Value::Kind::Array: {
      nlohmann::json j = nlohmann::json::array();
      for (const auto& e : v.array()) j.push_back(toNlohmann(e));
      return j;
    }
    case Value::Kind::Dictionary: {
      nlohmann::json j = nlohmann::json::object();
      for (const auto& [k, e] : v.dictionary()) j[k] = toNlohmann(e);
      return j;
    }
    default: return v.longLongValue();
  }
}

struct Doc {
  Value tree;
  rapidjson::Document rapid;
  nlohmann::json nl;
  explicit Doc(Value v) : tree(std::move(v)) {
    toRapid(tree, rapid, rapid.GetAllocator());
    nl = toNlohmann(tree);
  }
};

Doc& doc(char which) {
  static Doc a(compareTree());
  static Doc b(listingTree());
  return which == 'a' ? a : b;
}

template <class Write>
void run(benchmark::State& state, Write write) {
  size_t bytes = 0;
  for (auto _ : state) {
    size_t n = write();
    if (n == 0) state.SkipWithError("write failed");
    bytes += n;
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void registerAll() {
  for (char which : {'a', 'b'}) {
    std::string set = which == 'a' ? "compare_1000" : "listing_10000";
    auto add = [&](const char* who, std::function<size_t(Doc&)> write) {
      benchmark::RegisterBenchmark((set + "/" + who).c_str(), [which, write](benchmark::State& s) {
        Doc& d = doc(which);
        run(s, [&] { return write(d); });
      })->Unit(benchmark::kMicrosecond);
    };
    add("SJSONSerializer", [](Doc& d) {
      auto out = SJSONSerializer::serializer()->serializeObject(d.tree);
      return out ? out->size() : 0;
    });
    add("JDSerializer", [](Doc& d) {
      auto out = JDSerializing::collectionJSONString(d.tree);
      return out ? out->size() : 0;
    });
    add("JSONCategories", [](Doc& d) {
      auto out = JSONCategories::dictionaryJSONStringValueWithIndentLevel(d.tree, jsonDoNotIndent);
      return out ? out->size() : 0;
    });
    add("rapidjson_writer", [](Doc& d) {
      rapidjson::StringBuffer buffer;
      rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
      d.rapid.Accept(writer);
      return buffer.GetSize();
    });
    add("nlohmann_dump", [](Doc& d) { return d.nl.dump().size(); });
  }
}

}  // namespace

int main(int argc, char** argv) {
  registerAll();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
