#include "capture/WindowCapture.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "StandinCaptureControl.h"
#include "capture/CaptureError.h"
#include "capture/CaptureTestSupport.h"

using quorvane::host::StandinCaptureControl;
using quorvane::host::WindowCapture;
using quorvane::test::TestWindow;
using quorvane::test::waitUntil;
using Step = StandinCaptureControl::Step;

namespace {

const auto noFrames = [](ID3D11Texture2D*, uint32_t, uint32_t) {};

// Counts frames and keeps the pixels and size of the last one.
struct FrameSink {
  std::mutex mutex;
  std::atomic<int> frames{0};
  std::vector<uint32_t> pixels;
  uint32_t width = 0, height = 0;

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
    for (uint32_t i = 0; i < pixels.size(); ++i)
      bad += pixels[i] != quorvane::test::patternPixel(i % width, i / width, width, height);
    return bad;
  }
};

// Captures on the stand-in runtime with a current Windows build number in the registry (Wine's
// names an old one). Every frame worker must have ended by the end of the test.
class WindowCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StandinCaptureControl::reset();
    device = quorvane::test::createTestDevice();
    ASSERT_TRUE(device);
    setBuild(L"19045");
  }
  void TearDown() override {
    StandinCaptureControl::reset();
    EXPECT_TRUE(waitUntil([] { return StandinCaptureControl::runningWorkers() == 0; }));
    build.reset();
  }
  void setBuild(std::optional<std::wstring> value) {
    build.reset();
    build.emplace(std::move(value));
    ASSERT_TRUE(build->active());
  }
  // A capture of the window, initialised, with an empty log.
  std::unique_ptr<WindowCapture> capture(HWND hwnd) {
    auto capture = std::make_unique<WindowCapture>();
    EXPECT_TRUE(capture->initialize(hwnd, device.Get()));
    log.clear();
    return capture;
  }

  quorvane::test::LogCapture log;  // first: outlives every capture of the test
  std::optional<quorvane::test::ScopedBuildNumber> build;
  Microsoft::WRL::ComPtr<ID3D11Device> device;
};

TEST_F(WindowCaptureTest, InitializeChecksBuildSupportAndWindow) {
  TestWindow window(320, 200), empty(0, 0);
  struct Case {
    HWND hwnd;
    std::optional<std::wstring> build;  // none: unreadable, which counts as build 0 and passes
    bool supported;
    HRESULT supportQuery;
    bool ok;
  };
  for (const Case& c :
       {Case{nullptr, L"19045", true, S_OK, false}, Case{window.handle(), L"18361", true, S_OK, false},
        Case{window.handle(), L"18362", true, S_OK, true}, Case{window.handle(), {}, true, S_OK, true},
        Case{window.handle(), L"19045", false, S_OK, false},
        Case{window.handle(), L"19045", true, E_FAIL, false},
        Case{empty.handle(), L"19045", true, S_OK, false}}) {
    SCOPED_TRACE(::testing::Message() << c.hwnd << " build " << c.build.value_or(L"none").c_str());
    StandinCaptureControl::reset();
    StandinCaptureControl::setSupported(c.supported);
    if (FAILED(c.supportQuery)) StandinCaptureControl::failStep(Step::IsSupported, c.supportQuery);
    setBuild(c.build);
    EXPECT_EQ(WindowCapture().initialize(c.hwnd, device.Get()), c.ok);
  }
  StandinCaptureControl::reset();
  setBuild(L"19045");
  uint32_t w = 0, h = 0;
  capture(window.handle())->getSize(w, h);
  EXPECT_EQ(std::make_pair(w, h), std::make_pair(320u, 200u));
  EXPECT_FALSE(WindowCapture().startCapture(noFrames));  // not initialised
}

TEST_F(WindowCaptureTest, DeliversWindowPixelsFollowsResizeAndStops) {
  TestWindow window(300, 180);
  auto capture = this->capture(window.handle());
  FrameSink sink;
  ASSERT_TRUE(capture->startCapture(sink.callback()));
  EXPECT_TRUE(capture->isCapturing());
  std::atomic<int> secondCalls{0};  // a second start keeps the first callback
  EXPECT_TRUE(capture->startCapture([&](ID3D11Texture2D*, uint32_t, uint32_t) { ++secondCalls; }));
  ASSERT_TRUE(waitUntil([&] { return sink.frames >= 3; }));
  EXPECT_EQ(sink.mismatches(), 0);

  window.resize(420, 260);
  ASSERT_TRUE(waitUntil([&] { return sink.hasSize(420, 260); }));
  const int before = sink.frames;
  ASSERT_TRUE(waitUntil([&] { return sink.frames >= before + 2; }));
  EXPECT_EQ(sink.mismatches(), 0);
  uint32_t w = 0, h = 0;
  capture->getSize(w, h);
  EXPECT_EQ(std::make_pair(w, h), std::make_pair(420u, 260u));

  // Stop runs once and no frame follows it.
  capture->stopCapture();
  EXPECT_FALSE(capture->isCapturing());
  const int afterStop = sink.frames;
  capture->stopCapture();
  EXPECT_EQ(log.count("Capture stopped"), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(sink.frames, afterStop);
  EXPECT_EQ(secondCalls, 0);
}

TEST_F(WindowCaptureTest, ClosingTheWindowEndsTheCapture) {
  auto window = std::make_unique<TestWindow>(200, 120);
  auto capture = this->capture(window->handle());
  FrameSink sink;
  ASSERT_TRUE(capture->startCapture(sink.callback()));
  ASSERT_TRUE(waitUntil([&] { return sink.frames >= 1; }));
  window.reset();
  ASSERT_TRUE(waitUntil([&] { return !capture->isCapturing() && log.count("Capture stopped") == 1; }));
  const int frames = sink.frames;
  capture->stopCapture();
  EXPECT_EQ(log.count("Capture stopped"), 1u);
  EXPECT_EQ(sink.frames, frames);
}

TEST_F(WindowCaptureTest, EmptyFramesAreDroppedAndFailedPoolRecreationIsRetried) {
  TestWindow window(160, 96);
  auto capture = this->capture(window.handle());
  FrameSink sink;
  StandinCaptureControl::overrideContentSize(SIZE{0, 96});
  ASSERT_TRUE(capture->startCapture(sink.callback()));
  const uint64_t raised = StandinCaptureControl::framesRaised();
  ASSERT_TRUE(waitUntil([&] { return StandinCaptureControl::framesRaised() >= raised + 6; }));
  EXPECT_EQ(sink.frames, 0);
  EXPECT_FALSE(log.contains("Recreating frame pool"));
  StandinCaptureControl::overrideContentSize(std::nullopt);
  ASSERT_TRUE(waitUntil([&] { return sink.frames >= 1; }));
  // A failed re-creation keeps the recorded size, so the next frame retries it.
  StandinCaptureControl::failStep(Step::Recreate, E_OUTOFMEMORY, 1);
  window.resize(176, 100);
  ASSERT_TRUE(waitUntil([&] { return log.count("Recreating frame pool: 160x96 -> 176x100") >= 2; }));
  EXPECT_TRUE(waitUntil([&] { return sink.hasSize(176, 100); }));
}

// Stop from the frame's own thread, from another thread during frames, and from two threads at
// once; destruction waits for a delivery in progress.
TEST_F(WindowCaptureTest, StopsSafelyWhileFramesFlow) {
  TestWindow window(128, 64);
  for (int i = 0; i < 25; ++i) {
    auto capture = this->capture(window.handle());
    std::atomic<int> frames{0};
    std::atomic<bool> inside{false}, afterStop{false};
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
    EXPECT_EQ(log.count("Capture stopped"), 1u);
  }
}

// The diagnostics block before each start: the system and the window, a title cut to 255
// units, and a warning for a minimised window, which is captured all the same.
TEST_F(WindowCaptureTest, DiagnosticsDescribeWindowAndSystem) {
  TestWindow window(240, 120, std::wstring(300, L'T') + L"tail");
  auto capture = this->capture(window.handle());
  ShowWindow(window.handle(), SW_MINIMIZE);
  ASSERT_TRUE(capture->startCapture(noFrames));
  const auto lines = log.block(fmt::format("=== CAPTURE DIAGNOSTICS for window {:x} ===",
                                           reinterpret_cast<uintptr_t>(window.handle())),
                               "=== END DIAGNOSTICS ===", spdlog::level::info);
  ASSERT_EQ(lines.size(), 13u) << fmt::format("{}", fmt::join(lines, "\n"));
  EXPECT_EQ(lines[1], "  Windows Build: 19045");
  EXPECT_EQ(lines[3], "  Window Title: " + std::string(255, 'T'));
  EXPECT_EQ(lines[8], "  IsIconic (minimized): YES");
  EXPECT_EQ(lines[9], "[wrong level]   Window is MINIMIZED - capture may fail or return black frames");
}

// A failed start: the report's cause by code and build, the CAPTURE ERROR lines when the support
// query fails, a plain error line for a device or item that cannot be made.
TEST_F(WindowCaptureTest, FailedStartReportsTheCauseByCodeAndBuild) {
  TestWindow window(100, 80);
  const std::string tooOld = "ROOT CAUSE: Windows version too old!";
  struct Case {
    std::optional<std::wstring> build;
    Step step;
    HRESULT code;
    std::string cause;  // or the plain error line
    size_t lines;       // of the report; 0 for none
  };
  for (const Case& c :
       {Case{{}, Step::SetBorder, E_NOINTERFACE, tooOld, 8},
        Case{L"18361", Step::CreateSession, E_NOINTERFACE, tooOld, 8},
        Case{L"18362", Step::SetCursor, E_NOINTERFACE,
             "ROOT CAUSE: Windows Graphics Capture API blocked/unavailable", 38},
        Case{L"22631", Step::StartCapture, E_ACCESSDENIED, "ROOT CAUSE: Access Denied", 7},
        Case{L"22631", Step::CreateFramePool, E_INVALIDARG, "ROOT CAUSE: Invalid window or parameters", 8},
        Case{L"22631", Step::StartCapture, static_cast<HRESULT>(0x887A0001), "ROOT CAUSE: DirectX/DXGI error",
             7},
        Case{L"22631", Step::StartCapture, E_FAIL, "ROOT CAUSE: Unknown error", 7},
        Case{L"22631", Step::IsSupported, E_FAIL,
             "CAPTURE ERROR: GraphicsCaptureSession is NOT supported on this system!", 0},
        Case{L"22631", Step::CreateDevice, E_FAIL,
             "Failed to start capture: Failed to create Direct3D11 device", 0},
        Case{L"22631", Step::CreateItem, E_FAIL,
             "Failed to start capture: Failed to create capture item for window", 0}}) {
    SCOPED_TRACE(c.cause);
    setBuild(L"19045");
    auto capture = this->capture(window.handle());
    setBuild(c.build);  // the report reads the build afresh
    StandinCaptureControl::failStep(c.step, c.code);
    EXPECT_FALSE(capture->startCapture(noFrames));
    EXPECT_FALSE(capture->isCapturing());
    StandinCaptureControl::reset();
    const auto lines = log.block("=== CAPTURE FAILED ===", "=== END ERROR DETAILS ===", spdlog::level::err);
    ASSERT_EQ(lines.size(), c.lines) << fmt::format("{}", fmt::join(lines, "\n"));
    if (c.lines == 0) {
      EXPECT_TRUE(log.contains(c.cause));
      continue;
    }
    const std::string build = c.build ? std::string(c.build->begin(), c.build->end()) : "0";
    EXPECT_EQ(
        std::vector<std::string>(lines.begin() + 1, lines.begin() + 5),
        (std::vector<std::string>{fmt::format("  Error Code: 0x{:08x}", static_cast<uint32_t>(c.code)),
                                  "  Error Message: " + quorvane::host::CaptureError::systemMessage(c.code),
                                  "  Windows Build: " + build, c.cause}));
    if (c.cause == tooOld) {
      EXPECT_EQ(lines[5], "  You have Build " + build + ", but 18362+ (Windows 10 1903) is required.");
    }
  }
}

}  // namespace
