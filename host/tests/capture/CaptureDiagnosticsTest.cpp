#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StandinCaptureControl.h"
#include "capture/CaptureError.h"
#include "capture/StandinCaptureTest.h"
#include "capture/WindowCapture.h"

using quorvane::host::StandinCaptureControl;
using quorvane::host::WindowCapture;
using quorvane::test::hex;
using quorvane::test::TestWindow;
using Step = StandinCaptureControl::Step;

namespace {

using CaptureDiagnosticsTest = quorvane::test::StandinCaptureTest;
const auto noFrames = [](ID3D11Texture2D*, uint32_t, uint32_t) {};

TEST_F(CaptureDiagnosticsTest, BlockDescribesWindowAndAdapter) {
  TestWindow window(240, 120, std::wstring(300, L'T') + L"tail");
  WindowCapture capture;
  ASSERT_TRUE(capture.initialize(window.handle(), device.Get()));
  logs().clear();
  ASSERT_TRUE(capture.startCapture(noFrames));
  capture.stopCapture();

  const auto lines = logs().block("=== CAPTURE DIAGNOSTICS for window " + hex(window.handle()) + " ===",
                                  "=== END DIAGNOSTICS ===", spdlog::level::info);
  ASSERT_EQ(lines.size(), 12u) << fmt::format("{}", fmt::join(lines, "\n"));
  const std::vector<std::string> expected = {
      "  Windows Build: 19045", "  GraphicsCaptureSession::IsSupported(): YES",
      "  Window Title: " + std::string(255, 'T'), "  Window Class: QuorvaneCaptureTestWindow",
      fmt::format("  Window Style: 0x{:08x}",
                  static_cast<uint32_t>(GetWindowLongW(window.handle(), GWL_STYLE)))};
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 6), expected);
  EXPECT_EQ(lines[6].rfind("  Window ExStyle: 0x", 0), 0u);
  EXPECT_EQ(lines[7], "  IsWindowVisible: YES");
  EXPECT_EQ(lines[8], "  IsIconic (minimized): NO");
  EXPECT_EQ(lines[9].rfind("  GPU: ", 0), 0u);
  EXPECT_EQ(lines[10].rfind("  GPU Vendor ID: 0x", 0), 0u);
  EXPECT_EQ(lines[10].size(), std::string("  GPU Vendor ID: 0x").size() + 4);
  EXPECT_EQ(
      logs()
          .block("Creating Direct3D device wrapper...", "Capture started for window " + hex(window.handle()))
          .size(),
      4u);

  // A minimised window is warned about and still captured.
  window.minimize();
  logs().clear();
  ASSERT_TRUE(capture.startCapture(noFrames));
  EXPECT_TRUE(logs().contains("  IsIconic (minimized): YES"));
  EXPECT_TRUE(logs().contains("  Window is MINIMIZED - capture may fail or return black frames"));
}

TEST_F(CaptureDiagnosticsTest, UnsupportedSystemAndVanishedWindowEndTheStart) {
  TestWindow window(100, 100);
  WindowCapture capture;
  ASSERT_TRUE(capture.initialize(window.handle(), device.Get()));
  logs().clear();
  StandinCaptureControl::failStep(Step::IsSupported, E_FAIL);
  EXPECT_FALSE(capture.startCapture(noFrames));
  const std::vector<std::string> expected = {
      "  GraphicsCaptureSession::IsSupported(): NO",
      "CAPTURE ERROR: GraphicsCaptureSession is NOT supported on this system!",
      "  This usually means:",
      "    1. Windows version is too old (need 1903+)",
      "    2. Graphics driver doesn't support Windows Graphics Capture",
      "    3. Hardware-accelerated GPU scheduling is disabled",
      "  Try: Settings > System > Display > Graphics > Hardware-accelerated GPU scheduling > ON",
      "  Then RESTART your computer."};
  EXPECT_EQ(logs().block(expected.front(), expected.back()), expected);
  EXPECT_FALSE(logs().contains("=== END DIAGNOSTICS ==="));
  EXPECT_FALSE(logs().contains("Creating Direct3D device wrapper..."));
  StandinCaptureControl::reset();

  const HWND handle = window.handle();
  window.destroy();
  logs().clear();
  EXPECT_FALSE(capture.startCapture(noFrames));
  EXPECT_TRUE(logs().contains("  Window handle " + hex(handle) + " is INVALID!"));
  EXPECT_FALSE(logs().contains("=== END DIAGNOSTICS ==="));
}

// Each failing step of a start: the report's cause by code and build, or a plain error line.
TEST_F(CaptureDiagnosticsTest, ReportNamesTheCauseByCodeAndBuild) {
  TestWindow window(100, 80);
  const std::string tooOld = "ROOT CAUSE: Windows version too old!";
  struct Case {
    std::optional<std::string> build;
    Step step;
    HRESULT code;
    std::string cause;  // or the plain error line
    size_t lines;       // of the report; 0 for none
  };
  const std::vector<Case> cases = {
      {std::nullopt, Step::SetBorder, E_NOINTERFACE, tooOld, 8},
      {"17763", Step::SetCursor, E_NOINTERFACE, tooOld, 8},
      {"18361", Step::CreateSession, E_NOINTERFACE, tooOld, 8},
      {"18362", Step::SetBorder, E_NOINTERFACE,
       "ROOT CAUSE: Windows Graphics Capture API blocked/unavailable", 38},
      {"22631", Step::StartCapture, E_ACCESSDENIED, "ROOT CAUSE: Access Denied", 7},
      {"22631", Step::CreateFramePool, E_INVALIDARG, "ROOT CAUSE: Invalid window or parameters", 8},
      {"22631", Step::StartCapture, static_cast<HRESULT>(0x887A0001), "ROOT CAUSE: DirectX/DXGI error", 7},
      {"22631", Step::StartCapture, E_FAIL, "ROOT CAUSE: Unknown error", 7},
      {"22631", Step::CreateDevice, E_FAIL, "Failed to start capture: Failed to create Direct3D11 device", 0},
      {"22631", Step::CreateItem, E_FAIL, "Failed to start capture: Failed to create capture item for window",
       0},
  };
  for (const auto& c : cases) {
    const std::string build = c.build.value_or("0");
    SCOPED_TRACE(c.cause + " at build " + build);
    setBuild(L"19045");
    WindowCapture capture;
    ASSERT_TRUE(capture.initialize(window.handle(), device.Get()));
    // The report reads the build afresh: lower it only after initialisation.
    setBuild(c.build ? std::optional<std::wstring>(std::wstring(build.begin(), build.end())) : std::nullopt);
    logs().clear();
    StandinCaptureControl::failStep(c.step, c.code);
    EXPECT_FALSE(capture.startCapture(noFrames));
    EXPECT_FALSE(capture.isCapturing());
    StandinCaptureControl::reset();
    const auto lines =
        logs().block("=== CAPTURE FAILED ===", "=== END ERROR DETAILS ===", spdlog::level::err);
    ASSERT_EQ(lines.size(), c.lines) << fmt::format("{}", fmt::join(lines, "\n"));
    if (c.lines == 0) {
      EXPECT_TRUE(logs().contains(c.cause));
      continue;
    }
    EXPECT_EQ(lines[1], fmt::format("  Error Code: 0x{:08x}", static_cast<uint32_t>(c.code)));
    EXPECT_EQ(lines[2], "  Error Message: " + quorvane::host::CaptureError::systemMessage(c.code));
    EXPECT_EQ(lines[3], "  Windows Build: " + build);
    EXPECT_EQ(lines[4], c.cause);
    if (c.cause == tooOld) {
      EXPECT_EQ(lines[5], "  You have Build " + build + ", but 18362+ (Windows 10 1903) is required.");
    }
    if (c.lines == 38) {
      EXPECT_EQ(std::count(lines.begin() + 4, lines.end() - 1, ""), 9);
      EXPECT_EQ(
          lines[22],
          "   Get-AppxPackage *GraphicsCapture* | Foreach {Add-AppxPackage -DisableDevelopmentMode -Register "
          "\"$($_.InstallLocation)\\AppXManifest.xml\"}");
      EXPECT_EQ(lines[36], "Try: Windows Settings > System > Recovery > Reset this PC (keep files)");
    }
  }
}

}  // namespace
