#include "audio/PcmConversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quorvane::host {
namespace {

using PcmConversion::SampleLayout;

TEST(PcmConversionTest, TruncatesTowardZeroAndClampsToTheRange) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> in = {1.0f, -1.0f, -0.5f, 0.5f, 0.99999f, 1.5f, -2.0f, nan, -nan, inf, -inf, 0.0f};
  const std::vector<int16_t> expected = {32767,  -32767, -16383, 16383, 32766,  32767,
                                         -32767, 0,      0,      32767, -32767, 0};
  std::vector<int16_t> out(in.size(), 12345);
  PcmConversion::floatToInt16(in.data(), in.size(), out.data());
  EXPECT_EQ(out, expected);
}

TEST(PcmConversionTest, OnlyThirtyTwoBitFloatsTakeTheFloatPath) {
  constexpr uint16_t kPcm = 0x0001;
  EXPECT_EQ(PcmConversion::classify(PcmConversion::kFormatTagIeeeFloat, 32, false), SampleLayout::Float32);
  EXPECT_EQ(PcmConversion::classify(PcmConversion::kFormatTagExtensible, 32, true), SampleLayout::Float32);
  EXPECT_EQ(PcmConversion::classify(PcmConversion::kFormatTagIeeeFloat, 64, false),
            SampleLayout::Unsupported);
  EXPECT_EQ(PcmConversion::classify(PcmConversion::kFormatTagExtensible, 64, true),
            SampleLayout::Unsupported);
  EXPECT_EQ(PcmConversion::classify(PcmConversion::kFormatTagExtensible, 16, true),
            SampleLayout::Unsupported);

  EXPECT_EQ(PcmConversion::classify(kPcm, 16, false), SampleLayout::Int16);
  EXPECT_EQ(PcmConversion::classify(PcmConversion::kFormatTagExtensible, 16, false), SampleLayout::Int16);
  EXPECT_EQ(PcmConversion::classify(kPcm, 24, false), SampleLayout::Unsupported);
  EXPECT_EQ(PcmConversion::classify(PcmConversion::kFormatTagExtensible, 32, false),
            SampleLayout::Unsupported);
}

}  // namespace
}  // namespace quorvane::host
