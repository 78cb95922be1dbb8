#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "StandinCaptureControl.h"
#include "capture/CASProcessor.h"
#include "capture/CaptureOrchestrator.h"
#include "capture/CaptureTestSupport.h"
#include "encode/TestDecoder.h"

using quorvane::host::CaptureOrchestrator;
using quorvane::host::StandinCaptureControl;
using quorvane::test::LogRecorder;
using quorvane::test::patternPixel;
using quorvane::test::ScopedBuildNumber;
using quorvane::test::TestDecoder;
using quorvane::test::TestWindow;
using quorvane::test::waitUntil;

namespace {

struct EncodedUnit {
  uint8_t streamId;
  std::vector<uint8_t> data;
  bool keyframe;
};

// Everything the orchestrator hands on.
struct Output {
  std::mutex mutex;
  std::vector<EncodedUnit> units;
  std::vector<std::tuple<uint8_t, uint32_t, uint32_t>> sizeChanges;
  size_t unitsBeforeSizeChange = 0;  // the new encoder's output starts here
  std::atomic<int> count{0};

  void attach(CaptureOrchestrator& orchestrator) {
    orchestrator.setFrameCallback([this](uint8_t id, const uint8_t* data, size_t size, bool keyframe) {
      std::lock_guard<std::mutex> lock(mutex);
      units.push_back({id, std::vector<uint8_t>(data, data + size), keyframe});
      ++count;
    });
    orchestrator.setResolutionChangedCallback([this](uint8_t id, uint32_t w, uint32_t h) {
      std::lock_guard<std::mutex> lock(mutex);
      sizeChanges.emplace_back(id, w, h);
      unitsBeforeSizeChange = units.size();
    });
  }
  std::vector<EncodedUnit> take() {
    std::lock_guard<std::mutex> lock(mutex);
    return units;
  }
};

// PSNR of the decoded picture's top-left width x height against the window's pattern.
double patternPsnr(const std::vector<uint8_t>& bgra, uint32_t stride, uint32_t width, uint32_t height) {
  double squared = 0;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t expected = patternPixel(x, y, width, height);
      const uint8_t* got = &bgra[(static_cast<size_t>(y) * stride + x) * 4];
      for (int c = 0; c < 3; ++c) {
        const double d = static_cast<double>(got[c]) - static_cast<double>((expected >> (8 * c)) & 0xff);
        squared += d * d;
      }
    }
  }
  const double mse = squared / (static_cast<double>(width) * height * 3);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

class CaptureOrchestratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StandinCaptureControl::reset();
    LogRecorder::instance().clear();
    ASSERT_TRUE(orchestrator.initialize());
    ASSERT_STREQ(orchestrator.getEncoderName(), "NVENC");
    // Wine's registry names an old build whatever version the prefix claims. (Device creation
    // reads the real registry, so this comes after it.)
    build.emplace(std::wstring(L"19045"));
    ASSERT_TRUE(build->active());
    output.attach(orchestrator);
  }
  void TearDown() override {
    orchestrator.shutdown();
    StandinCaptureControl::reset();
    EXPECT_TRUE(waitUntil([] { return StandinCaptureControl::runningWorkers() == 0; }));
    build.reset();
  }
  LogRecorder& logs() { return LogRecorder::instance(); }

  // Decodes every unit of the stream in order; checks each picture against the pattern.
  void expectPictures(uint8_t streamId, uint32_t width, uint32_t height, int minimum, size_t first = 0) {
    TestDecoder decoder;
    int pictures = 0;
    const auto units = output.take();
    for (size_t i = first; i < units.size(); ++i) {
      const auto& unit = units[i];
      if (unit.streamId != streamId) {
        continue;
      }
      std::vector<uint8_t> bgra;
      uint32_t w = 0, h = 0;
      if (!decoder.decode(unit.data, bgra, w, h)) {
        continue;
      }
      ++pictures;
      ASSERT_EQ(w, (width + 15) & ~15u);
      ASSERT_EQ(h, (height + 15) & ~15u);
      EXPECT_GE(patternPsnr(bgra, w, width, height), 35.0) << "picture " << pictures;
      // The margin is black.
      for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = (y < height ? width : 0); x < w; ++x) {
          const uint8_t* p = &bgra[(static_cast<size_t>(y) * w + x) * 4];
          ASSERT_LE(std::max({p[0], p[1], p[2]}), 24) << x << "," << y;
        }
      }
    }
    EXPECT_GE(pictures, minimum);
  }

  std::optional<ScopedBuildNumber> build;
  CaptureOrchestrator orchestrator;
  Output output;
};

TEST_F(CaptureOrchestratorTest, EncodesTheWindowPaddedWithAndWithoutSharpening) {
  for (bool sharpen : {false, true}) {
    SCOPED_TRACE(sharpen ? "sharpened" : "plain");
    output.take();
    orchestrator.setSharpeningEnabled(sharpen);
    orchestrator.setSharpness(0.0f);
    TestWindow window(200, 120);
    ASSERT_TRUE(orchestrator.startCapture(window.id(), 1));
    EXPECT_TRUE(
        logs().contains(fmt::format("Started capture for window {:x} on stream 1 (208x128)", window.id())));
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(orchestrator.getStreamResolution(1, w, h));
    EXPECT_EQ(w, 200u);
    EXPECT_EQ(h, 120u);
    const int before = output.count;
    ASSERT_TRUE(waitUntil([&] { return output.count >= before + 6; }));
    EXPECT_TRUE(orchestrator.getCodecHeaders(1).valid);
    orchestrator.stopCapture(1);
    EXPECT_TRUE(logs().contains("Stopped capture on stream 1"));
    expectPictures(1, 200, 120, 6);
    std::lock_guard<std::mutex> lock(output.mutex);
    output.units.clear();
  }

  // Sides already multiples of 16 are encoded as they are.
  TestWindow aligned(192, 128);
  const int before = output.count;
  ASSERT_TRUE(orchestrator.startCapture(aligned.id(), 2));
  ASSERT_TRUE(waitUntil([&] { return output.count >= before + 4; }));
  orchestrator.stopCapture(2);
  expectPictures(2, 192, 128, 3);

  EXPECT_FALSE(orchestrator.getCodecHeaders(9).valid);
  uint32_t w = 7, h = 7;
  EXPECT_FALSE(orchestrator.getStreamResolution(9, w, h));
  EXPECT_EQ(w, 7u);
  orchestrator.stopCapture(9);
  EXPECT_TRUE(logs().contains("Stream 9 not found"));
}

TEST_F(CaptureOrchestratorTest, ResizeRecreatesTheEncoderAndKeyframesComeOnRequest) {
  TestWindow window(200, 120);
  ASSERT_TRUE(orchestrator.startCapture(window.id(), 3));
  ASSERT_TRUE(waitUntil([&] { return output.count >= 3; }));

  window.resize(232, 150);
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard<std::mutex> lock(output.mutex);
    return !output.sizeChanges.empty();
  }));
  size_t first = 0;
  {
    std::lock_guard<std::mutex> lock(output.mutex);
    ASSERT_EQ(output.sizeChanges.size(), 1u);
    EXPECT_EQ(output.sizeChanges[0], std::make_tuple(uint8_t{3}, 232u, 150u));
    first = output.unitsBeforeSizeChange;
  }
  EXPECT_TRUE(logs().contains("Resolution changed from 200x120 to 232x150 on stream 3 - recreating encoder"));
  EXPECT_TRUE(logs().contains("Encoder recreated successfully for 240x160 on stream 3"));
  EXPECT_EQ(logs().count("Recreating frame pool: 200x120 -> 232x150"), 1);
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(orchestrator.getStreamResolution(3, w, h));
  EXPECT_EQ(w, 232u);
  EXPECT_EQ(h, 150u);

  // Frames after the first keyframe of the new encoder are P frames until one is asked for.
  ASSERT_TRUE(waitUntil([&] { return output.count >= static_cast<int>(first) + 5; }));
  {
    std::lock_guard<std::mutex> lock(output.mutex);
    EXPECT_TRUE(output.units[first].keyframe);
    EXPECT_FALSE(output.units.back().keyframe);
  }
  const int before = output.count;
  orchestrator.requestKeyframe(3);
  ASSERT_TRUE(waitUntil([&] { return output.count >= before + 2; }));
  orchestrator.stopCapture(3);
  bool idrAfterRequest = false;
  const auto units = output.take();
  for (size_t i = units.size() - (output.count - before); i < units.size(); ++i) {
    const auto types = TestDecoder::nalTypes(units[i].data);
    idrAfterRequest =
        idrAfterRequest || (units[i].keyframe && std::find(types.begin(), types.end(), 5) != types.end());
  }
  EXPECT_TRUE(idrAfterRequest);
  expectPictures(3, 232, 150, 4, first);
}

TEST_F(CaptureOrchestratorTest, ClosedWindowIsRemovedByUpdate) {
  auto window = std::make_unique<TestWindow>(160, 90);
  ASSERT_TRUE(orchestrator.startCapture(window->id(), 4));
  ASSERT_TRUE(waitUntil([&] { return output.count >= 1; }));
  window.reset();
  ASSERT_TRUE(waitUntil([&] {
    orchestrator.update();
    return logs().contains("Removing inactive session for stream 4");
  }));
  uint32_t w = 0, h = 0;
  EXPECT_FALSE(orchestrator.getStreamResolution(4, w, h));
}

TEST_F(CaptureOrchestratorTest, FailedStartsLogTheirCause) {
  TestWindow window(100, 60);
  ASSERT_TRUE(orchestrator.startCapture(window.id(), 5));
  // A restart with an invalid window removes the old stream and fails.
  EXPECT_FALSE(orchestrator.startCapture(0x7ffffff0u, 5));
  EXPECT_TRUE(logs().contains("Stream 5 already exists, stopping first"));
  EXPECT_TRUE(logs().contains("Invalid window handle: 7ffffff0"));
  uint32_t w = 0, h = 0;
  EXPECT_FALSE(orchestrator.getStreamResolution(5, w, h));

  StandinCaptureControl::setSupported(false);
  EXPECT_FALSE(orchestrator.startCapture(window.id(), 6));
  EXPECT_TRUE(logs().contains(fmt::format("Failed to initialize capture for window {:x}", window.id())));
  StandinCaptureControl::reset();

  StandinCaptureControl::failStep(StandinCaptureControl::Step::SetBorder, E_NOINTERFACE);
  EXPECT_FALSE(orchestrator.startCapture(window.id(), 6));
  EXPECT_TRUE(logs().contains("ROOT CAUSE: Windows Graphics Capture API blocked/unavailable"));
  EXPECT_TRUE(logs().contains(fmt::format("Failed to start capture for window {:x}", window.id())));
  EXPECT_FALSE(orchestrator.getStreamResolution(6, w, h));
}

TEST_F(CaptureOrchestratorTest, SettingsAreClampedAndSecondInitializeIsHarmless) {
  EXPECT_TRUE(orchestrator.initialize());
  EXPECT_TRUE(logs().contains("CaptureOrchestrator already initialized"));
  orchestrator.setSharpeningEnabled(true);
  EXPECT_TRUE(logs().contains("CAS sharpening enabled"));
  orchestrator.setVSyncEnabled(false);
  EXPECT_TRUE(logs().contains("VSync frame pacing disabled"));
  orchestrator.setFullRangeColor(true);
  EXPECT_TRUE(logs().contains("Full range color enabled"));
  EXPECT_FALSE(orchestrator.gpuName.empty());

  CaptureOrchestrator never;
  never.shutdown();
}

// The host's own window: its thread runs update() every frame and does not pump messages
// while another thread starts a capture of it under the stream-table lock.
TEST_F(CaptureOrchestratorTest, CapturingAWindowOfTheUpdatingThreadDoesNotDeadlock) {
  TestWindow own(120, 80, L"Own window", /*onCallingThread=*/true);
  std::atomic<bool> done{false};
  std::atomic<bool> started{false};
  std::thread starter([&] {
    started = orchestrator.startCapture(own.id(), 7);
    done = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    orchestrator.update();
  }
  ASSERT_TRUE(done) << "start blocked on the window's thread";
  starter.join();
  EXPECT_TRUE(started);
  ASSERT_TRUE(waitUntil([&] {
    orchestrator.update();
    return output.count >= 3;
  }));
  orchestrator.stopCapture(7);
}

TEST_F(CaptureOrchestratorTest, StopRestartAndShutdownWhileFramesFlow) {
  TestWindow first(96, 64);
  TestWindow second(128, 80);
  for (int i = 0; i < 30; ++i) {
    const TestWindow& window = i % 2 == 0 ? first : second;
    ASSERT_TRUE(orchestrator.startCapture(window.id(), 8));
    const int before = output.count;
    ASSERT_TRUE(waitUntil([&] { return output.count > before; }));
    if (i % 3 == 0) {
      std::thread other([&] { orchestrator.update(); });
      orchestrator.stopCapture(8);
      other.join();
    }
  }
  // Restarting under the same id with another window never passed a frame of the old window
  // into the new stream (which would have counted as a size change).
  {
    std::lock_guard<std::mutex> lock(output.mutex);
    EXPECT_TRUE(output.sizeChanges.empty());
  }
  ASSERT_TRUE(orchestrator.startCapture(second.id(), 9));
  const int before = output.count;
  ASSERT_TRUE(waitUntil([&] { return output.count > before + 1; }));
  orchestrator.shutdown();
  const int after = output.count;
  EXPECT_TRUE(waitUntil([] { return StandinCaptureControl::runningWorkers() == 0; }));
  EXPECT_EQ(output.count, after);
  EXPECT_TRUE(logs().contains("Stopped all captures"));
}

}  // namespace
