// Per-frame cost of the host's side of encoding at 1920x1088 on both encoders, with the
// stand-in runtimes' software encoding measured apart: encodeFrame's submission, output
// handling and callback, and the parameter-set scan of keyframes.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include <spdlog/spdlog.h>

#include "encode/AmfEncoder.h"
#include "encode/CodecHeaderStore.h"
#include "encode/NvencEncoder.h"
#include "encode/TestDevice.h"

using namespace quorvane::host;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1088;
constexpr int kWarmup = 5;
constexpr int kFrames = 90;

using NanosFn = uint64_t (*)();

NanosFn runtimeClock(const wchar_t* library, const char* name) {
  HMODULE module = GetModuleHandleW(library);
  return module ? reinterpret_cast<NanosFn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)))
                : nullptr;
}

void run(EncoderBase& encoder, const wchar_t* library, const char* clockName,
         const std::vector<Microsoft::WRL::ComPtr<ID3D11Texture2D>>& textures, ID3D11Device* device,
         std::vector<uint8_t>& keyframe) {
  EncoderConfig config;
  config.width = kWidth;
  config.height = kHeight;
  if (!encoder.initialize(device, config)) {
    std::printf("%s: initialize failed\n", encoder.getName());
    return;
  }
  uint64_t bytes = 0;
  encoder.setFrameCallback([&](const EncodedFrame& f) {
    bytes += f.size;
    if (f.keyframe && f.size > keyframe.size()) {
      keyframe.assign(f.data, f.data + f.size);
    }
  });
  NanosFn runtimeNanos = runtimeClock(library, clockName);
  for (int i = 0; i < kWarmup; ++i) {
    encoder.encodeFrame(textures[i % textures.size()].Get());
  }
  const uint64_t runtimeStart = runtimeNanos ? runtimeNanos() : 0;
  const auto start = Clock::now();
  for (int i = 0; i < kFrames; ++i) {
    if (i % 30 == 0) {
      encoder.requestKeyframe();
    }
    encoder.encodeFrame(textures[i % textures.size()].Get());
  }
  const double totalMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kFrames;
  const double runtimeMs =
      runtimeNanos ? static_cast<double>(runtimeNanos() - runtimeStart) / 1e6 / kFrames : 0.0;
  std::printf(
      "%-6s per frame: encodeFrame %.3f ms, stand-in software encoding %.3f ms, host overhead %.3f ms "
      "(%llu bytes out)\n",
      encoder.getName(), totalMs, runtimeMs, totalMs - runtimeMs, static_cast<unsigned long long>(bytes));
  encoder.shutdown();
}

}  // namespace

int main() {
  quorvane::test::TestDevice gpu;
  std::vector<Microsoft::WRL::ComPtr<ID3D11Texture2D>> textures;
  for (uint32_t i = 0; i < 8; ++i) {
    textures.push_back(gpu.texture(quorvane::test::TestDevice::pattern(kWidth, kHeight, i), kWidth, kHeight));
  }
  spdlog::set_level(spdlog::level::warn);
  std::vector<uint8_t> keyframe;
  {
    NvencEncoder nvenc;
    run(nvenc, L"nvEncodeAPI64.dll", "StandinNvencEncodeNanos", textures, gpu.device(), keyframe);
  }
  {
    AmfEncoder amf;
    run(amf, L"amfrt64.dll", "StandinAmfEncodeNanos", textures, gpu.device(), keyframe);
  }
  if (!keyframe.empty()) {
    CodecHeaderStore store;
    constexpr int kScans = 2000;
    const auto start = Clock::now();
    for (int i = 0; i < kScans; ++i) {
      store.extract(keyframe.data(), keyframe.size(), false);
    }
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kScans;
    std::printf("parameter-set scan of a %zu-byte keyframe: %.2f us\n", keyframe.size(), us);
  }
  return 0;
}
