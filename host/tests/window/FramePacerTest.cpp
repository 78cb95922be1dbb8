#include "capture/FramePacer.h"

#include <gtest/gtest.h>

#include "support/D3DTest.h"
#include "support/LogCapture.h"

namespace quorvane::host {
namespace {

TEST(FramePacerTest, ReadsRefreshRateOfFirstOutputOrKeepsDefaults) {
  quorvane::test::LogCapture log;
  FramePacer none;
  EXPECT_FALSE(none.initialize(nullptr));
  EXPECT_FALSE(none.isVSyncAvailable());
  EXPECT_FLOAT_EQ(none.refreshRate, 60.0f);
  EXPECT_TRUE(log.hasLine(spdlog::level::warn, "FramePacer: No device provided"));

  auto device = quorvane::test::createTestDevice();
  ASSERT_TRUE(device);
  FramePacer pacer;
  ASSERT_TRUE(pacer.initialize(device.Get()));
  EXPECT_TRUE(pacer.isVSyncAvailable());
  // Wine's virtual display reports an unknown (0/1) rate, which keeps the 60 Hz default.
  EXPECT_GT(pacer.refreshRate, 1.0f);
  EXPECT_LT(pacer.refreshRate, 1000.0f);
  EXPECT_TRUE(log.hasLine(spdlog::level::info, fmt::format("FramePacer: VSync synchronization available "
                                                           "(refresh rate: {:.1f}Hz)",
                                                           pacer.refreshRate)));
}

}  // namespace
}  // namespace quorvane::host
