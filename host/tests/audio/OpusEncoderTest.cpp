#include "audio/OpusEncoder.h"

#include <gtest/gtest.h>
#include <opus.h>

#include <vector>

#include "audio/ToneTools.h"

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

}  // namespace
}  // namespace quorvane::host
