#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "encode/EncoderHarness.h"

namespace quorvane::test {

// The test's own reference to a stand-in runtime beside the executable, for its control
// exports (named `prefix` + Reset, Fail, Calls, LiveObjects). Dropping it shows whether the
// code under test still holds the library.
class StandinLibrary {
 public:
  StandinLibrary(const wchar_t* name, std::string prefix)
      : name_(name), prefix_(std::move(prefix)), module_(LoadLibraryW(name)) {
    if (module_ == nullptr) {
      throw std::runtime_error("stand-in runtime missing");
    }
  }
  ~StandinLibrary() { release(); }
  StandinLibrary(const StandinLibrary&) = delete;
  StandinLibrary& operator=(const StandinLibrary&) = delete;

  // Calls the control export `prefix` + `name`.
  template <typename R = void, typename... Args>
  R call(const char* name, Args... args) const {
    const std::string symbol = prefix_ + name;
    auto proc = reinterpret_cast<R (*)(Args...)>(
        reinterpret_cast<void (*)()>(GetProcAddress(module_, symbol.c_str())));
    if (proc == nullptr) {
      throw std::runtime_error("stand-in export missing: " + symbol);
    }
    return proc(args...);
  }
  void reset() const { call("Reset"); }
  void fail(const char* runtimeCall, int result) const { call("Fail", runtimeCall, result); }
  std::string calls() const { return call<const char*>("Calls"); }
  int live() const { return call<int>("LiveObjects"); }

  void release() {
    if (module_ != nullptr) {
      FreeLibrary(module_);
      module_ = nullptr;
    }
  }
  // No runtime object is left and, once the test's reference is dropped, nobody holds the library.
  void expectAllReleased() {
    if (module_ != nullptr) {
      EXPECT_EQ(live(), 0);
      release();
    }
    EXPECT_EQ(GetModuleHandleW(name_.c_str()), nullptr);
  }

 private:
  std::wstring name_;
  std::string prefix_;
  HMODULE module_;
};

// An encoder on a fresh stand-in runtime; every test ends with everything released.
template <typename Encoder>
class EncoderTest : public ::testing::Test {
 protected:
  EncoderTest(const wchar_t* dll, const char* prefix) : runtime(dll, prefix) { runtime.reset(); }
  void TearDown() override {
    encoder.reset();
    runtime.expectAllReleased();
  }
  static host::EncoderConfig smallConfig() { return EncoderHarness::smallConfig(); }
  bool encodePattern(uint32_t frame, const host::EncoderConfig& c = smallConfig()) {
    return h.encodePattern(*encoder, frame, c);
  }
  // Initializes with `c` and records the output.
  void start(const host::EncoderConfig& c = smallConfig()) {
    ASSERT_TRUE(encoder->initialize(h.device(), c));
    h.record(*encoder);
  }

  EncoderHarness h;
  StandinLibrary runtime;
  std::unique_ptr<Encoder> encoder = std::make_unique<Encoder>();
};

}  // namespace quorvane::test
