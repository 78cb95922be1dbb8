#pragma once

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "StandinCaptureControl.h"
#include "capture/CaptureTestSupport.h"

namespace quorvane::test {

inline std::string hex(HWND hwnd) { return fmt::format("{:x}", reinterpret_cast<uintptr_t>(hwnd)); }

// A test of window captures on the stand-in runtime: a device, the stand-in's defaults, an empty
// log, and a current Windows build number (Wine's registry names an old one whatever version
// the prefix claims). Every frame worker must have ended by the end of the test.
class StandinCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::StandinCaptureControl::reset();
    device = createTestDevice();
    ASSERT_TRUE(device);
    setBuild(L"19045");
  }
  void TearDown() override {
    host::StandinCaptureControl::reset();
    EXPECT_TRUE(waitUntil([] { return host::StandinCaptureControl::runningWorkers() == 0; }));
    build.reset();
  }
  void setBuild(std::optional<std::wstring> value) {
    build.reset();
    build.emplace(std::move(value));
    ASSERT_TRUE(build->active());
  }
  LogCapture& logs() { return log; }

  LogCapture log;  // first: outlives every capture of the test
  std::optional<ScopedBuildNumber> build;
  Microsoft::WRL::ComPtr<ID3D11Device> device;
};

}  // namespace quorvane::test
