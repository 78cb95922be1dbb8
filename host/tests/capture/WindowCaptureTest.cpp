#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "StandinCaptureControl.h"
#include "capture/CaptureTestSupport.h"
#include "capture/StandinCaptureTest.h"
#include "capture/WindowCapture.h"

using quorvane::host::StandinCaptureControl;
using quorvane::host::WindowCapture;
using quorvane::test::hex;
using quorvane::test::LogRecorder;
using quorvane::test::patternPixel;
using quorvane::test::ScopedBuildNumber;
using quorvane::test::TestWindow;
using quorvane::test::waitUntil;
using Step = StandinCaptureControl::Step;

namespace {

// Counts frames and keeps the pixels and size of the last one.
struct FrameSink {
  std::mutex mutex;
  std::atomic<int> frames{0};
  std::vector<uint32_t> pixels;
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<std::pair<uint32_t, uint32_t>> sizes;

  quorvane::host::CaptureFrameCallback callback() {
    return [this](ID3D11Texture2D* texture, uint32_t w, uint32_t h) {
      auto read = quorvane::test::readTexture(texture, w, h);
      std::lock_guard<std::mutex> lock(mutex);
      pixels = std::move(read);
      width = w;
      height = h;
      sizes.emplace_back(w, h);
      ++frames;
    };
  }
  // Number of window pixels that differ from the pattern in the last frame.
  int mismatches() {
    std::lock_guard<std::mutex> lock(mutex);
    int bad = 0;
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        bad += pixels[y * width + x] != patternPixel(x, y, width, height) ? 1 : 0;
      }
    }
    return bad;
  }
};

using WindowCaptureTest = quorvane::test::StandinCaptureTest;

TEST_F(WindowCaptureTest, InitializeChecksBuildSupportAndWindow) {
  TestWindow window(320, 200);
  {
    WindowCapture capture;
    EXPECT_FALSE(capture.initialize(nullptr, device.Get()));
    EXPECT_TRUE(logs().contains("Invalid window handle"));
  }
  {
    setBuild(L"17763");
    WindowCapture capture;
    EXPECT_FALSE(capture.initialize(window.handle(), device.Get()));
    EXPECT_TRUE(
        logs().contains("Windows version too old! Build 17763 detected, but 18362 (Windows 10 version 1903, "
                        "May 2019 Update) or later "
                        "is required for window capture. Please update Windows to use this feature."));
  }
  for (const auto& passing : {std::optional<std::wstring>(L"18362"), std::optional<std::wstring>()}) {
    setBuild(passing);
    WindowCapture capture;
    EXPECT_TRUE(capture.initialize(window.handle(), device.Get()));
  }
  {
    StandinCaptureControl::setSupported(false);
    setBuild(L"19045");
    WindowCapture capture;
    EXPECT_FALSE(capture.initialize(window.handle(), device.Get()));
    EXPECT_TRUE(
        logs().contains("Windows Graphics Capture is not supported on this system. Windows Build: 19045"));
    StandinCaptureControl::reset();
  }
  {
    StandinCaptureControl::failStep(Step::IsSupported, E_FAIL);
    WindowCapture capture;
    EXPECT_FALSE(capture.initialize(window.handle(), device.Get()));
    StandinCaptureControl::reset();
  }
  {
    TestWindow empty(0, 0);
    WindowCapture capture;
    EXPECT_FALSE(capture.initialize(empty.handle(), device.Get()));
    EXPECT_TRUE(logs().contains("Window has zero size"));
  }
  setBuild(L"19045");
  WindowCapture capture;
  ASSERT_TRUE(capture.initialize(window.handle(), device.Get()));
  uint32_t w = 0, h = 0;
  capture.getSize(w, h);
  EXPECT_EQ(w, 320u);
  EXPECT_EQ(h, 200u);
  EXPECT_TRUE(
      logs().contains("WindowCapture initialized for HWND " + hex(window.handle()) + ", size 320x200"));
  WindowCapture uninitialised;
  EXPECT_FALSE(uninitialised.startCapture([](ID3D11Texture2D*, uint32_t, uint32_t) {}));
  EXPECT_TRUE(logs().contains("WindowCapture not initialized"));
}

TEST_F(WindowCaptureTest, DeliversWindowPixelsFollowsResizeAndStops) {
  TestWindow window(300, 180);
  WindowCapture capture;
  ASSERT_TRUE(capture.initialize(window.handle(), device.Get()));
  FrameSink sink;
  ASSERT_TRUE(capture.startCapture(sink.callback()));
  EXPECT_TRUE(capture.isCapturing());
  EXPECT_TRUE(logs().contains("Capture started for window " + hex(window.handle())));

  // A second start keeps the first callback.
  std::atomic<int> secondCalls{0};
  EXPECT_TRUE(capture.startCapture([&](ID3D11Texture2D*, uint32_t, uint32_t) { ++secondCalls; }));
  EXPECT_TRUE(logs().contains("Capture already started"));

  ASSERT_TRUE(waitUntil([&] { return sink.frames >= 3; }));
  EXPECT_EQ(sink.mismatches(), 0);
  uint32_t w = 0, h = 0;
  capture.getSize(w, h);
  EXPECT_EQ(w, 300u);
  EXPECT_EQ(h, 180u);

  window.resize(420, 260);
  ASSERT_TRUE(logs().waitFor("Recreating frame pool: 300x180 -> 420x260"));
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard<std::mutex> lock(sink.mutex);
    return sink.width == 420 && sink.height == 260;
  }));
  const int before = sink.frames;
  ASSERT_TRUE(waitUntil([&] { return sink.frames >= before + 2; }));
  EXPECT_EQ(sink.mismatches(), 0);
  capture.getSize(w, h);
  EXPECT_EQ(w, 420u);
  EXPECT_EQ(h, 260u);
  EXPECT_EQ(logs().count("First capture frame: 300x180, format=87"), 1);

  capture.stopCapture();
  EXPECT_FALSE(capture.isCapturing());
  EXPECT_EQ(logs().count("Capture stopped"), 1);
  const int afterStop = sink.frames;
  capture.stopCapture();
  EXPECT_EQ(logs().count("Capture stopped"), 1);
  EXPECT_EQ(sink.frames, afterStop);
  EXPECT_EQ(secondCalls, 0);
}

TEST_F(WindowCaptureTest, ClosingTheWindowEndsTheCapture) {
  auto window = std::make_unique<TestWindow>(200, 120);
  WindowCapture capture;
  ASSERT_TRUE(capture.initialize(window->handle(), device.Get()));
  FrameSink sink;
  ASSERT_TRUE(capture.startCapture(sink.callback()));
  ASSERT_TRUE(waitUntil([&] { return sink.frames >= 1; }));
  window.reset();
  ASSERT_TRUE(waitUntil([&] { return !capture.isCapturing(); }));
  ASSERT_TRUE(logs().waitFor("Capture stopped"));
  const auto closed = logs().block("Captured window was closed", "Capture stopped");
  EXPECT_EQ(closed.size(), 2u);
  const int frames = sink.frames;
  capture.stopCapture();
  EXPECT_EQ(logs().count("Capture stopped"), 1);
  EXPECT_EQ(sink.frames, frames);
}

TEST_F(WindowCaptureTest, EmptyFramesAreDroppedAndFailedPoolRecreationIsRetried) {
  TestWindow window(160, 96);
  WindowCapture capture;
  ASSERT_TRUE(capture.initialize(window.handle(), device.Get()));
  FrameSink sink;
  StandinCaptureControl::overrideContentSize(SIZE{0, 96});
  ASSERT_TRUE(capture.startCapture(sink.callback()));
  // Let several empty frames go by: none is delivered and none re-creates the pool.
  const uint64_t raised = StandinCaptureControl::framesRaised();
  ASSERT_TRUE(waitUntil([&] { return StandinCaptureControl::framesRaised() >= raised + 6; }));
  EXPECT_EQ(sink.frames, 0);
  EXPECT_FALSE(logs().contains("Recreating frame pool: 160x96 -> 0x96"));
  StandinCaptureControl::overrideContentSize(std::nullopt);
  ASSERT_TRUE(waitUntil([&] { return sink.frames >= 1; }));

  // The first re-creation fails: the pool keeps its recorded size and the next frame retries.
  StandinCaptureControl::failStep(Step::Recreate, E_OUTOFMEMORY, 1);
  window.resize(176, 100);
  ASSERT_TRUE(waitUntil([&] { return logs().count("Recreating frame pool: 160x96 -> 176x100") >= 2; }));
  EXPECT_TRUE(waitUntil([&] {
    std::lock_guard<std::mutex> lock(sink.mutex);
    return sink.width == 176 && sink.height == 100;
  }));
  bool sawWinRtError = false;
  for (const auto& line : logs().lines()) {
    sawWinRtError = sawWinRtError || line.text.rfind("WinRT error processing frame: ", 0) == 0;
  }
  EXPECT_TRUE(sawWinRtError);
}

TEST_F(WindowCaptureTest, StopsSafelyWhileFramesFlow) {
  TestWindow window(128, 64);
  for (int i = 0; i < 25; ++i) {
    auto capture = std::make_unique<WindowCapture>();
    ASSERT_TRUE(capture->initialize(window.handle(), device.Get()));
    std::atomic<int> frames{0};
    std::atomic<bool> inside{false};
    std::atomic<bool> afterStop{false};
    WindowCapture* self = capture.get();
    const bool stopFromCallback = i % 3 == 0;
    ASSERT_TRUE(capture->startCapture([&, self, stopFromCallback](ID3D11Texture2D*, uint32_t, uint32_t) {
      inside = true;
      if (afterStop) {
        ADD_FAILURE() << "frame after stop";
      }
      ++frames;
      if (stopFromCallback && frames == 2) {
        self->stopCapture();  // from the frame's own thread: must not wait for itself
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      inside = false;
    }));
    ASSERT_TRUE(waitUntil([&] { return frames >= 2; }));
    if (i % 3 == 1) {
      capture->stopCapture();  // from another thread, possibly during a frame
      EXPECT_FALSE(inside);
      afterStop = true;
    } else if (i % 3 == 2) {
      std::thread other([&] { capture->stopCapture(); });
      capture->stopCapture();
      other.join();
      EXPECT_FALSE(inside);
      afterStop = true;
    }
    capture.reset();  // waits for any delivery in progress
    EXPECT_FALSE(inside);
  }
  EXPECT_EQ(logs().count("Capture stopped"), 25);
}

}  // namespace
