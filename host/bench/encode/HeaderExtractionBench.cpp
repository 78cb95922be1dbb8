#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "encode/CodecHeaderStore.h"

namespace {

// An IDR access unit of about the size a 1920x1088 keyframe has: SPS, PPS and four slices
// of random payload (with the emulation-prevention byte a real stream would carry).
std::vector<uint8_t> keyframe(size_t payload) {
  std::mt19937 rng(7);
  std::vector<uint8_t> au = {0,    0, 0, 1, 0x67, 0x42, 0xC0, 0x28, 0x8C, 0x8D,
                             0x40, 0, 0, 0, 1,    0x68, 0xCE, 0x3C, 0x80};
  for (int slice = 0; slice < 4; ++slice) {
    au.insert(au.end(), {0, 0, 1, 0x65});
    for (size_t i = 0; i < payload / 4; ++i) {
      uint8_t b = static_cast<uint8_t>(rng());
      const size_t n = au.size();
      if (b <= 3 && au[n - 1] == 0 && au[n - 2] == 0) {
        au.push_back(3);
      }
      au.push_back(b);
    }
  }
  return au;
}

void BM_ExtractKeyframe(benchmark::State& state) {
  const auto au = keyframe(static_cast<size_t>(state.range(0)));
  quorvane::host::CodecHeaderStore store;
  for (auto _ : state) {
    store.extract(au.data(), au.size(), false);
    benchmark::DoNotOptimize(store);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * au.size()));
}
BENCHMARK(BM_ExtractKeyframe)->Arg(64 << 10)->Arg(256 << 10)->Arg(1 << 20);

}  // namespace
