#include "encode/EncoderFactory.h"

#include <windows.h>
#include <process.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "encode/StandinLibrary.h"
#include "encode/TestDevice.h"
#include "support/LogCapture.h"

namespace quorvane::host {
namespace {

EncoderConfig config() {
  EncoderConfig c;
  c.width = 256;
  c.height = 144;
  return c;
}

TEST(EncoderFactory, PicksNvencOnAnNvidiaAdapterAndReturnsNoEncoderThatFailsToOpen) {
  test::TestDevice gpu;
  test::LogCapture log;
  EXPECT_EQ(EncoderFactory::getAvailableEncoders(gpu.device()), std::vector<EncoderType>{EncoderType::NVENC});
  EXPECT_FALSE(log.contains("AMF encoder available"));  // the AMD runtime is never tried here
  auto encoder = EncoderFactory::createBestEncoder(gpu.device(), config());
  ASSERT_NE(encoder, nullptr);
  EXPECT_STREQ(encoder->getName(), "NVENC");
  EXPECT_TRUE(encoder->isInitialized());
  encoder.reset();
  for (auto type : {EncoderType::QuickSync, EncoderType::Software, static_cast<EncoderType>(9)}) {
    EXPECT_EQ(EncoderFactory::createEncoder(type, gpu.device(), config()), nullptr);
  }
  test::StandinLibrary runtime(L"nvEncodeAPI64.dll", "StandinNvenc");
  runtime.fail("nvEncOpenEncodeSessionEx", 20);
  EXPECT_EQ(EncoderFactory::createBestEncoder(gpu.device(), config()), nullptr);
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
  if (expectation == nullptr) GTEST_SKIP() << "runs in the child process only";
  test::TestDevice gpu;
  const bool amd = std::string(expectation) == "amd";
  EXPECT_EQ(EncoderFactory::getAvailableEncoders(gpu.device()),
            amd ? std::vector<EncoderType>{EncoderType::AMF} : std::vector<EncoderType>{});
  auto encoder = EncoderFactory::createBestEncoder(gpu.device(), config());
  EXPECT_STREQ(encoder ? encoder->getName() : "none", amd ? "AMF" : "none");
}

}  // namespace
}  // namespace quorvane::host
