#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace quorvane::test {

// A reference of the test's own to a stand-in runtime beside the executable, for its
// control exports. Releasing it lets the test see whether the code under test still
// holds the library.
class StandinLibrary {
 public:
  explicit StandinLibrary(const wchar_t* name) : name_(name), module_(LoadLibraryW(name)) {
    if (module_ == nullptr) {
      throw std::runtime_error("stand-in runtime missing");
    }
  }
  ~StandinLibrary() { release(); }
  StandinLibrary(const StandinLibrary&) = delete;
  StandinLibrary& operator=(const StandinLibrary&) = delete;

  template <typename Fn>
  Fn fn(const char* name) const {
    auto proc = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
    if (proc == nullptr) {
      throw std::runtime_error(std::string("stand-in export missing: ") + name);
    }
    return proc;
  }

  void release() {
    if (module_ != nullptr) {
      FreeLibrary(module_);
      module_ = nullptr;
    }
  }
  // The end of a test: the runtime's objects (counted by its export `liveExport`) are all
  // gone, and once the test's own reference is dropped nobody holds the library any more.
  void expectAllReleased(const char* liveExport) {
    if (held()) {
      EXPECT_EQ(fn<int (*)()>(liveExport)(), 0);
      release();
    }
    EXPECT_FALSE(loadedByAnyone());
  }

  bool held() const { return module_ != nullptr; }
  // Whether anybody in the process still holds the library.
  bool loadedByAnyone() const { return GetModuleHandleW(name_.c_str()) != nullptr; }

 private:
  std::wstring name_;
  HMODULE module_;
};

}  // namespace quorvane::test
