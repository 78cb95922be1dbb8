// The product's capture runtime layer on a system without the capture runtime (Wine): the
// program loads, the support query says no and a start ends with the failure report.
#include <gtest/gtest.h>

#include "capture/CaptureError.h"
#include "capture/CapturePlatform.h"
#include "capture/CaptureTestSupport.h"
#include "capture/WindowCapture.h"

TEST(RealCapturePlatform, MissingRuntimeIsReportedAsUnsupported) {
  quorvane::test::LogCapture logs;
  auto device = quorvane::test::createTestDevice();
  quorvane::test::TestWindow window(120, 90);
  quorvane::test::ScopedBuildNumber build(L"19045");
  ASSERT_TRUE(device && build.active());
  if (quorvane::host::WindowCapture().initialize(window.handle(), device.Get())) {
    GTEST_SKIP() << "this system has the capture runtime";
  }
  EXPECT_TRUE(
      logs.contains("Windows Graphics Capture is not supported on this system. Windows Build: 19045"));
  EXPECT_THROW(quorvane::host::CapturePlatform::instance().createItemForWindow(window.handle()),
               quorvane::host::CaptureError);
}
