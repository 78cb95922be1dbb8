#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "encode/EncoderBase.h"

namespace quorvane::host {

// An encoder's record of the latest SPS, PPS and VPS, filled from the Annex-B keyframes
// it produces. Scans and copies are serialised by the store's own lock, which is never
// held outside those two calls.
class CodecHeaderStore {
 public:
  // Scans one access unit (start codes of 3 or 4 bytes) and keeps each parameter set it
  // carries, replacing older ones of the same kind. Units shorter than 5 bytes change
  // nothing. `hevc` picks the HEVC NAL header rule, otherwise H.264's.
  void extract(const uint8_t* data, size_t size, bool hevc);

  CodecHeaders get() const;

 private:
  mutable std::mutex mutex_;
  CodecHeaders headers_;
};

}  // namespace quorvane::host
