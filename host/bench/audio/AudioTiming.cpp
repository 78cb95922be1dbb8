// Timing of the audio path under Windows (or Wine): Opus cost per 10 ms packet, the
// time from a capture callback to its packet, and with --live the same measured on
// real capture callbacks (the stand-in endpoint: a PulseAudio server must be up).
#include <objbase.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "PacketPath.h"
#include "audio/AudioCapture.h"
#include "audio/OpusEncoder.h"

namespace {

using quorvane::host::OpusAudioEncoder;
using quorvane::host::OpusConfig;
using quorvane::host::bench::PacketPath;

void report(const char* what, std::vector<double> micros) {
  if (micros.empty()) {
    std::printf("%-40s no samples\n", what);
    return;
  }
  std::sort(micros.begin(), micros.end());
  double total = 0;
  for (double v : micros) total += v;
  const auto at = [&](double q) {
    return micros[static_cast<size_t>(q * static_cast<double>(micros.size() - 1))];
  };
  std::printf("%-40s n=%zu mean=%.1f us p50=%.1f us p99=%.1f us max=%.1f us\n", what, micros.size(),
              total / static_cast<double>(micros.size()), at(0.5), at(0.99), micros.back());
}

std::vector<double> toMicros(const std::vector<PacketPath::Clock::duration>& waits) {
  std::vector<double> out;
  for (auto w : waits) out.push_back(std::chrono::duration<double, std::micro>(w).count());
  return out;
}

void encodeCost() {
  OpusAudioEncoder encoder;
  encoder.initialize(OpusConfig{});
  const std::vector<float> tone = quorvane::host::bench::floatTone();
  std::vector<int16_t> pcm(tone.size());
  quorvane::host::PcmConversion::floatToInt16(tone.data(), tone.size(), pcm.data());
  std::vector<double> micros;
  for (size_t i = 0, at = 0; i < 5000; ++i, at = (at + 960) % pcm.size()) {
    const auto begin = PacketPath::Clock::now();
    const std::vector<uint8_t> packet = encoder.encode(pcm.data() + at, 480);
    micros.push_back(std::chrono::duration<double, std::micro>(PacketPath::Clock::now() - begin).count());
  }
  report("opus encode, 10 ms packet", micros);
}

void callbackToPacket(size_t frames) {
  OpusAudioEncoder encoder;
  encoder.initialize(OpusConfig{});
  PacketPath path(encoder);
  const std::vector<float> tone = quorvane::host::bench::floatTone();
  for (size_t i = 0, at = 0; i < 5000; ++i) {
    if (at + frames * 2 > tone.size()) at = 0;
    path.pushFloat(tone.data() + at, frames * 2, PacketPath::Clock::now());
    at += frames * 2;
  }
  char what[64];
  std::snprintf(what, sizeof(what), "callback to packet, %zu-frame callbacks", frames);
  report(what, toMicros(path.waits));
}

int live(int seconds) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  int rc = 0;
  {
    quorvane::host::AudioCapture capture;
    if (!capture.initialize(quorvane::host::AudioCaptureConfig{})) {
      std::printf("live: no capture device\n");
      rc = 1;
    } else {
      OpusAudioEncoder encoder;
      encoder.initialize(OpusConfig{});
      PacketPath path(encoder);
      std::mutex mutex;
      std::map<uint32_t, size_t> sizes;
      capture.start([&](const int16_t* samples, uint32_t frames, uint32_t, uint32_t channels) {
        const auto now = PacketPath::Clock::now();
        std::lock_guard lock(mutex);
        ++sizes[frames];
        path.push(samples, static_cast<size_t>(frames) * channels, now);
      });
      std::this_thread::sleep_for(std::chrono::seconds(seconds));
      capture.stop();
      std::lock_guard lock(mutex);
      for (const auto& [frames, count] : sizes)
        std::printf("live: %zu callbacks of %u frames\n", count, frames);
      report("live callback to packet (incl. buffering)", toMicros(path.waits));
    }
  }
  CoUninitialize();
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  spdlog::set_level(spdlog::level::warn);
  encodeCost();
  callbackToPacket(480);
  callbackToPacket(441);
  if (argc > 1 && std::strcmp(argv[1], "--live") == 0) {
    return live(argc > 2 ? std::atoi(argv[2]) : 5);
  }
  return 0;
}
