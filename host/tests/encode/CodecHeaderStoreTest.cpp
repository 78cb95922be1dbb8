#include "encode/CodecHeaderStore.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace quorvane::host {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

const Bytes kStart4 = {0, 0, 0, 1};
const Bytes kStart3 = {0, 0, 1};
const Bytes kSps = {0x67, 0x42, 0xC0, 0x1F, 0x8C, 0x8D};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33};

TEST(CodecHeaderStore, H264ParameterSetsAcrossStartCodeForms) {
  CodecHeaderStore store;
  const Bytes au = concat({kStart4, kSps, kStart4, kPps, kStart3, kIdr});
  store.extract(au.data(), au.size(), false);
  CodecHeaders h = store.get();
  EXPECT_EQ(h.sps, kSps);  // the four-byte start code's leading zero is not part of the SPS
  EXPECT_EQ(h.pps, kPps);
  EXPECT_TRUE(h.vps.empty());
  EXPECT_TRUE(h.valid);

  // A later keyframe with only a PPS replaces it and keeps the SPS.
  const Bytes newPps = {0x68, 0xEE, 0x01};
  const Bytes ppsOnly = concat({kStart3, newPps, kStart3, kIdr});
  store.extract(ppsOnly.data(), ppsOnly.size(), false);
  h = store.get();
  EXPECT_EQ(h.sps, kSps);
  EXPECT_EQ(h.pps, newPps);
  EXPECT_TRUE(h.valid);

  // Two SPS in one unit: the last one wins.
  const Bytes sps2 = {0x67, 0x64, 0x00, 0x28};
  const Bytes twice = concat({kStart3, kSps, kStart3, sps2, kStart3, kIdr});
  store.extract(twice.data(), twice.size(), false);
  EXPECT_EQ(store.get().sps, sps2);
}

TEST(CodecHeaderStore, EmulationPreventionBytesAreKeptVerbatim) {
  CodecHeaderStore store;
  const Bytes sps = {0x67, 0x42, 0x00, 0x00, 0x03, 0x00, 0x01, 0x1F};
  const Bytes au = concat({kStart4, sps, kStart4, kPps});
  store.extract(au.data(), au.size(), false);
  EXPECT_EQ(store.get().sps, sps);
  EXPECT_EQ(store.get().pps, kPps);  // runs to the last byte
}

TEST(CodecHeaderStore, ShortTruncatedOrParameterlessInputChangesNothing) {
  CodecHeaderStore store;
  const Bytes tiny = {0, 0, 1, 0x67};
  store.extract(tiny.data(), tiny.size(), false);
  store.extract(nullptr, 100, false);
  EXPECT_FALSE(store.get().valid);
  EXPECT_TRUE(store.get().sps.empty());

  const Bytes slicesOnly = concat({kStart4, kIdr, kStart3, {0x41, 0x9A, 0x02}});
  store.extract(slicesOnly.data(), slicesOnly.size(), false);
  EXPECT_TRUE(store.get().sps.empty());
  EXPECT_FALSE(store.get().valid);

  // A start code within the last four bytes is never examined.
  const Bytes tail = concat({kStart3, kIdr, {0x00, 0x00, 0x01, 0x67}});
  store.extract(tail.data(), tail.size(), false);
  EXPECT_TRUE(store.get().sps.empty());

  // A truncated SPS at the end is stored as far as it goes.
  const Bytes truncated = concat({kStart3, kIdr, kStart3, {0x67, 0x42, 0xC0}});
  store.extract(truncated.data(), truncated.size(), false);
  EXPECT_EQ(store.get().sps, Bytes({0x67, 0x42, 0xC0}));
  EXPECT_FALSE(store.get().valid);
}

TEST(CodecHeaderStore, HevcSetsOnlyUnderTheHevcRule) {
  const Bytes vps = {0x40, 0x01, 0x0C, 0x01};
  const Bytes sps = {0x42, 0x01, 0x01, 0x01, 0x60};
  const Bytes pps = {0x44, 0x01, 0xC1, 0x72};
  const Bytes idr = {0x26, 0x01, 0xAF, 0x10};
  const Bytes au = concat({kStart4, vps, kStart4, sps, kStart4, pps, kStart3, idr});

  CodecHeaderStore hevc;
  hevc.extract(au.data(), au.size(), true);
  CodecHeaders h = hevc.get();
  EXPECT_EQ(h.vps, vps);
  EXPECT_EQ(h.sps, sps);
  EXPECT_EQ(h.pps, pps);
  EXPECT_TRUE(h.valid);

  // Read by the H.264 rule the same bytes give no VPS (0x40, 0x42, 0x44 are types 0, 2, 4).
  CodecHeaderStore h264;
  h264.extract(au.data(), au.size(), false);
  EXPECT_TRUE(h264.get().vps.empty());
  EXPECT_FALSE(h264.get().valid);
}

TEST(EncoderConfig, CodecTextAndRateArithmetic) {
  EXPECT_TRUE(isHevcCodec("hevc"));
  EXPECT_TRUE(isHevcCodec("h265"));
  EXPECT_FALSE(isHevcCodec("HEVC"));
  EXPECT_FALSE(isHevcCodec("H265"));
  EXPECT_FALSE(isHevcCodec("h264"));
  EXPECT_FALSE(isHevcCodec("hevc "));

  EXPECT_EQ(kbpsToBitsPerSecond(20000), 20000000u);
  // Values whose bits per second do not fit 32 bits saturate instead of wrapping.
  EXPECT_EQ(kbpsToBitsPerSecond(5000000), std::numeric_limits<uint32_t>::max());
  EXPECT_EQ(vbvBufferBits(50000, 72), 694444u);
  EXPECT_EQ(vbvBufferBits(std::numeric_limits<uint32_t>::max(), 1), std::numeric_limits<uint32_t>::max());
  EXPECT_EQ(vbvBufferBits(50000, 0), 0u);

  EXPECT_STREQ(encoderTypeName(EncoderType::QuickSync), "QuickSync");
  EXPECT_STREQ(encoderTypeName(static_cast<EncoderType>(7)), "Unknown");
}

}  // namespace
}  // namespace quorvane::host
