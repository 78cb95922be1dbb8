#include "app/AudioPacketizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "audio/ToneTools.h"

namespace quorvane::host {
namespace {

// Collects every frame the packetiser hands on.
struct Frames {
  AudioPacketizer::FrameSink sink() {
    return [this](const int16_t* samples, uint32_t frameSize) {
      EXPECT_EQ(frameSize, 480u);
      pcm.insert(pcm.end(), samples, samples + 960);
      ++count;
    };
  }
  std::vector<int16_t> pcm;
  size_t count = 0;
};

// 48 kHz stereo callbacks of the given sizes: the frames handed on after each call, what
// stays buffered, and every sample passed through unchanged and in order.
TEST(AudioPacketizerTest, CutsFortyEightKilohertzStereoIntoWholeFrames) {
  const struct {
    std::vector<uint32_t> callbacks;
    std::vector<size_t> framesAfter;
    size_t left;
  } cases[] = {
      {{480, 480, 480}, {1, 2, 3}, 0},
      {{441, 441}, {0, 1}, 804},
      {{2000, 100}, {4, 4}, 360},  // larger than the 3840 samples reserved
  };
  for (const auto& c : cases) {
    AudioPacketizer packetizer;
    Frames frames;
    std::vector<int16_t> sent;
    for (size_t i = 0; i < c.callbacks.size(); ++i) {
      std::vector<int16_t> pcm(size_t{c.callbacks[i]} * 2);
      for (size_t k = 0; k < pcm.size(); ++k) pcm[k] = static_cast<int16_t>((sent.size() + k) * 7);
      sent.insert(sent.end(), pcm.begin(), pcm.end());
      packetizer.push(pcm.data(), c.callbacks[i], 48000, 2, frames.sink());
      EXPECT_EQ(frames.count, c.framesAfter[i]) << "callback " << i;
    }
    EXPECT_EQ(packetizer.bufferedSamples(), c.left);
    ASSERT_EQ(frames.pcm.size() + c.left, sent.size());
    EXPECT_TRUE(std::equal(frames.pcm.begin(), frames.pcm.end(), sent.begin()));
  }
}

// Half a second of a 1 kHz tone in each format, one after the other through one
// packetiser, in 10 ms callbacks: each comes out of the Opus round trip at 1 kHz on both
// sides, as exactly 50 frames (0.5 s at 48 kHz: the resampler keeps its fraction, so no
// sample is lost or gained).
TEST(AudioPacketizerTest, OtherFormatsComeOutAsFortyEightKilohertzStereo) {
  const struct {
    uint32_t rate, channels;
    std::vector<bool> tone;  // channels that carry the tone; the others are silent
  } formats[] = {
      {44100, 2, {true, true}},
      {96000, 2, {true, true}},
      {48000, 6, {true, true, true, false, false, false}},                // 5.1: front and centre
      {32000, 8, {false, false, true, false, false, false, true, true}},  // 7.1: centre and sides
  };
  AudioPacketizer packetizer;
  for (const auto& f : formats) {
    const std::string name = std::to_string(f.rate) + " Hz, " + std::to_string(f.channels) + " channels";
    Frames frames;
    const uint32_t perCallback = f.rate / 100;
    std::vector<int16_t> pcm(size_t{perCallback} * f.channels);
    for (size_t at = 0; at < f.rate / 2; at += perCallback) {
      for (size_t i = 0; i < perCallback; ++i) {
        const double t = static_cast<double>(at + i) / f.rate;
        const auto v =
            static_cast<int16_t>(std::lround(8000.0 * std::sin(2 * std::numbers::pi * 1000.0 * t)));
        for (size_t c = 0; c < f.channels; ++c) pcm[i * f.channels + c] = f.tone[c] ? v : 0;
      }
      packetizer.push(pcm.data(), perCallback, f.rate, f.channels, frames.sink());
    }
    EXPECT_EQ(frames.count, 50u) << name;

    const std::vector<int16_t> decoded = test::opusRoundTrip(frames.pcm);
    EXPECT_NEAR(test::estimateFrequency(decoded, 0), 1000.0, 5.0) << name;
    EXPECT_NEAR(test::estimateFrequency(decoded, 1), 1000.0, 5.0) << name;
  }
}

}  // namespace
}  // namespace quorvane::host
