#pragma once

#include <gtest/gtest.h>
#include <opus.h>

#include <cstdint>
#include <vector>

#include "audio/OpusEncoder.h"

namespace quorvane::host::test {

// Encodes whole 10 ms frames of 48 kHz stereo with an encoder of the default
// configuration, checks that each packet is one 10 ms frame of at most 4000 bytes, and
// decodes them again with libopus.
inline std::vector<int16_t> opusRoundTrip(const std::vector<int16_t>& pcm) {
  OpusAudioEncoder encoder;
  EXPECT_TRUE(encoder.initialize(OpusConfig{}));
  int error = 0;
  OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
  EXPECT_EQ(error, OPUS_OK);
  std::vector<int16_t> decoded;
  std::vector<int16_t> frame(960);
  for (size_t at = 0; decoder && at + 960 <= pcm.size(); at += 960) {
    const std::vector<uint8_t> packet = encoder.encode(pcm.data() + at, 480);
    EXPECT_FALSE(packet.empty());
    EXPECT_LE(packet.size(), 4000u);
    const int n =
        opus_decode(decoder, packet.data(), static_cast<opus_int32>(packet.size()), frame.data(), 480, 0);
    EXPECT_EQ(n, 480);
    decoded.insert(decoded.end(), frame.begin(), frame.end());
  }
  opus_decoder_destroy(decoder);
  return decoded;
}

}  // namespace quorvane::host::test
