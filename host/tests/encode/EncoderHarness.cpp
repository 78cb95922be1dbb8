#include "encode/EncoderHarness.h"

#include <gtest/gtest.h>

#include <algorithm>

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

uint64_t EncoderHarness::encodeNoise(host::EncoderBase& encoder, uint32_t count,
                                     const host::EncoderConfig& c) {
  const size_t first = outputs.size() + count - count / 3;
  for (uint32_t i = 0; i < count; ++i) {
    auto texture = gpu_.texture(TestDevice::noise(c.width, c.height, seed_++), c.width, c.height);
    if (!encoder.encodeFrame(texture.Get())) {
      ADD_FAILURE() << "noise picture " << i << " failed";
      return 0;
    }
  }
  uint64_t sum = 0;
  for (size_t i = first; i < outputs.size(); ++i) {
    sum += outputs[i].data.size();
  }
  return outputs.size() > first ? sum / (outputs.size() - first) : 0;
}

void EncoderHarness::expectStreamWithForcedKeyframe(host::EncoderBase& encoder, uint32_t count,
                                                    uint32_t forced) {
  const size_t first = outputs.size(), firstPicture = pictures.size();
  for (uint32_t i = 0; i < count; ++i) {
    if (i == forced) {
      encoder.requestKeyframe();
    }
    ASSERT_TRUE(encodePattern(encoder, i));
  }
  ASSERT_EQ(outputs.size(), first + count);
  TestDecoder decoder;
  for (uint32_t i = 0; i < count; ++i) {
    const RecordedFrame& out = outputs[first + i];
    std::vector<uint8_t> picture;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(decoder.decode(out.data, picture, w, h)) << "unit " << i;
    EXPECT_GE(TestDecoder::psnr(picture, pictures[firstPicture + i]), 35.0) << "unit " << i;
    EXPECT_EQ(out.frameNumber, first + i);
    const auto types = TestDecoder::nalTypes(out.data);
    const auto has = [&](int t) { return std::find(types.begin(), types.end(), t) != types.end(); };
    const bool idr = i == 0 || i == forced;
    EXPECT_EQ(out.keyframe, idr) << "unit " << i;
    EXPECT_EQ(has(5) && has(7) && has(8) && out.headersValid, idr) << "unit " << i;
  }
}

}  // namespace quorvane::test
