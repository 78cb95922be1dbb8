#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>
#include <opus.h>

#include "audio/OpusEncoder.h"

namespace quorvane::host::test {

// `frames` frames of a 1 kHz stereo tone at half scale, 48 kHz.
inline std::vector<int16_t> tone(size_t frames) {
  std::vector<int16_t> pcm(frames * 2);
  for (size_t frame = 0; frame < frames; ++frame) {
    const double t = static_cast<double>(frame) / 48000.0;
    pcm[frame * 2] = pcm[frame * 2 + 1] =
        static_cast<int16_t>(std::lround(16383.5 * std::sin(2 * std::numbers::pi * 1000.0 * t)));
  }
  return pcm;
}

// Frequency of the dominant tone in one channel of 48 kHz stereo: the median distance
// between rising zero crossings (interpolated between samples), so that gaps in the sound
// do not move it.
inline double estimateFrequency(const std::vector<int16_t>& stereo, size_t channel) {
  std::vector<double> periods;
  double previous = -1.0;
  for (size_t i = 1; i < stereo.size() / 2; ++i) {
    const double a = stereo[(i - 1) * 2 + channel], b = stereo[i * 2 + channel];
    if (a < 0 && b >= 0) {
      const double at = static_cast<double>(i - 1) + (-a) / (b - a);
      if (previous >= 0) periods.push_back(at - previous);
      previous = at;
    }
  }
  if (periods.empty()) return 0.0;
  std::nth_element(periods.begin(), periods.begin() + static_cast<long>(periods.size() / 2), periods.end());
  return 48000.0 / periods[periods.size() / 2];
}

// Encodes whole 10 ms frames of 48 kHz stereo with an encoder of the default configuration,
// checks each packet, and decodes them again.
inline std::vector<int16_t> opusRoundTrip(const std::vector<int16_t>& pcm) {
  OpusAudioEncoder encoder;
  EXPECT_TRUE(encoder.initialize(OpusConfig{}));
  int error = 0;
  OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
  EXPECT_EQ(error, OPUS_OK);
  std::vector<int16_t> decoded(pcm.size() / 960 * 960);
  for (size_t at = 0; decoder && at + 960 <= pcm.size(); at += 960) {
    const std::vector<uint8_t> packet = encoder.encode(pcm.data() + at, 480);
    EXPECT_FALSE(packet.empty());
    EXPECT_LE(packet.size(), 4000u);
    EXPECT_EQ(opus_decode(decoder, packet.data(), static_cast<opus_int32>(packet.size()), decoded.data() + at,
                          480, 0),
              480);
  }
  opus_decoder_destroy(decoder);
  return decoded;
}

}  // namespace quorvane::host::test
