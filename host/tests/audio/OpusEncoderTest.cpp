#include "audio/OpusEncoder.h"

#include <gtest/gtest.h>
#include <opus.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "audio/ToneTools.h"
#include "support/LogCapture.h"

namespace quorvane::host {
namespace {

constexpr size_t kFrame = 480;

TEST(OpusEncoderTest, TenMillisecondPacketsDecodeBackToTheTone) {
  // One second of a 1 kHz stereo tone at half scale, with the default configuration.
  std::vector<int16_t> tone(kFrame * 100 * 2);
  for (size_t i = 0; i < tone.size(); ++i) {
    const double t = static_cast<double>(i / 2) / 48000.0;
    tone[i] = static_cast<int16_t>(std::lround(0.5 * 32767.0 * std::sin(2 * std::numbers::pi * 1000.0 * t)));
  }
  const std::vector<int16_t> decoded = test::opusRoundTrip(tone);
  ASSERT_EQ(decoded.size(), tone.size());
  EXPECT_NEAR(test::estimateFrequency(decoded, 1), 1000.0, 5.0);

  // The codec delays the signal by its look-ahead; compare after the first 100 ms.
  int error = 0, delay = 0;
  OpusEncoder* probe = opus_encoder_create(48000, 2, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
  ASSERT_EQ(error, OPUS_OK);
  opus_encoder_ctl(probe, OPUS_GET_LOOKAHEAD(&delay));
  opus_encoder_destroy(probe);
  double errorEnergy = 0.0, signalEnergy = 0.0;
  for (size_t i = kFrame * 10 * 2; i < decoded.size(); ++i) {
    const double want = tone[i - static_cast<size_t>(delay) * 2];
    errorEnergy += (decoded[i] - want) * (decoded[i] - want);
    signalEnergy += want * want;
  }
  EXPECT_LT(errorEnergy / signalEnergy, 0.01);  // better than 20 dB signal-to-noise
}

TEST(OpusEncoderTest, MisuseGivesEmptyPacketsAndASecondInitializeKeepsTheFirst) {
  quorvane::test::LogCapture log;
  OpusAudioEncoder encoder;
  const std::vector<int16_t> pcm(kFrame * 2, 0);
  EXPECT_TRUE(encoder.encode(pcm.data(), kFrame).empty());

  OpusConfig config;
  config.sampleRate = 44100;
  EXPECT_FALSE(encoder.initialize(config));
  EXPECT_TRUE(log.contains("Failed to create Opus encoder: invalid argument"));
  EXPECT_TRUE(encoder.encode(pcm.data(), kFrame).empty());

  config = OpusConfig{};
  config.channels = 1;
  ASSERT_TRUE(encoder.initialize(config));
  EXPECT_TRUE(encoder.initialize(OpusConfig{}));
  const std::vector<uint8_t> packet = encoder.encode(pcm.data(), kFrame);
  ASSERT_FALSE(packet.empty());
  EXPECT_EQ(opus_packet_get_nb_channels(packet.data()), 1);  // still the first configuration
  EXPECT_TRUE(encoder.encode(pcm.data(), 100).empty());
  EXPECT_TRUE(log.contains("Opus encode error: invalid argument"));

  encoder.shutdown();
  EXPECT_TRUE(encoder.encode(pcm.data(), kFrame).empty());
  ASSERT_TRUE(encoder.initialize(OpusConfig{}));  // can be created again after a shutdown
  EXPECT_FALSE(encoder.encode(pcm.data(), kFrame).empty());
}

}  // namespace
}  // namespace quorvane::host
