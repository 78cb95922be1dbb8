#include "audio/OpusEncoder.h"

#include <gtest/gtest.h>
#include <opus.h>

#include <vector>

#include "audio/ToneTools.h"

namespace quorvane::host {
namespace {

constexpr size_t kFrame = 480;

// Encodes the stereo PCM in 10 ms frames with `config`; the packets.
std::vector<std::vector<uint8_t>> encode(const OpusConfig& config, const std::vector<int16_t>& pcm) {
  OpusAudioEncoder encoder;
  EXPECT_TRUE(encoder.initialize(config));
  std::vector<std::vector<uint8_t>> packets;
  for (size_t at = 0; at + kFrame * 2 <= pcm.size(); at += kFrame * 2) {
    packets.push_back(encoder.encode(pcm.data() + at, static_cast<int>(kFrame)));
    EXPECT_FALSE(packets.back().empty());
    EXPECT_LE(packets.back().size(), 4000u);
  }
  return packets;
}

TEST(OpusEncoderTest, PacketsDecodeBackToTheToneAndFollowTheBitrate) {
  const std::vector<int16_t> tone = test::tone(kFrame * 100);
  const std::vector<int16_t> decoded = test::opusRoundTrip(tone);
  EXPECT_NEAR(test::estimateFrequency(decoded, 1), 1000.0, 5.0);
  // The codec delays the signal by its look-ahead (the restricted low-delay application's: 2.5
  // ms); compared after the first 100 ms, better than 20 dB signal-to-noise.
  const size_t delay = 240;  // samples of both channels
  double errorEnergy = 0.0, signalEnergy = 0.0;
  for (size_t i = kFrame * 10 * 2; i < decoded.size(); ++i) {
    errorEnergy += (decoded[i] - tone[i - delay]) * double(decoded[i] - tone[i - delay]);
    signalEnergy += double(tone[i - delay]) * tone[i - delay];
  }
  EXPECT_LT(errorEnergy / signalEnergy, 0.01);

  // Mean packet size at 32 and at 256 kbps: a second of 10 ms packets takes about the bitrate.
  for (uint32_t bitrate : {32000u, 256000u}) {
    OpusConfig config;
    config.bitrate = bitrate;
    double bytes = 0;
    for (const auto& packet : encode(config, tone)) bytes += packet.size();
    EXPECT_NEAR(bytes * 8, bitrate, bitrate * 0.25) << bitrate;
  }
}

TEST(OpusEncoderTest, ConfigurationShapesThePacketsAndMisuseGivesEmptyOnes) {
  const std::vector<int16_t> pcm(kFrame * 4, 0);
  OpusAudioEncoder encoder;
  EXPECT_TRUE(encoder.encode(pcm.data(), static_cast<int>(kFrame)).empty());  // no encoder yet
  OpusConfig config;
  config.sampleRate = 44100;
  EXPECT_FALSE(encoder.initialize(config));
  EXPECT_TRUE(encoder.encode(pcm.data(), static_cast<int>(kFrame)).empty());

  struct Case {
    uint32_t rate, channels;
    bool lowDelay;
    int frames;   // handed to encode
    int samples;  // per channel in the packet; 0 for no packet
  };
  // Low delay fixes 10 ms frames: a longer input is cut to them, a shorter one refused.
  for (const Case& c :
       {Case{48000, 2, true, 480, 480}, Case{48000, 2, true, 960, 480}, Case{48000, 2, true, 100, 0},
        Case{48000, 2, false, 960, 960}, Case{24000, 1, true, 240, 240}}) {
    SCOPED_TRACE(::testing::Message() << c.rate << "/" << c.channels << "/" << c.lowDelay << "/" << c.frames);
    OpusAudioEncoder configured;
    ASSERT_TRUE(configured.initialize({c.rate, c.channels, 64000, 480, 5, c.lowDelay}));
    EXPECT_TRUE(configured.initialize(OpusConfig{}));  // a second initialize keeps the first
    const auto packet = configured.encode(pcm.data(), c.frames);
    ASSERT_EQ(packet.empty(), c.samples == 0);
    if (c.samples == 0) continue;
    EXPECT_EQ(opus_packet_get_nb_samples(packet.data(), static_cast<opus_int32>(packet.size()), c.rate),
              c.samples);
    EXPECT_EQ(opus_packet_get_nb_channels(packet.data()), static_cast<int>(c.channels));
    configured.shutdown();
    EXPECT_TRUE(configured.encode(pcm.data(), c.frames).empty());
    ASSERT_TRUE(configured.initialize(OpusConfig{}));  // can be created again after a shutdown
    EXPECT_FALSE(configured.encode(pcm.data(), static_cast<int>(kFrame)).empty());
  }
}

}  // namespace
}  // namespace quorvane::host
