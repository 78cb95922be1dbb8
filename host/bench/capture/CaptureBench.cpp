// Per-frame cost of the capture pipeline at 1920x1080 (padded to 1920x1088), with sharpening
// off and on: the whole delivery of a frame (capture hand-over, copy, sharpening, padding,
// encoding and hand-off), the encoder alone on the same picture, and the difference, which is
// the orchestrator's own work. Run under Wine: software Direct3D and the stand-in runtimes
// make the figures indicative only.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "BenchLine.h"
#include "StandinCaptureControl.h"
#include "capture/CaptureOrchestrator.h"
#include "capture/CaptureTestSupport.h"
#include "encode/EncoderFactory.h"
#include "encode/TestDevice.h"

using namespace quorvane::host;
using quorvane::test::TestWindow;
using quorvane::test::waitUntil;

namespace {

constexpr int kFrames = 120;

// Median, so that other work on a shared machine does not skew the figure.
double median(std::vector<double> values) {
  if (values.empty()) {
    return 0.0;
  }
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Median milliseconds per delivered frame over kFrames frames of a running stream.
double deliveryMs(CaptureOrchestrator& orchestrator, std::atomic<int>& encoded, bool sharpen) {
  orchestrator.setSharpeningEnabled(sharpen);
  const int warmUp = encoded + 10;
  waitUntil([&] { return encoded >= warmUp; }, std::chrono::minutes(5));
  StandinCaptureControl::takeHandlerMilliseconds();
  const int target = encoded + kFrames;
  waitUntil([&] { return encoded >= target; }, std::chrono::minutes(10));
  return median(StandinCaptureControl::takeHandlerMilliseconds());
}

// Median milliseconds of encodeFrame on one unchanging 1920x1088 picture (after its keyframe).
double encoderMs(const quorvane::test::TestDevice& gpu) {
  EncoderConfig config;
  config.width = 1920;
  config.height = 1088;
  auto encoder = EncoderFactory::createBestEncoder(gpu.device(), config);
  if (!encoder) {
    return 0.0;
  }
  std::vector<uint8_t> pixels(1920u * 1088u * 4u);
  for (uint32_t y = 0; y < 1088; ++y) {
    for (uint32_t x = 0; x < 1920; ++x) {
      const uint32_t bgra = quorvane::test::patternPixel(x, y, 1920, 1080);
      std::memcpy(&pixels[(y * 1920u + x) * 4u], &bgra, 4);
    }
  }
  const auto texture = gpu.texture(pixels, 1920, 1088);
  encoder->setFrameCallback([](const EncodedFrame&) {});
  encoder->encodeFrame(texture.Get());
  std::vector<double> times;
  for (int i = 0; i < kFrames; ++i) {
    const auto start = std::chrono::steady_clock::now();
    encoder->encodeFrame(texture.Get());
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  encoder->shutdown();
  return median(times);
}

}  // namespace

int main() {
  spdlog::set_level(spdlog::level::warn);
  CaptureOrchestrator orchestrator;
  if (!orchestrator.initialize()) {
    std::fprintf(stderr, "no device\n");
    return 1;
  }
  // Device creation and the encoder factory read the real registry: measure the encoder before
  // the build number is overridden for the capture.
  const double encode = encoderMs(quorvane::test::TestDevice());
  quorvane::test::ScopedBuildNumber build(std::wstring(L"19045"));
  std::atomic<int> encoded{0};
  orchestrator.setFrameCallback([&](uint8_t, const uint8_t*, size_t, bool) { ++encoded; });
  orchestrator.setSharpness(0.5f);

  TestWindow window(1920, 1080, L"Capture benchmark");
  if (!orchestrator.startCapture(window.id(), 1)) {
    std::fprintf(stderr, "capture did not start\n");
    return 1;
  }
  const double plain = deliveryMs(orchestrator, encoded, false);
  const double sharpened = deliveryMs(orchestrator, encoded, true);
  orchestrator.stopCapture(1);

  const std::string over = ", 1920x1080 -> 1920x1088, median of " + std::to_string(kFrames) + " frames";
  const struct {
    const char* name;
    double ms;
    const char* what;
  } figures[] = {
      {"capture.delivery.sharpening_off", plain, "whole delivery, sharpening off"},
      {"capture.delivery.sharpening_on", sharpened, "whole delivery, sharpening on"},
      {"capture.encoder_alone", encode, "encodeFrame alone"},
      {"capture.own_work.sharpening_off", plain - encode, "orchestrator's own work, sharpening off"},
      {"capture.own_work.sharpening_on", sharpened - encode, "orchestrator's own work, sharpening on"}};
  for (const auto& figure : figures) {
    quorvane::bench::benchLine(figure.name, figure.ms, "ms", (figure.what + over).c_str());
  }
  orchestrator.shutdown();
  return 0;
}
