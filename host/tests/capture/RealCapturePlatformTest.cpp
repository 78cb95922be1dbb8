// The product's capture runtime layer on a system without the capture runtime (Wine): the
// program loads, the support query says no and every start ends with the diagnostics.
#include <gtest/gtest.h>

#include "capture/CaptureError.h"
#include "capture/CapturePlatform.h"
#include "capture/CaptureTestSupport.h"
#include "capture/WindowCapture.h"

using quorvane::host::CapturePlatform;
using quorvane::host::WindowCapture;
using quorvane::test::ScopedBuildNumber;
using quorvane::test::TestWindow;

TEST(RealCapturePlatform, MissingRuntimeIsReportedAsUnsupported) {
  quorvane::test::LogCapture logs;
  auto device = quorvane::test::createTestDevice();
  ASSERT_TRUE(device);
  TestWindow window(120, 90);
  ScopedBuildNumber build(L"19045");
  ASSERT_TRUE(build.active());

  WindowCapture capture;
  if (capture.initialize(window.handle(), device.Get())) {
    GTEST_SKIP() << "this system has the capture runtime";
  }
  EXPECT_TRUE(
      logs.contains("Windows Graphics Capture is not supported on this system. Windows Build: 19045"));
  // The runtime's classes cannot be activated: a start would end with the failure report.
  EXPECT_THROW(CapturePlatform::instance().createItemForWindow(window.handle()),
               quorvane::host::CaptureError);
}
