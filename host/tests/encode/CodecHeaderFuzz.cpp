#include <cstddef>
#include <cstdint>
#include <vector>

#include "encode/CodecHeaderStore.h"

namespace {

// A plain byte-by-byte scan to hold the store's faster one against.
struct Reference {
  std::vector<uint8_t> sps, pps, vps;

  static bool startsAt(const uint8_t* d, size_t i, size_t& length) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      length = 3;
      return true;
    }
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 0 && d[i + 3] == 1) {
      length = 4;
      return true;
    }
    return false;
  }

  void scan(const uint8_t* d, size_t size, bool hevc) {
    if (size < 5) {
      return;
    }
    size_t i = 0;
    while (i + 4 < size) {
      size_t length = 0;
      if (!startsAt(d, i, length)) {
        ++i;
        continue;
      }
      const size_t n = i + length;
      size_t e = size;
      for (size_t j = n + 1; j + 3 < size; ++j) {
        size_t unused = 0;
        if (startsAt(d, j, unused)) {
          e = j;
          break;
        }
      }
      const uint8_t h = d[n];
      std::vector<uint8_t>* target = nullptr;
      if (hevc) {
        target = (h & 0x7E) == 0x40 ? &vps : (h & 0x7E) == 0x42 ? &sps : (h & 0x7E) == 0x44 ? &pps : nullptr;
      } else {
        target = (h & 0x1F) == 7 ? &sps : (h & 0x1F) == 8 ? &pps : nullptr;
      }
      if (target != nullptr) {
        target->assign(d + n, d + e);
      }
      i = e;
    }
  }
};

}  // namespace

// The first byte picks the codec rule; the rest is scanned as one access unit, then its
// first half again under the other rule, so the second scan runs over earlier state.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  quorvane::host::CodecHeaderStore store;
  Reference reference;
  const bool hevc = (data[0] & 1) != 0;
  store.extract(data + 1, size - 1, hevc);
  reference.scan(data + 1, size - 1, hevc);
  store.extract(data + 1, (size - 1) / 2, !hevc);
  reference.scan(data + 1, (size - 1) / 2, !hevc);
  const auto headers = store.get();
  if (headers.sps != reference.sps || headers.pps != reference.pps || headers.vps != reference.vps ||
      headers.valid != (!headers.sps.empty() && !headers.pps.empty())) {
    __builtin_trap();
  }
  return 0;
}
