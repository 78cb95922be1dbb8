#pragma once

// Helpers of the capture tests: a window painted with a known pattern and a scratch registry
// holding the Windows build number.

#include <windows.h>

#include <algorithm>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/D3DTest.h"
#include "support/LogCapture.h"
#include "support/WaitFor.h"

namespace quorvane::test {

inline constexpr auto& waitUntil = waitFor;  // the benchmarks' name

// The colour of a width x height test window at (x, y), as 0xAARRGGBB.
inline uint32_t patternPixel(int x, int y, int width, int height) {
  const uint32_t blue = static_cast<uint32_t>(x * 255 / std::max(1, width - 1));
  const uint32_t green = static_cast<uint32_t>(y * 255 / std::max(1, height - 1));
  const uint32_t red = ((x / 64 + y / 64) % 2) != 0 ? 200 : 60;
  return 0xff000000u | (red << 16) | (green << 8) | blue;
}

// A borderless window painting the pattern. It runs its own message loop on a thread of its own,
// or with onCallingThread belongs to the caller, who must pump its messages.
class TestWindow {
 public:
  TestWindow(int width, int height, std::wstring title = L"Capture test window",
             bool onCallingThread = false) {
    if (onCallingThread) {
      hwnd = create(width, height, title);
      return;
    }
    std::promise<HWND> created;
    thread = std::thread([&] {
      created.set_value(create(width, height, title));
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    });
    hwnd = created.get_future().get();
  }
  ~TestWindow() {
    if (!thread.joinable()) {
      DestroyWindow(hwnd);
      return;
    }
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    thread.join();
  }

  HWND handle() const { return hwnd; }
  uint32_t id() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd)); }
  // Resizes the window on its own thread and returns once it is painted at the new size. In
  // between, the window is there at its new size but not painted: a capture may see that.
  void resize(int width, int height) { SendMessageW(hwnd, kResizeMessage, width, height); }

 private:
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(hwnd, &paint);
      RECT rect;
      GetClientRect(hwnd, &rect);
      const int width = rect.right, height = rect.bottom;
      std::vector<uint32_t> pixels(static_cast<size_t>(std::max(0, width)) * std::max(0, height));
      for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = patternPixel(static_cast<int>(i % width), static_cast<int>(i / width), width, height);
      }
      BITMAPINFO info{};
      info.bmiHeader = {sizeof(info.bmiHeader), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
      if (!pixels.empty())
        SetDIBitsToDevice(dc, 0, 0, width, height, 0, 0, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
      EndPaint(hwnd, &paint);
      return 0;
    }
    if (message == WM_ERASEBKGND) return 1;
    if (message == kResizeMessage) {
      SetWindowPos(hwnd, nullptr, 0, 0, static_cast<int>(wParam), static_cast<int>(lParam),
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
      return 0;
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }
  static HWND create(int width, int height, const std::wstring& title) {
    static const ATOM windowClass = [] {
      WNDCLASSW wc{};
      wc.style = CS_HREDRAW | CS_VREDRAW;
      wc.lpfnWndProc = windowProc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = L"QuorvaneCaptureTestWindow";
      return RegisterClassW(&wc);
    }();
    HWND window = CreateWindowExW(0, MAKEINTATOM(windowClass), title.c_str(), WS_POPUP | WS_VISIBLE, 0, 0,
                                  width, height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    UpdateWindow(window);
    return window;
  }

  static constexpr UINT kResizeMessage = WM_APP + 1;  // wParam x lParam

  std::thread thread;
  HWND hwnd = nullptr;
};

// While it lives, this process's HKEY_LOCAL_MACHINE is a scratch key of its own whose Windows NT
// version key holds the given build number text, or no value at all.
class ScopedBuildNumber {
 public:
  explicit ScopedBuildNumber(const std::optional<std::wstring>& build)
      : rootPath(L"Software\\QuorvaneCaptureTest-" + std::to_wstring(GetCurrentProcessId())) {
    RegDeleteTreeW(HKEY_CURRENT_USER, rootPath.c_str());
    RegCreateKeyW(HKEY_CURRENT_USER, rootPath.c_str(), &root);
    if (build) {
      RegSetKeyValueW(root, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentBuildNumber", REG_SZ,
                      build->c_str(), static_cast<DWORD>((build->size() + 1) * sizeof(wchar_t)));
    }
    overridden = RegOverridePredefKey(HKEY_LOCAL_MACHINE, root) == ERROR_SUCCESS;
  }
  ~ScopedBuildNumber() {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(root);
    RegDeleteTreeW(HKEY_CURRENT_USER, rootPath.c_str());
  }
  ScopedBuildNumber(const ScopedBuildNumber&) = delete;
  ScopedBuildNumber& operator=(const ScopedBuildNumber&) = delete;

  bool active() const { return overridden; }

 private:
  std::wstring rootPath;
  HKEY root = nullptr;
  bool overridden = false;
};

}  // namespace quorvane::test
