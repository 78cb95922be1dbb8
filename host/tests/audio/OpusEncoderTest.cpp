#include "audio/OpusEncoder.h"

#include <gtest/gtest.h>
#include <opus.h>

#include <vector>

#include "audio/ToneTools.h"
#include "support/LogCapture.h"

namespace quorvane::host {
namespace {

TEST(OpusEncoderTest, PacketsFollowTheConfigurationAndMisuseGivesEmptyOnes) {
  // A second of 10 ms packets of a tone at 32 and at 256 kbps takes about the bitrate.
  const std::vector<int16_t> tone = test::tone(48000, 48000, {true, true});
  for (uint32_t bitrate : {32000u, 256000u}) {
    OpusAudioEncoder encoder;
    ASSERT_TRUE(encoder.initialize({48000, 2, bitrate, 480, 5, true}));
    double bytes = 0;
    for (size_t at = 0; at < tone.size(); at += 960) bytes += encoder.encode(tone.data() + at, 480).size();
    EXPECT_NEAR(bytes * 8, bitrate, bitrate * 0.25) << bitrate;
  }

  const std::vector<int16_t> pcm(1920, 0);
  OpusAudioEncoder encoder;
  EXPECT_FALSE(encoder.initialize({44100, 2, 128000, 480, 5, true}));
  EXPECT_TRUE(encoder.encode(pcm.data(), 480).empty());
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
    EXPECT_LE(packet.size(), 4000u);
    EXPECT_EQ(opus_packet_get_nb_samples(packet.data(), static_cast<opus_int32>(packet.size()), c.rate),
              c.samples);
    EXPECT_EQ(opus_packet_get_nb_channels(packet.data()), static_cast<int>(c.channels));
    configured.shutdown();
    EXPECT_TRUE(configured.encode(pcm.data(), c.frames).empty());
    ASSERT_TRUE(configured.initialize(OpusConfig{}));  // can be created again after a shutdown
    EXPECT_FALSE(configured.encode(pcm.data(), 480).empty());
  }
}

// The application shows in the coding mode of the packets (the TOC's configuration number, 16 and up
// for CELT only): restricted low delay codes CELT only at every bitrate; the general audio
// application codes SILK at 8 kbps and CELT at 18 kbps, where the voice application still codes SILK.
TEST(OpusEncoderTest, LowDelayPicksTheApplicationAndTheStartupLineShowsTheSetup) {
  const std::vector<int16_t> tone = test::tone(4800, 48000, {true, true});
  struct Case {
    bool lowDelay;
    uint32_t bitrate;
    bool celtOnly;
  };
  for (const Case& c : {Case{true, 8000, true}, Case{false, 8000, false}, Case{false, 18000, true}}) {
    SCOPED_TRACE(::testing::Message() << c.lowDelay << "/" << c.bitrate);
    OpusAudioEncoder encoder;
    ASSERT_TRUE(encoder.initialize({48000, 2, c.bitrate, 480, 5, c.lowDelay}));
    for (size_t at = 0; at < tone.size(); at += 960) {
      const auto packet = encoder.encode(tone.data() + at, 480);
      ASSERT_FALSE(packet.empty());
      EXPECT_EQ(packet[0] >> 3 >= 16, c.celtOnly) << "packet at " << at;
    }
  }

  quorvane::test::LogCapture log;
  OpusAudioEncoder defaults, other;
  ASSERT_TRUE(defaults.initialize(OpusConfig{}));
  ASSERT_TRUE(other.initialize({24000, 1, 20999, 240, 5, false}));
  EXPECT_TRUE(log.hasLine(spdlog::level::info, "Opus encoder initialized: 48000 Hz, 2 ch, 128 kbps"));
  EXPECT_TRUE(log.hasLine(spdlog::level::info, "Opus encoder initialized: 24000 Hz, 1 ch, 20 kbps"));
}

}  // namespace
}  // namespace quorvane::host
