#include <cstddef>
#include <cstdint>

#include "encode/CodecHeaderStore.h"

// The first byte picks the codec rule; the rest is scanned as one access unit, twice,
// so that the second scan runs over state the first one left.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  quorvane::host::CodecHeaderStore store;
  const bool hevc = (data[0] & 1) != 0;
  store.extract(data + 1, size - 1, hevc);
  store.extract(data + 1, (size - 1) / 2, !hevc);
  const auto headers = store.get();
  if (headers.valid != (!headers.sps.empty() && !headers.pps.empty())) {
    __builtin_trap();
  }
  return 0;
}
