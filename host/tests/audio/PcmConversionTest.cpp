#include "audio/PcmConversion.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace quorvane::host {
namespace {

using namespace PcmConversion;

TEST(PcmConversionTest, TruncatesTowardZeroAndClampsToTheRange) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::vector<float> in = {1.0f, -1.0f, -0.5f, 0.5f, 0.99999f, 1.5f, -2.0f, nan, -nan, inf, -inf, 0.0f};
  std::vector<int16_t> out(in.size(), 12345);
  floatToInt16(in.data(), in.size(), out.data());
  EXPECT_EQ(out, (std::vector<int16_t>{32767, -32767, -16383, 16383, 32766, 32767, -32767, 0, 0, 32767,
                                       -32767, 0}));
}

TEST(PcmConversionTest, OnlyThirtyTwoBitFloatsTakeTheFloatPath) {
  constexpr uint16_t kPcm = 0x0001, kFloat = kFormatTagIeeeFloat, kExt = kFormatTagExtensible;
  const struct {
    uint16_t tag, bits;
    bool floatSubFormat;
    SampleLayout layout;
  } cases[] = {{kFloat, 32, false, SampleLayout::Float32},     {kExt, 32, true, SampleLayout::Float32},
               {kFloat, 64, false, SampleLayout::Unsupported}, {kExt, 16, true, SampleLayout::Unsupported},
               {kExt, 16, false, SampleLayout::Int16},         {kPcm, 24, false, SampleLayout::Unsupported},
               {kExt, 32, false, SampleLayout::Unsupported}};
  for (const auto& c : cases) {
    EXPECT_EQ(classify(c.tag, c.bits, c.floatSubFormat), c.layout)
        << c.tag << "/" << c.bits << "/" << c.floatSubFormat;
  }
}

}  // namespace
}  // namespace quorvane::host
