// The pieces of the benchmark documents that the JSON reading and writing
// benchmarks share: the Chinese file names and the 40-digit hashes.
#pragma once

#include <string>

namespace jsonbench {

inline const char* kNames[] = {"项目资料", "财务报表", "设计稿", "会议纪要", "合同", "产品需求文档", "市场分析", "测试报告"};

inline std::string hex40(unsigned seed) {
  static const char* digits = "0123456789abcdef";
  std::string s(40, '0');
  unsigned x = seed * 2654435761u + 12345;
  for (char& c : s) {
    x = x * 1103515245u + 12345;
    c = digits[(x >> 16) & 15];
  }
  return s;
}

}  // namespace jsonbench
