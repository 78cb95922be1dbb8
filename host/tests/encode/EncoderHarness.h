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
  // Encodes `count` noise pictures; the mean output size of the last third of them.
  uint64_t encodeNoise(host::EncoderBase& encoder, uint32_t count, const host::EncoderConfig& config);
  // Encodes `count` pattern pictures with a keyframe request before picture `forced`: each
  // decodes to its picture within 35 dB PSNR and is numbered in order, and exactly the first and
  // the forced one are IDRs carrying SPS and PPS (with the headers valid in the callback).
  void expectStreamWithForcedKeyframe(host::EncoderBase& encoder, uint32_t count, uint32_t forced);

  std::vector<RecordedFrame> outputs;
  std::vector<std::vector<uint8_t>> pictures;

 private:
  TestDevice gpu_;
  uint32_t seed_ = 0;
};

}  // namespace quorvane::test
