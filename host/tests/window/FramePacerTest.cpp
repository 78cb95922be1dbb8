#include "capture/FramePacer.h"

#include <gtest/gtest.h>

#include "support/LogCapture.h"
#include "TestDevice.h"

using quorvane::test::LogCapture;

namespace quorvane::host {
namespace {

TEST(FramePacerTest, ReadsRefreshRateOfFirstOutput) {
  auto device = createTestDevice();
  ASSERT_TRUE(device);
  LogCapture log;
  FramePacer pacer;
  ASSERT_TRUE(pacer.initialize(device.Get()));
  EXPECT_TRUE(pacer.isVSyncAvailable());
  // Wine on a virtual display lists its mode with an unknown (0/1) rate, which keeps the 60 Hz
  // default; a real display gives its own rate. Never 0.
  EXPECT_GT(pacer.refreshRate, 1.0f);
  EXPECT_LT(pacer.refreshRate, 1000.0f);
  EXPECT_TRUE(pacer.vsyncEnabled.load());
  const std::string expected =
      fmt::format("FramePacer: VSync synchronization available (refresh rate: {:.1f}Hz)", pacer.refreshRate);
  EXPECT_TRUE(log.hasLine(spdlog::level::info, expected)) << expected;
}

TEST(FramePacerTest, NoDeviceKeepsDefaults) {
  LogCapture log;
  FramePacer pacer;
  EXPECT_FALSE(pacer.initialize(nullptr));
  EXPECT_FALSE(pacer.isVSyncAvailable());
  EXPECT_FLOAT_EQ(pacer.refreshRate, 60.0f);
  EXPECT_TRUE(log.hasLine(spdlog::level::warn, "FramePacer: No device provided"));
}

}  // namespace
}  // namespace quorvane::host
