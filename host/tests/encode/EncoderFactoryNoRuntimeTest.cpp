#include "encode/EncoderFactory.h"

#include <gtest/gtest.h>

#include "support/LogCapture.h"
#include "encode/TestDevice.h"

namespace quorvane::host {
namespace {

// Run from a folder without the encoder runtimes.
TEST(EncoderFactoryWithoutRuntimes, CreatesNothingAndSaysSo) {
  test::TestDevice gpu;
  test::LogCapture log;
  EXPECT_TRUE(EncoderFactory::getAvailableEncoders(gpu.device()).empty());
  EXPECT_TRUE(log.contains("No hardware encoders available", spdlog::level::warn));
  EXPECT_EQ(EncoderFactory::createBestEncoder(gpu.device(), EncoderConfig{}), nullptr);
  EXPECT_TRUE(log.contains("Failed to create any hardware encoder", spdlog::level::err));

  EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::NVENC, gpu.device(), EncoderConfig{}), nullptr);
  EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::AMF, gpu.device(), EncoderConfig{}), nullptr);
}

}  // namespace
}  // namespace quorvane::host
