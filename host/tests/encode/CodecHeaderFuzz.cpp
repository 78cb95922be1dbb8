#include <cstddef>
#include <cstdint>
#include <vector>

#include "encode/CodecHeaderStore.h"

namespace {

// A plain byte-by-byte scan to hold the store's faster one against: the length of a start code
// at i, or 0.
size_t startCodeLength(const uint8_t* d, size_t i) {
  if (d[i] != 0 || d[i + 1] != 0) return 0;
  return d[i + 2] == 1 ? 3 : (d[i + 2] == 0 && d[i + 3] == 1) ? 4 : 0;
}

// Keeps the last VPS, SPS and PPS in sets[0], sets[1], sets[2].
void referenceScan(const uint8_t* d, size_t size, bool hevc, std::vector<uint8_t>* sets) {
  for (size_t i = 0; i + 4 < size;) {
    const size_t length = startCodeLength(d, i);
    if (length == 0) {
      ++i;
      continue;
    }
    const size_t n = i + length;
    size_t e = n + 1;
    while (e + 3 < size && startCodeLength(d, e) == 0) ++e;
    if (e + 3 >= size) e = size;
    const int type = hevc ? (d[n] & 0x7E) >> 1 : d[n] & 0x1F;
    const int index = hevc ? type - 32 : type - 6;  // VPS 32, SPS 33, PPS 34; SPS 7, PPS 8
    if (index >= (hevc ? 0 : 1) && index <= 2) sets[index].assign(d + n, d + e);
    i = e;
  }
}

}  // namespace

// The first byte picks the codec rule; the rest is scanned as one access unit, then its
// first half again under the other rule, so the second scan runs over earlier state.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  quorvane::host::CodecHeaderStore store;
  std::vector<uint8_t> sets[3];
  const bool hevc = (data[0] & 1) != 0;
  store.extract(data + 1, size - 1, hevc);
  referenceScan(data + 1, size - 1, hevc, sets);
  store.extract(data + 1, (size - 1) / 2, !hevc);
  referenceScan(data + 1, (size - 1) / 2, !hevc, sets);
  const auto headers = store.get();
  if (headers.vps != sets[0] || headers.sps != sets[1] || headers.pps != sets[2] ||
      headers.valid != (!headers.sps.empty() && !headers.pps.empty())) {
    __builtin_trap();
  }
  return 0;
}
