#include <cstddef>
#include <cstdint>
#include <vector>

#include "encode/CodecHeaderStore.h"

// A plain byte-by-byte scan to hold the store's faster one against: keeps the last VPS, SPS and
// PPS in sets[0], sets[1], sets[2].
static void referenceScan(const uint8_t* d, size_t size, bool hevc, std::vector<uint8_t>* sets) {
  const auto startCode = [&](size_t i) -> size_t {  // its length at i, or 0
    return d[i] != 0 || d[i + 1] != 0 ? 0 : d[i + 2] == 1 ? 3 : d[i + 2] == 0 && d[i + 3] == 1 ? 4 : 0;
  };
  for (size_t i = 0; i + 4 < size;) {
    if (startCode(i) == 0) {
      ++i;
      continue;
    }
    const size_t n = i + startCode(i);
    size_t e = n + 1;
    while (e + 3 < size && startCode(e) == 0) ++e;
    e = e + 3 < size ? e : size;
    const int index = hevc ? ((d[n] & 0x7E) >> 1) - 32 : (d[n] & 0x1F) - 6;  // VPS 32..PPS 34; SPS 7, PPS 8
    if (index >= (hevc ? 0 : 1) && index <= 2) sets[index].assign(d + n, d + e);
    i = e;
  }
}

// The first byte picks the codec rule; the rest is scanned as one access unit, then its
// first half again under the other rule, so the second scan runs over earlier state.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  quorvane::host::CodecHeaderStore store;
  std::vector<uint8_t> sets[3];
  for (const auto& [length, hevc] :
       {std::pair{size - 1, (data[0] & 1) != 0}, {(size - 1) / 2, (data[0] & 1) == 0}}) {
    store.extract(data + 1, length, hevc);
    referenceScan(data + 1, length, hevc, sets);
  }
  const auto headers = store.get();
  if (headers.vps != sets[0] || headers.sps != sets[1] || headers.pps != sets[2] ||
      headers.valid != (!headers.sps.empty() && !headers.pps.empty())) {
    __builtin_trap();
  }
  return 0;
}
