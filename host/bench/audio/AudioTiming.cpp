// Timing of the audio path under Windows (or Wine): Opus cost per 10 ms packet, the
// time from a 10 ms capture callback to its packet (with resampling and downmix where
// the format asks for them) and its share of one core, and with --live the same on real
// capture callbacks (the stand-in endpoint: a PulseAudio server must be up), with the
// capture thread's own processor time, how often it asked the stream for its padding and
// what one padding query costs.
#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <objbase.h>
#include <wrl/client.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "BenchLine.h"
#include "PacketPath.h"
#include "StandinAudioControl.h"
#include "audio/AudioCapture.h"
#include "audio/AudioPlatform.h"
#include "audio/OpusEncoder.h"

namespace {

using quorvane::bench::benchLine;
using quorvane::host::OpusAudioEncoder;
using quorvane::host::OpusConfig;
using quorvane::host::bench::PacketPath;
using quorvane::host::bench::quantile;

// The samples' mean, p50, p99 and largest, in microseconds, as the figures name.mean and so on.
void report(const std::string& name, const std::string& what, const std::vector<double>& micros) {
  if (micros.empty()) {
    std::printf("%s: no samples\n", what.c_str());
    return;
  }
  double total = 0;
  for (double v : micros) total += v;
  const std::string note = what + " (" + std::to_string(micros.size()) + " samples)";
  const struct {
    const char* suffix;
    double value;
  } figures[] = {{".mean", total / static_cast<double>(micros.size())},
                 {".p50", quantile(micros, 0.5)},
                 {".p99", quantile(micros, 0.99)},
                 {".max", quantile(micros, 1.0)}};
  for (const auto& figure : figures) {
    benchLine((name + figure.suffix).c_str(), figure.value, "us", note.c_str());
  }
}

// The processing time per 10 ms packet as a share of one core.
void reportShare(const std::string& name, const PacketPath& path) {
  double total = 0;
  for (double v : path.callbackMicros) total += v;
  if (path.packets > 0) {
    const std::string note = "of one core for 10 ms packets (" + std::to_string(path.packets) + " packets)";
    benchLine((name + ".core").c_str(), total / static_cast<double>(path.packets) / 100.0, "%", note.c_str());
  }
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
  report("audio.opus_encode", "opus encode, 10 ms packet", micros);
}

// 10 ms callbacks of float samples at rate with channels, back to back.
void callbackToPacket(uint32_t rate, uint32_t channels) {
  OpusAudioEncoder encoder;
  encoder.initialize(OpusConfig{});
  PacketPath path(encoder);
  const std::vector<float> tone = quorvane::host::bench::floatTone(rate, channels);
  const uint32_t frames = rate / 100;
  for (size_t i = 0, at = 0; i < 5000; ++i, at += frames) {
    if ((at + frames) * channels > tone.size()) at = 0;
    path.pushFloat(tone.data() + at * channels, frames, rate, channels);
  }
  const std::string name = "audio.callback_" + std::to_string(rate) + "_" + std::to_string(channels) + "ch";
  report(name, "callback to packet, " + std::to_string(rate) + " Hz " + std::to_string(channels) + " ch",
         path.callbackMicros);
  reportShare(name, path);
}

// Processor time (kernel and user) that a thread has taken so far, in microseconds.
double threadMicros(HANDLE thread) {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return 0.0;
  const auto ticks = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) / 10.0;  // 100 ns units
}

// The cost of one padding query on a started stream of the default endpoint.
void paddingQueryCost() {
  using Microsoft::WRL::ComPtr;
  namespace platform = quorvane::host::AudioPlatform;
  ComPtr<IMMDeviceEnumerator> enumerator;
  ComPtr<IMMDevice> device;
  ComPtr<IAudioClient> client;
  WAVEFORMATEX* format = nullptr;
  const CLSID enumeratorClass = {
      0xbcde0395, 0xe52f, 0x467c, {0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e}};
  HRESULT hr = CoCreateInstance(enumeratorClass, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&enumerator));
  if (SUCCEEDED(hr)) hr = platform::getDefaultEndpoint(enumerator.Get(), true, &device);
  if (SUCCEEDED(hr)) {
    hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                          reinterpret_cast<void**>(client.GetAddressOf()));
  }
  if (SUCCEEDED(hr)) hr = client->GetMixFormat(&format);
  if (SUCCEEDED(hr)) hr = platform::initializeStream(client.Get(), true, format);
  const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (SUCCEEDED(hr)) hr = client->SetEventHandle(event);
  if (SUCCEEDED(hr)) hr = client->Start();
  if (FAILED(hr)) {
    std::printf("padding query: no stream (%#lx)\n", static_cast<unsigned long>(hr));
    CoTaskMemFree(format);
    CloseHandle(event);
    return;
  }
  std::vector<double> micros;
  UINT32 padding = 0;
  for (int i = 0; i < 5000; ++i) {
    const auto begin = PacketPath::Clock::now();
    client->GetCurrentPadding(&padding);
    micros.push_back(std::chrono::duration<double, std::micro>(PacketPath::Clock::now() - begin).count());
  }
  client->Stop();
  client.Reset();
  CoTaskMemFree(format);
  CloseHandle(event);
  report("audio.padding_query", "one padding query of a running stream", micros);
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
      std::map<std::tuple<uint32_t, uint32_t, uint32_t>, size_t> sizes;
      HANDLE captureThread = nullptr;  // opened by the first callback, on that thread
      quorvane::host::StandinAudioControl::reset();
      capture.start([&](const int16_t* samples, uint32_t frames, uint32_t rate, uint32_t channels) {
        std::lock_guard lock(mutex);
        if (!captureThread) {
          captureThread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentThreadId());
        }
        ++sizes[{frames, rate, channels}];
        path.push(samples, frames, rate, channels);
      });
      // The capture thread's times are read while it runs (an ended thread may report none),
      // from its first callback on.
      HANDLE measured = nullptr;
      for (int waited = 0; waited < 100 && !measured; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::lock_guard lock(mutex);
        measured = captureThread;
      }
      const double startMicros = measured ? threadMicros(measured) : 0.0;
      const uint64_t startQueries = quorvane::host::StandinAudioControl::counts().paddingQueries;
      std::this_thread::sleep_for(std::chrono::seconds(seconds));
      const double micros = measured ? threadMicros(measured) - startMicros : 0.0;
      const uint64_t queries = quorvane::host::StandinAudioControl::counts().paddingQueries - startQueries;
      capture.stop();
      std::lock_guard lock(mutex);
      if (measured) {
        // Waking, reading and releasing packets, asking for the padding, and the callbacks
        // (whose share is audio.live.core).
        CloseHandle(measured);
        benchLine("audio.live.capture_thread", micros / seconds / 10000.0, "%",
                  "of one core for the capture thread, callbacks included");
        benchLine("audio.live.padding_queries", static_cast<double>(queries) / seconds, "per_s",
                  "padding queries of the capture thread");
      }
      for (const auto& [format, count] : sizes) {
        const auto [frames, rate, channels] = format;
        std::printf("live: %zu callbacks of %u frames at %u Hz, %u ch\n", count, frames, rate, channels);
      }
      report("audio.live", "live callback to packet", path.callbackMicros);
      reportShare("audio.live", path);
    }
    paddingQueryCost();
  }
  CoUninitialize();
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  spdlog::set_level(spdlog::level::warn);
  encodeCost();
  callbackToPacket(48000, 2);
  callbackToPacket(44100, 2);
  callbackToPacket(48000, 6);
  if (argc > 1 && std::strcmp(argv[1], "--live") == 0) {
    return live(argc > 2 ? std::atoi(argv[2]) : 5);
  }
  return 0;
}
