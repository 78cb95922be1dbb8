#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/AudioPacketizer.h"
#include "audio/AudioFormatConverter.h"
#include "audio/ToneTools.h"

namespace quorvane::host {
namespace {

// Pushes one capture callback and appends every frame the packetiser hands on to `out`.
void push(AudioPacketizer& packetizer, const int16_t* pcm, size_t frames, uint32_t rate, uint32_t channels,
          std::vector<int16_t>& out) {
  packetizer.push(pcm, static_cast<uint32_t>(frames), rate, channels,
                  [&](const int16_t* samples, uint32_t size) {
                    EXPECT_EQ(size, 480u);
                    out.insert(out.end(), samples, samples + 960);
                  });
}

// One frame of each layout, given twice (a wrong frame stride shows), mixed by hand:
// centre and surrounds at 0.7071, back centre at 0.5 into both sides, LFE dropped.
TEST(AudioForwardingTest, MixesEachChannelLayoutDownToStereo) {
  const struct {
    std::vector<int16_t> frame;
    int16_t left, right;
  } cases[] = {
      {{-32768}, -32768, -32768},                                  // mono
      {{1000, 2000, 10000}, 8071, 9071},                           // 3.0
      {{0, 0, 10000, -10000}, 7071, -7071},                        // quad
      {{0, 0, 0, 10000, -10000}, 7071, -7071},                     // 5.0
      {{100, 200, 10000, 30000, 20000, -20000}, 21313, -6871},     // 5.1
      {{0, 0, 0, 30000, 10000, 20000, -20000}, 19142, -9142},      // 6.1
      {{0, 0, 0, 30000, 10000, 0, 0, 20000}, 7071, 14142},         // 7.1
      {std::vector<int16_t>(8, 32767), 32767, 32767},              // 7.1, saturated
      {std::vector<int16_t>(8, -32768), -32768, -32768},           // 7.1, saturated
      {{1000, 2000, 0, 0, 0, 0, 0, 0, 30000, 30000}, 1000, 2000},  // the first eight as 7.1
  };
  for (const auto& c : cases) {
    AudioFormatConverter converter;
    std::vector<int16_t> input = c.frame;
    input.insert(input.end(), c.frame.begin(), c.frame.end());
    const std::span<const int16_t> out = converter.convert(input.data(), 2, 48000, c.frame.size());
    EXPECT_EQ(std::vector<int16_t>(out.begin(), out.end()),
              (std::vector<int16_t>{c.left, c.right, c.left, c.right}))
        << c.frame.size() << " channels";
  }
  // Formats it cannot take give nothing; a good one afterwards is converted again.
  AudioFormatConverter converter;
  const std::vector<int16_t> pcm(960, 100);
  for (const auto& [rate, channels] : {std::pair{48000u, 0u}, {0u, 2u}, {4000u, 2u}, {1000000u, 2u}}) {
    EXPECT_TRUE(converter.convert(pcm.data(), 480, rate, channels).empty()) << rate << " Hz, " << channels;
  }
  EXPECT_TRUE(converter.convert(nullptr, 480, 48000, 2).empty());
  EXPECT_EQ(converter.convert(pcm.data(), 480, 48000, 2).size(), 960u);
}

// 48 kHz stereo callbacks of these sizes: frames handed on after each, samples left
// buffered, and every sample passed on unchanged and in order.
TEST(AudioForwardingTest, CutsFortyEightKilohertzStereoIntoWholeFrames) {
  const struct {
    std::vector<size_t> callbacks, framesAfter;
    size_t left;
  } cases[] = {
      {{480, 480, 480}, {1, 2, 3}, 0},
      {{441, 441}, {0, 1}, 804},
      {{2000, 100}, {4, 4}, 360},  // beyond the 3840 samples reserved
  };
  for (const auto& c : cases) {
    AudioPacketizer packetizer;
    std::vector<int16_t> sent, out;
    for (size_t i = 0; i < c.callbacks.size(); ++i) {
      std::vector<int16_t> pcm(c.callbacks[i] * 2);
      for (size_t k = 0; k < pcm.size(); ++k) pcm[k] = static_cast<int16_t>((sent.size() + k) * 7);
      sent.insert(sent.end(), pcm.begin(), pcm.end());
      push(packetizer, pcm.data(), c.callbacks[i], 48000, 2, out);
      EXPECT_EQ(out.size(), c.framesAfter[i] * 960) << "callback " << i;
    }
    EXPECT_EQ(packetizer.bufferedSamples(), c.left);
    sent.resize(sent.size() - c.left);
    EXPECT_EQ(out, sent);
  }
}

// Half a second of a 1 kHz tone in each format, one after the other through one
// packetiser in 10 ms callbacks: exactly 50 frames each (the resampler keeps its
// fraction), at 1 kHz on both sides.
TEST(AudioForwardingTest, OtherFormatsComeOutAsFortyEightKilohertzStereo) {
  const struct {
    uint32_t rate;
    std::vector<bool> tone;  // per channel: carries the tone, or is silent
  } formats[] = {
      {44100, {true, true}},
      {96000, {true, true}},
      {48000, {true, true, true, false, false, false}},                // 5.1: front and centre
      {32000, {false, false, true, false, false, false, true, true}},  // 7.1: centre and sides
  };
  AudioPacketizer packetizer;
  for (const auto& f : formats) {
    const auto channels = static_cast<uint32_t>(f.tone.size());
    const std::vector<int16_t> pcm = test::tone(f.rate / 2, f.rate, f.tone);
    std::vector<int16_t> out;
    for (size_t at = 0; at < pcm.size(); at += size_t{f.rate / 100} * channels) {
      push(packetizer, pcm.data() + at, f.rate / 100, f.rate, channels, out);
    }
    const std::string name = std::to_string(f.rate) + " Hz, " + std::to_string(channels) + " channels";
    EXPECT_EQ(out.size(), 50u * 960) << name;
    const std::vector<int16_t> heard = test::opusRoundTrip(out);  // as the client hears it
    EXPECT_NEAR(test::estimateFrequency(heard, 0), 1000.0, 5.0) << name;
    EXPECT_NEAR(test::estimateFrequency(heard, 1), 1000.0, 5.0) << name;
  }
}

}  // namespace
}  // namespace quorvane::host
