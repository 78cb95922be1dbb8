#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace quorvane::test {

// The test's own reference to a stand-in runtime beside the executable and its control exports
// (`prefix` + Reset, Fail, Calls, ...); dropping it shows whether the code under test still holds it.
class StandinLibrary {
 public:
  StandinLibrary(const wchar_t* name, std::string prefix)
      : name_(name), prefix_(std::move(prefix)), module_(LoadLibraryW(name)) {
    if (module_ == nullptr) throw std::runtime_error("stand-in runtime missing");
  }
  ~StandinLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  StandinLibrary(const StandinLibrary&) = delete;
  StandinLibrary& operator=(const StandinLibrary&) = delete;

  // Calls the control export `prefix` + `name`.
  template <typename R = void, typename... Args>
  R call(const char* name, Args... args) const {
    const std::string symbol = prefix_ + name;
    auto proc = reinterpret_cast<R (*)(Args...)>(
        reinterpret_cast<void (*)()>(GetProcAddress(module_, symbol.c_str())));
    if (proc == nullptr) throw std::runtime_error("stand-in export missing: " + symbol);
    return proc(args...);
  }
  void reset() const { call("Reset"); }
  void fail(const char* runtimeCall, int result) const { call("Fail", runtimeCall, result); }
  std::string calls() const { return call<const char*>("Calls"); }
  int live() const { return call<int>("LiveObjects"); }

  // No runtime object is left and, once the test's reference is dropped, nobody holds the library.
  void expectAllReleased() {
    EXPECT_EQ(live(), 0);
    FreeLibrary(module_);
    module_ = nullptr;
    EXPECT_EQ(GetModuleHandleW(name_.c_str()), nullptr);
  }

 private:
  std::wstring name_;
  std::string prefix_;
  HMODULE module_;
};

}  // namespace quorvane::test
