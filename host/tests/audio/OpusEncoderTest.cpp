#include "audio/OpusEncoder.h"

#include <gtest/gtest.h>
#include <opus.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "audio/OpusRoundTrip.h"
#include "audio/ToneAnalysis.h"

namespace quorvane::host {
namespace {

constexpr int kFrame = 480;
constexpr double kRate = 48000.0;

class OpusEncoderTest : public ::testing::Test {
 protected:
  bool logged(const std::string& text) const { return log.count(text) > 0; }

  quorvane::test::LogCapture log;
};

TEST_F(OpusEncoderTest, TenMillisecondPacketsDecodeBackToTheTone) {
  // 48 kHz stereo, 128 kbps, 10 ms frames: the default configuration.
  constexpr int kPackets = 100;  // one second
  const std::vector<int16_t> tone = test::stereoTone(1000.0, 0.5, kRate, kFrame * kPackets);
  const std::vector<int16_t> decoded = test::opusRoundTrip(tone);
  ASSERT_EQ(decoded.size(), tone.size());

  // The codec delays the signal by its look-ahead; compare after the first 100 ms.
  int delay = 0;
  {
    int err = 0;
    OpusEncoder* probe = opus_encoder_create(48000, 2, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &err);
    ASSERT_EQ(err, OPUS_OK);
    opus_encoder_ctl(probe, OPUS_GET_LOOKAHEAD(&delay));
    opus_encoder_destroy(probe);
  }
  const size_t skip = kFrame * 10;
  double errorEnergy = 0.0;
  double signalEnergy = 0.0;
  for (size_t i = skip; i < decoded.size() / 2; ++i) {
    for (size_t c = 0; c < 2; ++c) {
      const double want = tone[(i - static_cast<size_t>(delay)) * 2 + c];
      const double got = decoded[i * 2 + c];
      errorEnergy += (got - want) * (got - want);
      signalEnergy += want * want;
    }
  }
  // Better than 20 dB signal-to-noise at 128 kbps.
  EXPECT_LT(errorEnergy / signalEnergy, 0.01);
  const std::vector<int16_t> tail(decoded.begin() + skip * 2, decoded.end());
  EXPECT_NEAR(test::estimateFrequency(tail, 2, 0, kRate), 1000.0, 5.0);
  EXPECT_NEAR(test::rms(tail, 2, 1), 0.5 / std::sqrt(2.0), 0.03);
}

TEST_F(OpusEncoderTest, SecondInitializeKeepsTheFirstConfiguration) {
  OpusAudioEncoder encoder;
  OpusConfig mono;
  mono.channels = 1;
  ASSERT_TRUE(encoder.initialize(mono));
  OpusConfig stereo;
  EXPECT_TRUE(encoder.initialize(stereo));
  EXPECT_TRUE(logged("Opus encoder already initialized"));
  // Still mono: a 960-sample buffer is two frames' worth, and decodes as one channel.
  const std::vector<int16_t> pcm(kFrame, 0);
  const std::vector<uint8_t> packet = encoder.encode(pcm.data(), kFrame);
  ASSERT_FALSE(packet.empty());
  EXPECT_EQ(opus_packet_get_nb_channels(packet.data()), 1);
}

TEST_F(OpusEncoderTest, FailuresGiveEmptyPackets) {
  OpusAudioEncoder encoder;
  const std::vector<int16_t> pcm(kFrame * 2, 0);
  EXPECT_TRUE(encoder.encode(pcm.data(), kFrame).empty());

  OpusConfig bad;
  bad.sampleRate = 44100;
  EXPECT_FALSE(encoder.initialize(bad));
  EXPECT_TRUE(logged("Failed to create Opus encoder: invalid argument"));
  EXPECT_TRUE(encoder.encode(pcm.data(), kFrame).empty());

  ASSERT_TRUE(encoder.initialize(OpusConfig{}));
  EXPECT_TRUE(logged("Opus encoder initialized: 48000 Hz, 2 ch, 128 kbps"));
  EXPECT_TRUE(encoder.encode(pcm.data(), 100).empty());
  EXPECT_TRUE(logged("Opus encode error: invalid argument"));

  encoder.shutdown();
  const size_t linesBefore = log.lines();
  EXPECT_TRUE(encoder.encode(pcm.data(), kFrame).empty());
  EXPECT_EQ(log.lines(), linesBefore);

  // After shutdown the encoder can be created again.
  ASSERT_TRUE(encoder.initialize(OpusConfig{}));
  EXPECT_FALSE(encoder.encode(pcm.data(), kFrame).empty());
}

}  // namespace
}  // namespace quorvane::host
