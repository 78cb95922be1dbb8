#include "encode/EncoderFactory.h"

#include <gtest/gtest.h>

#include "encode/TestDevice.h"

namespace quorvane::host {
namespace {

// Run from a folder without the encoder runtimes.
TEST(EncoderFactoryWithoutRuntimes, CreatesNothing) {
  test::TestDevice gpu;
  EXPECT_TRUE(EncoderFactory::getAvailableEncoders(gpu.device()).empty());
  for (auto type : {EncoderType::NVENC, EncoderType::AMF}) {
    EXPECT_EQ(EncoderFactory::createEncoder(type, gpu.device(), EncoderConfig{}), nullptr);
  }
  EXPECT_EQ(EncoderFactory::createBestEncoder(gpu.device(), EncoderConfig{}), nullptr);
}

}  // namespace
}  // namespace quorvane::host
