#include "audio/ToneTools.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace quorvane::host {
namespace {

// `seconds` of a sine of `hz` as 48 kHz stereo, both channels alike, starting at `phase`.
std::vector<int16_t> sine(double hz, double seconds, double phase = 0.0) {
  const auto frames = static_cast<size_t>(seconds * 48000);
  std::vector<int16_t> pcm(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    pcm[i * 2] = pcm[i * 2 + 1] = static_cast<int16_t>(
        8000 * std::sin(phase + 2 * std::numbers::pi * hz * static_cast<double>(i) / 48000));
  }
  return pcm;
}

void append(std::vector<int16_t>& to, const std::vector<int16_t>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

// The tone as a busy machine delivers it: silence where the player fell behind, and a stretch the
// capture lost (the tone goes on with a jump of phase). Neither moves the measured frequency.
TEST(ToneToolsTest, GapsInTheSoundDoNotMoveTheFrequency) {
  std::vector<int16_t> heard = sine(1000, 0.2);
  append(heard, std::vector<int16_t>(2 * 1920, 0));  // 40 ms of silence
  append(heard, sine(1000, 0.15, 1.3));
  append(heard, sine(1000, 0.15, 4.0));  // a lost stretch
  append(heard, std::vector<int16_t>(2 * 480, 0));
  for (size_t channel : {0u, 1u}) {
    EXPECT_NEAR(test::estimateFrequency(heard, channel), 1000.0, 0.5) << "channel " << channel;
  }
  // Silence before and after, and noise about zero, count for nothing.
  std::vector<int16_t> framed(2 * 4800, 0);
  std::mt19937 random(7);
  for (auto& sample : framed)
    sample = static_cast<int16_t>(std::uniform_int_distribution<int>(-900, 900)(random));
  EXPECT_EQ(test::estimateFrequency(framed, 0), 0.0);
  append(framed, sine(1000, 0.1));
  append(framed, std::vector<int16_t>(2 * 4800, 0));
  EXPECT_NEAR(test::estimateFrequency(framed, 0), 1000.0, 0.5);
}

// A tone that is really elsewhere shows, gaps or not: the microphone's 440 Hz, a 1 kHz tone at
// 44.1 kHz taken for 48 kHz, one off by 1 %.
TEST(ToneToolsTest, AToneThatIsReallyOffShows) {
  for (const double hz : {440.0, 1000.0 * 48000 / 44100, 1010.0, 990.0}) {
    std::vector<int16_t> heard = sine(hz, 0.3);
    append(heard, std::vector<int16_t>(2 * 960, 0));
    append(heard, sine(hz, 0.1, 2.0));
    EXPECT_NEAR(test::estimateFrequency(heard, 0), hz, 0.5) << hz;
  }
}

}  // namespace
}  // namespace quorvane::host
