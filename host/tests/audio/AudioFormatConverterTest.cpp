#include "audio/AudioFormatConverter.h"

#include <gtest/gtest.h>

#include <vector>

namespace quorvane::host {
namespace {

// One frame of each channel count, given twice at 48 kHz (so a wrong frame stride shows),
// mixed to stereo by hand: centre and surrounds at 0.7071, back centre at 0.5 into both
// sides, LFE dropped.
TEST(AudioFormatConverterTest, MixesEachChannelLayoutDownToStereo) {
  const struct {
    const char* name;
    std::vector<int16_t> frame;
    int16_t left, right;
  } cases[] = {
      {"mono", {1000}, 1000, 1000},
      {"mono, most negative", {-32768}, -32768, -32768},
      {"3.0", {1000, 2000, 10000}, 8071, 9071},
      {"quad", {0, 0, 10000, -10000}, 7071, -7071},
      {"5.0", {0, 0, 0, 10000, -10000}, 7071, -7071},
      {"5.1", {100, 200, 10000, 30000, 20000, -20000}, 21313, -6871},
      {"6.1", {0, 0, 0, 30000, 10000, 20000, -20000}, 19142, -9142},
      {"7.1", {0, 0, 0, 30000, 10000, 0, 0, 20000}, 7071, 14142},
      {"7.1 at full scale", {32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767}, 32767, 32767},
      {"7.1 at negative full scale",
       {-32768, -32768, -32768, -32768, -32768, -32768, -32768, -32768},
       -32768,
       -32768},
      {"ten channels: the first eight as 7.1", {1000, 2000, 0, 0, 0, 0, 0, 0, 30000, 30000}, 1000, 2000},
  };
  for (const auto& c : cases) {
    AudioFormatConverter converter;
    std::vector<int16_t> input = c.frame;
    input.insert(input.end(), c.frame.begin(), c.frame.end());
    const auto channels = static_cast<uint32_t>(c.frame.size());
    const std::span<const int16_t> out = converter.convert(input.data(), 2, 48000, channels);
    EXPECT_EQ(std::vector<int16_t>(out.begin(), out.end()),
              (std::vector<int16_t>{c.left, c.right, c.left, c.right}))
        << c.name;
  }
}

TEST(AudioFormatConverterTest, RefusesFormatsItCannotConvertAndRecovers) {
  AudioFormatConverter converter;
  const std::vector<int16_t> pcm(960, 100);
  const struct {
    const int16_t* samples;
    uint32_t rate, channels;
  } refused[] = {{pcm.data(), 48000, 0},
                 {pcm.data(), 0, 2},
                 {pcm.data(), 4000, 2},
                 {pcm.data(), 1000000, 2},
                 {nullptr, 48000, 2}};
  for (const auto& r : refused) {
    EXPECT_TRUE(converter.convert(r.samples, 480, r.rate, r.channels).empty()) << r.rate << "/" << r.channels;
  }
  EXPECT_EQ(converter.convert(pcm.data(), 480, 48000, 2).size(), 960u);
}

}  // namespace
}  // namespace quorvane::host
