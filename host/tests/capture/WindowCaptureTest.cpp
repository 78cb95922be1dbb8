#include "capture/WindowCapture.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "StandinCaptureControl.h"
#include "capture/StandinCaptureTest.h"

using quorvane::host::StandinCaptureControl;
using quorvane::host::WindowCapture;
using quorvane::test::hex;
using quorvane::test::patternPixel;
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

  quorvane::host::CaptureFrameCallback callback() {
    return [this](ID3D11Texture2D* texture, uint32_t w, uint32_t h) {
      auto read = quorvane::test::readTexture(texture, w, h);
      std::lock_guard<std::mutex> lock(mutex);
      pixels = std::move(read);
      width = w;
      height = h;
      ++frames;
    };
  }
  bool hasSize(uint32_t w, uint32_t h) {
    std::lock_guard<std::mutex> lock(mutex);
    return width == w && height == h;
  }
  // Pixels of the last frame that differ from the pattern.
  int mismatches() {
    std::lock_guard<std::mutex> lock(mutex);
    int bad = 0;
    for (uint32_t i = 0; i < pixels.size(); ++i) {
      bad += pixels[i] != patternPixel(i % width, i / width, width, height) ? 1 : 0;
    }
    return bad;
  }
};

using WindowCaptureTest = quorvane::test::StandinCaptureTest;

TEST_F(WindowCaptureTest, InitializeChecksBuildSupportAndWindow) {
  TestWindow window(320, 200);
  TestWindow empty(0, 0);
  struct Case {
    HWND hwnd;
    std::optional<std::wstring> build;
    bool supported;
    HRESULT supportQuery;
    bool ok;
    std::string line;
  };
  const std::vector<Case> cases = {
      {nullptr, L"19045", true, S_OK, false, "Invalid window handle"},
      {window.handle(), L"17763", true, S_OK, false,
       "Windows version too old! Build 17763 detected, but 18362 (Windows 10 version 1903, May 2019 Update) "
       "or "
       "later is required for window capture. Please update Windows to use this feature."},
      {window.handle(), L"18362", true, S_OK, true, ""},
      {window.handle(), std::nullopt, true, S_OK, true, ""},
      {window.handle(), L"19045", false, S_OK, false,
       "Windows Graphics Capture is not supported on this system. Windows Build: 19045"},
      {window.handle(), L"19045", true, E_FAIL, false, ""},
      {empty.handle(), L"19045", true, S_OK, false, "Window has zero size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    StandinCaptureControl::reset();
    StandinCaptureControl::setSupported(c.supported);
    if (FAILED(c.supportQuery)) StandinCaptureControl::failStep(Step::IsSupported, c.supportQuery);
    setBuild(c.build);
    WindowCapture capture;
    EXPECT_EQ(capture.initialize(c.hwnd, device.Get()), c.ok);
    EXPECT_TRUE(c.line.empty() || logs().contains(c.line));
  }
  StandinCaptureControl::reset();
  setBuild(L"19045");
  WindowCapture capture;
  ASSERT_TRUE(capture.initialize(window.handle(), device.Get()));
  uint32_t w = 0, h = 0;
  capture.getSize(w, h);
  EXPECT_EQ(std::make_pair(w, h), std::make_pair(320u, 200u));
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

  window.resize(420, 260);
  ASSERT_TRUE(waitUntil([&] { return logs().contains("Recreating frame pool: 300x180 -> 420x260"); }));
  ASSERT_TRUE(waitUntil([&] { return sink.hasSize(420, 260); }));
  const int before = sink.frames;
  ASSERT_TRUE(waitUntil([&] { return sink.frames >= before + 2; }));
  EXPECT_EQ(sink.mismatches(), 0);
  uint32_t w = 0, h = 0;
  capture.getSize(w, h);
  EXPECT_EQ(std::make_pair(w, h), std::make_pair(420u, 260u));
  EXPECT_EQ(logs().count("First capture frame: 300x180, format=87"), 1u);

  // Stop runs once and no frame follows it.
  capture.stopCapture();
  EXPECT_FALSE(capture.isCapturing());
  const int afterStop = sink.frames;
  capture.stopCapture();
  EXPECT_EQ(logs().count("Capture stopped"), 1u);
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
  ASSERT_TRUE(waitUntil([&] { return logs().contains("Capture stopped"); }));
  EXPECT_EQ(logs().block("Captured window was closed", "Capture stopped").size(), 2u);
  const int frames = sink.frames;
  capture.stopCapture();
  EXPECT_EQ(logs().count("Capture stopped"), 1u);
  EXPECT_EQ(sink.frames, frames);
}

TEST_F(WindowCaptureTest, EmptyFramesAreDroppedAndFailedPoolRecreationIsRetried) {
  TestWindow window(160, 96);
  WindowCapture capture;
  ASSERT_TRUE(capture.initialize(window.handle(), device.Get()));
  FrameSink sink;
  StandinCaptureControl::overrideContentSize(SIZE{0, 96});
  ASSERT_TRUE(capture.startCapture(sink.callback()));
  // Empty frames are neither delivered nor re-create the pool.
  const uint64_t raised = StandinCaptureControl::framesRaised();
  ASSERT_TRUE(waitUntil([&] { return StandinCaptureControl::framesRaised() >= raised + 6; }));
  EXPECT_EQ(sink.frames, 0);
  EXPECT_FALSE(logs().contains("Recreating frame pool: 160x96 -> 0x96"));
  StandinCaptureControl::overrideContentSize(std::nullopt);
  ASSERT_TRUE(waitUntil([&] { return sink.frames >= 1; }));

  // A failed re-creation keeps the recorded size, so the next frame retries it.
  StandinCaptureControl::failStep(Step::Recreate, E_OUTOFMEMORY, 1);
  window.resize(176, 100);
  ASSERT_TRUE(waitUntil([&] { return logs().count("Recreating frame pool: 160x96 -> 176x100") >= 2; }));
  EXPECT_TRUE(waitUntil([&] { return sink.hasSize(176, 100); }));
  EXPECT_TRUE(logs().contains("WinRT error processing frame: "));
}

// Stop from the frame's own thread, from another thread during frames, and from two threads at
// once; destruction waits for a delivery in progress.
TEST_F(WindowCaptureTest, StopsSafelyWhileFramesFlow) {
  TestWindow window(128, 64);
  for (int i = 0; i < 25; ++i) {
    auto capture = std::make_unique<WindowCapture>();
    ASSERT_TRUE(capture->initialize(window.handle(), device.Get()));
    std::atomic<int> frames{0};
    std::atomic<bool> inside{false};
    std::atomic<bool> afterStop{false};
    WindowCapture* self = capture.get();
    const int mode = i % 3;
    ASSERT_TRUE(capture->startCapture([&, self, mode](ID3D11Texture2D*, uint32_t, uint32_t) {
      inside = true;
      EXPECT_FALSE(afterStop) << "frame after stop";
      if (++frames == 2 && mode == 0) self->stopCapture();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      inside = false;
    }));
    ASSERT_TRUE(waitUntil([&] { return frames >= 2; }));
    if (mode != 0) {
      std::thread other([&] {
        if (mode == 2) capture->stopCapture();
      });
      capture->stopCapture();
      other.join();
      EXPECT_FALSE(inside);
      afterStop = true;
    }
    capture.reset();
    EXPECT_FALSE(inside);
  }
  EXPECT_EQ(logs().count("Capture stopped"), 25u);
}

}  // namespace
