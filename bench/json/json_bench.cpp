// Parse throughput and allocations per parse of the two JSON readers against
// RapidJSON's DOM parse and nlohmann/json, on the shapes of text the client
// reads most: a compare reply of 1000 changes with Chinese file names, a
// listing of 10,000 entries, and many small error bodies.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <rapidjson/document.h>

#include "bench/json/json_documents.h"
#include "Framework/JSONDecoder/JSONDecoder.h"
#include "Framework/SJSON/SJSONDeserializer.h"

// Every allocation of the process goes through malloc, so counting there
// counts all three libraries alike.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
static std::atomic<unsigned long> gAllocations{0};
extern "C" void* malloc(size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t a, size_t b) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(a, b);
}
extern "C" void* realloc(void* p, size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}

namespace {

using jsonbench::hex40;
using jsonbench::kNames;

// Appends each piece in turn (chains of + trip a false -Wrestrict in GCC 12).
template <class... P>
void add(std::string& s, const P&... pieces) {
  (s.append(pieces), ...);
}

std::string compareReply() {
  std::string s = "{\"version\":48213,\"dateline\":1700000000,\"hasmore\":1,\"list\":[";
  for (unsigned i = 0; i < 1000; ++i) {
    std::string name;
    add(name, kNames[i % 8], "_第", std::to_string(i), "版.docx");
    std::string path;
    add(path, "/", kNames[(i / 8) % 8], "/", kNames[(i / 64) % 8], "/", name);
    if (i) s += ",";
    add(s, "{\"hash\":\"", hex40(i), "\",\"fullpath\":\"", path, "\",\"filename\":\"", name,
        "\",\"filehash\":\"", hex40(i + 7), "\",\"filesize\":", std::to_string(1024 + i * 977));
    add(s, ",\"cmd\":", std::to_string(i % 3), ",\"version\":", std::to_string(48000 + i),
        ",\"last_member_id\":", std::to_string(100 + i % 9), ",\"last_member_name\":\"张", kNames[(i + 3) % 8],
        "\",\"dateline\":", std::to_string(1699990000 + i));
    add(s, ",\"lock\":0,\"nosync\":0,\"local\":0,\"share\":", std::to_string(i % 2), ",\"org_share\":0}");
  }
  return s + "]}";
}

std::string listing() {
  std::string s = "{\"count\":10000,\"list\":[";
  for (unsigned i = 0; i < 10000; ++i) {
    std::string name;
    add(name, kNames[i % 8], "-", std::to_string(i), i % 10 ? ".pdf" : "");
    if (i) s += ",";
    add(s, "{\"hash\":\"", hex40(i * 3), "\",\"fullpath\":\"/共享/", name, "\",\"filename\":\"", name,
        "\",\"filehash\":\"", i % 10 ? hex40(i * 5) : std::string(), "\",\"filesize\":",
        std::to_string(i % 10 ? 4096 + i * 13 : 0));
    add(s, ",\"dir\":", std::to_string(i % 10 == 0), ",\"create_dateline\":", std::to_string(1600000000 + i),
        ",\"last_dateline\":", std::to_string(1690000000 + i), ",\"last_member_name\":\"李四\",\"lock\":0,\"share\":0}");
  }
  return s + "]}";
}

std::vector<std::string> errorBodies() {
  const char* messages[] = {"token expired", "访问令牌已过期", "file not exist", "文件不存在", "no permission",
                            "空间不足"};
  std::vector<std::string> v;
  for (unsigned i = 0; i < 1000; ++i) {
    std::string body;
    add(body, "{\"error_code\":", std::to_string(40100 + i % 50), ",\"error_msg\":\"", messages[i % 6], "\"}");
    v.push_back(std::move(body));
  }
  return v;
}

const std::string& textA() {
  static const std::string t = compareReply();
  return t;
}
const std::string& textB() {
  static const std::string t = listing();
  return t;
}
const std::vector<std::string>& textsC() {
  static const std::vector<std::string> t = errorBodies();
  return t;
}

template <class Parse>
void run(benchmark::State& state, const std::vector<const std::string*>& docs, Parse parse) {
  size_t bytes = 0;
  for (const auto* d : docs) bytes += d->size();
  unsigned long allocs = 0, iterations = 0;
  for (auto _ : state) {
    unsigned long before = gAllocations.load(std::memory_order_relaxed);
    for (const auto* d : docs) {
      bool ok = parse(*d);
      if (!ok) state.SkipWithError("parse failed");
      benchmark::DoNotOptimize(ok);
    }
    allocs += gAllocations.load(std::memory_order_relaxed) - before;
    ++iterations;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["allocs_per_doc"] = static_cast<double>(allocs) / static_cast<double>(iterations * docs.size());
}

std::vector<const std::string*> docs(char which) {
  if (which == 'a') return {&textA()};
  if (which == 'b') return {&textB()};
  std::vector<const std::string*> v;
  for (const auto& t : textsC()) v.push_back(&t);
  return v;
}

bool sjson(const std::string& t) {
  auto v = SJSONDeserializer::deserializer()->deserialize(t, nullptr);
  return v && v->isDictionary();
}
bool jsondecoder(const std::string& t) {
  auto v = JDDeserializing::objectFromJSONString(t);
  return v && v->isDictionary();
}
bool rapid(const std::string& t) {
  rapidjson::Document d;
  d.Parse(t.data(), t.size());
  return !d.HasParseError() && d.IsObject();
}
bool nlohmannParse(const std::string& t) {
  auto j = nlohmann::json::parse(t);
  return j.is_object();
}

void registerAll() {
  for (char which : {'a', 'b', 'c'}) {
    std::string set = which == 'a' ? "compare_1000" : which == 'b' ? "listing_10000" : "error_bodies";
    auto add = [&](const char* who, bool (*parse)(const std::string&)) {
      benchmark::RegisterBenchmark((set + "/" + who).c_str(),
                                   [which, parse](benchmark::State& s) { run(s, docs(which), parse); })
          ->Unit(benchmark::kMicrosecond);
    };
    add("SJSONDeserializer", sjson);
    add("JSONDecoder", jsondecoder);
    add("rapidjson_dom", rapid);
    add("nlohmann_json", nlohmannParse);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::fprintf(stderr, "sizes: compare reply %zu bytes, listing %zu bytes, %zu error bodies\n", textA().size(),
               textB().size(), textsC().size());
  registerAll();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
