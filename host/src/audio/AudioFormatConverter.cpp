#include "audio/AudioFormatConverter.h"

#include <speex/speex_resampler.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace quorvane::host {
namespace {

// Speakers of a WAVE mix format and where each goes in the stereo mix.
constexpr float kMinus3dB = 0.70710678f;
struct Speaker {
  float left;
  float right;
};
constexpr Speaker kFL{1.0f, 0.0f}, kFR{0.0f, 1.0f}, kFC{kMinus3dB, kMinus3dB}, kLFE{0.0f, 0.0f},
    kBL{kMinus3dB, 0.0f}, kBR{0.0f, kMinus3dB}, kBC{0.5f, 0.5f}, kSL = kBL, kSR = kBR;

// The usual speaker set of each channel count, in WAVE channel order. A device with more
// than eight channels mixes the first eight as 7.1; the others are dropped.
constexpr size_t kMaxMixedChannels = 8;
constexpr std::array<std::array<Speaker, kMaxMixedChannels>, kMaxMixedChannels + 1> kLayouts = {{
    {},
    {{{1.0f, 1.0f}}},                             // mono
    {{kFL, kFR}},                                 // stereo
    {{kFL, kFR, kFC}},                            // 3.0
    {{kFL, kFR, kBL, kBR}},                       // quad
    {{kFL, kFR, kFC, kBL, kBR}},                  // 5.0
    {{kFL, kFR, kFC, kLFE, kBL, kBR}},            // 5.1
    {{kFL, kFR, kFC, kLFE, kBC, kSL, kSR}},       // 6.1
    {{kFL, kFR, kFC, kLFE, kBL, kBR, kSL, kSR}},  // 7.1
}};

// speexdsp's default quality (4): from 44.1 kHz it passes up to 19.6 kHz with images
// 80 dB down, beyond what the 128 kbit/s Opus stream keeps, in a fifth less time than
// its desktop quality (5), which would cost the audio thread more than the encoder does.
constexpr int kResamplerQuality = SPEEX_RESAMPLER_QUALITY_DEFAULT;

int16_t saturate(float value) {
  return static_cast<int16_t>(std::lround(std::clamp(value, -32768.0f, 32767.0f)));
}

}  // namespace

AudioFormatConverter::~AudioFormatConverter() { destroyResampler(); }

std::span<const int16_t> AudioFormatConverter::convert(const int16_t* samples, uint32_t frames,
                                                       uint32_t sampleRate, uint32_t channels) {
  if ((sampleRate != rate || channels != channelCount) && !changeFormat(sampleRate, channels)) {
    return {};
  }
  if (!usable || !samples || frames == 0) {
    return {};
  }
  const int16_t* stereoSamples = samples;
  if (!gains.empty()) {
    downmix(samples, frames);
    stereoSamples = stereo.data();
  }
  if (!resampler) {
    return {stereoSamples, static_cast<size_t>(frames) * kOutputChannels};
  }
  return resample(stereoSamples, frames);
}

bool AudioFormatConverter::changeFormat(uint32_t sampleRate, uint32_t channels) {
  destroyResampler();
  rate = sampleRate;
  channelCount = channels;
  usable = false;
  gains.clear();
  if (channels == 0 || sampleRate < kMinRate || sampleRate > kMaxRate) {
    SPDLOG_ERROR("Unsupported audio format: {} Hz, {} channels", sampleRate, channels);
    return false;
  }
  if (channels != kOutputChannels) {
    const auto& layout = kLayouts[std::min<size_t>(channels, kMaxMixedChannels)];
    for (uint32_t c = 0; c < channels; ++c) {
      const Speaker speaker = c < kMaxMixedChannels ? layout[c] : Speaker{};
      gains.push_back(speaker.left);
      gains.push_back(speaker.right);
    }
  }
  if (sampleRate != kOutputRate) {
    int error = RESAMPLER_ERR_SUCCESS;
    resampler = speex_resampler_init(kOutputChannels, sampleRate, kOutputRate, kResamplerQuality, &error);
    if (!resampler || error != RESAMPLER_ERR_SUCCESS) {
      SPDLOG_ERROR("Failed to create audio resampler: {}", speex_resampler_strerror(error));
      destroyResampler();
      return false;
    }
  }
  usable = true;
  if (sampleRate != kOutputRate || channels != kOutputChannels) {
    SPDLOG_INFO("Converting audio from {} Hz, {} channels to {} Hz stereo", sampleRate, channels,
                kOutputRate);
  }
  return true;
}

void AudioFormatConverter::downmix(const int16_t* samples, uint32_t frames) {
  stereo.resize(static_cast<size_t>(frames) * kOutputChannels);
  const size_t channels = gains.size() / 2;
  for (size_t f = 0; f < frames; ++f) {
    const int16_t* frame = samples + f * channels;
    float left = 0.0f, right = 0.0f;
    for (size_t c = 0; c < channels; ++c) {
      left += static_cast<float>(frame[c]) * gains[c * 2];
      right += static_cast<float>(frame[c]) * gains[c * 2 + 1];
    }
    stereo[f * 2] = saturate(left);
    stereo[f * 2 + 1] = saturate(right);
  }
}

std::span<const int16_t> AudioFormatConverter::resample(const int16_t* stereoSamples, uint32_t frames) {
  // The resampler keeps the fractional position between calls, so a call yields the
  // input's length times the ratio, give or take a frame; leave room for a little more.
  constexpr size_t kSpareFrames = 16;
  const size_t expected = static_cast<size_t>(frames) * kOutputRate / rate;
  resampled.resize((expected + kSpareFrames) * kOutputChannels);
  size_t produced = 0;
  while (frames > 0) {
    if (resampled.size() / kOutputChannels - produced < kSpareFrames) {
      resampled.resize(resampled.size() + kSpareFrames * kOutputChannels);
    }
    spx_uint32_t inFrames = frames;
    auto outFrames = static_cast<spx_uint32_t>(resampled.size() / kOutputChannels - produced);
    speex_resampler_process_interleaved_int(resampler, stereoSamples, &inFrames,
                                            resampled.data() + produced * kOutputChannels, &outFrames);
    if (inFrames == 0 && outFrames == 0) {
      break;  // never expected; guards against spinning
    }
    stereoSamples += static_cast<size_t>(inFrames) * kOutputChannels;
    frames -= inFrames;
    produced += outFrames;
  }
  return {resampled.data(), produced * kOutputChannels};
}

void AudioFormatConverter::destroyResampler() {
  if (resampler) {
    speex_resampler_destroy(resampler);
    resampler = nullptr;
  }
}

}  // namespace quorvane::host
