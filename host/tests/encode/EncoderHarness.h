#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "encode/EncoderBase.h"
#include "encode/TestDevice.h"

namespace quorvane::test {

struct RecordedFrame {
  std::vector<uint8_t> data;
  bool keyframe = false;
  int64_t timestamp = 0;
  uint32_t frameNumber = 0;
  bool headersValid = false;  // what getCodecHeaders said from inside the callback
};

// Drives an encoder with test pictures on a Direct3D 11 device and keeps what comes out.
class EncoderHarness {
 public:
  // 256x144 at 30 fps, 4 / 6 Mbit/s, an IDR every 30 frames.
  static host::EncoderConfig smallConfig();

  ID3D11Device* device() const { return gpu_.device(); }

  // Installs a callback that records every access unit, then runs `also` in it.
  void record(host::EncoderBase& encoder, std::function<void()> also = {});
  bool encodePattern(host::EncoderBase& encoder, uint32_t frame,
                     const host::EncoderConfig& config = smallConfig());
  bool encodeNoise(host::EncoderBase& encoder, uint32_t seed,
                   const host::EncoderConfig& config = smallConfig());

  // Mean size of the recorded units from index `first` on.
  uint64_t meanSizeFrom(size_t first) const;
  // Every recorded unit decodes to its pattern picture within 35 dB PSNR.
  void expectDecodesToPictures() const;

  std::vector<RecordedFrame> outputs;
  std::vector<std::vector<uint8_t>> pictures;

 private:
  TestDevice gpu_;
};

}  // namespace quorvane::test
