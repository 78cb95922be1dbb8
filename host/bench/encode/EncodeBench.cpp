// Per-frame cost of the host's side of encoding at 1920x1088 on both encoders, with the
// stand-in runtimes' software encoding measured apart: encodeFrame's submission, output
// handling and callback, and the parameter-set scan of keyframes.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "BenchLine.h"
#include "encode/AmfEncoder.h"
#include "encode/CodecHeaderStore.h"
#include "encode/NvencEncoder.h"
#include "encode/TestDevice.h"

using namespace quorvane::host;
using quorvane::bench::benchLine;
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

// False when the encoder could not be opened.
bool run(EncoderBase& encoder, const wchar_t* library, const char* clockName,
         const std::vector<Microsoft::WRL::ComPtr<ID3D11Texture2D>>& textures, ID3D11Device* device,
         std::vector<uint8_t>& keyframe) {
  EncoderConfig config;
  config.width = kWidth;
  config.height = kHeight;
  if (!encoder.initialize(device, config)) {
    std::printf("%s: initialize failed\n", encoder.getName());
    return false;
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
  const std::string name = std::string("encode.") + encoder.getName();
  const std::string note =
      std::to_string(kFrames) + " frames at 1920x1088, " + std::to_string(bytes) + " bytes out";
  benchLine((name + ".encode_frame").c_str(), totalMs, "ms", ("encodeFrame, mean of " + note).c_str());
  benchLine((name + ".software_encoding").c_str(), runtimeMs, "ms",
            "the stand-in runtime's software encoding");
  benchLine((name + ".host_overhead").c_str(), totalMs - runtimeMs, "ms",
            "encodeFrame less the software encoding");
  encoder.shutdown();
  return true;
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
  bool opened = true;
  {
    NvencEncoder nvenc;
    opened &= run(nvenc, L"nvEncodeAPI64.dll", "StandinNvencEncodeNanos", textures, gpu.device(), keyframe);
  }
  {
    AmfEncoder amf;
    opened &= run(amf, L"amfrt64.dll", "StandinAmfEncodeNanos", textures, gpu.device(), keyframe);
  }
  if (!keyframe.empty()) {
    CodecHeaderStore store;
    constexpr int kScans = 2000;
    const auto start = Clock::now();
    for (int i = 0; i < kScans; ++i) {
      store.extract(keyframe.data(), keyframe.size(), false);
    }
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kScans;
    benchLine("encode.parameter_set_scan", us, "us",
              ("parameter-set scan of a " + std::to_string(keyframe.size()) + "-byte keyframe").c_str());
  }
  return opened ? 0 : 1;
}
