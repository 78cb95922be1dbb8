#include "encode/EncoderHarness.h"

#include <gtest/gtest.h>

#include "encode/TestDecoder.h"

namespace quorvane::test {

host::EncoderConfig EncoderHarness::smallConfig() {
  host::EncoderConfig c;
  c.width = 256;
  c.height = 144;
  c.bitrate = 4000;
  c.maxBitrate = 6000;
  c.fps = 30;
  c.gopLength = 30;
  return c;
}

void EncoderHarness::record(host::EncoderBase& encoder, std::function<void()> also) {
  encoder.setFrameCallback([this, &encoder, also = std::move(also)](const host::EncodedFrame& f) {
    outputs.push_back({std::vector<uint8_t>(f.data, f.data + f.size), f.keyframe, f.timestamp, f.frameNumber,
                       encoder.getCodecHeaders().valid});
    if (also) {
      also();
    }
  });
}

bool EncoderHarness::encodePattern(host::EncoderBase& encoder, uint32_t frame, const host::EncoderConfig& c) {
  pictures.push_back(TestDevice::pattern(c.width, c.height, frame));
  auto texture = gpu_.texture(pictures.back(), c.width, c.height);
  return encoder.encodeFrame(texture.Get());
}

bool EncoderHarness::encodeNoise(host::EncoderBase& encoder, uint32_t seed, const host::EncoderConfig& c) {
  auto texture = gpu_.texture(TestDevice::noise(c.width, c.height, seed), c.width, c.height);
  return encoder.encodeFrame(texture.Get());
}

uint64_t EncoderHarness::meanSizeFrom(size_t first) const {
  if (first >= outputs.size()) {
    return 0;
  }
  uint64_t sum = 0;
  for (size_t i = first; i < outputs.size(); ++i) {
    sum += outputs[i].data.size();
  }
  return sum / (outputs.size() - first);
}

void EncoderHarness::expectDecodesToPictures() const {
  ASSERT_EQ(outputs.size(), pictures.size());
  TestDecoder decoder;
  for (size_t i = 0; i < outputs.size(); ++i) {
    std::vector<uint8_t> picture;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(decoder.decode(outputs[i].data, picture, w, h)) << "unit " << i;
    EXPECT_GE(TestDecoder::psnr(picture, pictures[i]), 35.0) << "unit " << i;
  }
}

}  // namespace quorvane::test
