#include "audio/OpusEncoder.h"

#include <gtest/gtest.h>
#include <opus.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <string>
#include <vector>

#include "audio/ToneAnalysis.h"

namespace quorvane::host {
namespace {

constexpr int kFrame = 480;
constexpr double kRate = 48000.0;

class OpusEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(64);
    previous = spdlog::default_logger();
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("opus-test", sink));
  }
  void TearDown() override { spdlog::set_default_logger(previous); }

  bool logged(const std::string& text) const {
    for (const auto& line : sink->last_formatted()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink;
  std::shared_ptr<spdlog::logger> previous;
};

TEST_F(OpusEncoderTest, TenMillisecondPacketsDecodeBackToTheTone) {
  OpusAudioEncoder encoder;
  ASSERT_TRUE(encoder.initialize(OpusConfig{}));
  EXPECT_TRUE(logged("Opus encoder initialized: 48000 Hz, 2 ch, 128 kbps"));

  int error = 0;
  OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
  ASSERT_EQ(error, OPUS_OK);

  constexpr int kPackets = 100;  // one second
  const std::vector<int16_t> tone = test::stereoTone(1000.0, 0.5, kRate, kFrame * kPackets);
  std::vector<int16_t> decoded;
  for (int p = 0; p < kPackets; ++p) {
    const std::vector<uint8_t> packet = encoder.encode(tone.data() + p * kFrame * 2, kFrame);
    ASSERT_FALSE(packet.empty());
    ASSERT_LE(packet.size(), 4000u);
    std::vector<int16_t> pcm(kFrame * 2);
    // Each packet holds exactly one 10 ms frame.
    ASSERT_EQ(
        opus_decode(decoder, packet.data(), static_cast<opus_int32>(packet.size()), pcm.data(), kFrame, 0),
        kFrame);
    decoded.insert(decoded.end(), pcm.begin(), pcm.end());
  }
  opus_decoder_destroy(decoder);

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
  EXPECT_TRUE(encoder.encode(pcm.data(), 100).empty());
  EXPECT_TRUE(logged("Opus encode error: invalid argument"));

  encoder.shutdown();
  sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(64);
  spdlog::default_logger()->sinks() = {sink};
  EXPECT_TRUE(encoder.encode(pcm.data(), kFrame).empty());
  EXPECT_TRUE(sink->last_formatted().empty());

  // After shutdown the encoder can be created again.
  ASSERT_TRUE(encoder.initialize(OpusConfig{}));
  EXPECT_FALSE(encoder.encode(pcm.data(), kFrame).empty());
}

}  // namespace
}  // namespace quorvane::host
