#include "capture/WindowCapture.h"

#include <gtest/gtest.h>

#include "StandinCaptureControl.h"
#include "capture/CaptureTestSupport.h"

using quorvane::host::StandinCaptureControl;
using quorvane::host::WindowCapture;
using quorvane::test::TestWindow;
using quorvane::test::waitFor;
using Step = StandinCaptureControl::Step;

namespace {

const auto noFrames = [](ID3D11Texture2D*, uint32_t, uint32_t) {};

// Counts frames; keeps the last one's size and how many of its pixels differ from the pattern.
struct FrameSink {
  std::mutex mutex;
  std::atomic<int> frames{0};
  std::tuple<uint32_t, uint32_t, int> last;

  void operator()(ID3D11Texture2D* texture, uint32_t w, uint32_t h) {
    const auto pixels = quorvane::test::readTexture(texture, w, h);
    int bad = 0;
    for (uint32_t i = 0; i < pixels.size(); ++i)
      bad += pixels[i] != quorvane::test::patternPixel(i % w, i / w, w, h);
    std::lock_guard<std::mutex> lock(mutex);
    last = {w, h, bad};
    ++frames;
  }
  bool shows(uint32_t w, uint32_t h) {
    std::lock_guard<std::mutex> lock(mutex);
    return last == std::tuple{w, h, 0};
  }
};

// The stand-in runtime with a current build number (Wine's is old); no frame worker outlives a test.
class WindowCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StandinCaptureControl::reset();
    ASSERT_TRUE(device);
    setBuild(L"19045");
  }
  void TearDown() override {
    StandinCaptureControl::reset();
    EXPECT_TRUE(waitFor([] { return StandinCaptureControl::runningWorkers() == 0; }));
  }
  void setBuild(const std::optional<std::wstring>& value) {
    build.reset();
    build.emplace(value);
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
  Microsoft::WRL::ComPtr<ID3D11Device> device = quorvane::test::createTestDevice();
  std::optional<quorvane::test::ScopedBuildNumber> build;
};

// Frames without content are dropped; then the window's exact pixels, also after a resize whose
// first frame-pool re-creation fails (the next frame retries it), until the window closes. A
// second start keeps the first callback; the diagnostics cut the title to 255 units.
TEST_F(WindowCaptureTest, DeliversTheWindowsPixelsUntilItCloses) {
  auto window = std::make_unique<TestWindow>(160, 96, std::wstring(300, L'T') + L"tail");
  auto capture = this->capture(window->handle());
  FrameSink sink;
  StandinCaptureControl::overrideContentSize(SIZE{0, 96});
  ASSERT_TRUE(capture->startCapture(std::ref(sink)) && capture->startCapture(noFrames));
  EXPECT_TRUE(log.hasLine(spdlog::level::info, "  Window Title: " + std::string(255, 'T')));
  const uint64_t raised = StandinCaptureControl::framesRaised();
  ASSERT_TRUE(waitFor([&] { return StandinCaptureControl::framesRaised() >= raised + 6; }));
  EXPECT_EQ(sink.frames, 0);
  StandinCaptureControl::overrideContentSize(std::nullopt);
  ASSERT_TRUE(waitFor([&] { return sink.shows(160, 96); }));
  StandinCaptureControl::failStep(Step::Recreate, E_OUTOFMEMORY, 1);
  window->resize(176, 100);
  ASSERT_TRUE(waitFor([&] { return log.count("Recreating frame pool: 160x96 -> 176x100") >= 2; }));
  ASSERT_TRUE(waitFor([&] { return sink.shows(176, 100); }));

  window.reset();
  ASSERT_TRUE(waitFor([&] { return !capture->isCapturing() && log.count("Capture stopped") == 1; }));
  const int frames = sink.frames;
  capture->stopCapture();
  EXPECT_EQ(log.count("Capture stopped"), 1u);
  EXPECT_EQ(sink.frames, frames);
}

// A program that never asks for the handlers' times (the stand-in host) keeps none, however long it
// captures; from the first request on, each frame's time is kept until the next request.
TEST_F(WindowCaptureTest, KeepsHandlerTimesOnlyOnceAskedFor) {
  TestWindow window(64, 48);
  auto capture = this->capture(window.handle());
  std::atomic<int> frames{0};
  ASSERT_TRUE(capture->startCapture([&](ID3D11Texture2D*, uint32_t, uint32_t) { ++frames; }));
  ASSERT_TRUE(waitFor([&] { return frames >= 3; }));
  EXPECT_EQ(StandinCaptureControl::takeHandlerMilliseconds().size(), 0u);
  const int asked = frames;
  ASSERT_TRUE(waitFor([&] { return frames >= asked + 3; }));
  capture->stopCapture();
  EXPECT_GE(StandinCaptureControl::takeHandlerMilliseconds().size(), 3u);
}

// Initialisation refuses a build before 18362 (an unreadable one passes), an unsupported system
// and an empty window. A failed start: the report's cause by code and build, the CAPTURE ERROR
// lines when the support query fails, a plain error line for a device or item that cannot be made.
TEST_F(WindowCaptureTest, RefusedInitialisationAndFailedStartReportTheCause) {
  TestWindow window(100, 80), empty(0, 0);
  for (const auto& [build, ok] : {std::pair{L"18361", false}, {L"18362", true}, {L"", true}}) {
    setBuild(*build != 0 ? std::optional<std::wstring>(build) : std::nullopt);
    EXPECT_EQ(WindowCapture().initialize(window.handle(), device.Get()), ok) << build;
  }
  setBuild(L"19045");
  EXPECT_FALSE(WindowCapture().initialize(empty.handle(), device.Get()) ||
               WindowCapture().startCapture(noFrames));
  StandinCaptureControl::setSupported(false);
  EXPECT_FALSE(WindowCapture().initialize(window.handle(), device.Get()));
  struct Case {
    std::optional<std::wstring> build;
    Step step;
    HRESULT code;
    std::string cause;  // after "ROOT CAUSE: ", or a whole error line
  };
  for (const Case& c :
       {Case{{}, Step::SetBorder, E_NOINTERFACE, "Windows version too old!"},
        Case{L"18361", Step::CreateSession, E_NOINTERFACE, "Windows version too old!"},
        Case{L"18362", Step::SetCursor, E_NOINTERFACE, "Windows Graphics Capture API blocked/unavailable"},
        Case{L"22631", Step::StartCapture, E_ACCESSDENIED, "Access Denied"},
        Case{L"22631", Step::CreateFramePool, E_INVALIDARG, "Invalid window or parameters"},
        Case{L"22631", Step::StartCapture, static_cast<HRESULT>(0x887A0001), "DirectX/DXGI error"},
        Case{L"22631", Step::StartCapture, E_FAIL, "Unknown error"},
        Case{L"22631", Step::IsSupported, E_FAIL,
             "CAPTURE ERROR: GraphicsCaptureSession is NOT supported on this system!"},
        Case{L"22631", Step::CreateDevice, E_FAIL,
             "Failed to start capture: Failed to create Direct3D11 device"},
        Case{L"22631", Step::CreateItem, E_FAIL,
             "Failed to start capture: Failed to create capture item for window"}}) {
    SCOPED_TRACE(c.cause);
    StandinCaptureControl::reset();
    setBuild(L"19045");
    auto capture = this->capture(window.handle());
    setBuild(c.build);  // the report reads the build afresh
    StandinCaptureControl::failStep(c.step, c.code);
    EXPECT_FALSE(capture->startCapture(noFrames) || capture->isCapturing());
    const auto lines = log.block("=== CAPTURE FAILED ===", "=== END ERROR DETAILS ===", spdlog::level::err);
    if (c.cause.find(':') != std::string::npos) {
      EXPECT_TRUE(lines.empty() && log.hasLine(spdlog::level::err, c.cause));
      continue;
    }
    const std::string build = c.build ? std::string(c.build->begin(), c.build->end()) : "0";
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(std::vector<std::string>({lines[1], lines[3], lines[4]}),
              (std::vector<std::string>{fmt::format("  Error Code: 0x{:08x}", static_cast<uint32_t>(c.code)),
                                        "  Windows Build: " + build, "ROOT CAUSE: " + c.cause}));
  }
}

}  // namespace
