#include "app/AudioPacketizer.h"

namespace quorvane::host {

AudioPacketizer::AudioPacketizer(size_t reserveSamples) { buffer.reserve(reserveSamples); }

void AudioPacketizer::push(const int16_t* samples, uint32_t frames, uint32_t sampleRate, uint32_t channels,
                           const FrameSink& sink) {
  const std::span<const int16_t> pcm = converter.convert(samples, frames, sampleRate, channels);
  buffer.insert(buffer.end(), pcm.begin(), pcm.end());
  size_t taken = 0;
  for (; buffer.size() - taken >= kPacketSamples; taken += kPacketSamples) {
    sink(buffer.data() + taken, kFrameSize);
  }
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(taken));
}

}  // namespace quorvane::host
