#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>
#include <opus.h>

#include "audio/OpusEncoder.h"

namespace quorvane::host::test {

// `frames` frames at `rate` of a 1 kHz tone in the channels marked true, silence in the others.
inline std::vector<int16_t> tone(size_t frames, uint32_t rate, const std::vector<bool>& on) {
  std::vector<int16_t> pcm(frames * on.size());
  for (size_t i = 0; i < pcm.size(); ++i) {
    const size_t frame = i / on.size();
    const double t = static_cast<double>(frame) / rate;
    pcm[i] = static_cast<int16_t>(on[i % on.size()] * 8000 * std::sin(2 * std::numbers::pi * 1000 * t));
  }
  return pcm;
}

// Frequency of the tone in one channel of 48 kHz stereo: rising zero crossings over the
// span between the first and the last, so that silence before and after does not count.
// A crossing counts only after the signal was below -1000, so that noise about zero does not.
inline double estimateFrequency(const std::vector<int16_t>& stereo, size_t channel) {
  size_t first = 0, last = 0, crossings = 0;
  bool armed = false;
  for (size_t i = 0; i < stereo.size() / 2; ++i) {
    const int16_t sample = stereo[i * 2 + channel];
    if (armed && sample >= 0) {
      first = crossings++ == 0 ? i : first;
      last = i;
    }
    armed = sample < -1000 || (armed && sample < 0);
  }
  return crossings < 2 ? 0.0
                       : 48000.0 * static_cast<double>(crossings - 1) / static_cast<double>(last - first);
}

// Whole 10 ms frames of 48 kHz stereo through an Opus encoder of the default configuration
// and back through a decoder.
inline std::vector<int16_t> opusRoundTrip(const std::vector<int16_t>& pcm) {
  OpusAudioEncoder encoder;
  EXPECT_TRUE(encoder.initialize(OpusConfig{}));
  int error = 0;
  OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
  std::vector<int16_t> decoded(pcm.size() / 960 * 960);
  for (size_t at = 0; decoder && at < decoded.size(); at += 960) {
    const std::vector<uint8_t> packet = encoder.encode(pcm.data() + at, 480);
    EXPECT_EQ(opus_decode(decoder, packet.data(), static_cast<opus_int32>(packet.size()), decoded.data() + at,
                          480, 0),
              480);
  }
  opus_decoder_destroy(decoder);
  return decoded;
}

}  // namespace quorvane::host::test
