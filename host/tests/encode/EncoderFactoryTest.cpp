#include "encode/EncoderFactory.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "support/LogCapture.h"
#include "encode/StandinLibrary.h"
#include "encode/TestDevice.h"

namespace quorvane::host {
namespace {

EncoderConfig smallConfig() {
  EncoderConfig c;
  c.width = 256;
  c.height = 144;
  c.fps = 30;
  return c;
}

TEST(EncoderFactory, PicksNvencOnAnNvidiaAdapter) {
  test::TestDevice gpu;
  test::LogCapture log;
  EXPECT_EQ(EncoderFactory::getAvailableEncoders(gpu.device()), std::vector<EncoderType>{EncoderType::NVENC});
  EXPECT_TRUE(log.contains("NVENC encoder available", spdlog::level::info));
  EXPECT_FALSE(log.contains("AMF encoder available"));  // the AMD runtime is never tried here

  auto encoder = EncoderFactory::createBestEncoder(gpu.device(), smallConfig());
  ASSERT_NE(encoder, nullptr);
  EXPECT_STREQ(encoder->getName(), "NVENC");
  EXPECT_TRUE(encoder->isInitialized());
  EXPECT_TRUE(log.contains("Created NVENC encoder", spdlog::level::info));
  encoder.reset();

  EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::QuickSync, gpu.device(), smallConfig()), nullptr);
  EXPECT_TRUE(log.contains("Encoder type QuickSync not available", spdlog::level::err));
  EXPECT_EQ(EncoderFactory::createEncoder(static_cast<EncoderType>(9), gpu.device(), smallConfig()), nullptr);
  EXPECT_TRUE(log.contains("Encoder type Unknown not available", spdlog::level::err));
}

TEST(EncoderFactory, AnEncoderThatFailsToOpenIsNotReturned) {
  test::TestDevice gpu;
  test::LogCapture log;
  test::StandinLibrary runtime(L"nvEncodeAPI64.dll");
  runtime.fn<void (*)(const char*, int)>("StandinNvencFail")("nvEncOpenEncodeSessionEx", 20);
  EXPECT_EQ(EncoderFactory::createBestEncoder(gpu.device(), smallConfig()), nullptr);
  EXPECT_TRUE(log.contains("GPU doesn't support NVENC - need GTX 600 series or newer", spdlog::level::err));
  EXPECT_TRUE(log.contains("Failed to initialize NVENC encoder", spdlog::level::err));
  EXPECT_TRUE(log.contains("Failed to create any hardware encoder", spdlog::level::err));
  runtime.fn<void (*)()>("StandinNvencReset")();
  EXPECT_EQ(runtime.fn<int (*)()>("StandinNvencLiveObjects")(), 0);
}

// Wine reports the adapter vendor from its registry settings, read when a process starts:
// the other vendors are tested in a child process started with the settings changed.
class WineAdapterVendor {
 public:
  WineAdapterVendor(DWORD vendor, DWORD device) {
    RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Direct3D", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &key_, nullptr);
    oldVendor_ = read(L"VideoPciVendorID");
    oldDevice_ = read(L"VideoPciDeviceID");
    RegSetValueExW(key_, L"VideoPciVendorID", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&vendor),
                   sizeof(vendor));
    RegSetValueExW(key_, L"VideoPciDeviceID", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&device),
                   sizeof(device));
  }
  ~WineAdapterVendor() {
    restore(L"VideoPciVendorID", oldVendor_);
    restore(L"VideoPciDeviceID", oldDevice_);
    RegCloseKey(key_);
  }
  WineAdapterVendor(const WineAdapterVendor&) = delete;
  WineAdapterVendor& operator=(const WineAdapterVendor&) = delete;

 private:
  std::optional<DWORD> read(const wchar_t* name) const {
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
      return std::nullopt;
    }
    return value;
  }
  void restore(const wchar_t* name, const std::optional<DWORD>& value) {
    if (value) {
      RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&*value), sizeof(DWORD));
    } else {
      RegDeleteValueW(key_, name);
    }
  }

  HKEY key_ = nullptr;
  std::optional<DWORD> oldVendor_, oldDevice_;
};

int runChild(const wchar_t* expectation) {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=EncoderFactoryChild.*";
  SetEnvironmentVariableW(L"QH_FACTORY_CHILD", expectation);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  const BOOL started =
      CreateProcessW(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  SetEnvironmentVariableW(L"QH_FACTORY_CHILD", nullptr);
  if (!started) {
    return -1;
  }
  DWORD code = 1;
  if (WaitForSingleObject(pi.hProcess, 180000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(pi.hProcess, &code);
  } else {
    TerminateProcess(pi.hProcess, 1);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

TEST(EncoderFactory, PicksAmfOnAnAmdAdapterAndNothingOnOthers) {
  {
    WineAdapterVendor amd(0x1002, 0x73BF);
    EXPECT_EQ(runChild(L"amd"), 0);
  }
  {
    WineAdapterVendor intel(0x8086, 0x0166);
    EXPECT_EQ(runChild(L"other"), 0);
  }
}

TEST(EncoderFactoryChild, Run) {
  const char* expectation = std::getenv("QH_FACTORY_CHILD");
  if (expectation == nullptr) {
    GTEST_SKIP() << "runs in the child process only";
  }
  test::TestDevice gpu;
  test::LogCapture log;
  auto encoder = EncoderFactory::createBestEncoder(gpu.device(), smallConfig());
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
