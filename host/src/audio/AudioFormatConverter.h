#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct SpeexResamplerState_;

namespace quorvane::host {

// Turns capture packets in the device's own mix format into the 48 kHz stereo that the
// Opus encoder takes: more than two channels are mixed down (WAVE channel order: front
// left, front right, centre, LFE, back left, back right, side left, side right; centre
// and surrounds at -3 dB, LFE dropped), mono is copied to both sides, and other rates
// go through speexdsp's resampler. 48 kHz stereo passes through untouched.
// Owns the resampler state, which it re-creates whenever the format changes. Used from
// one thread, the audio capture thread.
class AudioFormatConverter {
 public:
  static constexpr uint32_t kOutputRate = 48000;
  static constexpr uint32_t kOutputChannels = 2;
  // Rates outside this range are refused rather than handed to the resampler.
  static constexpr uint32_t kMinRate = 8000;
  static constexpr uint32_t kMaxRate = 768000;

  AudioFormatConverter() = default;
  ~AudioFormatConverter();

  AudioFormatConverter(const AudioFormatConverter&) = delete;
  AudioFormatConverter& operator=(const AudioFormatConverter&) = delete;

  // Converts `frames` interleaved frames of `channels` channels at `sampleRate` and
  // returns the 48 kHz stereo samples, valid until the next call (48 kHz stereo input
  // is returned as it is). Empty for a format it cannot convert: no channels, a rate
  // outside [kMinRate, kMaxRate], or a resampler that could not be created.
  std::span<const int16_t> convert(const int16_t* samples, uint32_t frames, uint32_t sampleRate,
                                   uint32_t channels);

 private:
  bool changeFormat(uint32_t sampleRate, uint32_t channels);
  void downmix(const int16_t* samples, uint32_t frames);
  std::span<const int16_t> resample(const int16_t* stereoSamples, uint32_t frames);
  void destroyResampler();

  uint32_t rate = 0;
  uint32_t channelCount = 0;
  bool usable = false;
  std::vector<float> gains;  // left and right gain of each input channel; empty for stereo
  SpeexResamplerState_* resampler = nullptr;
  std::vector<int16_t> stereo;
  std::vector<int16_t> resampled;
};

}  // namespace quorvane::host
