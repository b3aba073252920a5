// CRC-32 of NSDataExpand against zlib's crc32 over the same buffers.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>

#include "Framework/Staticclass/NSDataExpand.h"

namespace {

const plat::Data& buffer() {
  static const plat::Data d = [] {
    plat::Data b(size_t{64} << 20);
    std::mt19937 rng(1);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  }();
  return d;
}

void BM_NSDataExpand_crc32(benchmark::State& state) {
  NSDataExpand::Bytes bytes(buffer().data(), static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(NSDataExpand::crc32(bytes));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_zlib_crc32(benchmark::State& state) {
  const auto* p = buffer().data();
  auto n = static_cast<uInt>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(::crc32(0, p, n));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Another polynomial takes the byte-wise table: shown for scale, no reference.
void BM_NSDataExpand_crc32c(benchmark::State& state) {
  NSDataExpand::Bytes bytes(buffer().data(), static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(NSDataExpand::crc32WithSeed(bytes, 0xFFFFFFFF, 0x82F63B78));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

// Interleaved, so both sides of each pair run under the same conditions.
BENCHMARK(BM_NSDataExpand_crc32)->Arg(4096);
BENCHMARK(BM_zlib_crc32)->Arg(4096);
BENCHMARK(BM_NSDataExpand_crc32)->Arg(1 << 20);
BENCHMARK(BM_zlib_crc32)->Arg(1 << 20);
BENCHMARK(BM_NSDataExpand_crc32)->Arg(64 << 20);
BENCHMARK(BM_zlib_crc32)->Arg(64 << 20);
BENCHMARK(BM_NSDataExpand_crc32c)->Arg(1 << 20);

BENCHMARK_MAIN();
