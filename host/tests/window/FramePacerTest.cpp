#include "capture/FramePacer.h"

#include <gtest/gtest.h>

#include "support/D3DTest.h"

namespace quorvane::host {
namespace {

TEST(FramePacerTest, ReadsTheRefreshRateOfTheFirstOutputOrKeepsTheDefault) {
  FramePacer none;
  EXPECT_FALSE(none.initialize(nullptr));
  EXPECT_FALSE(none.isVSyncAvailable());
  EXPECT_FLOAT_EQ(none.refreshRate, 60.0f);
  auto device = quorvane::test::createTestDevice();
  ASSERT_TRUE(device);
  FramePacer pacer;
  ASSERT_TRUE(pacer.initialize(device.Get()));
  EXPECT_TRUE(pacer.isVSyncAvailable());
  // Wine's virtual display reports an unknown (0/1) rate, which keeps the 60 Hz default.
  EXPECT_GT(pacer.refreshRate, 1.0f);
  EXPECT_LT(pacer.refreshRate, 1000.0f);
}

}  // namespace
}  // namespace quorvane::host
