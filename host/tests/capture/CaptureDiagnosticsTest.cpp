#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StandinCaptureControl.h"
#include "capture/CaptureError.h"
#include "capture/CaptureTestSupport.h"
#include "capture/StandinCaptureTest.h"
#include "capture/WindowCapture.h"

using quorvane::host::StandinCaptureControl;
using quorvane::host::WindowCapture;
using quorvane::test::hex;
using quorvane::test::LogRecorder;
using quorvane::test::ScopedBuildNumber;
using quorvane::test::TestWindow;
using Step = StandinCaptureControl::Step;

namespace {

std::vector<std::string> texts(const std::vector<LogRecorder::Line>& lines) {
  std::vector<std::string> result;
  for (const auto& line : lines) {
    result.push_back(line.text);
  }
  return result;
}

class CaptureDiagnosticsTest : public quorvane::test::StandinCaptureTest {
 protected:
  // Starts a capture of the window with the step failing; the start must fail. Returns the
  // failure report's lines.
  std::vector<LogRecorder::Line> failingStart(TestWindow& window, Step step, HRESULT code) {
    WindowCapture capture;
    EXPECT_TRUE(capture.initialize(window.handle(), device.Get()));
    LogRecorder::instance().clear();
    StandinCaptureControl::failStep(step, code);
    EXPECT_FALSE(capture.startCapture([](ID3D11Texture2D*, uint32_t, uint32_t) {}));
    EXPECT_FALSE(capture.isCapturing());
    StandinCaptureControl::reset();
    return LogRecorder::instance().block("=== CAPTURE FAILED ===", "=== END ERROR DETAILS ===");
  }
};

TEST_F(CaptureDiagnosticsTest, BlockDescribesWindowAndAdapter) {
  TestWindow window(240, 120, std::wstring(300, L'T') + L"tail");
  WindowCapture capture;
  ASSERT_TRUE(capture.initialize(window.handle(), device.Get()));
  LogRecorder::instance().clear();
  ASSERT_TRUE(capture.startCapture([](ID3D11Texture2D*, uint32_t, uint32_t) {}));
  capture.stopCapture();

  const auto block = LogRecorder::instance().block(
      "=== CAPTURE DIAGNOSTICS for window " + hex(window.handle()) + " ===", "=== END DIAGNOSTICS ===");
  const auto lines = texts(block);
  ASSERT_EQ(lines.size(), 12u) << fmt::format("{}", fmt::join(lines, "\n"));
  EXPECT_EQ(lines[1], "  Windows Build: 19045");
  EXPECT_EQ(lines[2], "  GraphicsCaptureSession::IsSupported(): YES");
  EXPECT_EQ(lines[3], "  Window Title: " + std::string(255, 'T'));
  EXPECT_EQ(lines[4], "  Window Class: QuorvaneCaptureTestWindow");
  EXPECT_EQ(lines[5], fmt::format("  Window Style: 0x{:08x}",
                                  static_cast<uint32_t>(GetWindowLongW(window.handle(), GWL_STYLE))));
  EXPECT_EQ(lines[6].rfind("  Window ExStyle: 0x", 0), 0u);
  EXPECT_EQ(lines[7], "  IsWindowVisible: YES");
  EXPECT_EQ(lines[8], "  IsIconic (minimized): NO");
  EXPECT_EQ(lines[9].rfind("  GPU: ", 0), 0u);
  EXPECT_EQ(lines[10].rfind("  GPU Vendor ID: 0x", 0), 0u);
  EXPECT_EQ(lines[10].size(), std::string("  GPU Vendor ID: 0x").size() + 4);
  for (const auto& line : block) {
    EXPECT_EQ(line.level, spdlog::level::info) << line.text;
  }
  const auto created = texts(LogRecorder::instance().block(
      "Creating Direct3D device wrapper...", "Capture started for window " + hex(window.handle())));
  EXPECT_EQ(created.size(), 4u);

  // A minimised window is warned about and still captured.
  window.minimize();
  LogRecorder::instance().clear();
  ASSERT_TRUE(capture.startCapture([](ID3D11Texture2D*, uint32_t, uint32_t) {}));
  EXPECT_TRUE(LogRecorder::instance().contains("  IsIconic (minimized): YES"));
  EXPECT_TRUE(
      LogRecorder::instance().contains("  Window is MINIMIZED - capture may fail or return black frames"));
}

TEST_F(CaptureDiagnosticsTest, UnsupportedSystemAndVanishedWindowEndTheStart) {
  TestWindow window(100, 100);
  WindowCapture capture;
  ASSERT_TRUE(capture.initialize(window.handle(), device.Get()));
  LogRecorder::instance().clear();
  StandinCaptureControl::failStep(Step::IsSupported, E_FAIL);
  EXPECT_FALSE(capture.startCapture([](ID3D11Texture2D*, uint32_t, uint32_t) {}));
  const std::vector<std::string> expected = {
      "  GraphicsCaptureSession::IsSupported(): NO",
      "CAPTURE ERROR: GraphicsCaptureSession is NOT supported on this system!",
      "  This usually means:",
      "    1. Windows version is too old (need 1903+)",
      "    2. Graphics driver doesn't support Windows Graphics Capture",
      "    3. Hardware-accelerated GPU scheduling is disabled",
      "  Try: Settings > System > Display > Graphics > Hardware-accelerated GPU scheduling > ON",
      "  Then RESTART your computer."};
  EXPECT_EQ(texts(LogRecorder::instance().block(expected.front(), expected.back())), expected);
  EXPECT_FALSE(LogRecorder::instance().contains("=== END DIAGNOSTICS ==="));
  EXPECT_FALSE(LogRecorder::instance().contains("Creating Direct3D device wrapper..."));
  StandinCaptureControl::reset();

  const HWND handle = window.handle();
  window.destroy();
  LogRecorder::instance().clear();
  EXPECT_FALSE(capture.startCapture([](ID3D11Texture2D*, uint32_t, uint32_t) {}));
  EXPECT_TRUE(LogRecorder::instance().contains("  Window handle " + hex(handle) + " is INVALID!"));
  EXPECT_FALSE(LogRecorder::instance().contains("=== END DIAGNOSTICS ==="));
}

TEST_F(CaptureDiagnosticsTest, ReportNamesTheCauseByCodeAndBuild) {
  TestWindow window(100, 80);
  struct Case {
    std::optional<std::wstring> build;
    Step step;
    HRESULT code;
    std::string buildLine;
    std::string cause;
    size_t lines;
  };
  const std::vector<Case> cases = {
      {std::nullopt, Step::SetBorder, E_NOINTERFACE, "  Windows Build: 0",
       "ROOT CAUSE: Windows version too old!", 8},
      {L"17763", Step::SetCursor, E_NOINTERFACE, "  Windows Build: 17763",
       "ROOT CAUSE: Windows version too old!", 8},
      {L"18361", Step::CreateSession, E_NOINTERFACE, "  Windows Build: 18361",
       "ROOT CAUSE: Windows version too old!", 8},
      {L"18362", Step::SetBorder, E_NOINTERFACE, "  Windows Build: 18362",
       "ROOT CAUSE: Windows Graphics Capture API blocked/unavailable", 38},
      {L"22631", Step::StartCapture, E_ACCESSDENIED, "  Windows Build: 22631", "ROOT CAUSE: Access Denied",
       7},
      {L"22631", Step::CreateFramePool, E_INVALIDARG, "  Windows Build: 22631",
       "ROOT CAUSE: Invalid window or parameters", 8},
      {L"22631", Step::StartCapture, static_cast<HRESULT>(0x887A0001), "  Windows Build: 22631",
       "ROOT CAUSE: DirectX/DXGI error", 7},
      {L"22631", Step::StartCapture, E_FAIL, "  Windows Build: 22631", "ROOT CAUSE: Unknown error", 7},
  };
  for (const auto& c : cases) {
    std::vector<LogRecorder::Line> report;
    setBuild(L"19045");
    {
      // The build number is read afresh for the report: lower it only after initialisation.
      WindowCapture capture;
      ASSERT_TRUE(capture.initialize(window.handle(), device.Get()));
      setBuild(c.build);
      LogRecorder::instance().clear();
      StandinCaptureControl::failStep(c.step, c.code);
      EXPECT_FALSE(capture.startCapture([](ID3D11Texture2D*, uint32_t, uint32_t) {}));
      StandinCaptureControl::reset();
      report = LogRecorder::instance().block("=== CAPTURE FAILED ===", "=== END ERROR DETAILS ===");
    }
    const auto lines = texts(report);
    SCOPED_TRACE(c.cause + " " + c.buildLine);
    ASSERT_EQ(lines.size(), c.lines) << fmt::format("{}", fmt::join(lines, "\n"));
    EXPECT_EQ(lines[1], fmt::format("  Error Code: 0x{:08x}", static_cast<uint32_t>(c.code)));
    EXPECT_EQ(lines[2], "  Error Message: " + quorvane::host::CaptureError::systemMessage(c.code));
    EXPECT_EQ(lines[3], c.buildLine);
    EXPECT_EQ(lines[4], c.cause);
    for (const auto& line : report) {
      EXPECT_EQ(line.level, spdlog::level::err);
    }
    if (c.cause == "ROOT CAUSE: Windows version too old!") {
      EXPECT_EQ(lines[5],
                "  You have Build " + c.buildLine.substr(17) + ", but 18362+ (Windows 10 1903) is required.");
    }
    if (c.lines == 38) {
      int empty = 0;
      for (size_t i = 4; i < 37; ++i) {
        empty += lines[i].empty() ? 1 : 0;
      }
      EXPECT_EQ(empty, 9);
      EXPECT_EQ(
          lines[22],
          "   Get-AppxPackage *GraphicsCapture* | Foreach {Add-AppxPackage -DisableDevelopmentMode -Register "
          "\"$($_.InstallLocation)\\AppXManifest.xml\"}");
      EXPECT_EQ(lines[36], "Try: Windows Settings > System > Recovery > Reset this PC (keep files)");
    }
  }
}

TEST_F(CaptureDiagnosticsTest, PlainErrorsAreLoggedWithoutReport) {
  TestWindow window(100, 80);
  for (Step step : {Step::CreateDevice, Step::CreateItem}) {
    EXPECT_TRUE(failingStart(window, step, E_FAIL).empty());
  }
  EXPECT_TRUE(
      LogRecorder::instance().contains("Failed to start capture: Failed to create capture item for window"));
  LogRecorder::instance().clear();
  failingStart(window, Step::CreateDevice, E_FAIL);
  EXPECT_TRUE(
      LogRecorder::instance().contains("Failed to start capture: Failed to create Direct3D11 device"));
}

}  // namespace
