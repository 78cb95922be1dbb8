#include "encode/EncoderFactory.h"

#include <windows.h>
#include <process.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/LogCapture.h"
#include "encode/StandinLibrary.h"

namespace quorvane::host {
namespace {

const EncoderConfig kConfig = test::EncoderHarness::smallConfig();

TEST(EncoderFactory, PicksNvencOnAnNvidiaAdapterAndReturnsNoEncoderThatFailsToOpen) {
  test::TestDevice gpu;
  test::LogCapture log;
  EXPECT_EQ(EncoderFactory::getAvailableEncoders(gpu.device()), std::vector<EncoderType>{EncoderType::NVENC});
  EXPECT_TRUE(log.contains("NVENC encoder available", spdlog::level::info));
  EXPECT_FALSE(log.contains("AMF encoder available"));  // the AMD runtime is never tried here

  auto encoder = EncoderFactory::createBestEncoder(gpu.device(), kConfig);
  ASSERT_NE(encoder, nullptr);
  EXPECT_STREQ(encoder->getName(), "NVENC");
  EXPECT_TRUE(encoder->isInitialized());
  EXPECT_TRUE(log.contains("Created NVENC encoder", spdlog::level::info));
  encoder.reset();

  EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::QuickSync, gpu.device(), kConfig), nullptr);
  EXPECT_TRUE(log.contains("Encoder type QuickSync not available", spdlog::level::err));
  EXPECT_EQ(EncoderFactory::createEncoder(static_cast<EncoderType>(9), gpu.device(), kConfig), nullptr);
  EXPECT_TRUE(log.contains("Encoder type Unknown not available", spdlog::level::err));

  test::StandinLibrary runtime(L"nvEncodeAPI64.dll", "StandinNvenc");
  runtime.fail("nvEncOpenEncodeSessionEx", 20);
  EXPECT_EQ(EncoderFactory::createBestEncoder(gpu.device(), kConfig), nullptr);
  EXPECT_TRUE(log.contains("GPU doesn't support NVENC - need GTX 600 series or newer", spdlog::level::err));
  EXPECT_TRUE(log.contains("Failed to initialize NVENC encoder", spdlog::level::err));
  EXPECT_TRUE(log.contains("Failed to create any hardware encoder", spdlog::level::err));
  runtime.reset();
  runtime.expectAllReleased();
}

// Wine reads the adapter vendor from its registry settings when a process starts: other
// vendors are tested in a child process started with the settings changed, then restored.
int runChildWithVendor(DWORD vendor, DWORD device, const wchar_t* expectation) {
  const wchar_t* key = L"Software\\Wine\\Direct3D";
  const wchar_t* names[] = {L"VideoPciVendorID", L"VideoPciDeviceID"};
  const DWORD values[] = {vendor, device};
  DWORD old[2] = {};
  bool had[2] = {};
  for (int i = 0; i < 2; ++i) {
    DWORD size = sizeof(DWORD);
    had[i] = RegGetValueW(HKEY_CURRENT_USER, key, names[i], RRF_RT_REG_DWORD, nullptr, &old[i], &size) ==
             ERROR_SUCCESS;
    RegSetKeyValueW(HKEY_CURRENT_USER, key, names[i], REG_DWORD, &values[i], sizeof(DWORD));
  }

  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  const std::wstring quoted = L"\"" + std::wstring(exe) + L"\"";
  _wputenv_s(L"QH_FACTORY_CHILD", expectation);
  const intptr_t code =
      _wspawnl(_P_WAIT, exe, quoted.c_str(), L"--gtest_filter=EncoderFactoryChild.*", nullptr);
  _wputenv_s(L"QH_FACTORY_CHILD", L"");

  for (int i = 0; i < 2; ++i) {
    if (had[i]) {
      RegSetKeyValueW(HKEY_CURRENT_USER, key, names[i], REG_DWORD, &old[i], sizeof(DWORD));
    } else {
      RegDeleteKeyValueW(HKEY_CURRENT_USER, key, names[i]);
    }
  }
  return static_cast<int>(code);
}

TEST(EncoderFactory, PicksAmfOnAnAmdAdapterAndNothingOnOthers) {
  EXPECT_EQ(runChildWithVendor(0x1002, 0x73BF, L"amd"), 0);
  EXPECT_EQ(runChildWithVendor(0x8086, 0x0166, L"other"), 0);
}

TEST(EncoderFactoryChild, Run) {
  const char* expectation = std::getenv("QH_FACTORY_CHILD");
  if (expectation == nullptr) {
    GTEST_SKIP() << "runs in the child process only";
  }
  test::TestDevice gpu;
  test::LogCapture log;
  auto encoder = EncoderFactory::createBestEncoder(gpu.device(), kConfig);
  if (std::string(expectation) == "amd") {
    EXPECT_TRUE(log.contains("AMF encoder available", spdlog::level::info));
    EXPECT_FALSE(log.contains("NVENC encoder available"));
    ASSERT_NE(encoder, nullptr);
    EXPECT_STREQ(encoder->getName(), "AMF");
    EXPECT_TRUE(log.contains("Created AMF encoder", spdlog::level::info));
  } else {
    EXPECT_EQ(encoder, nullptr);
    EXPECT_TRUE(log.contains("No hardware encoders available", spdlog::level::warn));
    EXPECT_TRUE(log.contains("Failed to create any hardware encoder", spdlog::level::err));
  }
}

}  // namespace
}  // namespace quorvane::host
